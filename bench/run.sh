#!/bin/sh
# Times command mode and window start-up over generated device files of N
# members, and enumDevices over this machine's own sysfs beside other
# listing tools. Prints a Markdown table of medians.
#
# Usage: bench/run.sh [N ...]          (default: 1000 10000 100000)
# Environment: BUILD   build directory (default: <repo>/build-bench, Release)
#              RUNS    timed runs per command (default: 10)
#              RSS_RUNS runs for the peak-memory median (default: 5)
# Needs: hyperfine, GNU time (/usr/bin/time); Xvfb and xev for the window rows;
# lshw, hwinfo and lspci for the comparison rows (rows are skipped without them).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build-bench}
runs=${RUNS:-10}
rss_runs=${RSS_RUNS:-5}
sizes=${*:-1000 10000 100000}

for tool in hyperfine /usr/bin/time; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "bench: $tool is missing (Debian packages: hyperfine, time)" >&2
    exit 1
  fi
done

echo "Building (Release) in $build ..." >&2
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLON_BUILD_TESTS=OFF \
  -DQUILLON_BUILD_BENCH=ON -DQUILLON_WARNINGS_AS_ERRORS=OFF >/dev/null
cmake --build "$build" --target quillon quillon-gen-devices -j2 >/dev/null

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A copy of the program, so that its report log lands in the work directory.
exe=$work/quillon
cp "$build/app/quillon" "$exe"
unset DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=offscreen

rows=$work/rows
per_member=yes  # the per-1,000 column, for the generated files only

# median_ms CMD...: median wall time of CMD in milliseconds (hyperfine, no shell).
median_ms() {
  hyperfine -N --warmup 2 --runs "$runs" --export-json "$work/h.json" "$*" >/dev/null 2>&1
  sed -n 's/^ *"median": *\([0-9.e+-]*\),*$/\1/p' "$work/h.json" | head -n 1 |
    awk '{ printf "%.1f", $1 * 1000 }'
}

# median_rss_mib CMD...: median peak resident set size in MiB (GNU time).
median_rss_mib() {
  i=0
  : >"$work/rss"
  while [ "$i" -lt "$rss_runs" ]; do
    /usr/bin/time -f %M -o "$work/rss1" "$@" >/dev/null 2>&1 || true
    tail -n 1 "$work/rss1" >>"$work/rss"
    i=$((i + 1))
  done
  sort -n "$work/rss" | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1024 }'
}

# row LABEL N CMD...: one table row with time and memory.
row() {
  label=$1
  n=$2
  shift 2
  ms=$(median_ms "$@")
  mib=$(median_rss_mib "$@")
  per=""
  if [ "$per_member" = yes ]; then
    per=$(awk -v ms="$ms" -v n="$n" 'BEGIN { if (n > 0) printf "%.2f", ms / n * 1000 }')
  fi
  cmd=$(echo "$*" | sed "s|$work/||g")
  printf '| %s | %s | %s | %s | %s | `%s` |\n' "$label" "$n" "$ms" "$per" "$mib" "$cmd" >>"$rows"
}

# Window mode under Xvfb: time from the start of the process to the map of
# its first top-level window (the list is filled before the window shows).
window_shown_ms() {
  file=$1
  i=0
  : >"$work/win"
  while [ "$i" -lt "$runs" ]; do
    rm -f "$work/xev.out"
    xev -display "$DISPLAY" -root -event substructure >"$work/xev.out" 2>/dev/null &
    xev_pid=$!
    sleep 0.3
    t0=$(date +%s%N)
    QT_QPA_PLATFORM=xcb "$exe" "/deviceSource=$file" >/dev/null 2>&1 &
    app_pid=$!
    waited=0
    # Poll gently: a busy loop would take a core from the program on 2 cores.
    while ! grep -q '^MapNotify' "$work/xev.out" 2>/dev/null; do
      waited=$((waited + 1))
      [ "$waited" -gt 5000 ] && break
      sleep 0.005
    done
    t1=$(date +%s%N)
    kill "$app_pid" "$xev_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    wait "$xev_pid" 2>/dev/null || true
    echo $(((t1 - t0) / 1000)) >>"$work/win"
    i=$((i + 1))
  done
  sort -n "$work/win" | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1000 }'
}

have_x=""
if command -v Xvfb >/dev/null 2>&1 && command -v xev >/dev/null 2>&1; then
  display_number=$((90 + $$ % 100))
  Xvfb ":$display_number" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  sleep 1
  if kill -0 "$xvfb_pid" 2>/dev/null; then have_x=":$display_number"; fi
fi

for n in $sizes; do
  echo "N = $n ..." >&2
  file=$work/devices-$n.json
  "$build/bench/quillon-gen-devices" "$n" >"$file"
  row "enumDevices, all members" "$n" "$exe" "/deviceSource=$file" /deviceCommand=enumDevices
  row "statusDevice, last member by name" "$n" "$exe" "/deviceSource=$file" \
    /deviceName=BenchTarget /deviceCommand=statusDevice
  row "start-up, list filled, hidden (offscreen)" "$n" "$exe" "/deviceSource=$file" \
    /deviceCommand=none
  if [ -n "$have_x" ]; then
    row "start-up, list filled, hidden (xcb on Xvfb)" "$n" env DISPLAY="$have_x" \
      QT_QPA_PLATFORM=xcb "$exe" "/deviceSource=$file" /deviceCommand=none
    ms=$(DISPLAY=$have_x window_shown_ms "$file")
    per=$(awk -v ms="$ms" -v n="$n" 'BEGIN { printf "%.2f", ms / n * 1000 }')
    printf '| %s | %s | %s | %s | %s | `%s` |\n' "window shown, list filled (xcb on Xvfb)" "$n" \
      "$ms" "$per" "-" "quillon /deviceSource=devices-$n.json, until MapNotify" >>"$rows"
  fi
done

# This machine's own devices: read-only commands only. N is the number of
# devices (quillon) or of output lines (the other tools).
echo "sysfs ..." >&2
per_member=no
"$exe" /deviceCommand=enumDevices >"$work/sysfs.out" 2>&1 || true
if grep -q 'SetupDiGetClassDevs(): ' "$work/sysfs.out"; then
  echo "| enumDevices over this machine's sysfs | - | not available: $(head -n 1 "$work/sysfs.out") | | | |" >>"$rows"
else
  count=$(wc -l <"$work/quillon.log" | tr -d ' ')
  row "enumDevices over this machine's sysfs" "$count" "$exe" /deviceCommand=enumDevices
fi
saved_runs=$runs
runs=3
for tool in "lshw -short" "hwinfo --short" "lspci -vmm"; do
  set -- $tool
  if command -v "$1" >/dev/null 2>&1; then
    count=$("$@" 2>/dev/null | wc -l | tr -d ' ')
    row "$tool (output lines)" "$count" "$@"
  fi
done
runs=$saved_runs

echo
echo "| Measurement | N | median ms | ms per 1,000 members | peak RSS MiB (median) | command |"
echo "|---|---:|---:|---:|---:|---|"
cat "$rows"
echo
echo "hyperfine -N --warmup 2 --runs $runs (comparison tools: 3 runs); peak RSS: /usr/bin/time -f %M," \
  "median of $rss_runs runs; QT_QPA_PLATFORM=offscreen unless marked xcb; $(nproc) cores."
