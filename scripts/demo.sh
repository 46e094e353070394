#!/bin/bash
# The main job: builds both programs, stages build/stage/ (the installation
# folder the setup program copies) and shows the Windows programs working under
# Wine, with screenshots in build/stage/ when there is no display.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/qt-windows.sh >/dev/null # once: later runs find it in the cache
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
bash scripts/stage.sh
bash scripts/demo-launcher.sh
bash scripts/demo-uninstaller.sh
