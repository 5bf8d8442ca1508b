#!/usr/bin/env bash
# Saves a picture of the main window for each tab, in English and in Chinese, as the window
# opens and maximised: starts the program under Xvfb with the demo meter, presses START, waits
# for live readings and grabs the window on each tab. Files: TAB.png, TAB-zh.png, TAB-max.png,
# TAB-zh-max.png for the tabs readings, chart, firmware, about and sessions; the sessions page
# shows a session recorded first, also zoomed to its samples (sessions-samples*.png) and with
# both cursors placed (sessions-cursors*.png).
# Usage: [BUILD_DIR=build] scripts/screenshots.sh [FOLDER]   (default: docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=$(realpath -m "${1:-docs/screenshots}")
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing: apt-get install xvfb xauth" >&2; exit 1; }
fc-list :lang=zh | grep -q . ||
  echo "screenshots.sh: no font with Chinese glyphs; the Chinese pictures show boxes (apt-get install fonts-wqy-zenhei)" >&2
# An existing build folder (BUILD_DIR, default build) is used as it is configured.
build=$(realpath -m "${BUILD_DIR:-build}")
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_GUI=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target vireometer vireometer-cli vireometer-sim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A session for the sessions page: half a minute of the emulator's charging curve, recorded by
# vireometer-cli, with one unplug (a gap) in it.
store="$work/sessions.db"
(
  export HIDLINK_VIRTUAL_DIR="$work/meters"
  mkdir -p "$HIDLINK_VIRTUAL_DIR"
  "$build/sim/vireometer-sim" --load charge:idle=2,rise=3,hold=8,taper=10,rest=10 \
    --unplug-every 14 --unplug-for 3 --unplug-cycles 1 >"$work/sim.log" &
  sim=$!
  until grep -qs '^serving' "$work/sim.log"; do sleep 0.1; done
  "$build/cli/vireometer-cli" record --db "$store" --duration 32 2>/dev/null
  kill $sim
  wait $sim || true
)
# A folder without skin/, so the program's own skin is used; lang.ini only for Chinese (the
# English pictures do not follow the desktop's locale).
for language in en zh; do
  mkdir -p "$work/$language"
  suffix=""
  if [ "$language" = zh ]; then
    cp lang/zh_CN/lang.ini "$work/$language/lang.ini"
    suffix="-zh"
  fi
  for size in opened max; do
    options=()
    name=$suffix
    if [ "$size" = max ]; then
      options=(--maximised)
      name="$suffix-max"
    fi
    (cd "$work/$language" && LC_ALL=C.UTF-8 xvfb-run -a -s "-screen 0 1280x800x24" \
      "$build/app/vireometer" --demo --screenshot-dir "$folder" \
      --screenshot-suffix "$name" "${options[@]}" "$store")
  done
done
ls "$folder"/*.png
