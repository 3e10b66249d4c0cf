#!/bin/sh
# Times command mode and window start-up over generated device files of N
# members, enumDevices over this machine's own sysfs beside other listing
# tools, and over generated sysfs trees of many nodes. Prints a Markdown table
# of medians: wall time, CPU time (user + system) and peak resident set.
#
# Usage: bench/run.sh [N ...]          (default: 1 1000 10000 100000)
# Environment: BUILD        build directory (default: <repo>/build-bench, Release)
#              RUNS         measured runs per command (default: 10)
#              SYSFS_NODES  sizes of the generated sysfs trees (default: 10000 50000)
# Needs: Xvfb and xev for the window rows; lshw, hwinfo and lspci for the
# comparison rows (rows are skipped without them). scripts/install-deps.sh
# bench installs them.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build-bench}
runs=${RUNS:-10}
sizes=${*:-1 1000 10000 100000}
sysfs_nodes=${SYSFS_NODES:-10000 50000}

echo "Building (Release) in $build ..." >&2
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLON_BUILD_TESTS=OFF \
  -DQUILLON_BUILD_BENCH=ON -DQUILLON_WARNINGS_AS_ERRORS=OFF >/dev/null
cmake --build "$build" --target quillon quillon-gui quillon-gen-devices quillon-gen-sysfs \
  quillon-measure quillon-uevent-floor -j2 >/dev/null
measure=$build/bench/quillon-measure

. "$(dirname "$0")/common.sh"

# A copy of the program and its GUI module, so that its report log lands in
# the work directory.
exe=$work/quillon
cp "$build/app/quillon" "$build/app/quillon-gui.so" "$work/"

rows=$work/rows
per_member=yes  # the per-1,000 column, for the generated files only

