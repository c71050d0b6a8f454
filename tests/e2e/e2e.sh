#!/usr/bin/env bash
# End-to-end: the built sourcebar with txsim and playerd under Xvfb, driven by
# real X input (xdotool) and checked through screenshots and the tools' logs.
#   tests/e2e/e2e.sh BUILD_DIR
# It broadcasts, so it refuses to run outside a private network namespace.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(readlink -f "${1:-$root/build}")

if ip -o link show | grep -vq ': lo:'; then
    echo "e2e: this network namespace has interfaces besides lo; run it through scripts/test" >&2
    exit 1
fi
# The discovery broadcast and the video streams' multicast loop back on lo, as
# scripts/netns routes them; a private namespace made otherwise gets the routes
# here, or the test stops at once naming the one it lacks.
for route in 255.255.255.255 239.0.0.0/8; do
    ip route get "${route%/*}" 2>/dev/null | grep -q ' dev lo ' && continue
    if ! ip route add "$route" dev lo src 127.0.0.1 2>/dev/null; then
        echo "e2e: no route for $route on lo, and it cannot be added here (ip route add $route dev lo src 127.0.0.1)" >&2
        exit 1
    fi
done

. "$root/scripts/lib/session.sh"
out="${SOURCEBAR_E2E_OUT:-$build/e2e}"
rm -rf "$out"
session_init "$build" "$out"

. "$root/scripts/lib/check.sh"
is_dark() { local r g b; read -r r g b <<<"$1"; [ $((r + g + b)) -lt 60 ]; }
is_picture() { # neither the dark background nor the grey button face
    local r g b; read -r r g b <<<"$1"
    [ $((r + g + b)) -ge 60 ] && ! { [ "$r" -ge 180 ] && [ "$g" -ge 180 ] && [ "$b" -ge 180 ]; }
}
pixel() { session_pixel "$out/$1.png" "$2" "$3"; }
crop_sum() { convert "$out/$1.png" -crop "$2" +repage rgb:- | md5sum | cut -d' ' -f1; }
count_lines() { grep -cE -- "$2" "$out/$1" || true; }
# Waits up to SECONDS until FILE holds more than N lines matching PATTERN.
more_lines() { # more_lines FILE PATTERN N SECONDS
    local i
    for i in $(seq $(($4 * 10))); do
        [ "$(count_lines "$1" "$2")" -gt "$3" ] && return 0
        sleep 0.1
    done
    return 1
}
# Takes screenshot NAME until COMMAND succeeds on it, for up to SECONDS: the
# program may be slow to repaint on a loaded machine or under the sanitizers.
eventually() {
    local name="$1" seconds="$2" i
    shift 2
    for i in $(seq $((seconds * 3))); do
        session_shot "$name"
        "$@" && return 0
        sleep 0.3
    done
    return 1
}
# First and last x of a lit (not dark) pixel on row Y of a screenshot.
lit_span() {
    convert "$out/$1.png" -crop "1920x1+0+$2" +repage txt:- |
        awk -F'[,:() ]+' 'NR > 1 && $3 + $4 + $5 >= 60 { if (first == "") first = $1; last = $1 }
                          END { print first, last }'
}

# How far, in thousandths of full scale, the picture in the hover preview is
# from the best match among the cards the transmitters serve now, scaled to
# 400 x 225. Only the card's steady bands are compared: the name, the info line
# and the colour bars; the marker on the top edge and the clock change every
# second, and the preview may be up to one refresh period old.
preview_mae_limit=40
preview_mismatch() { # preview_mismatch SHOT PREVIEW_LEFT
    local i best=1000 mae
    convert "$out/$1.png" -crop "400x225+$2+$((py + 37))" +repage "$out/preview.png"
    for i in $(seq "$count"); do
        curl -sf -o "$out/card$i.jpg" "http://127.0.0.$((10 + i)):8080/snap.jpg" || continue
        convert "$out/card$i.jpg" -resize '400x225!' "$out/card$i.png"
        mae=$(convert \( "$out/preview.png" -crop 400x58+0+12 +repage \) \
                      \( "$out/preview.png" -crop 400x91+0+134 +repage \) -append \
                      \( \( "$out/card$i.png" -crop 400x58+0+12 +repage \) \
                         \( "$out/card$i.png" -crop 400x91+0+134 +repage \) -append \) \
                      -compose difference -composite -format '%[fx:int(1000*mean)]' info:)
        [ "$mae" -lt "$best" ] && best=$mae
    done
    echo "$best"
}

