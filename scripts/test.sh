#!/bin/bash
# Builds both presets and runs every test: natively, and the Windows build under
# Wine 8 and then, the same programs, under Wine 10 (windows-wine10); then checks
# that the commit's Windows build is reproducible.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
status=0
# Takes seconds, so a broken link in README.md or docs/ is reported first; the
# run goes on and fails at its end.
echo "=== links ==="
bash scripts/check-links.sh || status=1
# Qt for Windows, built once (its messages shown as they come); later runs only
# print the cached prefix.
echo "=== Qt for Windows ==="
bash scripts/qt-windows.sh
# Wine 10 in a Debian 13 root, made once (about 2 minutes) and cached beside Qt.
echo "=== Wine 10 ==="
bash scripts/wine10-root.sh

# The Wine and Xvfb that the tests start are stopped however the run ends.
trap 'for w in 8 10; do VELTA_WINE=$w cmake/wine-run.sh build/windows --stop >/dev/null 2>&1; done' EXIT

for preset in linux windows windows-wine10; do
  echo "=== $preset ==="
  start=$(date +%s)
  # windows-wine10 tests the windows build as it is.
  if [ "$preset" != windows-wine10 ]; then
    cmake --preset "$preset"
    cmake --build --preset "$preset"
  fi
  registered=$(ctest --preset "$preset" -N | sed -n 's/^Total Tests: //p')
  floor=$(awk -v p="$preset" '$1 == p { print $2 }' tests/test-count-floor)
  if [ "${registered:-0}" -lt "$floor" ]; then
    echo "FAIL: the $preset preset registers ${registered:-0} tests, fewer than its floor of $floor (tests/test-count-floor)"
    status=1
  fi
  # A failure always shows its output (the presets ask for it as well).
  ctest --preset "$preset" --output-on-failure || status=1
  echo "=== $preset: $(($(date +%s) - start)) s ==="
done
# Three more builds of the commit from scratch, compared byte for byte (minutes).
echo "=== reproducible ==="
bash scripts/check-reproducible.sh || status=1
exit $status
