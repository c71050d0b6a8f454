# Sourced by tests/board/test, last: the package's life on the board. A network
# that never comes online does not hold the bar back; the packages installed
# over themselves (dpkg's upgrade path, as apt runs it) restart the service on
# the new program and keep an administrator's edit, and a disabled or a masked
# unit stays so; removal gives the display back to its login prompt; purge
# leaves nothing but the system user; installing again after it works; and
# with the packages that receivers run today, a downgrade to them and the
# upgrade from them.

# A wait-online service that never succeeds, as a network manager's is on a
# receiver without a cable: its target's start job waits, and the bar must not.
on_board 'printf "%s\n" "[Unit]" "Description=a network that never comes online" "DefaultDependencies=no" \
        "Before=network-online.target" "[Service]" "Type=oneshot" "ExecStart=/bin/sleep infinity" \
        >/run/systemd/system/never-online.service
    mkdir -p /run/systemd/system/network-online.target.wants
    ln -sf /run/systemd/system/never-online.service /run/systemd/system/network-online.target.wants/
    systemctl daemon-reload
    systemctl stop sourcebar network-online.target
    systemctl start --no-block network-online.target
    systemctl start --no-block sourcebar'
check "no network online: the bar starts all the same" eval 'wait_started 120 && switch_on'
check "no network online: network-online.target still waits" \
    on_board 'systemctl list-jobs --no-legend | grep -q "network-online.target.*waiting"'
on_board 'systemctl stop never-online
    rm -f /run/systemd/system/never-online.service /run/systemd/system/network-online.target.wants/never-online.service
    systemctl daemon-reload'

# dpkg -i of the packages in the board's folder DIR (default /run/in, this
# build's), non-interactive as apt runs it; its output goes to NAME.log.
install_from() { # install_from NAME [DIR]
    BOARD_TIMEOUT=300 on_board "timeout 240 dpkg -i --force-confdef --force-confold ${2:-/run/in}/*.deb" >"$out/$1.log" 2>&1
}
# Seconds since the epoch of the last journal line of MATCH (journalctl's) that matches PATTERN.
line_time() { # line_time JOURNALCTL-MATCH PATTERN
    on_board "journalctl -b -o short-unix --no-pager $1 | grep -E '$2' | tail -n1 | cut -d' ' -f1 | cut -d. -f1"
}
version_of() { on_board "dpkg-query -W -f '\${Version}' sourcebar"; }

# An upgrade to this build's packages while the bar runs, over an
# administrator's line in /etc/default/sourcebar: the service restarts on the
# new program, the bar draws its pictures again (on eglfs, the default), and
# the edit, the user and its groups stay. NAME names the checks and the files.
upgrade_checks() { # upgrade_checks NAME
    local name="$1" pid users quit answered bad
    wait_started 60 || true
    pid=$(main_pid)
    users=$(on_board 'id sourcebar')
    on_board "grep -q '^# a local note' /etc/default/sourcebar || echo '# a local note that every upgrade keeps' >>/etc/default/sourcebar"
    check "$name: dpkg -i while the bar runs ($(version_of) to $new_version)" install_from "$name"
    grep -E '^Unpacking|dpkg-dist|warning' "$out/$name.log" | sed 's/^/  /'
    check "$name: the service restarted" \
        board_until "[ \$(systemctl show -P MainPID sourcebar) != $pid ] && systemctl is-active -q sourcebar" 60
    check "$name: the service runs the new program" eval '[ "$(version_of)" = "$new_version" ] &&
        [ "$(on_board "readlink /proc/\$(systemctl show -P MainPID sourcebar)/exe")" = /usr/lib/sourcebar/sourcebar ]'
    check "$name: the bar answers a double-click" eval 'wait_started 120 && switch_on'
    quit=$(line_time "_PID=$pid" 'quit the application by signal')
    answered=$(line_time '-u txsim' 'discovery request from')
    if [ -n "$quit" ] && [ -n "$answered" ]; then
        echo "board: $name: the bar answered a double-click $((answered - quit)) s after the old program quit (at most: the host's polling is in it)"
    fi
    eventually "$name" 120 all_pictured "$name" || true
    check "$name: four pictured buttons" all_pictured "$name"
    check "$name: the administrator's edit is kept" on_board "grep -q '^# a local note that every upgrade keeps' /etc/default/sourcebar"
    check "$name: the user and its groups are unchanged" [ "$(on_board 'id sourcebar')" = "$users" ]
    bad=$(on_board "journalctl -b -o cat _SYSTEMD_UNIT=sourcebar.service _PID=\$(systemctl show -P MainPID sourcebar)" | journal_errors || true)
    [ -z "$bad" ] || printf '  %s\n' "$bad" | head -n 10
    check "$name: the new program's journal holds no error" [ -z "$bad" ]
}

