#!/bin/bash
# Launcher overhead benchmark under Wine; prints figures, asserts nothing: the
# start via VeltaAI.exe against a direct start of the main application, where
# the launcher's time goes, and how much of VeltaAI.exe is resources.
# Usage: scripts/bench-launcher.sh [BUILD_DIR] [RUNS]   (defaults: build/windows 15)
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/windows}" && pwd)
runs=${2:-15}
runner=$PWD/cmake/wine-run.sh
cmake --build "$build" --target launcher_bench VeltaAI VeltaAI_timed VeltaApp
# A display (and wineserver) this run starts is stopped again; someone else's stays.
if [ -z "${DISPLAY:-}" ] && [ ! -f "$build/xvfb.display" ]; then
    trap '"$runner" "$build" --stop' EXIT
fi
"$runner" "$build" "$build/bin/launcher_bench.exe" "$runs"

exe=$build/bin/VeltaAI.exe
total=$(stat -c %s "$exe")
rsrc=$(x86_64-w64-mingw32-objdump -h "$exe" | awk '$2 == ".rsrc" {print $3}')
rsrc=$((16#${rsrc:-0}))
echo "VeltaAI.exe size                             : $total bytes"
echo "  resources (.rsrc: icon group, manifest, version) : $rsrc bytes"
echo "  the rest (code, data, headers; limit 24576)      : $((total - rsrc)) bytes"
echo "VeltaAI.exe imports:"
x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: /  /p'
