#!/bin/bash
# Builds both presets and runs every test: natively, and the Windows build under
# Wine; then checks that the commit's Windows build is reproducible.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Qt for Windows, built once (its messages shown as they come); later runs only
# print the cached prefix.
echo "=== Qt for Windows ==="
bash scripts/qt-windows.sh

status=0
for preset in linux windows; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" || status=1
done
# Two more builds of the commit from scratch, compared byte for byte (minutes).
echo "=== reproducible ==="
bash scripts/check-reproducible.sh || status=1
cmake/wine-run.sh build/windows --stop || true
exit $status
