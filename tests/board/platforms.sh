# Sourced by tests/board/test after install.sh: the bar on eglfs (the package's
# default) and linuxfb, drawn, hovered, clicked and driven by keys, and the
# journal of each.


# Four buttons in the bar of screendump NAME, each showing a picture: a button
# appears before its first picture is painted.
all_pictured() {
    local l r k w
    read -r l r < <(lit_span "$1" 830)
    [ -n "$r" ] && [ $((r - l)) -ge 799 ] || return 1
    w=$(((r - l + 1) / 4))
    for k in 0 1 2 3; do is_picture "$(pixel "$1" $((l + w * k + 20)) 830)" || return 1; done
}

# The card's background colour, which names its transmitter: every card has
# its own. colour_of holds them by transmitter, from the last bar_checks.
declare -A colour_of=()
card_colour() { # card_colour N
    local try
    for try in 1 2 3; do
        BOARD_TIMEOUT=60 on_board "curl -sf --max-time 20 http://127.0.0.$((10 + $1)):8080/snap.jpg" \
            >"$out/card$1.jpg" 2>/dev/null && [ -s "$out/card$1.jpg" ] && break
        rm -f "$out/card$1.jpg"
    done
    [ -s "$out/card$1.jpg" ] &&
        convert "$out/card$1.jpg" -format "%[fx:int(255*p{64,130}.r)] %[fx:int(255*p{64,130}.g)] %[fx:int(255*p{64,130}.b)]" info:
}
colour_distance() {
    local r g b cr cg cb
    read -r r g b <<<"$1"; read -r cr cg cb <<<"$2"
    echo $(( (r > cr ? r - cr : cr - r) + (g > cg ? g - cg : cg - g) + (b > cb ? b - cb : cb - b) ))
}

# The bar on PLATFORM: switch on, each transmitter's card in a button, hover, click.
bar_checks() {
    local platform="$1" mismatch=1000 i k best best_d d px py bx left right mae x y width
    if ! wait_started 180; then
        check "$platform: the program started" false
        on_board 'systemctl status --no-pager -n 0 sourcebar; journalctl -b --no-pager -o cat -u sourcebar -n 30' | sed 's/^/  /'
        return 0
    fi
    check "$platform: the program started" true
    check "$platform: a double-click switches the bar on" switch_on
    eventually "$platform-on" 120 all_pictured "$platform-on" || true
    read -r left right < <(lit_span "$platform-on" 830)
    check "$platform: four pictured buttons (lit row ${left:-none}..${right:-none})" all_pictured "$platform-on"
    [ -n "$right" ] || return 0
    width=$(((right - left + 1) / 4))
    # Each transmitter's card is in a button of its own: the button whose face is
    # nearest the card's background colour, and near it.
    local -A button_of=()
    colour_of=()
    local used=''
    for i in 1 2 3 4; do
        local colour
        colour=$(card_colour "$i") || colour=''
        colour_of[$i]=$colour
        best=-1; best_d=999
        for k in 0 1 2 3; do
            d=$(colour_distance "$(pixel "$platform-on" $((left + width * k + 20)) 830)" "${colour:-0 0 0}")
            [ "$d" -lt "$best_d" ] && { best_d=$d; best=$k; }
        done
        check "$platform: transmitter $i's card is in button $((best + 1)) (colour difference $best_d)" \
            eval '[ -n "$colour" ] && [ "$best_d" -le 30 ] && [[ "$used" != *"<$best>"* ]]'
        used+="<$best>"
        button_of[$i]=$best
    done
    # Hover over the first button: the big preview shows its transmitter's card.
    bx=$left
    x=$((bx + 100)); y=874
    px=$((bx - 100)); py=$((792 - 300))
    host move "$x" "$y"
    eventually "$platform-hover" 60 eval 'is_picture "$(pixel $platform-hover $((px + 380)) $((py + 150)))"' || true
    sleep 3 # the preview may still be drawing
    shot "$platform-hover"
    check "$platform: resting the pointer shows the big preview" is_picture "$(pixel "$platform-hover" $((px + 380)) $((py + 150)))"
    for i in 1 2 3 4; do card_colour "$i" >/dev/null || true; done
    convert "$out/$platform-hover.png" -crop "400x225+$px+$((py + 37))" +repage "$out/preview.png"
    for i in 1 2 3 4; do
        [ -s "$out/card$i.jpg" ] || continue
        convert "$out/card$i.jpg" -resize '400x225!' "$out/card$i.png"
        mae=$(convert \( "$out/preview.png" -crop 400x58+0+12 +repage \) \
                      \( "$out/preview.png" -crop 400x91+0+134 +repage \) -append \
                      \( \( "$out/card$i.png" -crop 400x58+0+12 +repage \) \
                         \( "$out/card$i.png" -crop 400x91+0+134 +repage \) -append \) \
                      -compose difference -composite -format '%[fx:int(1000*mean)]' info:)
        [ "$mae" -lt "$mismatch" ] && mismatch=$mae
    done
    check "$platform: the preview shows a transmitter's test card (difference $mismatch/1000)" [ "$mismatch" -le 40 ]
    host move 960 300
    # A click on the button of transmitter k plays k's stream.
    for i in 4 1; do
        check "$platform: a click on transmitter $i's button plays udp://239.255.0.$((10 + i)):5000" \
            plays "$i" host click $((left + width * ${button_of[$i]} + width / 2)) "$y"
        host move 960 300
        sleep 2 # clicks are refused for 2 s after a play command
    done
    # The pointer rests beside the buttons: no preview above any of them.
    eventually "$platform-left" 30 no_preview "$platform-left" "$left" "$width" || true
    check "$platform: the preview goes when the pointer leaves" no_preview "$platform-left" "$left" "$width"
    key_checks "$platform"
}

