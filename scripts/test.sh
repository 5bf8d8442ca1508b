#!/usr/bin/env bash
# Builds everything and runs every test, warnings as errors throughout:
#   1. the Release build (-O3) with the GUI, and all its tests;
#   2. a configuration without googletest (BUILD_TESTING=OFF), which must need none;
#   3. an AddressSanitizer + UndefinedBehaviorSanitizer build of the Qt-free layers, all tests
#      (the fuzz targets run over their seed corpora there);
#   4. a ThreadSanitizer build, every test binary that starts threads (ctest -L threads);
#   5. each fuzz target for 30 s under libFuzzer (scripts/fuzz.sh), when clang has libFuzzer.
# Build folders: build/, build-notest/, build-asan/, build-tsan/, build-fuzz/. JOBS (default 2)
# sets the parallel jobs, FUZZ_SECONDS (default 30) the time of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=${JOBS:-2}
export QT_QPA_PLATFORM=offscreen
started=$SECONDS
step() { echo "== $1 ($((SECONDS - started)) s so far)"; }

step "Release build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIREO_WERROR=ON -DVIREO_GUI=ON \
  -DVIREO_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

step "configure without googletest"
cmake --no-warn-unused-cli -S . -B build-notest -G Ninja -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DVIREO_GUI=ON -DVIREO_BENCH=ON >/dev/null

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVIREO_WERROR=ON -DVIREO_SANITIZE=address \
  -DVIREO_GUI=OFF -DVIREO_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 300

step "ThreadSanitizer (test binaries that start threads)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIREO_WERROR=ON -DVIREO_SANITIZE=thread \
  -DVIREO_GUI=OFF -DVIREO_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan \
  --output-on-failure -j "$jobs" --timeout 300 -L threads

step "fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

step "all passed"
