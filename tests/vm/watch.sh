# shellcheck shell=sh disable=SC2154 # exe, work, kbd, nic, ... are checks.sh's
# Sourced by checks.sh (its helpers q, kernel_is, expect, result; $kbd, $nic,
# $work): quillon-devices --watch --json runs in the background while quillon
# disables and enables the USB keyboard and stops and starts the NIC. Each
# change is on the watch within a second, with the right status or problem
# before and after, and no line names any other device; --tree shows the
# keyboard below the xHCI controller below the PCI root.
devices=""
for candidate in "${exe%/*}/../tools/quillon-devices" "${exe%/*}/quillon-devices"; do
  [ -x "$candidate" ] && devices=$candidate && break
done
[ -n "$devices" ] || differs "no quillon-devices beside $exe"

# --- --tree --------------------------------------------------------------------
"$devices" --tree >"$work/tree" 2>"$work/tree.err" || differs "--tree exited with $?"
# ancestors LINE_PATTERN: the lines above the first matching line that are
# less indented, nearest first.
ancestors() {
  awk -v want="$1" '
    { match($0, /^ */); depth[NR] = RLENGTH; line[NR] = substr($0, RLENGTH + 1) }
    index($0, want) && !found { found = NR }
    END {
      if (!found) exit 1
      d = depth[found]
      for (i = found - 1; i > 0; i--) if (depth[i] < d) { print line[i]; d = depth[i] }
    }' "$work/tree"
}
ancestors " QEMU USB Keyboard: " >"$work/above" || differs "--tree has no QEMU USB Keyboard"
grep -q ' QEMU XHCI Host Controller: ' "$work/above" ||
  differs "the keyboard is not below the xHCI controller: $(tr '\n' '|' <"$work/above")"
ancestors " QEMU XHCI Host Controller: " | grep -q 'PNP0A0[38]' ||
  differs "the xHCI controller is not below the PCI root: $(ancestors ' QEMU XHCI Host Controller: ' | tr '\n' '|')"
result "quillon-devices --tree: keyboard below the xHCI controller below the PCI root"

# --- --watch --json ------------------------------------------------------------------
"$devices" --watch --json >"$work/watch" 2>"$work/watch.err" &
watcher=$!
sleep 2  # its first reading, at TCG's pace
kbd_path=$(readlink -f "$kbd") nic_path=$(readlink -f "$nic")
# The checks above renamed the NIC; stopped, it has no interface to hold
# that name, and goes by its chip's again.
adapter_now=${renamed:-$adapter}
# watch_step COMMAND NAME PATH BEFORE_AFTER WHAT: runs the command, then waits up
# to a second for a "changed" line of the device at PATH holding BEFORE_AFTER
# (e.g. '"problem": {"before": 0, "after": 22'); every new line must be about
# that device or one below it.
seen=0
watch_step() {
  q "$1" "$2"
  expect "$1: errors" "" "$errs"
  w_waited=0
  until grep -q "\"changed\".*$4.*\"location\": \"$3\"}}" "$work/watch" || [ "$w_waited" -ge 20 ]; do
    sleep 0.05
    w_waited=$((w_waited + 1))
  done
  [ "$w_waited" -lt 20 ] || differs "$1 $2: no change line with $4 within 1 s"
  sleep 0.3  # lines that should not come
  tail -n +"$((seen + 1))" "$work/watch" >"$work/new"
  seen=$(wc -l <"$work/watch")
  while IFS= read -r w_line; do
    w_location=${w_line##*\"location\": \"}
    w_location=${w_location%%\"*}
    case $w_location in
      "$3" | "$3"/*) ;;
      *) differs "$1 $2: a line about another device: $w_line" ;;
    esac
  done <"$work/new"
  result "--watch: $1 $2 within 1 s ($((w_waited * 50)) ms after the command), $5"
}
# The kernel's state settles before the next step, as in the checks above.
watch_step disableDevice "$keyboard" "$kbd_path" '"problem": {"before": 0, "after": 22' \
  "problem 0 -> 22"
kernel_is kbd disabled
watch_step enableDevice "$keyboard" "$kbd_path" '"problem": {"before": 22, "after": 0' \
  "problem 22 -> 0"
kernel_is kbd enabled
# Started (DN_STARTED, 0x8) before and not after, and back.
started='"0x[0-9A-F]\{7\}[89A-F]"' stopped='"0x[0-9A-F]\{7\}[0-7]"'
watch_step stopDevice "$adapter_now" "$nic_path" "\"status\": {\"before\": $started, \"after\": $stopped}" \
  "status started -> not started"
kernel_is nic stopped
watch_step startDevice "$adapter" "$nic_path" "\"status\": {\"before\": $stopped, \"after\": $started}" \
  "status not started -> started"
kernel_is nic enabled
kill -INT "$watcher"
wait "$watcher"
expect "--watch exit after SIGINT" 0 "$?"
[ -s "$work/watch.err" ] && differs "--watch wrote errors: $(cat "$work/watch.err")"
result "--watch ends with 0 on SIGINT, no errors"