# Whether screendump NAME shows no enlarged preview above any of the buttons.
no_preview() { # no_preview NAME LEFT WIDTH
    local k
    for k in 0 1 2 3; do is_dark "$(pixel "$1" $(($2 + $3 * k + 100)) $((792 - 300 + 150)))" || return 1; done
}
# Whether the bar's area of screendump NAME is dark: nothing left of the buttons.
bar_dark() { # bar_dark NAME
    local y l r
    for y in 800 830 874 940; do
        read -r l r < <(lit_span "$1" "$y")
        [ -z "$r" ] || return 1
    done
    no_preview "$1" 60 450
}
# The transmitter whose card colour is nearest to pixel X, 830 of screendump NAME.
card_at() { # card_at NAME X
    local i best=0 best_d=999 d
    for i in 1 2 3 4; do
        d=$(colour_distance "$(pixel "$1" "$2" 830)" "${colour_of[$i]:-0 0 0}")
        [ "$d" -lt "$best_d" ] && { best_d=$d; best=$i; }
    done
    echo "$best"
}
payloads() { journal playerd | grep -c '^playerd: payload' || true; }
removals() { journal sourcebar | grep -c '^remove item: ' || true; }
# COMMAND (a key) plays transmitter N's stream: a play command, the last one naming it.
plays() { # plays N COMMAND...
    local n="$1" before
    shift
    before=$(payloads)
    "$@" >/dev/null
    board_until "[ \$(journalctl -u playerd -b -o cat | grep -c '^playerd: payload') -gt $before ]" 30 &&
        grep -qF "\"src_onplaying\": \"udp://239.255.0.$((10 + n)):5000\"" <<<"$(journal playerd | grep '^playerd: payload' | tail -n1)"
}
# A remote control's receiver that appears while the program runs (6 s for the
# program to take it, also on a busy machine), with the
# keys of evdev CODEs, which QEMU's keyboard has none of (tests/board/remote.pl).
on_board "cat >/run/remote.pl <<'REMOTE'
$(cat "$here/remote.pl")
REMOTE"
remote() { # remote CODE...
    BOARD_TIMEOUT=60 on_board "perl /run/remote.pl 6 $*"
}
# An NEC frame of SCANCODE through the infrared loopback (tests/board/remote.toml).
infrared() { # infrared SCANCODE
    on_board "ir-ctl -d /dev/lirc0 -S nec:$1"
}
# The TV's remote: a CEC user control pressed and released, from the TV to this
# receiver (logical address 4, a playback device).
cec() { # cec UI-COMMAND
    on_board "tv='-s -D vivid -a vivid-000-vid-cap0 -t 4'
        cec-ctl \$tv --user-control-pressed ui-cmd=$1 && cec-ctl \$tv --user-control-released"
}