# Video: playerd plays, below sourcebar's window, the stream txsim sends of a
# card, scaled to the screen. Each card has a background colour of its own,
# which the JPEG preview shows as well; the video is found by that colour.
card_colour() { # card_colour N: "R G B" of the background of transmitter N's card
    curl -sf -o "$out/bg$1.jpg" "http://127.0.0.$((10 + $1)):8080/snap.jpg" &&
        session_pixel "$out/bg$1.jpg" 64 130
}
near() { # near "R G B" "R G B": within 45 in the sum of the channels' differences
    local r g b cr cg cb
    read -r r g b <<<"$1"
    read -r cr cg cb <<<"$2"
    [ $(( (r > cr ? r - cr : cr - r) + (g > cg ? g - cg : cg - g) + (b > cb ? b - cb : cb - b) )) -le 45 ]
}
# Points where the scaled card shows only its background and sourcebar draws
# nothing (clear of the bar, the buttons and the enlarged preview; below the
# marker that walks along the card's top edge, beside its text, above its bars).
video_points=("1800 300" "100 760" "1800 760" "960 60")
shows_card() { # shows_card SHOT N
    local c point
    c=$(card_colour "$2") || return 1
    for point in "${video_points[@]}"; do
        # shellcheck disable=SC2086
        near "$(pixel "$1" $point)" "$c" || return 1
    done
}
# Whether some button of screenshot SHOT shows card N's colour.
card_on_a_button() { # card_on_a_button N SHOT
    local i c
    c=$(card_colour "$1") || return 1
    for i in $(seq 0 $((count - 1))); do
        near "$(pixel "$2" $((bar_left + width * i + 20)) 830)" "$c" && return 0
    done
    return 1
}
# The label strip of every button shows the face (grey) or the selected
# (dark) label, not the video's colour bars behind the bar.
buttons_drawn() { # buttons_drawn SHOT
    local i r g b lo hi
    for i in $(seq 0 $((count - 1))); do
        read -r r g b <<<"$(pixel "$1" $((bar_left + width * i + 12)) 935)"
        lo=$r hi=$r
        for c in "$g" "$b"; do [ "$c" -lt "$lo" ] && lo=$c; [ "$c" -gt "$hi" ] && hi=$c; done
        [ $((r + g + b)) -lt 60 ] || { [ "$lo" -ge 150 ] && [ $((hi - lo)) -le 30 ]; } || return 1
    done
}

count=4
start=$SECONDS
session_start_x
session_start_tools --count "$count" --no-ts 4
session_start_sourcebar

# Switch on: a discovery, then one button per transmitter, each with its picture.
session_switch_on
session_wait_for "$out/sourcebar.log" 'discovery completed' 10
# Four pictured buttons make a lit row at least 800 px wide.
eventually on 10 eval 'read -r l r < <(lit_span on 830); [ -n "$r" ] && [ $((r - l)) -ge 799 ]' || true
check "a discovery request went out" grep -q 'discovery request from 127.0.0.1' "$out/txsim.log"
check "four sources found" [ "$(count_lines sourcebar.log 'find new TX')" -eq 4 ]
read -r bar_left bar_right < <(lit_span on 830)
width=$(((bar_right - bar_left + 1) / count))
check "the buttons stand centred in the bar ($bar_left..$bar_right)" \
    [ $((bar_left - 60)) -eq $((1860 - bar_right - 1)) -o $((bar_left - 60)) -eq $((1860 - bar_right)) ]
for i in 0 1 2 3; do
    check "button $((i + 1)) shows its picture" is_picture "$(pixel on $((bar_left + width * i + 20)) 830)"
done
session_button_centre() { echo "$((bar_left + width * $1 + width / 2)) 874"; }
# Centre of the button that shows transmitter N's card in screenshot NAME.
# Button order is the order in which the first pictures arrived, which a fetch
# still running across a switch-off (or nested fetches) can change; every card
# has its own background colour, so the button is found by that colour.
button_of_card() { # button_of_card N NAME
    local i best=-1 best_d=999999 d r g b cr cg cb
    curl -sf -o "$out/bg$1.jpg" "http://127.0.0.$((10 + $1)):8080/snap.jpg" || return 1
    read -r cr cg cb <<<"$(session_pixel "$out/bg$1.jpg" 64 130)"
    for i in $(seq 0 $((count - 1))); do
        read -r r g b <<<"$(pixel "$2" $((bar_left + width * i + 20)) 830)"
        d=$(( (r > cr ? r - cr : cr - r) + (g > cg ? g - cg : cg - g) + (b > cb ? b - cb : cb - b) ))
        [ "$d" -lt "$best_d" ] && { best_d=$d; best=$i; }
    done
    session_button_centre "$best"
}

