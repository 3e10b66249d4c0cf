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

# Debian's wine64 package keeps its programs out of PATH.
find_tool() {
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}
# The wineserver wrapper adds -p0 (exit at once when idle); call the server itself.
wine=$(find_tool /usr/lib/wine/wine64 wine64 wine) || {
  echo "test-windows: Wine is not installed (Debian package wine64); cannot test the Windows backend" >&2
  exit 1
}
wineserver=$(find_tool /usr/lib/wine/wineserver64 wineserver64 wineserver) || {
  echo "test-windows: wineserver is missing; cannot test the Windows backend" >&2
  exit 1
}

cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUILLON_BUILD_GUI=OFF -DQUILLON_BUILD_BENCH=OFF \
  -DQUILLON_WARNINGS_AS_ERRORS=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" >/dev/null
cmake --build "$build" -j"$(nproc)"
built=$(date +%s)

# A fresh prefix per run: friendly names written by the tests persist in it.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quillon-wine.XXXXXX")
WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs them, and they would ask.
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
log="$WINEPREFIX.log"
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A server that stays up: otherwise every test waits for Wine's background
# processes to wind down, seconds each.
"$wineserver" -p
if ! "$wine" wineboot -i >"$log" 2>&1; then
  cat "$log" >&2
  echo "test-windows: Wine cannot run on this machine (wineboot failed); the Windows backend is untested" >&2
  exit 1
fi
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
set -- $counts
ran=$1 passed=$2 skipped=$3
failed=$((ran - passed - skipped))
sed -n 's/^[0-9]*: \[  SKIPPED \] \([^ ]*\.[^ ]*\)$/  skipped under Wine: \1/p' "$log" | sort -u
if [ "$status" -ne 0 ] || [ "$ran" -eq 0 ]; then
  # The output of each test that did not pass.
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

finished=$(date +%s)
echo "Timings: build $((built - started)) s, prefix $((booted - built)) s, tests $((finished - booted)) s"
echo "Wine: $passed passed, $failed failed, $skipped skipped"
exit "$status"
