#!/usr/bin/env bash
# Fuzzes every parser that has a fuzz target (tests/fuzz/NAME_fuzz.cc): builds each as a
# libFuzzer program with clang under AddressSanitizer + UndefinedBehaviorSanitizer in
# build-fuzz/, then runs each for SECONDS (default 60) from its seed corpus
# tests/fuzz/corpus/NAME/. Inputs it finds go to build-fuzz/fuzz-corpus/NAME/ (the seeds stay
# as they are); a crash leaves its input in build-fuzz/fuzz-findings/NAME/ and fails the run.
# Without clang or libFuzzer it says so and exits 0.
#
#   scripts/fuzz.sh [SECONDS]        JOBS (default 2) build jobs, FUZZ_BUILD_DIR the build folder
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h | --help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac
seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: SECONDS must be a whole number above 0, not '$seconds'" >&2
  exit 2
fi
jobs=${JOBS:-2}
folder=${FUZZ_BUILD_DIR:-build-fuzz}

skip() {
  echo "fuzz.sh: $1; no fuzzing done." >&2
  echo "fuzz.sh: note: install the Debian packages clang and libfuzzer-14-dev to fuzz." >&2
  exit 0
}

command -v clang >/dev/null && command -v clang++ >/dev/null || skip "clang is not installed"
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe/probe.cc"
clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cc" -o "$probe/probe" 2>/dev/null ||
  skip "clang cannot link libFuzzer programs (libFuzzer is missing)"

echo "== fuzz: build in $folder"
cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVIREO_FUZZ=ON -DVIREO_WERROR=ON \
  -DVIREO_GUI=OFF -DVIREO_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$folder" -j "$jobs" --target fuzz_targets

failed=()
while read -r name; do
  [ -n "$name" ] || continue
  corpus="$folder/fuzz-corpus/$name"
  findings="$folder/fuzz-findings/$name"
  log="$folder/fuzz-logs/$name.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  echo "== fuzz: $name for ${seconds}s"
  # New inputs go to the first folder; the seeds are only read. A hang of 10 s is a finding.
  if "$folder/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$name" \
    >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "   ${runs:-?} inputs, $(find "$corpus" -type f | wc -l) found in $corpus, no fault"
  else
    tail -n 40 "$log" >&2
    echo "   FAULT: see $log and the input in $findings/" >&2
    failed+=("$name")
  fi
done <"$folder/fuzz_targets.txt"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: faults found by: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: every target ran ${seconds}s without a fault"
