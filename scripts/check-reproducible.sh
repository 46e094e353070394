#!/bin/bash
# Builds the current commit from scratch as a release (scripts/build-commit.sh,
# dated by the commit) in build/repro-1, and compares its shipped files byte for
# byte with an ordinary build's (no SOURCE_DATE_EPOCH) in a folder whose path
# differs in length: VeltaAI.exe, Uninstall.exe and VeltaAI-setup.exe. The
# programs the setup packs must not name a build folder either: neither the
# clones nor the Qt cache, whose path is the same in both builds but differs
# between machines.
#
# The ordinary build is BUILD_DIR when given (scripts/test.sh passes
# build/windows, the build its suites use), brought up to date first. It stands
# for the commit only while no tracked file differs from the commit and
# SOURCE_DATE_EPOCH is unset; otherwise, or without BUILD_DIR, the commit is
# built from scratch in build/repro-ordinary as well.
# Usage: scripts/check-reproducible.sh [BUILD_DIR]
# Ends with 1 when anything differs or a path is found.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
names=(VeltaAI.exe Uninstall.exe VeltaAI-setup.exe)
packed=(build/stage/VeltaAI.exe build/stage/Uninstall.exe build/stage/bin/VeltaApp.exe)

commit=$(git rev-parse HEAD)
start=$(date +%s)
bash scripts/build-commit.sh repro-1 "$commit"
release=(build/repro-1/build/windows/bin/VeltaAI.exe build/repro-1/build/windows/bin/Uninstall.exe
    build/repro-1/build/setup/VeltaAI-setup.exe)

ordinary=""
if [ -n "${1:-}" ]; then
    build=$(cd "$1" && pwd)
    release_build=$root/build/repro-1/build/windows
    if ! git diff --quiet HEAD --; then
        echo "reproducible: tracked files differ from $commit: $1 does not stand for it"
    elif [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "reproducible: SOURCE_DATE_EPOCH is set: $1 is no ordinary build"
    elif [ ${#build} = ${#release_build} ]; then
        echo "reproducible: $1's path is as long as the release's"
    else
        cmake --build "$build" --target setup
        # The setup lies beside the build folders of its source (installer/CMakeLists.txt).
        source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
        ordinary="$1 (the build already made)"
        others=("$build/bin/VeltaAI.exe" "$build/bin/Uninstall.exe"
            "$source/build/setup/VeltaAI-setup.exe")
    fi
fi
if [ -z "$ordinary" ]; then
    bash scripts/build-commit.sh --ordinary repro-ordinary "$commit"
    ordinary=repro-ordinary
    others=(build/repro-ordinary/build/windows/bin/VeltaAI.exe
        build/repro-ordinary/build/windows/bin/Uninstall.exe
        build/repro-ordinary/build/setup/VeltaAI-setup.exe)
fi
echo "reproducible: built in $(($(date +%s) - start)) s"
qt_cache=$(dirname "$(bash scripts/qt-windows.sh --print-prefix)") # found: the builds used it

status=0
echo "  release (repro-1) against the ordinary build $ordinary:"
for i in "${!names[@]}"; do
    a=${release[$i]}
    b=${others[$i]}
    if cmp -s "$a" "$b"; then
        printf '  same     %-18s %9d bytes  %s\n' "${names[$i]}" "$(stat -c %s "$a")" \
            "$(sha256sum <"$a" | cut -c1-16)"
    else
        # Where they part: the first differing offset and how many bytes differ.
        printf '  DIFFERS  %-18s %s; %d bytes differ\n' "${names[$i]}" \
            "$(cmp "$a" "$b" 2>&1 | head -n 1)" "$(cmp -l "$a" "$b" 2>/dev/null | wc -l)"
        status=1
    fi
done
for f in "${packed[@]}"; do
    found=$( (strings -a -n 6 "build/repro-1/$f"; strings -a -n 6 -e l "build/repro-1/$f") |
        grep -F -e "$root" -e "$qt_cache" | sort -u || true)
    if [ -n "$found" ]; then
        echo "  BUILD PATHS in $(basename "$f"):"
        sed 's/^/    /' <<<"$found"
        status=1
    fi
done
[ $status = 0 ] && echo "reproducible: identical, no build paths" || echo "reproducible: FAILED"
exit $status
