#!/bin/sh
# CPU time quillon-devices --watch uses while nothing changes: user plus
# system ticks from /proc/PID/stat over SECONDS seconds, as a share of one core.
# Usage: bench/watch-idle.sh QUILLON_DEVICES [SECONDS] [--source=...]
set -eu
program=$1
seconds=${2:-30}
shift $(($# >= 2 ? 2 : 1))
"$program" --watch "$@" >/dev/null &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
sleep 1  # the first reading is not idle time
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
hz=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
  'BEGIN { printf "%d ticks in %d s: %.3f%% of one core\n", t, s, 100 * t / hz / s }'
kill -INT "$pid"
wait "$pid"
echo "exit $? after SIGINT"
