#!/bin/bash
# Builds one commit's Windows programs and setup from scratch: a fresh clone in
# build/NAME, configured with the windows preset, target setup. The results:
#   build/NAME/build/windows/bin/VeltaAI.exe, .../Uninstall.exe
#   build/NAME/build/setup/VeltaAI-setup.exe
# SOURCE_DATE_EPOCH is the commit's time, for every tool that would otherwise
# take the clock (__DATE__, rcc, CMake's TIMESTAMP). With --ordinary it is left
# unset, as in a developer's build: scripts/check-reproducible.sh shows that
# both give the same files.
# Usage: scripts/build-commit.sh [--ordinary] NAME [REVISION]   (default HEAD)
set -eu
cd "$(dirname "$0")/.."
dated=yes
if [ "${1:-}" = --ordinary ]; then
    dated=no
    shift
fi
name=${1:-}
case "$name" in
'' | */* | .*)
    echo "build-commit: NAME is one folder name below build/" >&2
    exit 1
    ;;
esac
commit=$(git rev-parse --verify "${2:-HEAD}^{commit}")
dir=build/$name

rm -rf "$dir"
git clone -q --no-checkout . "$dir"
cd "$dir"
git checkout -q --detach "$commit"
if [ $dated = yes ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
else
    unset SOURCE_DATE_EPOCH
fi
echo "build-commit: $commit in $dir${SOURCE_DATE_EPOCH:+, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH}"
mkdir -p build
cmake --preset windows >build/configure.log 2>&1 || { cat build/configure.log >&2; exit 1; }
cmake --build --preset windows --target setup >build/build.log 2>&1 ||
    { tail -n 40 build/build.log >&2; exit 1; }