# Keys from the board's virtio keyboard, as a remote's reach the program: on
# the bar that the mouse switched on, BACK switches it off and leaves its area
# dark, MENU switches it on, Right moves the focus and the preview with it, OK
# and a digit play, and so do a remote's digit and OK, an infrared remote's
# Right and OK and a TV's Left and Select, MENU switches it off; then MENU on
# again for what follows.
key_checks() { # key_checks PLATFORM
    local platform="$1" before left right width i
    sleep 2 # the click lock
    before=$(removals)
    host key esc
    check "$platform: BACK (Escape) switches the bar off" \
        board_until "[ \$(journalctl -u sourcebar -b -o cat | grep -c '^remove item: ') -ge $((before + 4)) ]" 30
    eventually "$platform-back" 30 bar_dark "$platform-back" || true
    check "$platform: after BACK the bar's area is dark again" bar_dark "$platform-back"
    before=$(requests)
    host key menu
    check "$platform: MENU switches the bar on (a discovery)" \
        board_until "[ \$(journalctl -u txsim -b -o cat | grep -c 'discovery request from') -gt $before ]" 30
    eventually "$platform-menu" 120 all_pictured "$platform-menu" || true
    check "$platform: MENU: four pictured buttons" all_pictured "$platform-menu"
    read -r left right < <(lit_span "$platform-menu" 830)
    [ -n "$right" ] || return 0
    width=$(((right - left + 1) / 4))
    host key right
    eventually "$platform-right" 60 eval 'is_picture "$(pixel $platform-right $((left + width + 100)) $((792 - 300 + 150)))"' || true
    check "$platform: Right: the second button's preview shows" \
        is_picture "$(pixel "$platform-right" $((left + width + 100)) $((792 - 300 + 150)))"
    check "$platform: Right: no preview over the first" is_dark "$(pixel "$platform-right" $((left + 100)) $((792 - 300 + 150)))"
    i=$(card_at "$platform-menu" $((left + width + 20)))
    check "$platform: OK (Return) plays the focused second button's transmitter $i" plays "$i" host key ret
    sleep 2
    i=$(card_at "$platform-menu" $((left + 2 * width + 20)))
    check "$platform: digit 3 plays the third button's transmitter $i" plays "$i" host key 3
    sleep 2
    # KEY_NUMERIC_2 (evdev 514) and KEY_OK (352), which reach Qt by scan code alone.
    i=$(card_at "$platform-menu" $((left + width + 20)))
    check "$platform: the remote's KEY_NUMERIC_2 (uinput) plays the second button's transmitter $i" \
        plays "$i" remote 514
    sleep 2
    check "$platform: the remote's KEY_OK (uinput) plays the focused second again" plays "$i" remote 352
    sleep 2
    # The kernel's infrared and CEC stacks: Right and OK of the infrared remote
    # play the third; Left and Select of the TV's remote the second.
    infrared 0x0102 >/dev/null
    i=$(card_at "$platform-menu" $((left + 2 * width + 20)))
    check "$platform: infrared Right and OK play the third button's transmitter $i" plays "$i" infrared 0x0103
    sleep 2
    cec left >/dev/null
    i=$(card_at "$platform-menu" $((left + width + 20)))
    check "$platform: the TV's Left and Select (HDMI-CEC) play the second button's transmitter $i" plays "$i" cec select
    sleep 2
    before=$(removals)
    host key menu
    check "$platform: MENU switches the bar off" \
        board_until "[ \$(journalctl -u sourcebar -b -o cat | grep -c '^remove item: ') -ge $((before + 4)) ]" 30
    eventually "$platform-menu-off" 30 bar_dark "$platform-menu-off" || true
    check "$platform: after MENU off the bar's area is dark again" bar_dark "$platform-menu-off"
    host key menu
    host move 960 310 # the pointer moving ends keyboard use: no focus mark
    eventually "$platform-on-again" 120 all_pictured "$platform-on-again" || true
}


journal_checks() { # journal_checks PLATFORM: no error of the platform plugin, the devices or the sandbox
    local platform="$1" log plugin
    log=$(on_board "journalctl -b -o cat _SYSTEMD_UNIT=sourcebar.service _PID=$(main_pid)")
    echo "$log" >"$out/$platform-journal.log"
    plugin=$(on_board "grep -o 'libq[a-z]*\.so' /proc/$(main_pid)/maps | sort -u | grep -E 'eglfs|linuxfb|xcb|offscreen' | paste -sd' '")
    echo "board: $platform: platform plugin loaded: ${plugin:-none}"
    check "$platform: the $platform plugin loaded ($plugin)" grep -q "$platform" <<<"$plugin"
    local bad
    bad=$(journal_errors <<<"$log")
    [ -z "$bad" ] || printf '  %s\n' "$bad" | head -n 20
    check "$platform: the journal holds no error" [ -z "$bad" ]
}

# The service as the package leaves it: eglfs, the default platform.
check "the default platform is the unit's eglfs, not overridden" on_board \
    'systemctl show -P Environment sourcebar | tr " " "\\n" | grep -qx QT_QPA_PLATFORM=eglfs && ! grep -q "^QT_QPA_PLATFORM=" /etc/default/sourcebar'
