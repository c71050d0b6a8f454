# Sourced by tests/board/test after platforms.sh: stop, crash and restart, bad
# input from the LAN, a program that cannot start, and the system calls the
# filter refuses.


# Stop: status 0 within 10 s, and the quit line in the journal.
pid=$(main_pid)
t0=$SECONDS
on_board 'systemctl stop sourcebar'
stop_seconds=$((SECONDS - t0))
check "systemctl stop took ${stop_seconds} s (at most 10)" [ "$stop_seconds" -le 10 ]
check "stopped with status 0 ($(on_board 'systemctl show -P ExecMainStatus sourcebar'))" \
    [ "$(on_board 'systemctl show -P ExecMainStatus sourcebar')" = 0 ]
check "stopped cleanly (Result $(on_board 'systemctl show -P Result sourcebar'))" \
    [ "$(on_board 'systemctl show -P Result sourcebar')" = success ]
check "the quit line is in the journal" on_board "journalctl -b -o cat _PID=$pid | grep -qx 'quit the application by signal(15).'"

# A crash is followed by a restart.
on_board 'systemctl start sourcebar'
wait_started 180 || true
pid=$(main_pid)
restarts=$(on_board 'systemctl show -P NRestarts sourcebar')
on_board 'systemctl kill -s SEGV --kill-whom=main sourcebar'
check "after a SIGSEGV systemd restarts the program" \
    board_until "[ \$(systemctl show -P NRestarts sourcebar) -gt $restarts ] && [ \$(systemctl show -P MainPID sourcebar) != $pid ] && systemctl is-active -q sourcebar" 60
wait_started 180 || true

# Five restarts in a row each bring the bar back.
for i in 1 2 3 4 5; do
    on_board 'systemctl restart sourcebar' || true
    check "restart $i: the bar comes back" eval 'wait_started 180 && switch_on'
done

# Bad input from the LAN: garbage datagrams and a preview server that hangs
# neither stop the program nor make systemd restart it.
pid=$(main_pid)
restarts=$(on_board 'systemctl show -P NRestarts sourcebar')
check "txsim with garbage datagrams and a hung preview server" start_tools --garbage --hang 2
switch_on || true
sleep 20
check "garbage and a hung server: the program keeps running" \
    eval '[ "$(main_pid)" = "$pid" ] && [ "$(on_board "systemctl show -P NRestarts sourcebar")" = "$restarts" ]'
eventually faults 60 eval 'read -r l r < <(lit_span faults 830); [ -n "$r" ]' || true
check "garbage and a hung server: the bar shows its buttons" eval 'read -r l r < <(lit_span faults 830); [ -n "$r" ]'
start_tools >/dev/null || true

# A program that cannot start is not restarted for ever.
on_board 'sed -i "/^QT_QPA_PLATFORM=/d" /etc/default/sourcebar && echo QT_QPA_PLATFORM=nosuchplatform >>/etc/default/sourcebar && systemctl restart sourcebar' || true
check "a platform that cannot start: the unit gives up" \
    board_until '[ "$(systemctl show -P ActiveState sourcebar)" = failed ]' 300
echo "board: gave up after $(on_board 'systemctl show -P NRestarts sourcebar') restarts ($(on_board 'systemctl show -P Result sourcebar'))"
reason=$(on_board "journalctl -b -o cat -u sourcebar | grep -i 'platform plugin' | sort -u | head -n 3" || true)
echo "$reason" | sed 's/^/  /'
check "a platform that cannot start: the journal says why" grep -q 'nosuchplatform' <<<"$reason"
on_board 'sed -i "/^QT_QPA_PLATFORM=/d" /etc/default/sourcebar; systemctl reset-failed sourcebar; systemctl start sourcebar'
check "after a fix it starts again" wait_started 180
journal sourcebar >"$out/journal.log" || true
journal txsim >"$out/txsim.log" || true


