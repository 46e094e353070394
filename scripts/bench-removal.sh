#!/bin/bash
# Benchmark of the folder removal worker against rm -rf on identical trees.
# Usage: scripts/bench-removal.sh [FILES FOLDERS BIG_FILES BIG_MB]
set -eu
cd "$(dirname "$0")/.."
build=build/bench-removal
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" --target bench_removal -j2 >/dev/null
work="$PWD/$build/work"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
"$build/bin/bench_removal" "$work" "$@"
