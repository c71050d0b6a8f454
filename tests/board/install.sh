# Sourced by tests/board/test once the board is up: dpkg -i under the live
# systemd, the tools on the board's loopback, and the sandbox of the program.


# The board's files before the installation, for what the purge leaves to be
# compared with: all but logs, dpkg's own records and caches that others fill.
files_list='find / -xdev \( -path /var/log -o -path /var/lib/dpkg -o -path /var/cache/ldconfig -o -path /var/cache/debconf \
    -o -path /var/cache/fontconfig -o -path /tmp -o -path /var/tmp -o -path /root \) -prune -o -print |
    grep -vxE "/etc/ld\.so\.cache|/etc/(passwd|group|shadow|gshadow)-" | sort'
on_board "$files_list >/run/files-before"

# A remote's receivers, there from boot as on a receiver: the kernel's infrared
# loopback with an NEC remote's keymap (tests/board/remote.toml), and an
# HDMI-CEC bus of the vivid driver, whose HDMI input is the TV and whose HDMI
# output this receiver (a playback device). The program opens them when it
# starts; libinput takes only the keys a device has then, so the keymap comes
# first, as udev loads it at boot.
on_board "modprobe rc-loopback && cat >/run/remote.toml <<'KEYMAP'
$(cat "$here/remote.toml")
KEYMAP
ir-keytable -s rc0 -c -w /run/remote.toml >/dev/null 2>&1
modprobe vivid
cec-ctl -s -D vivid -a vivid-000-vid-cap0 --tv >/dev/null
cec-ctl -s -D vivid -a vivid-000-vid-out0 --playback >/dev/null" || echo "board: no infrared loopback or CEC bus"

# Installing: the postinst creates the user and enables and starts the service.
on_board 'mkdir -p /run/in && tar -xf /dev/vdb -C /run/in'
on_board 'echo "display: $(ls /dev/dri /dev/fb0 2>&1 | paste -sd" ")"; lsmod | grep -E "^(virtio_gpu|drm) " | cut -d" " -f1 | paste -sd" "' | sed 's/^/board: /'
if BOARD_TIMEOUT=300 on_board 'timeout 240 dpkg -i /run/in/*.deb' >"$out/dpkg.log" 2>&1; then
    check "dpkg -i of both packages" true
else
    cat "$out/dpkg.log"
    check "dpkg -i of both packages" false
    on_board 'systemctl list-jobs --no-pager; systemctl status --no-pager -n 20 sourcebar getty@tty1' | sed 's/^/  /'
    exit 1
fi
check "the service is enabled after dpkg -i" on_board 'systemctl is-enabled -q sourcebar'
check "the service is active after dpkg -i" board_until 'systemctl is-active -q sourcebar' 30
unit_path=$(on_board 'systemctl show -P FragmentPath sourcebar')
echo "board: the unit is $unit_path"

# The simulated transmitters and the player stand-in, on the board's loopback.
start_tools() {
    on_board "systemctl stop txsim playerd 2>/dev/null; systemctl reset-failed txsim playerd 2>/dev/null
        systemd-run -q --unit=txsim -E QT_QPA_PLATFORM=offscreen /usr/bin/txsim --count 4 $*
        systemd-run -q --unit=playerd -E QT_QPA_PLATFORM=offscreen /usr/bin/playerd --raw"
    board_until 'journalctl -u txsim -b -o cat | grep -q "^txsim: ready"' 60 &&
        board_until 'journalctl -u playerd -b -o cat | grep -q "^playerd: listening"' 60
}
check "txsim and playerd started" start_tools
if [ -n "${BOARD_HOLD:-}" ]; then
    # For a developer: the board stays up with the packages installed.
    echo "board: holding; commands: python3 $here/host.py $out run COMMAND; QEMU is PID $qemu_pid"
    wait "$qemu_pid"
    exit 0
fi

main_pid() { on_board 'systemctl show -P MainPID sourcebar'; }
requests() { journal txsim | grep -c 'discovery request from' || true; }
# Double-clicks the window to switch the bar on, and waits for the discovery
# request; a double-click swallowed by a slow start is tried again.
switch_on() {
    local before tries
    before=$(requests)
    for tries in 1 2 3 4 5; do
        host click 960 300 2
        for _ in $(seq 10); do
            [ "$(requests)" -gt "$before" ] && return 0
            sleep 1
        done
    done
    return 1
}
# Waits until the program is running and has loaded its style sheet.
wait_started() {
    board_until "systemctl is-active -q sourcebar && [ \$(systemctl show -P MainPID sourcebar) != 0 ] &&
        journalctl -b -o cat _PID=\$(systemctl show -P MainPID sourcebar) | grep -q 'qss file from'" "${1:-120}"
}


sandbox_checks() {
    local pid status mountinfo groups want
    pid=$(main_pid)
    status=$(on_board "cat /proc/$pid/status")
    field() { sed -n "s/^$1:[[:space:]]*//p" <<<"$status" | tr -s ' \t' ' ' | sed 's/ $//'; }
    local uid gid
    uid=$(on_board 'id -u sourcebar'); gid=$(on_board 'id -g sourcebar')
    check "runs as uid sourcebar ($(field Uid))" [ "$(field Uid)" = "$uid $uid $uid $uid" ]
    check "runs as gid sourcebar ($(field Gid))" [ "$(field Gid)" = "$gid $gid $gid $gid" ]
    # The user's own group is among them, as initgroups() puts it there.
    want=$(on_board 'for g in video render input sourcebar; do getent group $g | cut -d: -f3; done' | sort -n | paste -sd' ')
    groups=$(field Groups | tr ' ' '\n' | sort -n | paste -sd' ')
    check "only the device groups and its own ($groups)" [ "$groups" = "$want" ]
    for cap in CapInh CapPrm CapEff CapBnd CapAmb; do
        check "$cap is 0" [ "$(field "$cap")" = 0000000000000000 ]
    done
    check "NoNewPrivs" [ "$(field NoNewPrivs)" = 1 ]
    check "a seccomp filter (Seccomp $(field Seccomp))" [ "$(field Seccomp)" = 2 ]
    mountinfo=$(on_board "cat /proc/$pid/mountinfo")
    # mountinfo: field 5 the mount point, 6 its options; the last mount on / is the one seen.
    root_options=$(awk '$5 == "/" { o = $6 } END { print o }' <<<"$mountinfo")
    check "a read-only root ($root_options)" eval '[[ "$root_options" == ro* ]]'
    check "cgroup memory.max 256M" [ "$(on_board "cat /sys/fs/cgroup\$(cut -d: -f3 /proc/$pid/cgroup)/memory.max")" = $((256 * 1024 * 1024)) ]
}

