# shellcheck shell=sh
# Sourced by scripts/test-windows.sh once the prefix is up: quillon-devices.exe
# --watch, which reads its source again every second on Windows, over Wine's
# own devices (nothing changes: no line) and over a device file rewritten
# while it runs (the one change, as a JSON line). Each watch is ended by
# Ctrl+C (SIGINT, which Wine hands to the console's handlers) and must exit 0.
# shellcheck disable=SC2154 # the driver's variables: $wine, $build
# shellcheck disable=SC2034 # $status is the driver's exit code

watch_dir=$(mktemp -d)

# watch_start OUT ARGS...: the watch in the background, its process in $watch_pid.
watch_start() {
  watch_out=$1
  shift
  "$wine" "$build/tools/quillon-devices.exe" "$@" --watch >"$watch_out" 2>"$watch_out.err" &
  watch_pid=$!
}

# watch_stop: Ctrl+C, then the exit code in $watch_code (124: still running 10 s later).
watch_stop() {
  kill -INT "$watch_pid" 2>/dev/null || true
  tenths=0
  while kill -0 "$watch_pid" 2>/dev/null && [ "$tenths" -lt 100 ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  if kill -0 "$watch_pid" 2>/dev/null; then
    kill -KILL "$watch_pid" 2>/dev/null || true
    wait "$watch_pid" 2>/dev/null || true
    watch_code=124
    return
  fi
  watch_code=0
  wait "$watch_pid" || watch_code=$?
}

watch_failed() {
  echo "test-windows: quillon-devices --watch $1 (exit code $watch_code):" >&2
  cat "$watch_out" "$watch_out.err" >&2
  status=1
}

# A device file of two devices, the second as given in $1 (status) and $2 (problem).
watch_file() {
  cat >"$watch_dir/machine.json.new" <<EOF
{"openError": 0, "devices": [
  {"instanceId": "ROOT\\\\WATCH\\\\0000", "description": "Watched bus", "classGuid": "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "devInst": 1},
  {"instanceId": "ROOT\\\\WATCH\\\\0001", "description": "Watched device", "classGuid": "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "devInst": 2, "status": "$1", "problem": $2}
]}
EOF
  mv -f "$watch_dir/machine.json.new" "$watch_dir/machine.json"
}

# Over Wine's devices, read every second for three seconds: no change.
watch_start "$watch_dir/own.out"
sleep 3
watch_stop
if [ "$watch_code" -ne 0 ] || [ -s "$watch_out" ]; then
  watch_failed "over Wine's devices did not end quietly on Ctrl+C"
else
  echo "quillon-devices --watch over Wine's devices: no change in 3 s, ended by Ctrl+C"
fi

# Over a device file: the second device disabled once the watch has read it.
watch_file 0x0180200A 0
# shellcheck disable=SC1003 # one backslash, the Windows separator
watch_source="Z:$(printf '%s' "$watch_dir/machine.json" | tr / '\\')"
watch_start "$watch_dir/file.out" --json "--source=$watch_source"
sleep 3
watch_file 0x01802400 22
tenths=0
while [ ! -s "$watch_out" ] && [ "$tenths" -lt 100 ]; do
  sleep 0.1
  tenths=$((tenths + 1))
done
sleep 1.5 # a second reading, which must add nothing
watch_stop
expected='{"event": "changed", "instanceId": "ROOT\\WATCH\\0001", "name": "Watched device", "changes": {"status": {"before": "0x0180200A", "after": "0x01802400"}, "problem": {"before": 0, "after": 22, "beforeText": "enabled", "afterText": "disabled"}}, "device": '
if [ "$watch_code" -ne 0 ] || [ "$(grep -c '' "$watch_out")" -ne 1 ] ||
  [ "$(head -c ${#expected} "$watch_out")" != "$expected" ]; then
  watch_failed "over a rewritten device file did not write its one change"
else
  echo "quillon-devices --watch --json over a device file rewritten under it: its one change, then ended by Ctrl+C"
fi
rm -rf "$watch_dir"
