#!/bin/bash
# Stages build/stage/, the installation folder that the setup program copies:
#   VeltaAI.exe, Uninstall.exe, assets/app.ico,
#   bin/VeltaApp.exe (the stand-in main application), bin/assets/splash.png
# Usage: scripts/stage.sh [BUILD_DIR [STAGE_DIR]]   (default build/windows, build/stage)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/windows}
stage=${2:-build/stage}

for f in VeltaAI.exe Uninstall.exe VeltaApp.exe assets/splash.png; do
    if [ ! -f "$build/bin/$f" ]; then
        echo "missing $build/bin/$f: build the windows preset first" >&2
        exit 1
    fi
done
rm -rf "$stage"
mkdir -p "$stage/assets" "$stage/bin/assets"
cp "$build/bin/VeltaAI.exe" "$build/bin/Uninstall.exe" "$stage/"
cp resources/app.ico "$stage/assets/"
cp "$build/bin/VeltaApp.exe" "$stage/bin/"
cp "$build/bin/assets/splash.png" "$stage/bin/assets/"
echo "Staged $stage:"
(cd "$stage" && find . -type f | sort | sed 's/^\.\//  /')
