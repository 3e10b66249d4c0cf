#!/bin/sh
# What --tree and the filters cost over a plain listing: the median wall time
# of RUNS runs of quillon-devices with each set of arguments, against the
# same source. Usage: bench/tree-cost.sh QUILLON_DEVICES SOURCE [RUNS]
# (SOURCE: a device file, a folder whose sys/ is read, or "" for this computer)
set -eu
program=$1
source=$2
runs=${3:-21}
median_ms() {
  times=""
  i=0
  while [ "$i" -lt "$runs" ]; do
    start=$(date +%s%N)
    # shellcheck disable=SC2086 # the arguments are words
    "$program" ${source:+--source="$source"} $1 >/dev/null 2>&1 || true
    end=$(date +%s%N)
    times="$times $(((end - start) / 1000))"
    i=$((i + 1))
  done
  # shellcheck disable=SC2086 # one time a line
  printf '%s\n' $times | sort -n | awk '{ t[NR] = $1 } END { printf "%.2f", t[int((NR + 1) / 2)] / 1000 }'
}
base=$(median_ms "")
printf '%-40s %8s ms\n' "(plain listing)" "$base"
for args in "--tree" "--problem" "--class=Net" "--tree --problem --class=USB" \
  "--id=*VEN_8086*" "--driver=usbhid" "--tree --id=*VEN_8086* --driver=e1000e"; do
  t=$(median_ms "$args")
  printf '%-40s %8s ms  %+.1f%%\n' "$args" "$t" "$(echo "$t $base" | awk '{ print 100 * ($1 - $2) / $2 }')"
done
