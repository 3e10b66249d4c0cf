#!/bin/sh
# The window and an error box on a bare X server (Xvfb, no window manager, so
# no frame): the window's outer size and place, its caption whatever Qt
# options the command line holds, and the error box's caption.
#
# Usage: window_test.sh QUILLON GUI_MODULE    (exit 77: skipped)
set -u
exe=$1
module=$2
for tool in Xvfb xwininfo xprop; do
  command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is missing"; exit 77; }
done

# shellcheck source=scripts/xvfb.sh
. "$(dirname "$0")/../../scripts/xvfb.sh"
work=$(mktemp -d)
app_pid=""
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  [ -s "$work/app.pid" ] && kill "$(cat "$work/app.pid")" 2>/dev/null
  xvfb_stop
  rm -rf "$work"
}
trap cleanup EXIT
cp "$exe" "$work/quillon"
cp "$module" "$work/"
printf '{"devices": [{"friendlyName": "Disk"}]}' >"$work/devices.json"

xvfb_start "$work" || { echo "skipped: Xvfb did not start"; exit 77; }
export DISPLAY="$xvfb_display"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY XDG_SESSION_TYPE

failed=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected '$2', got '$3'"; failed=1; fi
}

# The id of the top-level window with exactly this name, waiting for it up
# to 40 seconds (the sanitizer build on a busy machine takes well over ten
# seconds to show a window) while the program runs.
window_named() {
  i=0
  while [ $i -lt 400 ]; do
    id=$(xwininfo -root -tree | sed -n "s/^ *\(0x[0-9a-f]*\) \"$1\": .*/\1/p" | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

field() {  # field ID LABEL: a number from xwininfo
  xwininfo -id "$1" | sed -n "s/^ *$2: *\(-*[0-9]*\).*/\1/p"
}

# What the program said and how it ended, when its window did not come.
no_window() {
  echo "no window captioned \"$1\""
  if kill -0 "$app_pid" 2>/dev/null; then
    echo "  the program still runs after 40 seconds: $(grep -E '^State' "/proc/$app_pid/status"), waiting in $(cat "/proc/$app_pid/wchan")"
    kill "$app_pid" 2>/dev/null
  else
    wait "$app_pid"
    echo "  the program ended with status $?"
  fi
  wait "$app_pid" 2>/dev/null
  app_pid=""
  xwininfo -root -tree | grep '"' | head -n 20
  sed 's/^/  stderr: /' "$work/app.log" | head -n 40
}

# launch CAPTION ARGS...: runs quillon with ARGS and prints the id of its
# window named CAPTION. A program that shows none is tried once more, so
# that one lost start on a loaded machine is told apart from a fault.
launch() {
  caption=$1
  shift
  # shellcheck disable=SC2034 # only counts
  for attempt in 1 2; do
    "$work/quillon" "$@" >"$work/app.log" 2>&1 &
    app_pid=$!
    echo "$app_pid" >"$work/app.pid"  # launch runs in a subshell: cleanup finds it here
    if id=$(window_named "$caption"); then
      echo "$id"
      return 0
    fi
    no_window "$caption" >&2
  done
  return 1
}

# The window: 540 x 276 at (303, 136) without a frame; Qt's -qwindowtitle
# and -reverse are arguments like any other.
if id=$(launch "Quillon - Varnholt" "/deviceSource=$work/devices.json" -qwindowtitle Bogus -reverse); then
  sleep 0.5  # the window settles
  check "window position x" 303 "$(field "$id" "Absolute upper-left X")"
  check "window position y" 136 "$(field "$id" "Absolute upper-left Y")"
  check "window width" 540 "$(field "$id" Width)"
  check "window height" 276 "$(field "$id" Height)"
else
  echo "FAILED: the window"
  failed=1
fi
kill "$(cat "$work/app.pid")" 2>/dev/null

# An error box (a device source that does not exist) is captioned "Error".
if id=$(launch "Error" "/deviceSource=$work/missing.json"); then
  check "error box caption" '_NET_WM_NAME(UTF8_STRING) = "Error"' "$(xprop -id "$id" _NET_WM_NAME)"
else
  echo "FAILED: the error box"
  failed=1
fi
exit $failed
