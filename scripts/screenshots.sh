#!/usr/bin/env bash
# Saves a picture of the main window for each tab: starts the program under Xvfb with the demo
# meter, presses START, waits for live readings and grabs the window on each tab.
# Usage: scripts/screenshots.sh [FOLDER]   (default: docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=$(realpath -m "${1:-docs/screenshots}")
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing: apt-get install xvfb xauth" >&2; exit 1; }
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_GUI=ON >/dev/null
cmake --build build -j "${JOBS:-2}" --target vireometer
# A folder without lang.ini or skin/, so the program's own English texts and skin are used.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && xvfb-run -a -s "-screen 0 1280x800x24" \
  "$OLDPWD/build/app/vireometer" --demo --screenshot-dir "$folder")
ls "$folder"/*.png