# Hover: the enlarged preview stands on the button's top edge, 400 x 300, 100
# pixels left of the button's left edge, the 1280 x 720 picture scaled to
# 400 x 225 and centred vertically in it. The buttons' real width comes from
# the style, so the first button's left edge is read from the screen.
read -r bx bar_right < <(lit_span on 830)
read -r x y < <(session_button_centre 0 "$count")
x=$((bx + 100))
px=$((bx - 100))
py=$((792 - 300))
xdotool mousemove "$x" "$y"
eventually hover 5 eval 'is_picture "$(pixel hover $((px + 380)) $((py + 150)))"' || true
read -r left right < <(lit_span hover $((py + 150)))
check "preview picture starts 100 px left of the button ($left)" [ "$left" -eq "$px" ]
check "preview picture is 400 px wide ($left..$right)" [ $((right - left + 1)) -eq 400 ]
# Probe below the marker that walks along the card's top edge (rows 0-9 here).
check "preview picture fills the middle 225 rows" is_picture "$(pixel hover $((px + 380)) $((py + 37 + 14)))"
mismatch=$(preview_mismatch hover "$px")
check "preview shows the picture a transmitter serves (difference $mismatch/1000)" \
    [ "$mismatch" -le "$preview_mae_limit" ]
check "nothing above the picture (label top)" is_dark "$(pixel hover $((px + 380)) $((py + 37 - 3)))"
check "nothing below the picture (label bottom)" is_dark "$(pixel hover $((px + 380)) $((py + 262 + 3)))"
xdotool mousemove 960 300
eventually unhover 5 eval 'is_dark "$(pixel unhover $((px + 380)) $((py + 150)))"' || true
check "preview gone after leaving" is_dark "$(pixel unhover $((px + 380)) $((py + 150)))"

# Refresh: the simulated clock ticks every second, the bar refreshes every 5 s.
before=$(crop_sum on 200x90+$bx+795)
sleep 4
eventually refreshed 10 eval '[ "$before" != "$(crop_sum refreshed 200x90+$bx+795)" ]' || true
check "refresh changed the picture" [ "$before" != "$(crop_sum refreshed 200x90+$bx+795)" ]

# Click: the exact play command, then the 2 s click lock.
expected='playerd: payload { "cmd": "set_param_player", "data": [ { "player": [ { "player_num": "1", "playlist": [ ], "src_onplaying": "udp://239.255.0.11:5000" } ] } ], "login_ack": "", "pwd_msg": "", "targ": "" }'
# Both buttons are found first: the second click must fall within the 2 s
# lock even on a loaded machine.
read -r x1 y1 < <(button_of_card 1 on)
read -r x2 y2 < <(button_of_card 2 on)
xdotool mousemove "$x1" "$y1" click 1
session_wait_for "$out/playerd.log" '^playerd: payload' 5
check "play command byte for byte" grep -qxF -- "$expected" "$out/playerd.log"
xdotool mousemove "$x2" "$y2" click 1
sleep 0.5
check "second click within the lock sends nothing" [ "$(count_lines playerd.log '^playerd: play ')" -eq 1 ]
check "second click logged as refused" grep -q 'button unclickable' "$out/sourcebar.log"
# The refused click left the first card playing.
session_wait_for "$out/playerd.log" '^playerd: first frame of udp://239.255.0.11:5000 ' 10 || true
eventually video1 10 shows_card video1 1 || true
check "the video shows the clicked transmitter's card outside the bar" shows_card video1 1
check "where the bar draws nothing beside the buttons, the video shows through" \
    eval 'near "$(pixel video1 $((bar_left - 40)) 874)" "$(card_colour 1)" &&
          near "$(pixel video1 $((bar_right + 40)) 874)" "$(card_colour 1)"'
sleep 2
xdotool click 1
session_wait_for "$out/playerd.log" 'src_onplaying": "udp://239.255.0.12:5000"' 5 || true
check "after the lock a click plays again" [ "$(count_lines playerd.log '^playerd: play ')" -eq 2 ]
session_wait_for "$out/playerd.log" '^playerd: first frame of udp://239.255.0.12:5000 ' 10 || true
eventually video2 10 shows_card video2 2 || true
check "a click on another transmitter switches the video to its card" shows_card video2 2
check "the first transmitter's card is gone" eval '! near "$(pixel video2 1800 300)" "$(card_colour 1)"'
# With the video behind them, the buttons and the enlarged preview still show
# what the transmitters serve. The pointer rests on the second card's button.
left2=$((x2 - width / 2))
# The preview's picture is the same card as the video; its white colour bar
# stands where the video shows the card's background.
eventually hover2 5 eval 'near "$(pixel hover2 $((left2 - 100 + 10)) $((py + 37 + 212)))" "255 255 255"' || true
for i in 1 2 3 4; do
    check "with video behind, a button shows card $i" card_on_a_button "$i" hover2
