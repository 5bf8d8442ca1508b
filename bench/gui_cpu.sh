#!/usr/bin/env bash
# CPU share of the desktop program while it streams at 100 frames/s: vireometer-sim serves the
# meter in its own process, the program runs under Xvfb and presses START, and the program's
# user + system time is sampled over a window of seconds. With --chart the chart page is shown,
# sampling at 100 Hz and repainting as it samples. With --record the meter sends 1000 frames/s
# and the program records them into a fresh store from its sessions page, which shows the
# session growing.
# Usage: bench/gui_cpu.sh [--chart|--record] [SECONDS]   (after building vireometer and
# vireometer-sim in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
page=readings
what="streaming at 100 frames/s"
interval=(--frame-interval-ms 10)
extra=(--press-start)
export HIDLINK_VIRTUAL_DIR=$(mktemp -d)
if [ "${1:-}" = "--chart" ]; then
  page=chart
  extra+=(--chart-page)
  shift
elif [ "${1:-}" = "--record" ]; then
  page=sessions
  what="recording at 1000 frames/s"
  interval=(--frame-interval-us 1000)
  extra=(--record "$HIDLINK_VIRTUAL_DIR/sessions.db")
  shift
fi
seconds=${1:-10}
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$HIDLINK_VIRTUAL_DIR"' EXIT
build/sim/vireometer-sim "${interval[@]}" >/dev/null &
sleep 0.5
xvfb-run -a -s "-screen 0 1280x800x24" build/app/vireometer "${extra[@]}" 2>/dev/null &
xvfb=$!
pid=""
for _ in $(seq 50); do
  pid=$(pgrep -x -P "$xvfb" vireometer || true)  # ours, not another vireometer on the machine
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "the program did not start" >&2; exit 1; }
sleep 3  # start-up and START
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks); s0=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks); s1=$(date +%s.%N)
awk -v page="$page" -v what="$what" -v t="$((t1 - t0))" -v hz="$hz" -v s0="$s0" -v s1="$s1" \
  'BEGIN { printf "vireometer %s, %s page shown: %.1f%% of one core over %.1f s\n", what, page, 100 * t / hz / (s1 - s0), s1 - s0 }'
kill "$pid"
wait "$xvfb" || true  # xvfb-run stops its X server once the program has ended
