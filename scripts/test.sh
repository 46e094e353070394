#!/bin/bash
# Builds both presets and runs every test: the Windows build under Wine 8
# (windows) and, the same programs, under Wine 10 (windows-wine10), the two side
# by side; meanwhile the linux preset natively, and then the check that the
# commit's Windows build is reproducible.
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

build() {
    local start=$SECONDS
    echo "=== $1: build ==="
    cmake --preset "$1" && cmake --build --preset "$1" &&
        echo "=== $1: built in $((SECONDS - start)) s ==="
}

# A preset's tests: its floor, ctest (a failure shows its output; the presets
# ask for that as well) and its time.
suite() {
    local preset=$1 start=$SECONDS registered floor failed=0
    echo "=== $preset ==="
    registered=$(ctest --preset "$preset" -N | sed -n 's/^Total Tests: //p')
    floor=$(awk -v p="$preset" '$1 == p { print $2 }' tests/test-count-floor)
    if [ "${registered:-0}" -lt "$floor" ]; then
        echo "FAIL: the $preset preset registers ${registered:-0} tests, fewer than its floor of $floor (tests/test-count-floor)"
        failed=1
    fi
    ctest --preset "$preset" --output-on-failure || failed=1
    echo "=== $preset: $((SECONDS - start)) s, $registered tests (floor $floor) ==="
    return $failed
}

# The linux preset, then the check that the commit builds reproducibly: one
# build from scratch as a release, compared with the windows build already
# made, an ordinary one.
native_and_reproducible() {
    local failed=0
    { build linux && suite linux; } >build/logs/linux.log 2>&1 || failed=1
    echo "=== reproducible ===" >build/logs/reproducible.log
    bash scripts/check-reproducible.sh build/windows >>build/logs/reproducible.log 2>&1 || failed=1
    return $failed
}

# A Wine's first program makes its prefix (Wine 10's takes about 20 s): made
# meanwhile, not at the head of its suite. The runner's lock makes a test wait
# for it.
mkdir -p build/windows
for w in 8 10; do
    VELTA_WINE=$w cmake/wine-run.sh build/windows --init >/dev/null 2>&1 &
done
build windows

# Each Wine has its own prefix, wineserver, display and lock, so the two
# suites run side by side while the native build takes the cores. Each job
# writes its own logs, printed whole when it ends.
mkdir -p build/logs
declare -A logs
for preset in windows windows-wine10; do
    suite "$preset" >"build/logs/$preset.log" 2>&1 &
    logs[$!]=build/logs/$preset.log
done
native_and_reproducible &
logs[$!]="build/logs/linux.log build/logs/reproducible.log"
while [ ${#logs[@]} -gt 0 ]; do
    ended=""
    wait -n -p ended "${!logs[@]}" || status=1
    # shellcheck disable=SC2086 # a job's logs, in order
    cat ${logs[$ended]}
    unset "logs[$ended]"
done
exit $status
