#!/bin/sh
# quillon.exe itself: cross-built with mingw-w64 against the static Qt for
# Windows that scripts/build-windows-qt.sh keeps in its cache, then run under
# Wine on a private Xvfb display in a throw-away prefix:
# - command mode over device files, started through a batch file so that the
#   program gets the raw command line as written: the report log beside
#   quillon.exe and the rewritten device file are byte-identical to what the
#   Linux program writes for the same switches;
# - command mode over Wine's own devices (SetupAPI);
# - the window over a device file: caption and size, the list, the six
#   fields, F5, the Device and File menus, Set, an error box.
# The checks are the files of tests/wine/; this script builds, provides the
# display and the prefix, and counts.
# Without the cached Qt it says "skipped" and how to build it, and exits 0.
# Exits non-zero when a check fails or Wine cannot run.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
label="quillon.exe under Wine"
started=$(date +%s)

if ! reason=$("$here/scripts/build-windows-qt.sh" --check 2>&1); then
  echo "$label: skipped ($reason; build it once with ./scripts/build-windows-qt.sh)"
  exit 0
fi
qt=$reason

"$here/scripts/install-deps.sh" test
. "$here/scripts/wine-prefix.sh"
# shellcheck source=scripts/xvfb.sh
. "$here/scripts/xvfb.sh"
wine_find test-windows-app || exit 1

# quillon.exe, static, against the cached Qt. Tests stay off: the cached Qt
# has no Qt Test.
build="$here/build-win-app"
(cd "$here" && cmake --preset windows-app -B "$build" -DCMAKE_FIND_ROOT_PATH="$qt" \
  -DCMAKE_PREFIX_PATH="$qt" >/dev/null)
cmake --build "$build" -j"$(nproc)" --target quillon
exe=$(find "$build" -type f -name quillon.exe | head -n 1)
[ -n "$exe" ] || {
  echo "test-windows-app: the build made no quillon.exe" >&2
  exit 1
}

# The Linux program the reports are compared with: the test build's, brought
# up to date (configured here when there is none).
reference_build=${QUILLON_REFERENCE_BUILD:-$here/build-test}
if [ ! -f "$reference_build/CMakeCache.txt" ]; then
  (cd "$here" && cmake --preset tests -B "$reference_build" >/dev/null)
fi
cmake --build "$reference_build" -j"$(nproc)" --target quillon
linux=$(find "$reference_build" -type f -name quillon -perm -u+x | head -n 1)
built=$(date +%s)

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-winapp.XXXXXX")
app_pid=""
cleanup() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  wine_remove_prefix
  xvfb_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A display of its own: Wine needs one even in command mode.
xvfb_start "$work" 1024x768x24 || {
  echo "test-windows-app: Xvfb did not start" >&2
  exit 1
}
DISPLAY=$xvfb_display
export DISPLAY
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

wine_new_prefix test-windows-app || exit 1
booted=$(date +%s)

# The checks, in this order: each file counts with pass and fail.
wine_tests="$here/tests/wine"
# shellcheck source=tests/wine/lib.sh
. "$wine_tests/lib.sh"
# shellcheck source=tests/wine/command-mode.sh
. "$wine_tests/command-mode.sh"
# shellcheck source=tests/wine/setupapi.sh
. "$wine_tests/setupapi.sh"
commands=$(date +%s)
# shellcheck source=tests/wine/window.sh
. "$wine_tests/window.sh"

finished=$(date +%s)
echo "Timings: build $((built - started)) s, prefix $((booted - built)) s," \
  "command mode $((commands - booted)) s, window $((finished - commands)) s"
echo "$label: $passed passed, $failed failed, 0 skipped"
[ "$failed" -eq 0 ]
