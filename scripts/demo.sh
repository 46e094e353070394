#!/bin/bash
# The main job: builds both programs and the setup (the windows preset stages
# build/stage/, the installation folder, and packs it into
# build/setup/VeltaAI-setup.exe), then shows install, launch and uninstall under
# Wine, with screenshots in build/setup/ when there is no display.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Qt for Windows, built once (its messages shown as they come); later runs only
# print the cached prefix.
echo "Qt for Windows:"
bash scripts/qt-windows.sh
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
bash scripts/demo-setup.sh
