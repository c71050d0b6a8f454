# Shared by scripts/run and the end-to-end tests: starts an X server, the
# simulated transmitters, the player stand-in and sourcebar, and stops every
# process it started, by PID. Source it; call session_init first.
#   session_init BUILD_DIR OUT_DIR

session_pids=()

session_init() {
    session_clean_qt_env
    session_bin="$1/bin"
    session_out="$2"
    mkdir -p "$session_out"
    export XDG_RUNTIME_DIR="$session_out/runtime"
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    trap session_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# The session picks its Qt platforms itself (sourcebar on the X server, the
# tools offscreen) and drops the caller's Qt settings that change what the
# checks see (the list the tests drop too).
session_clean_qt_env() {
    local names
    mapfile -t names < <(grep -E '^[A-Za-z_]+$' "$(dirname "${BASH_SOURCE[0]}")/../../cmake/isolated-environment")
    unset QT_QPA_PLATFORM "${names[@]}"
}

# Stops in the reverse order of starting, each before the next: the X clients
# end while their server still runs (a lost display is fatal to Xlib clients).
session_cleanup() {
    local i pid
    for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
        pid=${session_pids[i]}
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    session_pids=()
}

# Waits up to $3 seconds (default 10) for a line matching $2 in file $1.
session_wait_for() {
    local file="$1" pattern="$2" limit="${3:-10}" i
    for i in $(seq $((limit * 10))); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "timed out waiting for /$pattern/ in $file" >&2
    return 1
}

# Starts Xvfb on a free display of 1920 x 1080, exports DISPLAY, and starts a
# compositor on it, so that sourcebar's translucent window shows what lies
# below it (playerd's video) as on the device.
session_start_x() {
    local fdfile="$session_out/xvfb.display"
    : >"$fdfile"
    Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp -noreset \
        >"$fdfile" 2>"$session_out/xvfb.log" &
    session_pids+=($!)
    local i
    for i in $(seq 100); do
        [ -s "$fdfile" ] && break
        sleep 0.1
    done
    [ -s "$fdfile" ] || { echo "Xvfb did not start; see $session_out/xvfb.log" >&2; return 1; }
    export DISPLAY=":$(head -n1 "$fdfile")"
    # -n: plain compositing, no shadows that would tint the screenshots.
    xcompmgr -n >"$session_out/xcompmgr.log" 2>&1 &
    session_pids+=($!)
    # It names the window that holds its selection once it composites.
    for i in $(seq 50); do
        xdotool search --name '^xcompmgr$' >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "xcompmgr did not start; see $session_out/xcompmgr.log" >&2
    return 1
}

# Starts txsim (extra arguments are its options) and playerd --raw.
session_start_tools() {
    session_start_txsim "$@" || return 1
    "$session_bin/playerd" --raw >"$session_out/playerd.log" 2>&1 &
    session_pids+=($!)
    session_wait_for "$session_out/playerd.log" '^playerd: listening'
}

# Starts txsim alone (its options as arguments), logging to txsim.log anew.
session_start_txsim() {
    QT_QPA_PLATFORM=offscreen "$session_bin/txsim" "$@" >"$session_out/txsim.log" 2>&1 &
    session_pids+=($!)
    session_txsim_pid=$!
    session_wait_for "$session_out/txsim.log" '^txsim: ready'
}

# SOURCEBAR_E2E_LAUNCHER, if set, is a command (split at spaces) that starts the
# program, as setpriv does for the unprivileged run; it must exec the program,
# so that the PID stays the program's own. SOURCEBAR_E2E_PROGRAM, if set, is the
# program to start instead of the build's. The PID goes to sourcebar.pid.
session_start_sourcebar() {
    # shellcheck disable=SC2086
    QT_QPA_PLATFORM=xcb ${SOURCEBAR_E2E_LAUNCHER:-} "${SOURCEBAR_E2E_PROGRAM:-$session_bin/sourcebar}" >"$session_out/sourcebar.out" 2>"$session_out/sourcebar.log" &
    session_sourcebar_pid=$!
    session_pids+=($!)
    echo "$session_sourcebar_pid" >"$session_out/sourcebar.pid"
    session_wait_for "$session_out/sourcebar.log" 'qss file from' 15
    # The window appears once the event loop runs.
    local i
    for i in $(seq 100); do
        xdotool search --onlyvisible --name '^Widget$' >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "the sourcebar window did not appear" >&2
    return 1
}

# Double-clicks the window to switch the bar on and waits for the discovery
# request to reach txsim. A slow start (sanitizers, a loaded machine) can
# swallow the first double-click, so it tries again, but only while no request
# was seen (a seen one means the bar is on).
session_switch_on() {
    local before tries i
    before=$(grep -c 'discovery request from' "$session_out/txsim.log" || true)
    for tries in 1 2 3; do
        xdotool mousemove 960 300 click --repeat 2 --delay 60 1
        for i in $(seq 40); do
            [ "$(grep -c 'discovery request from' "$session_out/txsim.log" || true)" -gt "$before" ] &&
                return 0
            sleep 0.1
        done
    done
    echo "the bar did not switch on" >&2
    return 1
}

# Saves a screenshot of the whole screen as $session_out/NAME.png.
session_shot() {
    import -display "$DISPLAY" -window root "$session_out/$1.png"
}

# Prints the colour of one pixel of a screenshot as "R G B".
session_pixel() {
    convert "$1" -format '%[fx:int(255*p{'"$2"','"$3"'}.r)] %[fx:int(255*p{'"$2"','"$3"'}.g)] %[fx:int(255*p{'"$2"','"$3"'}.b)]' info:
}

# Centre of button INDEX (0-based) of a bar of COUNT buttons, as "X Y": the
# buttons stand side by side, 200 wide, centred in the bar at 60,792 1800 x 165.
session_button_centre() {
    local index="$1" count="$2"
    echo "$((60 + (1800 - 200 * count) / 2 + 200 * index + 100)) 874"
}
