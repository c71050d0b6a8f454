#!/usr/bin/env bash
# The end-to-end run (e2e.sh) with sourcebar started the way its service runs
# it: as an unprivileged user of its own that holds only the device groups
# (video, render, input: those this machine has), with no capabilities at all
# and no new privileges. Checks afterwards, from the running program's
# /proc/PID/status, that it really ran so, and prints its peak RSS. strace
# watches for system calls that the unit's SystemCallFilter= would refuse.
#   tests/e2e/e2e-unprivileged.sh BUILD_DIR
# Needs root (to hand out another uid); exits 77 (skipped) without. The user
# needs no entry in /etc/passwd: a free uid is taken for the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(readlink -f "${1:-$root/build}")
[ "$(id -u)" -eq 0 ] || { echo "e2e-unprivileged: needs root to start the program as another user"; exit 77; }

# A uid and gid that no user and no group has.
uid=''
for candidate in $(seq 64000 64999); do
    if ! getent passwd "$candidate" >/dev/null && ! getent group "$candidate" >/dev/null; then
        uid=$candidate
        break
    fi
done
[ -n "$uid" ] || { echo "e2e-unprivileged: no free uid in 64000..64999" >&2; exit 1; }
gids=()
names=()
for g in video render input; do
    if gid=$(getent group "$g" | cut -d: -f3) && [ -n "$gid" ]; then
        gids+=("$gid")
        names+=("$g")
    fi
done
group_list=$(IFS=,; echo "${gids[*]}")
echo "e2e-unprivileged: uid $uid, gid $uid, groups ${names[*]:-none} (${group_list:-})"

work=$(mktemp -d "${TMPDIR:-/tmp}/e2e-unprivileged.XXXXXX")
sampler=''
cleanup() {
    [ -z "$sampler" ] || { kill "$sampler" 2>/dev/null || true; wait "$sampler" 2>/dev/null || true; }
    rm -rf "$work" "${stage:-}"
}
trap cleanup EXIT
# The service's program lives outside any home folder; so does its copy here,
# since the sandbox hides /home, /root and /tmp, and a build tree under them
# would be out of the user's reach.
stage=$(mktemp -d /var/tmp/sourcebar-e2e.XXXXXX)
chmod 755 "$stage"
cp "$build/bin/sourcebar" "$stage/"
cp -L "$build/bin/DejaVuSansMono.ttf" "$stage/"
chmod 644 "$stage/DejaVuSansMono.ttf"
if ! setpriv --reuid="$uid" --regid="$uid" --groups="${group_list:-$uid}" --inh-caps=-all \
        --bounding-set=-all --no-new-privs sh -c 'test -x "$1/sourcebar" && test -r "$1/DejaVuSansMono.ttf"' _ "$stage"; then
    echo "e2e-unprivileged: uid $uid cannot run $stage/sourcebar or read its font" >&2
    exit 1
fi

# sandbox-exec adds what can be shown of the service's file-system sandbox
# (read-only mounts, private /tmp, no home) and drops to the user with setpriv.
launcher="$root/tests/e2e/sandbox-exec $uid ${group_list:-$uid}"

