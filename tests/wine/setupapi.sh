# shellcheck shell=sh
# Sourced by scripts/test-windows-app.sh, in the order it names, after
# tests/wine/lib.sh: command mode over Wine's own devices (SetupAPI).
# shellcheck disable=SC2154 # the driver's variables: $work, $wine, $exe, $linux, $here ...

# --- Command mode over Wine's own devices ----------------------------------

rm -f "$win/quillon.log"
run_windows "$win" quillon.exe '/deviceCommand=enumDevices' || true
lines=$(grep -c '' "$win/quillon.log" 2>/dev/null || echo 0)
wellformed=$(grep -c "$(printf '^.*: 0x[0-9A-F]\\{8\\}(.*)\r$')" "$win/quillon.log" 2>/dev/null ||
  echo 0)
if [ "$lines" -gt 0 ] && [ "$wellformed" -eq "$lines" ] && [ "$(tail -c 2 "$win/quillon.log" |
  od -An -c | tr -d ' ')" = '\r\n' ]; then
  pass "enumDevices over Wine's devices (SetupAPI): $lines devices"
else
  fail "enumDevices over Wine's devices (SetupAPI)" "$(head -n 5 "$win/quillon.log" 2>/dev/null)"
fi
