#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build of the Qt-free layers, and a ThreadSanitizer build of the
# thread tests. Build folders: build/, build-asan/, build-tsan/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=${JOBS:-2}
export QT_QPA_PLATFORM=offscreen

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_WERROR=ON -DVIREO_GUI=ON -DVIREO_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVIREO_WERROR=ON -DVIREO_SANITIZE=address \
  -DVIREO_GUI=OFF -DVIREO_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 300

echo "== ThreadSanitizer (thread tests)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_WERROR=ON -DVIREO_SANITIZE=thread \
  -DVIREO_GUI=OFF -DVIREO_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target app_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
  --timeout 300 -L threads
