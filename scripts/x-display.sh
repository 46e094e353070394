#!/bin/bash
# Starts a virtual display for programs under test: Xvfb with openbox, so that
# close requests such as Alt+F4 work. Once openbox handles events it prints
#   DISPLAY XVFB_PID OPENBOX_PID
# Both run in sessions of their own until the caller stops them.
# Usage: scripts/x-display.sh [WIDTHxHEIGHT]   (default 1280x1024)
set -eu
size=${1:-1280x1024}
fifo=$(mktemp -u)
mkfifo "$fifo"
setsid Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$fifo" \
    >/dev/null 2>&1 </dev/null &
xvfb=$!
read -r number <"$fifo"
rm -f "$fifo"
export DISPLAY=:$number
end=$((SECONDS + 30))
wm=""
fail() {
    echo "x-display: $1 on $DISPLAY" >&2
    kill "$xvfb" 2>/dev/null
    [ -z "$wm" ] || kill "$wm" 2>/dev/null
    exit 1
}

# The first synthetic key makes the server switch its keyboard to xdotool's and
# announce a new keyboard. openbox then takes all its key bindings away and
# grabs them again, and a key the server handles meanwhile reaches the focused
# window: an Alt+F4 is lost. So that first key is typed before openbox starts;
# -noreset keeps the switch once xdotool has left.
until xdotool key shift 2>/dev/null; do
    [ $SECONDS -lt $end ] || fail "no key reached the display"
    sleep 0.05
done

# openbox names itself the window manager before it reads its settings and
# grabs its keys, and a window mapped in that time could stay unshown until
# another event woke openbox. Its startup command runs just before it handles
# events, and the property that command sets wakes it. Under load openbox can
# fail to connect: it is started again.
ready="xprop -root -f _VELTA_WM_READY 8s -set _VELTA_WM_READY 1"
until xprop -root _VELTA_WM_READY 2>/dev/null | grep -q '='; do
    [ $SECONDS -lt $end ] || fail "openbox did not start"
    if [ -z "$wm" ] || ! kill -0 "$wm" 2>/dev/null; then
        setsid openbox --startup "sh -c 'until $ready; do sleep 0.05; done'" \
            >/dev/null 2>&1 </dev/null &
        wm=$!
    fi
    sleep 0.05
done
echo "$DISPLAY $xvfb $wm"
