#!/bin/bash
# Builds both presets and runs every test: natively, and the Windows build under Wine.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/qt-windows.sh >/dev/null # once: later runs find it in the cache

status=0
for preset in linux windows; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" || status=1
done
cmake/wine-run.sh build/windows --stop || true
exit $status
