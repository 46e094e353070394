#!/bin/bash
# The main job: builds what it ships and shows, VeltaAI.exe, Uninstall.exe, the
# stand-in main application, the staged installation folder build/stage/ and
# the setup build/setup/VeltaAI-setup.exe (the target setup of the windows
# preset; scripts/test.sh builds the rest), then shows install, launch and
# uninstall under Wine, with screenshots in build/setup/ when there is no
# display.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Qt for Windows, built once (its messages shown as they come); later runs only
# print the cached prefix.
echo "Qt for Windows:"
bash scripts/qt-windows.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target setup
bash scripts/demo-setup.sh
