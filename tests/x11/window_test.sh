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

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$exe" "$work/quillon"
cp "$module" "$work/"
printf '{"devices": [{"friendlyName": "Disk"}]}' >"$work/devices.json"

Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x1024x24 >"$work/display" 2>/dev/null &
xvfb_pid=$!
i=0
while [ ! -s "$work/display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$work/display" ] || { echo "skipped: Xvfb did not start"; exit 77; }
export DISPLAY=":$(cat "$work/display")"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY XDG_SESSION_TYPE

failed=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected '$2', got '$3'"; failed=1; fi
}

# The id of the top-level window with exactly this name, waiting for it up
# to a minute: the sanitizer build on a busy machine takes well over ten
# seconds to show a window.
window_named() {
  i=0
  while [ $i -lt 600 ]; do
    id=$(xwininfo -root -tree | sed -n "s/^ *\(0x[0-9a-f]*\) \"$1\": .*/\1/p" | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

field() {  # field ID LABEL: a number from xwininfo
  xwininfo -id "$1" | sed -n "s/^ *$2: *\(-*[0-9]*\).*/\1/p"
}

# The window: 540 x 276 at (303, 136) without a frame; Qt's -qwindowtitle
# and -reverse are arguments like any other.
"$work/quillon" "/deviceSource=$work/devices.json" -qwindowtitle Bogus -reverse >/dev/null 2>&1 &
app_pid=$!
if id=$(window_named "Quillon - Varnholt"); then
  sleep 0.5  # the window settles
  check "window position x" 303 "$(field "$id" "Absolute upper-left X")"
  check "window position y" 136 "$(field "$id" "Absolute upper-left Y")"
  check "window width" 540 "$(field "$id" Width)"
  check "window height" 276 "$(field "$id" Height)"
else
  echo "FAILED: no window captioned \"Quillon - Varnholt\""
  xwininfo -root -tree | grep '"' | head -n 20
  failed=1
fi
kill "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
app_pid=""

# An error box (a device source that does not exist) is captioned "Error".
"$work/quillon" "/deviceSource=$work/missing.json" >/dev/null 2>&1 &
app_pid=$!
if id=$(window_named "Error"); then
  check "error box caption" '_NET_WM_NAME(UTF8_STRING) = "Error"' "$(xprop -id "$id" _NET_WM_NAME)"
else
  echo "FAILED: no window captioned \"Error\""
  xwininfo -root -tree | grep '"' | head -n 20
  failed=1
fi
exit $failed
