#!/bin/bash
# The main job: builds both programs, stages build/stage/ and shows them working.
set -eu
cd "$(dirname "$0")/.."
bash scripts/deps.sh
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
bash scripts/demo-launcher.sh
bash scripts/demo-uninstaller.sh