before_eglfs=$failures
bar_checks eglfs
sandbox_checks
# The pointer, resting at 300,300 where nothing else is drawn. A display with a
# cursor plane (virtio-gpu) shows it there, which QEMU's screendump leaves out;
# on one without (VGA), eglfs draws it into the picture. Either way the journal
# stays quiet at every motion (journal_checks). pointer_row reads the lit span
# of the row just below the resting point of screendump NAME.
pointer_row() { read -r pointer_l pointer_r < <(lit_span "$1" 308); }
pointer_drawn() { # pointer_drawn NAME
    pointer_row "$1"
    [ -n "$pointer_r" ] && [ "$pointer_l" -ge 295 ] && [ "$pointer_r" -le 330 ]
}
host move 300 300
if [ "$display" = vga ]; then
    check "eglfs: without a cursor plane the program has eglfs draw the pointer" \
        grep -q 'has no cursor plane: eglfs draws the pointer' <<<"$(journal sourcebar)"
    eventually eglfs-pointer 60 pointer_drawn eglfs-pointer || true
    check "eglfs: the pointer is drawn at 300,300 (row 308 lit ${pointer_l:-none}..${pointer_r:-none})" \
        pointer_drawn eglfs-pointer
else
    check "eglfs: the display's cursor plane is kept" \
        eval '! grep -q "has no cursor plane" <<<"$(journal sourcebar)"'
    sleep 10 # the refresh repaints the bar meanwhile
    shot eglfs-pointer
    pointer_row eglfs-pointer
    check "eglfs: the pointer is not drawn into the picture (row 308 lit ${pointer_l:-none}..${pointer_r:-none})" \
        [ -z "$pointer_r" ]
fi
journal_checks eglfs
shot board-eglfs
check "the program holds the first virtual terminal" [ "$(on_board "readlink /proc/$(main_pid)/fd/0")" = /dev/tty1 ]
check "the login prompt on tty1 is stopped" [ "$(on_board 'systemctl is-active getty@tty1' || true)" != active ]
if [ "$failures" -gt "$before_eglfs" ]; then
    # What eglfs's KMS backend says about the display (kept in eglfs-kms.log).
    on_board 'echo QT_LOGGING_RULES=qt.qpa.eglfs.kms.debug=true >>/etc/default/sourcebar; systemctl restart sourcebar'
    wait_started 180 || true
    sleep 10
    on_board 'journalctl -b -o cat _PID=$(systemctl show -P MainPID sourcebar)' >"$out/eglfs-kms.log" || true
    on_board 'sed -i "/^QT_LOGGING_RULES=/d" /etc/default/sourcebar'
    grep -E 'native format|format|Adding FB|mode for screen|Selected mode|page flip' "$out/eglfs-kms.log" | sort | uniq -c | head -n 12 || true
fi

# Directives that the unit leaves off, tried with a drop-in: the bar must still
# come up on the platform they are meant for.
dropin() { # dropin NAME LINE...: a runtime drop-in for the unit (none: remove NAME)
    local name="$1"
    shift
    if [ $# -eq 0 ]; then
        on_board "rm -f /run/systemd/system/sourcebar.service.d/$name.conf; systemctl daemon-reload"
    else
        on_board "mkdir -p /run/systemd/system/sourcebar.service.d && printf '%s\n' '[Service]' $(printf "'%s' " "$@") \
            >/run/systemd/system/sourcebar.service.d/$name.conf && systemctl daemon-reload"
    fi
}
# eglfs without a GPU driver draws with llvmpipe, which generates machine code:
# under MemoryDenyWriteExecute=yes it is expected to crash at its first frame.
dropin mdwe MemoryDenyWriteExecute=yes
since=$(on_board 'date +%s')
on_board 'systemctl restart sourcebar'
if board_until "journalctl -b -o cat -u sourcebar --since @$since | grep -q 'status=11/SEGV'" 120; then
    echo "board: eglfs with MemoryDenyWriteExecute=yes: no bar; the program's last lines:"
    on_board "journalctl -b -o cat -u sourcebar --since @$since | grep -B4 -m1 'status=11/SEGV'" | sed 's/^/  /' || true
elif wait_started 60 && switch_on &&
    eventually eglfs-mdwe 90 eval 'read -r l r < <(lit_span eglfs-mdwe 830); [ -n "$r" ] && [ $((r - l)) -ge 799 ]'; then
    echo "board: eglfs with MemoryDenyWriteExecute=yes: the bar is drawn"
else
    echo "board: eglfs with MemoryDenyWriteExecute=yes: no bar and no crash"
fi

# linuxfb, an override in /etc/default/sourcebar, then a restart; with MemoryDenyWriteExecute,
# which its README drop-in sets.
on_board 'sed -i "/^QT_QPA_PLATFORM=/d" /etc/default/sourcebar && echo QT_QPA_PLATFORM=linuxfb >>/etc/default/sourcebar && systemctl reset-failed sourcebar; systemctl restart sourcebar'
bar_checks linuxfb
journal_checks linuxfb
check "linuxfb: under MemoryDenyWriteExecute=yes" [ "$(on_board 'systemctl show -P MemoryDenyWriteExecute sourcebar')" = yes ]
dropin mdwe
on_board 'sed -i "/^QT_QPA_PLATFORM=/d" /etc/default/sourcebar && systemctl restart sourcebar'
check "back on eglfs" wait_started 180