# The system calls the filter refuses. It answers them with EPERM, so every call
# of the program that ends in EPERM is traced (ftrace: raw_syscalls:sys_exit
# with ret -1, for whatever PID 1 forks from now on) while the bar runs on each
# platform with the unit as it is; those outside the set the filter allows are
# the refused ones, the rest ordinary permission failures.
syscall_names() { # the architecture's numbers and names, from the kernel headers
    local header
    case "$arch" in
        armhf) header=/usr/include/arm-linux-gnueabihf/asm/unistd-eabi.h ;;
        amd64) header=/usr/include/x86_64-linux-gnu/asm/unistd_64.h ;;
    esac
    # A host without them has the header beside the image (scripts/board).
    [ -f "$header" ] || header="$image/syscalls.h"
    [ -f "$header" ] || return 0
    sed -n 's/^#define __NR_\([a-z0-9_]*\)[[:space:]]*(\{0,1\}\(__NR_SYSCALL_BASE *+ *\)\{0,1\}\([0-9]*\))\{0,1\}$/\3 \1/p' "$header"
}
# Mesa's shader cache thread lowers its own priority and pins itself to a
# processor; refused, it carries on at normal priority. Allowing them would
# open @resources to the program, which has no use for the rest of it.
justified_refusals='sched_setaffinity sched_setscheduler setpriority'
on_board 'T=/sys/kernel/tracing
    echo 0 >$T/tracing_on; echo >$T/trace; echo 8192 >$T/buffer_size_kb
    echo 1 >$T/options/event-fork; echo 1 >$T/options/record-tgid; echo 1 >$T/set_event_pid
    echo "ret == -1" >$T/events/raw_syscalls/sys_exit/filter
    echo 1 >$T/events/raw_syscalls/sys_exit/enable; echo 1 >$T/tracing_on'
# The trace sees a call that a filter refuses: uname under a filter of its own.
case "$arch" in armhf) uname_call=122 ;; amd64) uname_call=63 ;; esac
on_board 'systemd-run -q --unit=refused-uname -p SystemCallFilter=~uname -p SystemCallErrorNumber=EPERM /bin/uname' || true
check "the trace shows a call that a filter refuses (uname, system call $uname_call)" \
    board_until "grep -q 'uname-.*NR $uname_call = -1' /sys/kernel/tracing/trace" 30
: >"$out/eperm.log"
for platform in eglfs linuxfb; do
    on_board "sed -i '/^QT_QPA_PLATFORM=/d' /etc/default/sourcebar; echo QT_QPA_PLATFORM=$platform >>/etc/default/sourcebar; systemctl restart sourcebar"
    wait_started 180 || true
    pid=$(main_pid)
    switch_on || true
    sleep 5
    host move 700 874; sleep 5; host click 700 874; sleep 3; host move 960 300
    # The lines of the program's threads: its tgid, and no longer systemd's
    # "(sourcebar)" that sets up the sandbox before the program starts.
    on_board "systemctl stop sourcebar; grep -E '\\(\\s*$pid\\)' /sys/kernel/tracing/trace | grep -v '^ *(sourcebar)'" \
        >>"$out/eperm.log" || true
done
on_board 'T=/sys/kernel/tracing; echo 0 >$T/tracing_on; echo 0 >$T/events/raw_syscalls/sys_exit/enable; echo >$T/set_event_pid
    sed -i "/^QT_QPA_PLATFORM=/d" /etc/default/sourcebar; systemctl start sourcebar'
allowed=$(on_board 'expand() {
        systemd-analyze syscall-filter --no-pager "$1" | awk "NR > 1 && \$1 !~ /^#/ { print \$1 }" |
            while read -r s; do case $s in @*) expand "$s" ;; *) echo "$s" ;; esac; done
    }
    expand @system-service | sort -u >/run/allowed; { expand @privileged; expand @resources; } | sort -u >/run/denied
    comm -23 /run/allowed /run/denied')
names=$(syscall_names)
refused=''; elsewhere=''; unjustified=''
while read -r n number; do
    [ -n "$number" ] || continue
    name=$(awk -v n="$number" '$1 == n { print $2; exit }' <<<"$names")
    name=${name:-syscall$number}
    if grep -qx "$name" <<<"$allowed"; then
        elsewhere+="$name ($n), "
    else
        refused+="$name ($n), "
        [[ " $justified_refusals " == *" $name "* ]] || unjustified+="$name "
    fi
done < <(sed -n 's/.*sys_exit: NR \([0-9]*\) = -1.*/\1/p' "$out/eperm.log" | sort -n | uniq -c)
refused=${refused%, }; elsewhere=${elsewhere%, }
echo "board: system calls the filter refuses: ${refused:-none}"
echo "board: calls that failed with EPERM for other reasons: ${elsewhere:-none}"
check "every call the filter refuses is a known one (${unjustified:-no other})" [ -z "$unjustified" ]
