#!/bin/sh
# Builds everything with warnings as errors and runs every test: the native
# suite under ctest (with /sys read-only where a private mount namespace can
# be had), the same suite again under the address and undefined-behaviour
# sanitizers, then the device layer built with mingw-w64 and run under Wine,
# then quillon.exe itself under Wine when the cached Qt for Windows is there,
# then quillon changing real devices in a throw-away QEMU guest, then a minute
# of fuzzing.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" test

log=$(mktemp)
trap 'rm -f "$log" "$log.rc"' EXIT INT TERM

# run_suite LABEL PRESET BUILD_DIR: configures by the preset (CMakePresets.json),
# builds, runs ctest, prints "LABEL: N passed, N failed, N skipped"; its
# status is ctest's.
run_suite() {
  label=$1 preset=$2 build=$3
  (cd "$here" && cmake --preset "$preset" >/dev/null)
  cmake --build "$build" -j"$(nproc)"
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
  total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  echo "$label: $((${total:-0} - ${failed:-0} - skipped)) passed, ${failed:-0} failed, $skipped skipped"
  return "$(cat "$log.rc")"
}

native_status=0
run_suite Native tests "$here/build-test" || native_status=$?

# Qt and fontconfig keep caches for the process's life: leaks are not checked.
sanitizer_status=0
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite Sanitizers sanitizers "$here/build-test-sanitize" || sanitizer_status=$?
unset ASAN_OPTIONS UBSAN_OPTIONS

windows_status=0
"$here/scripts/test-windows.sh" || windows_status=$?

# quillon.exe needs a Qt for Windows, built once into a cache (over an hour
# on two cores); without it the stage says "skipped" and how to build it.
app_status=0
"$here/scripts/test-windows-app.sh" || app_status=$?

vm_status=0
"$here/scripts/test-vm.sh" "$here/build-test" || vm_status=$?

# Each fuzzing harness for 20 seconds over its seeds: the long run is scripts/fuzz.sh.
fuzz_status=0
"$here/scripts/fuzz.sh" 20 || fuzz_status=$?
[ "$native_status" -eq 0 ] && [ "$sanitizer_status" -eq 0 ] && [ "$windows_status" -eq 0 ] &&
  [ "$app_status" -eq 0 ] && [ "$vm_status" -eq 0 ] && [ "$fuzz_status" -eq 0 ]