# The packages over themselves: dpkg's upgrade path with this version alone.
new_version=$(dpkg-deb -f "${debs[0]}" Version)
upgrade_checks upgrade

# What an administrator turned off stays off through an upgrade.
on_board 'systemctl disable --now sourcebar' >/dev/null 2>&1
install_from upgrade-disabled || true
check "upgrade: a disabled unit stays disabled and stopped" \
    on_board '[ "$(systemctl is-enabled sourcebar)" = disabled ] && ! systemctl is-active -q sourcebar'
on_board 'systemctl enable sourcebar && systemctl mask sourcebar' >/dev/null 2>&1
install_from upgrade-masked || true
check "upgrade: a masked unit stays masked and stopped" \
    on_board '[ "$(systemctl is-enabled sourcebar)" = masked ] && ! systemctl is-active -q sourcebar'
on_board 'systemctl unmask sourcebar && systemctl start sourcebar' >/dev/null 2>&1
check "after unmasking, the bar is back" eval 'wait_started 120 && switch_on'

# Removal: the service stops, and the first virtual terminal is its login prompt's again.
BOARD_TIMEOUT=300 on_board 'timeout 240 dpkg -r sourcebar' >"$out/remove.log" 2>&1 || true
check "dpkg -r: the service is stopped" on_board '! systemctl is-active -q sourcebar'
check "dpkg -r: the program is gone, its conffiles stay" \
    on_board '[ ! -e /usr/lib/sourcebar/sourcebar ] && [ -e /etc/default/sourcebar ]'
check "dpkg -r: the login prompt is back on tty1" board_until 'systemctl is-active -q getty@tty1' 30
eventually removed 30 bar_dark removed || true
check "dpkg -r: nothing of the bar is left on the screen" bar_dark removed

# Purge: nothing but the system user stays. The lists of files are taken as
# piuparts takes them, leaving out what the system keeps changing anyway.
on_board 'systemctl stop txsim playerd' >/dev/null 2>&1 || true
BOARD_TIMEOUT=300 on_board 'timeout 240 dpkg -P sourcebar sourcebar-tools' >"$out/purge.log" 2>&1 || true
on_board "$files_list >/run/files-after"
left=$(on_board '[ -s /run/files-before ] && [ -s /run/files-after ] && comm -13 /run/files-before /run/files-after') ||
    left='(no list of files)'
[ -z "$left" ] || printf '  %s\n' $left
check "dpkg -P: no file of the package is left ($(grep -c . <<<"$left" || true) left)" [ -z "$left" ]
check "dpkg -P: the system user stays" on_board 'id sourcebar'

# Installing again after the purge.
install_from reinstall || true
check "installed again after the purge: the service is active" board_until 'systemctl is-active -q sourcebar' 60
start_tools >/dev/null || true
check "installed again after the purge: the bar comes up" eval 'wait_started 180 && switch_on'

