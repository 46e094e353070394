#!/bin/bash
# Stages an installation folder build/stage/ from the Windows build and starts the
# launcher there under Wine, with the stand-in main application (which shows a
# small window and ends after a few seconds; the launcher ends with it).
# Without a DISPLAY the runner's virtual display is used and a screenshot is
# written to build/stage/splash-screenshot.png.
# Usage: scripts/demo-launcher.sh [BUILD_DIR]   (default build/windows)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/windows}
stage=build/stage

for f in VeltaAI.exe VeltaApp.exe assets/splash.png; do
    if [ ! -f "$build/bin/$f" ]; then
        echo "missing $build/bin/$f: build the windows preset first" >&2
        exit 1
    fi
done
mkdir -p "$stage/bin/assets"
cp "$build/bin/VeltaAI.exe" "$stage/"
cp "$build/bin/VeltaApp.exe" "$stage/bin/"
cp "$build/bin/assets/splash.png" "$stage/bin/assets/"
echo "Staged $stage: VeltaAI.exe, bin/VeltaApp.exe (stand-in), bin/assets/splash.png"

record="$stage/standin-record.txt"
shot="$stage/splash-screenshot.png"
rm -f "$record" "$record.end" "$shot"
# The stand-in learns these from its environment; its only parameter is the pid.
export VELTA_STANDIN_RECORD="Z:$PWD/$record"
export VELTA_STANDIN_DELAY_MS=6000
export VELTA_STANDIN_WINDOW=1
headless=${DISPLAY:+no}

echo "Starting $stage/VeltaAI.exe under Wine..."
cmake/wine-run.sh "$build" "$stage/VeltaAI.exe" &
launcher=$!

for _ in $(seq 600); do
    [ -f "$record" ] && break
    kill -0 "$launcher" 2>/dev/null || break
    sleep 0.1
done
if [ -f "$record" ]; then
    echo "The stand-in started:"
    sed 's/^/  /' "$record"
fi
if [ -z "$headless" ] && [ -f "$record" ]; then
    sleep 1 # let the stand-in's window appear under the splash
    display=$(cat "$build/xvfb.display")
    if import -display "$display" -window root "$shot"; then
        echo "Screenshot of the virtual display: $shot"
    fi
fi

status=0
wait "$launcher" || status=$?
echo "VeltaAI.exe ended with exit code $status after the stand-in ended."