done
mismatch=$(preview_mismatch hover2 $((left2 - 100)))
check "with video behind, the preview shows the picture a transmitter serves (difference $mismatch/1000)" \
    [ "$mismatch" -le "$preview_mae_limit" ]
check "with video behind, the preview's picture shows" \
    near "$(pixel hover2 $((left2 - 100 + 10)) $((py + 37 + 212)))" "255 255 255"
check "with video behind, the video shows below the preview's picture" \
    near "$(pixel hover2 $((left2 - 100 + 200)) $((py + 262 + 8)))" "$(card_colour 2)"

# Right press beside the buttons: a new discovery.
requests=$(count_lines txsim.log 'discovery request from')
sleep 2.1 # let the click lock end
xdotool mousemove 960 300 click 3
session_wait_for "$out/sourcebar.log" 'discovery completed' 10
sleep 0.5
check "right press rediscovers" [ "$(count_lines txsim.log 'discovery request from')" -eq $((requests + 1)) ]

# Switch off and on again.
xdotool mousemove 960 300 click --repeat 2 --delay 60 1
# Where the first card's button was, the video (the second card) shows.
eventually off 5 eval 'near "$(pixel off $((x1 - width / 2 + 20)) 830)" "$(card_colour 2)"' || true
check "switching off removes the buttons" near "$(pixel off $((x1 - width / 2 + 20)) 830)" "$(card_colour 2)"
check "one removal line per button" [ "$(count_lines sourcebar.log '^remove item: ')" -ge 4 ]
session_switch_on
session_wait_for "$out/sourcebar.log" 'discovery completed' 10
sleep 0.5

# A source without transport stream: the warning box; a quit signal while it
# is open removes both windows and ends the program with status 0.
# The video lights the whole row: the buttons are known by their label strips.
eventually on2 10 buttons_drawn on2 || true
read -r x4 y4 < <(button_of_card 4 on2)

# Keys, as real X key events. The pointer rests beside the buttons.
xdotool mousemove 960 300
sleep 2.1 # let the click lock end
xdotool key Right
# The video lights every row: the preview is known by its picture, over
# whichever button has the focus.
keyed_preview() { # keyed_preview SHOT: the best match of a preview over some button
    local i m best=1000
    for i in $(seq 0 $((count - 1))); do
        m=$(preview_mismatch "$1" $((bar_left + width * i - 100)))
        [ "$m" -lt "$best" ] && best=$m
    done
    echo "$best"
}
eventually keyfocus 5 eval '[ "$(keyed_preview keyfocus)" -le "$preview_mae_limit" ]' || true
mismatch=$(keyed_preview keyfocus)
check "a key moving the focus shows its button's preview (difference $mismatch/1000)" \
    [ "$mismatch" -le "$preview_mae_limit" ]
plays=$(count_lines playerd.log '^playerd: play ')
xdotool key 2
session_wait_for "$out/playerd.log" '^playerd: play ' 5 || true
sleep 0.5
check "digit 2 plays" [ "$(count_lines playerd.log '^playerd: play ')" -eq $((plays + 1)) ]
# The second button from the left shows the card whose stream was asked for.
read -r b2x _ < <(session_button_centre 1)
check "digit 2 played the second button's source" \
    eval 'n=$(grep -o "239.255.0.1[1-4]" "$out/playerd.log" | tail -n1 | cut -d. -f4); [ "$(button_of_card $((n - 10)) on2 | cut -d" " -f1)" -eq "$b2x" ]'

# OK plays the focused source: from the second button the focus goes to a
# neighbour that has a stream (card 4 has none), and OK plays that one.
read -r x4 _ < <(button_of_card 4 on2)
target=0 key=Left
[ "$x4" -eq "$(session_button_centre 0 | cut -d' ' -f1)" ] && { target=2 key=Right; }
sleep 2.1 # the digit's click lock
plays=$(count_lines playerd.log '^playerd: play ')
xdotool key "$key"
sleep 0.3
xdotool key Return
more_lines playerd.log '^playerd: play ' "$plays" 3 || true
check "OK plays" [ "$(count_lines playerd.log '^playerd: play ')" -eq $((plays + 1)) ]
read -r tx _ < <(session_button_centre "$target")
check "OK played the source of the button the focus moved to ($key)" \
    eval 'n=$(grep -o "239.255.0.1[1-4]" "$out/playerd.log" | tail -n1 | cut -d. -f4); [ "$(button_of_card $((n - 10)) on2 | cut -d" " -f1)" -eq "$tx" ]'

