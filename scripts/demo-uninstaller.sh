#!/bin/bash
# Opens the uninstaller of the installation over demo data: Uninstall.exe from
# build/stage/, installed into the Wine prefix, with settings in Wine's
# registry and data folders inside the prefix, never the user's own.
#
# With a DISPLAY the real window opens and waits for you. Without one, the
# runner's virtual display shows it, screenshots of the Options and Removing
# states are written to build/setup/uninstall-*.png, and the removal runs to
# its end. --docs also copies the screenshots to docs/.
# BUILD_DIR names another Windows build (default build/windows).
set -eu
cd "$(dirname "$0")/.."
root=$PWD
source scripts/demo-common.sh
install_copy
seed_demo_data

report() {
    echo "Uninstall.exe ended with exit code $1 (0: go on uninstalling, 66: cancelled)"
    report_data
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
window=$(window uninstall.exe)

# Options: tick all four boxes, going down the Tab order.
xdotool key --delay 80 space Tab space Tab space Tab space
sleep 0.3
shoot "$shots/uninstall-options.png" "$window" uninstall.exe

# Confirm, and catch the window mid-removal: the bar trails the files a little
# (one queued update per entry), so a moment after half the model files are gone.
xdotool key --delay 80 Tab Tab space
parts() { local p=("$models"/shard*/part*); [ -e "${p[0]}" ] && echo ${#p[@]} || echo 0; }
while [ "$(parts)" -gt 5000 ] && kill -0 $app 2>/dev/null; do sleep 0.01; done
sleep 0.5
kill -0 $app 2>/dev/null && shoot "$shots/uninstall-removing.png" "$window" uninstall.exe
code=0
wait $app || code=$?
report $code

if [ "${1:-}" = --docs ]; then
    cp "$shots/uninstall-options.png" "$shots/uninstall-removing.png" "$root/docs/"
    echo "Copied both screenshots to docs/"
fi
