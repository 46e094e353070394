#!/bin/bash
# Opens the uninstaller of the installation over demo data: Uninstall.exe from
# build/stage/, installed into the Wine prefix, with settings in Wine's
# registry and data folders inside the prefix, never the user's own.
#
# With a DISPLAY the real window opens and waits for you. Without one, the
# runner's virtual display shows it, screenshots of the Options and Removing
# states are written to build/stage/uninstall-*.png, and the removal runs to
# its end. --docs also copies the screenshots to docs/.
# BUILD_DIR names another Windows build (default build/windows).
set -eu
cd "$(dirname "$0")/.."
root=$PWD
source scripts/demo-common.sh
key='HKCU\Software\VeltaTech\WindowSettings'
reg() { "$runner" "$build" reg "$@" | tr -d '\r'; }

# Demo user data: the draft folder below APPDATA and a model folder big enough
# for the progress bar to move.
appdata=$prefix_c/users/$user/AppData/Roaming
models=$prefix_c/users/$user/AppData/Local/VeltaAI/models
models_win="C:\\users\\$user\\AppData\\Local\\VeltaAI\\models"
rm -rf "$appdata/VeltaAI" "$models"
mkdir -p "$appdata/VeltaAI/drafts" "$models"
for i in $(seq 1 40); do
    head -c 20000 /dev/urandom >"$appdata/VeltaAI/drafts/draft$i.json"
done
for d in $(seq 1 10); do
    mkdir -p "$models/shard$d"
    (cd "$models/shard$d" && touch part{1..1000}.bin)
done
head -c 3000000 /dev/urandom >"$models/weights.bin"

reg delete "$key" /f >/dev/null 2>&1 || true
reg add "$key" /v draftdirsize /t REG_SZ /d "$(du -sm "$appdata/VeltaAI" | cut -f1)MB" /f >/dev/null
reg add "$key" /v modelsize /t REG_SZ /d "$(du -sm "$models" | cut -f1)MB" /f >/dev/null
reg add "$key" /v servicepath /t REG_SZ /d "$models_win" /f >/dev/null
reg add "$key" /v token /t REG_SZ /d demo-token /f >/dev/null
echo "Demo settings in Wine's registry:"
reg query "$key"

report() {
    echo "Uninstall.exe ended with exit code $1 (0: go on uninstalling, 66: cancelled)"
    echo "Settings afterwards:"
    if reg query "$key" >/dev/null 2>&1; then reg query "$key"; else echo "    (the settings key is gone)"; fi
    for f in "$appdata/VeltaAI" "$models"; do
        if [ -e "$f" ]; then echo "kept:    $f"; else echo "removed: $f"; fi
    done
}

# Started in the installation folder, as the setup program starts it: the
# window finds assets/app.ico there.
cd "$install"
if [ $headless = no ]; then
    echo "Opening the window; choose options, then confirm or cancel."
    code=0
    DISPLAY=$display "$runner" "$build" Uninstall.exe || code=$?
    report $code
    exit 0
fi

"$runner" "$build" Uninstall.exe &
app=$!
export DISPLAY=$display
window=$(xdotool search --sync --onlyvisible --classname uninstall.exe | head -1)
xdotool windowactivate --sync "$window"
sleep 0.5

# Options: tick all four boxes, going down the Tab order.
xdotool key --delay 80 space Tab space Tab space Tab space
sleep 0.3
shoot "$stage/uninstall-options.png" "$window"

# Confirm, and catch the window mid-removal: the bar trails the files a little
# (one queued update per entry), so a moment after half the model files are gone.
xdotool key --delay 80 Tab Tab space
parts() { local p=("$models"/shard*/part*); [ -e "${p[0]}" ] && echo ${#p[@]} || echo 0; }
while [ "$(parts)" -gt 5000 ] && kill -0 $app 2>/dev/null; do sleep 0.01; done
sleep 0.5
kill -0 $app 2>/dev/null && shoot "$stage/uninstall-removing.png" "$window"
code=0
wait $app || code=$?
report $code

if [ "${1:-}" = --docs ]; then
    cp "$stage/uninstall-options.png" "$stage/uninstall-removing.png" "$root/docs/"
    echo "Copied both screenshots to docs/"
fi
