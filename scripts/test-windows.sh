#!/bin/sh
# Cross-compiles the device layer, its tests and quillon-devices for 64-bit
# Windows with mingw-w64 (-static) into build-win, and runs them under Wine in
# a fresh, throw-away prefix. Exits non-zero when a test fails, and when Wine
# cannot run at all: the Windows backend is then untested, which CI must not
# take for a pass.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-win"
started=$(date +%s)

"$here/scripts/install-deps.sh" test

. "$here/scripts/wine-prefix.sh"
wine_find test-windows || exit 1

(cd "$here" && cmake --preset windows -B "$build" -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" >/dev/null)
cmake --build "$build" -j"$(nproc)"
built=$(date +%s)

log=$(mktemp)
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  wine_remove_prefix
  rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
wine_new_prefix test-windows || exit 1
booted=$(date +%s)

status=0
ctest --test-dir "$build" -V --timeout 120 >"$log" 2>&1 || status=$?
# ctest's own lines (with -V the tests' lines start with "N: "), then the tests' counts.
grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|^No tests were found' "$log" || true
# Test cases of the GoogleTest programs, and each other ctest test as one.
counts=$(awk '
  /^ *[0-9]+\/[0-9]+ Test +#[0-9]+:/ {
    n = $3; gsub(/[#:]/, "", n); result[n] = ($0 ~ /\*\*\*/) ? "failed" : "passed"; next }
  /^[0-9]+: \[==========\] [0-9]+ tests? from .* ran\./ { sub(/:/, "", $1); gtest[$1] = 1; ran += $3; next }
  /^[0-9]+: \[  PASSED  \] [0-9]+ tests?\./ { passed += $5; next }
  /^[0-9]+: \[  SKIPPED \] [0-9]+ tests?, listed below:/ { skipped += $5; next }
  END {
    for (n in result) if (!(n in gtest)) { ran++; if (result[n] == "passed") passed++ }
    printf "%d %d %d\n", ran, passed, skipped }' "$log")
# shellcheck disable=SC2086 # three numbers, split on purpose
set -- $counts
ran=$1 passed=$2 skipped=$3
failed=$((ran - passed - skipped))
sed -n 's/^[0-9]*: \[  SKIPPED \] \([^ ]*\.[^ ]*\)$/  skipped under Wine: \1/p' "$log" | sort -u
if [ "$status" -ne 0 ] || [ "$ran" -eq 0 ]; then
  # The output of each test that did not pass.
  # shellcheck disable=SC2013 # test numbers, one word each
  for number in $(sed -n 's/^ *[0-9]*\/[0-9]* Test *#\([0-9]*\):.*\*\*\*.*/\1/p' "$log"); do
    echo "--- output of test $number ---" >&2
    sed -n "s/^$number: //p" "$log" | grep -vE '^\[ *(RUN|OK) *\]' >&2
  done
  [ "$status" -ne 0 ] || status=1
  [ "$failed" -gt 0 ] || failed=1
fi

# The console program over this prefix's devices: at least one well-formed line.
if ! "$wine" "$build/tools/quillon-devices.exe" >"$log" 2>&1 ||
  ! grep -qE '^.*: 0x[0-9A-F]{8}\(.*\)' "$log"; then
  echo "test-windows: quillon-devices listed no device under Wine:" >&2
  cat "$log" >&2
  status=1
else
  echo "quillon-devices under Wine listed $(grep -cE ': 0x[0-9A-F]{8}\(' "$log") devices"
fi

# --watch, read every second on Windows, over Wine's devices and a device file.
# shellcheck source=tests/wine/watch.sh
. "$here/tests/wine/watch.sh"

finished=$(date +%s)
echo "Timings: build $((built - started)) s, prefix $((booted - built)) s, tests $((finished - booted)) s"
echo "Wine: $passed passed, $failed failed, $skipped skipped"
exit "$status"
