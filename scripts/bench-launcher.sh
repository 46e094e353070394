#!/bin/bash
# Launcher overhead benchmark under Wine; prints figures, asserts nothing.
# Usage: scripts/bench-launcher.sh [BUILD_DIR] [RUNS]   (defaults: build/windows 15)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/windows}
runs=${2:-15}
cmake --build "$build" --target launcher_bench VeltaAI VeltaApp
cmake/wine-run.sh "$build" "$build/bin/launcher_bench.exe" "$runs"
echo "VeltaAI.exe imports:"
x86_64-w64-mingw32-objdump -p "$build/bin/VeltaAI.exe" | sed -n 's/^\s*DLL Name: /  /p'
