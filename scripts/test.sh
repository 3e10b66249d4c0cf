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

ctest_cmd="ctest --test-dir $build --output-on-failure -j$(nproc)"
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
  echo "Running the tests with /sys read-only" >&2
  unshare --mount sh -c "mount --make-rprivate / && mount -o remount,bind,ro /sys && exec $ctest_cmd"
else
  $ctest_cmd
fi

if [ -x "$here/scripts/test-windows.sh" ]; then
  "$here/scripts/test-windows.sh"
fi
