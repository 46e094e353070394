#!/bin/bash
# Builds the current commit three times from scratch (scripts/build-commit.sh):
# as a release (dated by the commit) in build/repro-1, and twice as an ordinary
# build (no SOURCE_DATE_EPOCH) in build/repro-second and build/repro-ordinary,
# folders whose paths differ in length; and compares the shipped files of each
# with the release's byte for byte: VeltaAI.exe, Uninstall.exe and
# VeltaAI-setup.exe. The programs the setup packs must not name a build
# folder either: neither the clones nor the Qt cache, whose path is the same in
# both builds but differs between machines.
# Ends with 1 when anything differs or a path is found.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
shipped=(build/windows/bin/VeltaAI.exe build/windows/bin/Uninstall.exe
    build/setup/VeltaAI-setup.exe)
packed=(build/stage/VeltaAI.exe build/stage/Uninstall.exe build/stage/bin/VeltaApp.exe)

commit=$(git rev-parse HEAD)
start=$(date +%s)
bash scripts/build-commit.sh repro-1 "$commit"
others=(repro-second repro-ordinary)
for name in "${others[@]}"; do
    bash scripts/build-commit.sh --ordinary "$name" "$commit"
done
echo "reproducible: three builds in $(($(date +%s) - start)) s"
qt_cache=$(dirname "$(bash scripts/qt-windows.sh --print-prefix)") # found: the builds used it

status=0
for other in "${others[@]}"; do
    echo "  release (repro-1) against the ordinary build $other:"
    for f in "${shipped[@]}"; do
        a=build/repro-1/$f
        b=build/$other/$f
        if cmp -s "$a" "$b"; then
            printf '  same     %-18s %9d bytes  %s\n' "$(basename "$f")" "$(stat -c %s "$a")" \
                "$(sha256sum <"$a" | cut -c1-16)"
        else
            # Where they part: the first differing offset and how many bytes differ.
            printf '  DIFFERS  %-18s %s; %d bytes differ\n' "$(basename "$f")" \
                "$(cmp "$a" "$b" 2>&1 | head -n 1)" "$(cmp -l "$a" "$b" 2>/dev/null | wc -l)"
            status=1
        fi
    done
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