# row LABEL N CMD...: one table row: medians of wall time, CPU time, peak RSS.
row() {
  label=$1
  n=$2
  shift 2
  set -- $("$measure" "$runs" "$@") "$@"
  wall=$1 cpu=$2 mib=$3
  shift 3
  per=""
  if [ "$per_member" = yes ]; then
    per=$(awk -v ms="$cpu" -v n="$n" 'BEGIN { if (n > 0) printf "%.2f", ms / n * 1000 }')
  fi
  cmd=$(echo "$*" | sed "s|$work/||g; s|$build/bench/||g; s|/dev/shm/quillon-sysfs-[A-Za-z0-9]*|TREE|g")
  printf '| %s | %s | %s | %s | %s | %s | `%s` |\n' "$label" "$n" "$wall" "$cpu" "$per" "$mib" \
    "$cmd" >>"$rows"
  echo "$cpu"
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
    "$exe" "/deviceSource=$file" >/dev/null 2>&1 &
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
  start_xvfb
  have_x=$xvfb_display
fi

for n in $sizes; do
  echo "N = $n ..." >&2
  file=$work/devices-$n.json
  "$build/bench/quillon-gen-devices" "$n" >"$file"
  row "enumDevices, all members" "$n" "$exe" "/deviceSource=$file" /deviceCommand=enumDevices \
    >/dev/null
  row "statusDevice, last member by name" "$n" "$exe" "/deviceSource=$file" \
    /deviceName=BenchTarget /deviceCommand=statusDevice >/dev/null
  row "start-up, list filled, no window (no display)" "$n" "$exe" "/deviceSource=$file" \
    /deviceCommand=none >/dev/null
  if [ -n "$have_x" ]; then
    row "start-up, list filled, hidden (xcb on Xvfb)" "$n" env DISPLAY="$have_x" \
      "$exe" "/deviceSource=$file" /deviceCommand=none >/dev/null
    ms=$(DISPLAY=$have_x window_shown_ms "$file")
    printf '| %s | %s | %s | | | | `%s` |\n' "window shown, list filled (xcb on Xvfb)" "$n" \
      "$ms" "quillon /deviceSource=devices-$n.json, until MapNotify" >>"$rows"
  fi
done

# Generated sysfs trees the size of big servers' (nine listed nodes a group),
# each beside its floor: the same bus walk and one uevent read a node.
floor=$build/bench/quillon-uevent-floor
notes=$work/notes
: >"$notes"
for n in $sysfs_nodes; do
  echo "sysfs tree of $n nodes ..." >&2
  generate_tree "$n"
  "$exe" "/deviceSource=$tree" /deviceCommand=enumDevices
  count=$(wc -l <"$work/quillon.log" | tr -d ' ')
  cpu=$(row "enumDevices over a generated sysfs tree" "$count" "$exe" "/deviceSource=$tree" \
    /deviceCommand=enumDevices)
  floor_cpu=$(row "floor: bus walk and one uevent read a node, same tree" "$count" "$floor" "$tree")
  echo "Generated tree of $count nodes: enumDevices takes $(awk -v a="$cpu" -v b="$floor_cpu" \
    'BEGIN { printf "%.2f", a / b }') times the CPU time of its floor." >>"$notes"
  if command -v strace >/dev/null 2>&1; then
    calls=$(strace -c -f -o "$work/strace" "$exe" "/deviceSource=$tree" /deviceCommand=enumDevices \
      >/dev/null 2>&1 && awk '$NF == "total" { print $(NF - 2) }' "$work/strace")
    echo "Generated tree of $count nodes: $calls system calls, $(awk -v c="$calls" -v n="$count" \
      'BEGIN { printf "%.1f", c / n }') a node (strace -c -f quillon /deviceSource=TREE" \
      "/deviceCommand=enumDevices)." >>"$notes"
  fi
  rm -rf "$tree"
done

# This machine's own devices: read-only commands only. N is the number of
# devices (quillon) or of output lines (the other tools).
echo "sysfs ..." >&2
per_member=no
quillon_cpu=""
"$exe" /deviceCommand=enumDevices >"$work/sysfs.out" 2>&1 || true
if grep -q 'SetupDiGetClassDevs(): ' "$work/sysfs.out"; then
  echo "| enumDevices over this machine's sysfs | - | not available: $(head -n 1 "$work/sysfs.out") | | | | |" >>"$rows"
else
  count=$(wc -l <"$work/quillon.log" | tr -d ' ')
  quillon_cpu=$(row "enumDevices over this machine's sysfs" "$count" "$exe" /deviceCommand=enumDevices)
  row "floor: bus walk and one uevent read a node, this machine" "$count" "$floor" >/dev/null
  libraries=$(LD_DEBUG=files "$exe" /deviceCommand=enumDevices 2>&1 | grep -c 'file=.*needed by' || true)
  qt=$(LD_DEBUG=files "$exe" /deviceCommand=enumDevices 2>&1 | grep -c 'file=libQt6' || true)
fi
lshw_cpu=""
for tool in "lshw -short" "hwinfo --short" "lspci -vmm"; do
  set -- $tool
  if command -v "$1" >/dev/null 2>&1; then
    count=$("$@" 2>/dev/null | wc -l | tr -d ' ')
    cpu=$(row "$tool (output lines)" "$count" "$@")
    [ "$1" = lshw ] && lshw_cpu=$cpu
  fi
done

echo
echo "| Measurement | N | wall ms | CPU ms | CPU ms per 1,000 members | peak RSS MiB | command |"
echo "|---|---:|---:|---:|---:|---:|---|"
cat "$rows"
echo
echo "Medians of $runs runs after 2 unmeasured ones (bench/measure.cpp: wall clock, user + system" \
  "time and peak RSS from wait4); no display unless marked xcb; $(nproc) cores."
if [ -n "$quillon_cpu" ] && [ -n "$lshw_cpu" ]; then
  echo "enumDevices over this machine's sysfs takes $(awk -v a="$quillon_cpu" -v b="$lshw_cpu" \
    'BEGIN { printf "%.2f", a / b }') times the CPU time of lshw -short."
fi
cat "$notes"
if [ -n "${libraries:-}" ]; then
  echo "Headless enumDevices loads $libraries shared libraries, $qt of them Qt's" \
    "(LD_DEBUG=files quillon /deviceCommand=enumDevices)."
fi
