#!/bin/bash
# Installs build/stage/ into the Wine prefix and starts the launcher there,
# with the stand-in main application (which shows a small window and ends after
# a few seconds; the launcher ends with it). On the runner's virtual display a
# screenshot is written to build/setup/splash-screenshot.png.
# BUILD_DIR names another Windows build (default build/windows).
set -eu
cd "$(dirname "$0")/.."
source scripts/demo-common.sh
install_copy

record=$prefix_c/users/$user/Temp/standin-record.txt
shot=$shots/splash-screenshot.png
rm -f "$record" "$record.end" "$shot"
# The stand-in learns these from its environment; its only parameter is the pid.
export VELTA_STANDIN_RECORD="C:\\users\\$user\\Temp\\standin-record.txt"
export VELTA_STANDIN_DELAY_MS=6000
export VELTA_STANDIN_WINDOW=1

echo "Starting $install_win\\VeltaAI.exe under Wine..."
DISPLAY=$display "$runner" "$build" "$install_win\\VeltaAI.exe" &
launcher=$!

for _ in $(seq 600); do
    [ -f "$record" ] && break
    kill -0 "$launcher" 2>/dev/null || break
    sleep 0.1
done
if [ -f "$record" ]; then
    echo "The stand-in started:"
    sed 's/^/  /' "$record"
    if [ $headless = yes ]; then
        sleep 1 # let the stand-in's window appear under the splash
        shoot "$shot"
    fi
fi

status=0
wait "$launcher" || status=$?
echo "VeltaAI.exe ended with exit code $status after the stand-in ended."