open_box() {
    xdotool mousemove "$x4" "$y4" click 1
    box=""
    for _ in $(seq 50); do
        box=$(xdotool search --onlyvisible --name 'title' 2>/dev/null | head -n1) && [ -n "$box" ] && break
        sleep 0.1
    done
}
sleep 2.1
open_box
check "warning box opened for the key test" [ -n "$box" ]
removals=$(count_lines sourcebar.log '^remove item: ')
xdotool key Escape
gone=0
for _ in $(seq 30); do
    xdotool search --onlyvisible --name 'title' >/dev/null 2>&1 || { gone=1; break; }
    sleep 0.1
done
check "BACK closes the warning box" [ "$gone" -eq 1 ]
check "BACK closed the box only: the bar is still on" \
    [ "$(count_lines sourcebar.log '^remove item: ')" -eq "$removals" ]
# With the box gone, BACK switches the bar off, and MENU on again.
xdotool key Escape
more_lines sourcebar.log '^remove item: ' $((removals + count - 1)) 3 || true
check "BACK switches the bar off: one removal line per button" \
    [ "$(count_lines sourcebar.log '^remove item: ')" -eq $((removals + count)) ]
requests=$(count_lines txsim.log 'discovery request from')
completed=$(count_lines sourcebar.log 'discovery completed')
xdotool key Menu
more_lines sourcebar.log 'discovery completed' "$completed" 5 || true
check "MENU switches the bar on: a discovery" \
    [ "$(count_lines txsim.log 'discovery request from')" -eq $((requests + 1)) ]
# The buttons come back in the order their pictures arrive.
eventually on3 10 buttons_drawn on3 || true
check "MENU switched the bar on: four buttons drawn" buttons_drawn on3
read -r x4 y4 < <(button_of_card 4 on3)
sleep 2.1
open_box
session_shot warning
check "warning box for a source without transport stream" [ -n "$box" ]
kill -TERM "$session_sourcebar_pid"
status=0
wait "$session_sourcebar_pid" || status=$?
check "SIGTERM during the warning box ends with status 0" [ "$status" -eq 0 ]
check "quit line on standard output" grep -qx 'quit the application by signal(15).' "$out/sourcebar.out"
check "quit reaction logged" grep -q 'remove GUI from signal  15' "$out/sourcebar.log"

# A transmitter whose picture server stops: its button is marked until the
# server is back. txsim starts again, the first picture server refusing from
# its first second until its fourteenth, and so does sourcebar.
kill -TERM "$session_txsim_pid"
wait "$session_txsim_pid" 2>/dev/null || true
session_start_txsim --count 2 --preview-stop 1 --preview-stop-after 1 --preview-back-after 14
sleep 1
session_start_sourcebar
xdotool mousemove 960 300
session_switch_on
session_wait_for "$out/sourcebar.log" 'source offline: ' 15 || true
check "a source whose picture server refuses is logged offline" \
    grep -qx 'source offline: .* \[127.0.0.11\]' "$out/sourcebar.log"
# Two buttons, the first pictures to arrive first: the mark is a red disc in
# the top left corner of one of them.
marked() { # marked SHOT: how many of the two buttons show the mark
    convert "$out/$1.png" -crop "440x24+$((bar2 - 20))+800" +repage txt:- |
        awk -F'[,:() ]+' 'NR > 1 && ($3 - 220)^2 < 144 && ($4 - 30)^2 < 144 && ($5 - 30)^2 < 144 {
                              side[$1 < 220 ? "first" : "second"]++ }
                          END { n = 0; for (s in side) if (side[s] >= 10) n++; print n }'
}
read -r bar2 _ < <(session_button_centre 0 2)
bar2=$((bar2 - 100))
eventually offline 5 eval '[ "$(marked offline)" -eq 1 ]' || true
check "one button shows the offline mark" [ "$(marked offline)" -eq 1 ]
session_wait_for "$out/sourcebar.log" 'source online: ' 25 || true
check "when its picture server is back, the source is logged online" \
    grep -qx 'source online: .* \[127.0.0.11\]' "$out/sourcebar.log"
eventually online 5 eval '[ "$(marked online)" -eq 0 ]' || true
check "and the mark is gone" [ "$(marked online)" -eq 0 ]

echo "e2e: $failures failure(s) in $((SECONDS - start)) s; screenshots and logs in $out"
[ "$failures" -eq 0 ] || { tail -n 30 "$out/sourcebar.log" "$out/playerd.log" >&2; exit 1; }
