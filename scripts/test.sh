#!/bin/sh
# Builds everything with warnings as errors and runs every test: the native
# suite under ctest (with /sys read-only where a private mount namespace can
# be had), then the device layer built with mingw-w64 and run under Wine.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-test"
"$here/scripts/install-deps.sh" test
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

log=$(mktemp)
trap 'rm -f "$log" "$log.rc"' EXIT INT TERM
ctest_cmd="ctest --test-dir $build --output-on-failure -j$(nproc)"
{
  if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
    echo "Running the tests with /sys read-only"
    unshare --mount sh -c "mount --make-rprivate / && mount -o remount,bind,ro /sys && exec $ctest_cmd"
  else
    $ctest_cmd
  fi
  echo $? >"$log.rc"
} 2>&1 | tee "$log"
native_status=$(cat "$log.rc")
total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$log" | tail -n 1)
skipped=$(grep -c '(Skipped)$' "$log" || true)
passed=$(( ${total:-0} - ${failed:-0} - skipped ))
echo "Native: $passed passed, ${failed:-0} failed, $skipped skipped"

windows_status=0
"$here/scripts/test-windows.sh" || windows_status=$?
[ "$native_status" -eq 0 ] && [ "$windows_status" -eq 0 ]