# The packages that receivers run today (--old): a downgrade to them, then the
# upgrade from them over an administrator's edit, as a receiver in the field
# gets it. dpkg keeps the edited file and puts this version's beside it.
if [ ${#old_debs[@]} -gt 0 ]; then
    old_version=$(dpkg-deb -f "${old_debs[0]}" Version)
    check "the version grows: $new_version is newer than $old_version" dpkg --compare-versions "$new_version" gt "$old_version"
    check "downgrade to $old_version: dpkg -i" install_from downgrade /run/in/old
    grep -E 'warning|error' "$out/downgrade.log" | sed 's/^/  /'
    check "downgrade: the service runs the old program" board_until "[ \"\$(dpkg-query -W -f '\${Version}' sourcebar)\" = $old_version ] &&
        systemctl is-active -q sourcebar && [ \"\$(readlink /proc/\$(systemctl show -P MainPID sourcebar)/exe)\" = /usr/lib/sourcebar/sourcebar ]" 60
    check "downgrade: the bar answers a double-click" eval 'wait_started 120 && switch_on'
    upgrade_checks upgrade-from-old
    check "upgrade-from-old: this version's /etc/default/sourcebar waits beside the edited one" \
        on_board '[ -f /etc/default/sourcebar.dpkg-dist ]'

    # Power cuts in the middle of that upgrade (tests/board/power-cut), and the
    # board boots again on the same disk. It must come up, and
    # dpkg --configure -a (or this version installed again) must end with
    # this version running and the edit kept.
    power_cut() { # power_cut MOMENT: the upgrade, with the power cut at MOMENT (unpack or postinst; tests/board/power-cut)
        local moment="$1" name="power-cut-$1" boots until state
        install_from "$name-downgrade" /run/in/old || true
        wait_started 120 || true
        boots=$(grep -c 'login:' "$out/serial.log" || true)
        on_board "cat >/run/power-cut <<'CUT'
$(cat "$here/power-cut")
CUT
nohup bash /run/power-cut $moment /run/$name.log >/dev/null 2>&1 </dev/null &"
        until=$((SECONDS + 300))
        while [ "$(grep -c 'login:' "$out/serial.log" || true)" -le "$boots" ]; do
            if [ "$SECONDS" -gt "$until" ] || [ -n "$(BOARD_TIMEOUT=5 on_board 'cat /run/cut-missed 2>/dev/null' 2>/dev/null)" ]; then
                check "$name: the power was cut at its moment" false
                return 0
            fi
            sleep 1
        done
        if ! board_up 300; then
            check "$name: the board comes up again" false
            return 0
        fi
        check "$name: the board comes up again" true
        loopback
        on_board 'mkdir -p /run/in && tar -xf /dev/vdb -C /run/in'
        start_tools >/dev/null || true
        # What the receiver shows before anybody repairs it.
        state=$(on_board "echo \"package \$(dpkg-query -W -f '\${Version} \${Status}' sourcebar),\" \
            \"service \$(systemctl is-active sourcebar),\" \"program \$(readlink /proc/\$(systemctl show -P MainPID sourcebar)/exe)\"")
        echo "board: $name: after the reboot: $state"
        on_board 'dpkg --audit' | sed 's/^/  /' || true
        if wait_started 120 && switch_on; then
            echo "board: $name: before the repair the bar answers a double-click"
        else
            echo "board: $name: before the repair no bar answers a double-click"
        fi
        check "$name: dpkg --audit names the unfinished package" on_board 'dpkg --audit | grep sourcebar >/dev/null'
        BOARD_TIMEOUT=300 on_board 'timeout 240 dpkg --configure -a' >"$out/$name-configure.log" 2>&1 || true
        if [ -n "$(on_board 'dpkg --audit')" ]; then
            echo "board: $name: dpkg --configure -a left it unfinished; installing this version again"
            install_from "$name-again" || true
        fi
        check "$name: repaired, this version is installed and nothing is unfinished" \
            eval '[ "$(version_of)" = "$new_version" ] && [ -z "$(on_board "dpkg --audit")" ]'
        check "$name: repaired, the new program runs and its bar answers" eval '
            board_until "systemctl is-active -q sourcebar && [ \"\$(readlink /proc/\$(systemctl show -P MainPID sourcebar)/exe)\" = /usr/lib/sourcebar/sourcebar ]" 60 &&
            wait_started 120 && switch_on'
        check "$name: the administrator's edit is still there" \
            on_board "grep -q '^# a local note that every upgrade keeps' /etc/default/sourcebar"
    }
    power_cut unpack
    power_cut postinst
else
    echo "board: no old packages (--old): no downgrade, no upgrade from them"
fi
