#!/usr/bin/env bash
# Builds the desktop program and starts it. With no meter attached, it runs the built-in
# demo meter; extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_GUI=ON >/dev/null
cmake --build build -j "${JOBS:-2}" --target vireometer vireometer-cli vireometer-sim
exec build/app/vireometer --demo "$@"
