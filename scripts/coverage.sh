#!/bin/bash
# Line and branch coverage of the product sources: the linux preset's tests
# natively, and the windows preset's under Wine 8 and then Wine 10 (their counts
# add up: Wine 10 takes the POSIX deletion, Wine 8 the classic), each from a build with gcov
# instrumentation of its own (build/coverage-linux, build/coverage-windows).
# Prints a table per platform and writes the uncovered lines of each source to
# build/coverage/<platform>/. A report run by hand and before a release, not
# part of the test command: it builds and runs everything twice more.
#
# Usage: scripts/coverage.sh [linux|windows]...   (default: both)
set -eu
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)
for platform in "${platforms[@]}"; do
    build=$root/build/coverage-$platform
    echo "=== coverage: $platform ($build) ==="
    rm -rf "$build"
    if [ "$platform" = linux ]; then
        # gcc's counts, read by gcov of the same version.
        cmake --preset linux -B "$build" -DVELTA_COVERAGE=ON \
            -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
        gcov=gcov
        ctest_env=()
    else
        bash scripts/qt-windows.sh >/dev/null
        cmake --preset windows -B "$build" -DVELTA_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
        gcov=x86_64-w64-mingw32-gcov-posix
        # Under Wine the build folder is drive D:, and an object's counts go
        # beside it: its path with the build folder taken off, on D:.
        strip=$(tr -cd / <<<"$build" | wc -c)
        ctest_env=(GCOV_PREFIX=D: GCOV_PREFIX_STRIP="$strip")
        bash scripts/wine10-root.sh >/dev/null
    fi
    cmake --build "$build"
    if [ "$platform" = linux ]; then
        ctest --test-dir "$build" -j 2 --output-on-failure || true
    else
        for wine in 8 10; do
            echo "--- under Wine $wine ---"
            env "${ctest_env[@]}" VELTA_WINE=$wine ctest --test-dir "$build" -j 2 --output-on-failure || true
            VELTA_WINE=$wine cmake/wine-run.sh "$build" --stop || true
        done
    fi
    python3 scripts/coverage-report.py "$gcov" "$build" "$root" "$root/build/coverage/$platform"
done