# The system calls the unit lets through: its first SystemCallFilter= line
# allows, the "~" lines after it refuse. sandbox-exec makes every other call
# fail with EPERM under strace, as the unit does, and logs it.
unit="$root/debian/sourcebar.service"
command -v strace >/dev/null || { echo "e2e-unprivileged: strace is missing (scripts/deps installs it)" >&2; exit 1; }
expand() { # expand NAME...: system call names, systemd's groups (@...) expanded
    local name
    for name in "$@"; do
        case "$name" in
            @*) systemd-analyze syscall-filter "$name" </dev/null |
                    sed -n 's/^    \([-@a-z0-9_]*\)$/\1/p' | while read -r n; do expand "$n"; done ;;
            *) echo "$name" ;;
        esac
    done
}
# shellcheck disable=SC2046
expand $(sed -n 's/^SystemCallFilter=\([^~].*\)/\1/p' "$unit") | sort -u >"$work/allowed.all"
# shellcheck disable=SC2046
expand $(sed -n 's/^SystemCallFilter=~//p' "$unit") | sort -u >"$work/refused"
comm -23 "$work/allowed.all" "$work/refused" >"$work/allowed"
[ "$(wc -l <"$work/allowed")" -gt 100 ] || { echo "e2e-unprivileged: could not read the unit's system call filter" >&2; exit 1; }
export SANDBOX_EXEC_ALLOW SANDBOX_EXEC_TRACE="$work/syscalls"
SANDBOX_EXEC_ALLOW=$(paste -sd, "$work/allowed")
out="$build/e2e-unprivileged"
rm -rf "$out"
# Snapshots of the program's status while it runs; the last one is checked.
(
    for _ in $(seq 600); do [ -s "$out/sourcebar.pid" ] && break; sleep 0.1; done
    pid=$(cat "$out/sourcebar.pid" 2>/dev/null) || exit 0
    sleep 1 # past sandbox-exec's exec into the program
    cp "/proc/$pid/mountinfo" "$work/mountinfo" 2>/dev/null || true
    while cp "/proc/$pid/status" "$work/status.new" 2>/dev/null && grep -q '^VmHWM' "$work/status.new"; do
        mv "$work/status.new" "$work/status"
        sleep 0.2
    done
) &
sampler=$!

status=0
SOURCEBAR_E2E_LAUNCHER="$launcher" SOURCEBAR_E2E_PROGRAM="$stage/sourcebar" SOURCEBAR_E2E_OUT="$out" bash "$root/tests/e2e/e2e.sh" "$build" || status=$?
wait "$sampler" 2>/dev/null || true
sampler=''

. "$root/scripts/lib/check.sh"
field() { sed -n "s/^$1:[[:space:]]*//p" "$work/status" | tr -s ' \t' ' ' | sed 's/ $//'; }
if [ -s "$work/status" ]; then
    check "ran as uid $uid (real, effective, saved, fs)" [ "$(field Uid)" = "$uid $uid $uid $uid" ]
    check "ran as gid $uid (real, effective, saved, fs)" [ "$(field Gid)" = "$uid $uid $uid $uid" ]
    want=$(printf '%s\n' "${gids[@]}" | sort -n | tr '\n' ' ' | sed 's/ $//')
    got=$(field Groups | tr ' ' '\n' | sort -n | tr '\n' ' ' | sed 's/ $//')
    check "supplementary groups are exactly ${names[*]:-none} ($got)" [ "$got" = "$want" ]
    for cap in CapInh CapPrm CapEff CapBnd CapAmb; do
        check "$cap is empty" [ "$(field "$cap")" = 0000000000000000 ]
    done
    check "no new privileges" [ "$(field NoNewPrivs)" = 1 ]
    # mountinfo: field 5 the mount point, 6 its options, after " - " the type.
    mount_of() { awk -v mp="$1" '$5 == mp { print $6, $(NF - 2) }' "$work/mountinfo" | tail -n1; }
    check "/ is read-only ($(mount_of /))" grep -q '^ro' <<<"$(mount_of /)"
    check "/tmp is a private tmpfs ($(mount_of /tmp))" grep -q ' tmpfs$' <<<"$(mount_of /tmp)"
    check "/tmp/.X11-unix is bound back read-only ($(mount_of /tmp/.X11-unix))" \
        grep -q '^ro' <<<"$(mount_of /tmp/.X11-unix)"
    echo "e2e-unprivileged: peak RSS (VmHWM) $(field VmHWM)"
    check "ran with refused system calls failing (TracerPid $(field TracerPid))" [ "$(field TracerPid)" != 0 ]
    refused=$(sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/syscalls" | sort | uniq -c |
        awk '{ printf "%s%s (%d)", sep, $2, $1; sep = ", " }')
    echo "e2e-unprivileged: system calls refused with EPERM: ${refused:-none} (calls in $out/refused-syscalls.log)"
    cp "$work/syscalls" "$out/refused-syscalls.log"
else
    check "the program's status was read while it ran" false
fi
[ "$status" -eq 0 ] || echo "e2e-unprivileged: the end-to-end run failed (status $status)"
echo "e2e-unprivileged: $failures failure(s) in the credential checks"
[ "$status" -eq 0 ] && [ "$failures" -eq 0 ]
