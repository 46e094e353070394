#!/bin/bash
# Stages the uninstaller in build/stage/ and opens its window over demo data: a
# registry stand-in and data folders inside build/stage/, never the user's own.
#
# With a DISPLAY the real window opens and waits for you. Without one, a
# private Xvfb display shows it, screenshots of the Options and Removing states
# are written to build/stage/uninstall-*.png, and the removal runs to its end.
# --docs also copies the screenshots to docs/.
# Uses build/linux unless BUILD_DIR names another native build.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
build=$root/${BUILD_DIR:-build/linux}
stage=$root/build/stage
data=$stage/uninstall-data
key='HKCU\Software\VeltaTech\WindowSettings'

for f in "$build/bin/Uninstall" "$build/bin/reg"; do
    [ -x "$f" ] || { echo "missing $f: build the linux preset first" >&2; exit 1; }
done

# The staged program, with its icon where it looks for it.
mkdir -p "$stage/assets"
cp "$build/bin/Uninstall" "$stage/Uninstall"
cp resources/app.ico "$stage/assets/app.ico"

# Demo user data: a draft folder below APPDATA and a model folder big enough
# for the progress bar to move.
rm -rf "$data"
mkdir -p "$data/appdata/VeltaAI/drafts" "$data/models"
for i in $(seq 1 40); do
    head -c 20000 /dev/urandom >"$data/appdata/VeltaAI/drafts/draft$i.json"
done
for d in $(seq 1 20); do
    mkdir -p "$data/models/shard$d"
    (cd "$data/models/shard$d" && touch part{1..1000}.bin)
done
head -c 3000000 /dev/urandom >"$data/models/weights.bin"

export VELTA_REGISTRY_DIR=$data/registry
export APPDATA=$data/appdata
reg() { "$build/bin/reg" "$@" >/dev/null; }
reg add "$key" /v draftdirsize /t REG_SZ /d "$(du -sm "$APPDATA/VeltaAI" | cut -f1)MB" /f
reg add "$key" /v modelsize /t REG_SZ /d "$(du -sm "$data/models" | cut -f1)MB" /f
reg add "$key" /v servicepath /t REG_SZ /d "$data/models" /f
reg add "$key" /v token /t REG_SZ /d demo-token /f
echo "Staged $stage/Uninstall; demo registry $VELTA_REGISTRY_DIR:"
"$build/bin/reg" query "$key"

report() {
    echo "Uninstall ended with exit code $1 (0: go on uninstalling, 66: cancelled)"
    echo "Registry afterwards:"
    "$build/bin/reg" query "$key" 2>/dev/null || echo "    (the settings key is gone)"
    for f in "$APPDATA/VeltaAI" "$data/models"; do
        if [ -e "$f" ]; then echo "kept:    $f"; else echo "removed: $f"; fi
    done
}

export QT_QPA_PLATFORM=xcb
cd "$stage"
if [ -n "${DISPLAY:-}" ]; then
    echo "Opening the window; choose options, then confirm or cancel."
    code=0
    ./Uninstall || code=$?
    report $code
    exit 0
fi

# No display: a private one, with a window manager for the frame and title.
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 </dev/null &
xvfb=$!
read -r num <"$fifo"
rm -f "$fifo"
export DISPLAY=:$num
openbox >/dev/null 2>&1 </dev/null &
wm=$!
trap 'kill $wm $xvfb 2>/dev/null' EXIT
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do sleep 0.05; done

./Uninstall &
app=$!
window=$(xdotool search --sync --onlyvisible --pid $app | head -1)
xdotool windowactivate --sync "$window"
sleep 0.5

# The window with the frame that openbox draws around it.
shoot() {
    local frame=$window
    until xwininfo -tree -id "$frame" | grep -q 'Parent window id: .*(the root window)'; do
        frame=$(xwininfo -tree -id "$frame" | awk '/Parent window id/ {print $4}')
    done
    import -window "$frame" "$stage/$1"
    echo "Screenshot: $stage/$1"
}

# Options: tick all four boxes, going down the Tab order.
xdotool key --delay 80 space Tab space Tab space Tab space
sleep 0.3
shoot uninstall-options.png

# Confirm, and catch the window mid-removal: the process is held still while
# the screenshot is taken, then carries on.
xdotool key --delay 80 Tab Tab space
# Files go before their folders: wait until about half of them are gone.
parts() { local p=("$data"/models/shard*/part*); [ -e "${p[0]}" ] && echo ${#p[@]} || echo 0; }
while [ "$(parts)" -gt 11000 ] && kill -0 $app 2>/dev/null; do :; done
if kill -STOP $app 2>/dev/null; then
    shoot uninstall-removing.png
    kill -CONT $app
fi
code=0
wait $app || code=$?
report $code

if [ "${1:-}" = --docs ]; then
    cp "$stage/uninstall-options.png" "$root/docs/uninstall-options.png"
    cp "$stage/uninstall-removing.png" "$root/docs/uninstall-removing.png"
    echo "Copied both screenshots to docs/"
fi
