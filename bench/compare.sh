#!/bin/sh
# Two builds of the program side by side in one run, over the same inputs:
# the rows the performance targets name. Each row runs the old build, then
# the new one, so both see the same load. Prints a Markdown table of medians
# of CPU time (user + system) and peak RSS from quillon-measure.
#
# Usage: bench/compare.sh OLD_DIR NEW_DIR
#   OLD_DIR, NEW_DIR: build directories (or copies) holding app/quillon and
#   app/quillon-gui.so, or quillon and quillon-gui.so themselves.
# Environment: BUILD   build with the bench tools (default: NEW_DIR)
#              RUNS    measured runs per command (default: 15; a fifth of it,
#                      at least 3, for the big inputs)
#              SYSFS_NODES  sizes of the generated sysfs trees (default: 10000 50000)
set -eu

if [ $# -ne 2 ]; then
  echo "usage: bench/compare.sh OLD_DIR NEW_DIR" >&2
  exit 2
fi
runs=${RUNS:-15}
big_runs=$((runs / 5))
[ "$big_runs" -lt 3 ] && big_runs=3
build=${BUILD:-$2}
measure=$build/bench/quillon-measure
sysfs_nodes=${SYSFS_NODES:-10000 50000}

. "$(dirname "$0")/common.sh"

# Each program in a folder of its own, where its report log lands.
for side in old new; do
  dir=$1
  [ "$side" = new ] && dir=$2
  [ -x "$dir/app/quillon" ] && dir=$dir/app
  mkdir "$work/$side"
  cp "$dir/quillon" "$dir/quillon-gui.so" "$work/$side/"
done

# cpu_rss N CMD...: "CPU ms / RSS MiB" of the medians of N runs.
cpu_rss() {
  n=$1
  shift
  set -- $("$measure" "$n" "$@")
  echo "$2 / $3"
}

# floor_row LABEL N ROOT: the floor under a listing of ROOT (the bus walk and
# one uevent read a node), in the new column.
floor_row() {
  floor=$(cpu_rss "$2" "$build/bench/quillon-uevent-floor" ${3:+"$3"})
  printf '| %s | | %s | |\n' "$1" "$floor" >>"$work/rows"
}

# row LABEL TARGET N ARGS...: quillon ARGS, old then new.
row() {
  label=$1 target=$2 n=$3
  shift 3
  old=$(cpu_rss "$n" "$work/old/quillon" "$@")
  new=$(cpu_rss "$n" "$work/new/quillon" "$@")
  printf '| %s | %s | %s | %s |\n' "$label" "$old" "$new" "$target" >>"$work/rows"
}

echo "device files ..." >&2
"$build/bench/quillon-gen-devices" 1 >"$work/one.json"
"$build/bench/quillon-gen-devices" 1000 >"$work/thousand.json"
"$build/bench/quillon-gen-devices" 100000 >"$work/many.json"
row '`enumDevices` over a one-member file' 'at most 8 ms' "$runs" \
  "/deviceSource=$work/one.json" /deviceCommand=enumDevices
row '`enumDevices` over 100,000 members' 'at most 200 ms and 80 MiB' "$big_runs" \
  "/deviceSource=$work/many.json" /deviceCommand=enumDevices

echo "this machine's sysfs ..." >&2
lshw=""
if command -v lshw >/dev/null 2>&1; then
  set -- $("$measure" "$runs" lshw -short)
  lshw=$2
fi
row "\`enumDevices\` over this machine's sysfs" \
  "at most 10 ms and 0.2 × \`lshw -short\` (${lshw:-?} ms), 16 MiB" "$runs" \
  /deviceCommand=enumDevices
floor_row "floor: bus walk and one uevent read a node, this machine's sysfs" "$runs" ""

if command -v Xvfb >/dev/null 2>&1; then
  echo "window start-up ..." >&2
  start_xvfb
  if [ -n "$xvfb_display" ]; then
    export DISPLAY="$xvfb_display"
    row 'start-up, list filled, hidden, xcb on Xvfb, 1,000 members' 'no slower' "$runs" \
      "/deviceSource=$work/thousand.json" /deviceCommand=none
    unset DISPLAY
  fi
fi

for nodes in $sysfs_nodes; do
  echo "sysfs tree of $nodes nodes ..." >&2
  generate_tree "$nodes"
  "$work/new/quillon" "/deviceSource=$tree" /deviceCommand=enumDevices
  count=$(wc -l <"$work/new/quillon.log" | tr -d ' ')
  target="at most 2 × the floor and 350 ms"
  [ "$nodes" -gt 10000 ] && target="at most 5.5 × the 10,000-node figure and 120 MiB"
  row "\`enumDevices\` over a generated sysfs tree of $count nodes" "$target" "$big_runs" \
    "/deviceSource=$tree" /deviceCommand=enumDevices
  floor_row "floor: bus walk and one uevent read a node, same tree" "$big_runs" "$tree"
  rm -rf "$tree"
done

echo
echo "| Measurement | old: CPU ms / peak RSS MiB | new | target |"
echo "|---|---:|---:|---|"
cat "$work/rows"
echo
echo "Medians (quillon-measure: $runs runs, $big_runs for 100,000 members and the trees, after 2" \
  "unmeasured ones); $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)."
