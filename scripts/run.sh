#!/usr/bin/env bash
# Builds the desktop program and starts it. With no meter attached, it runs the built-in
# demo meter; extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
# Without a display the window cannot open (Qt would abort): say so before building anything.
# A platform chosen through QT_QPA_PLATFORM (offscreen, vnc, ...) needs none.
platform=${QT_QPA_PLATFORM:-}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
  { [ -z "$platform" ] || [[ $platform == xcb* ]] || [[ $platform == wayland* ]]; }; then
  cat >&2 <<'EOF'
run.sh: the desktop program needs a display, and neither DISPLAY nor WAYLAND_DISPLAY is set.
Without a display, use the command-line tool over the same core:
  cmake --build build --target vireometer-cli && build/cli/vireometer-cli --help
EOF
  exit 1
fi
scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_GUI=ON >/dev/null
cmake --build build -j "${JOBS:-2}" --target vireometer vireometer-cli vireometer-sim
exec build/app/vireometer --demo "$@"
