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

passed=0
failed=0
pass() {
  passed=$((passed + 1))
  printf '  passed: %s\n' "$1"
}
fail() {
  failed=$((failed + 1))
  printf '  FAILED: %s\n' "$1" >&2
  shift
  for line in "$@"; do printf '          %s\n' "$line" >&2; done
}

# The Windows form of a path on this machine (Wine's drive Z: is /).
# shellcheck disable=SC1003 # one backslash, the Windows separator
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# run_windows DIR EXE TAIL: runs DIR/EXE with the raw command line
# "DIR\EXE" TAIL, in DIR, through a batch file as a script would.
run_windows() {
  printf '@"%s" %s\r\n' "$(winpath "$1/$2")" "$3" >"$work/run.bat"
  (cd "$1" && timeout 120 "$wine" cmd /c "$(winpath "$work/run.bat")" >"$work/wine.out" 2>&1)
}

# run_linux DIR ARGS...: the Linux program in DIR, in command mode without a display.
run_linux() {
  dir=$1
  shift
  (cd "$dir" && env -u DISPLAY timeout 60 "$dir/quillon" "$@" >"$work/linux.out" 2>&1)
}

# --- Command mode: byte-identical to the Linux program --------------------

lin="$work/linux"
win="$work/windows"
mkdir -p "$lin" "$win"
cp "$linux" "$lin/quillon"
cp "$exe" "$win/quillon.exe"

# same_as_linux NAME FIXTURE|- KIND 'WINDOWS TAIL' LINUX_ARGS...: runs both
# programs over their own copy of FIXTURE (- keeps the files of the case
# before) and compares their report logs and device files byte for byte.
# KIND report: the log must have lines; quiet: it must be empty.
same_as_linux() {
  name=$1 fixture=$2 kind=$3 tail=$4
  shift 4
  if [ "$fixture" != - ]; then
    cp "$fixture" "$lin/devices.json"
    cp "$fixture" "$win/devices.json"
  fi
  rm -f "$lin/quillon.log" "$win/quillon.log"
  if ! run_linux "$lin" "$@"; then
    fail "$name" "the Linux program failed:" "$(cat "$work/linux.out")"
    return
  fi
  if ! run_windows "$win" quillon.exe "$tail"; then
    fail "$name" "quillon.exe did not end with 0 within 120 s:" "$(cat "$work/wine.out")"
    return
  fi
  if [ ! -f "$win/quillon.log" ]; then
    fail "$name" "no quillon.log beside quillon.exe"
  elif ! cmp -s "$lin/quillon.log" "$win/quillon.log"; then
    fail "$name" "the report logs differ (Linux, then Windows):" \
      "$(od -c "$lin/quillon.log" | head -n 8)" "$(od -c "$win/quillon.log" | head -n 8)"
  elif ! cmp -s "$lin/devices.json" "$win/devices.json"; then
    fail "$name" "the device files differ:" "$(diff "$lin/devices.json" "$win/devices.json" | head)"
  elif [ "$kind" = report ] && [ ! -s "$win/quillon.log" ]; then
    fail "$name" "the report log is empty"
  elif [ "$kind" = quiet ] && [ -s "$win/quillon.log" ]; then
    fail "$name" "the report log is not empty"
  else
    pass "$name"
  fi
}

office="$here/examples/office-pc.json"
com='Communications Port (COM1)'
same_as_linux "enumDevices lists every device" "$office" report \
  '/deviceSource=devices.json /deviceCommand=enumDevices' \
  /deviceSource=devices.json /deviceCommand=enumDevices
same_as_linux "enumDevices of one device, the switch quoted whole" "$office" report \
  "/deviceCommand=enumDevices \"/deviceName=$com\" /deviceSource=devices.json" \
  /deviceCommand=enumDevices "/deviceName=$com" /deviceSource=devices.json
# shellcheck disable=SC2018,SC2019 # ASCII letters, as Windows compares switch names
same_as_linux "statusDevice, the value quoted, names in other case" "$office" report \
  "/DEVICECOMMAND=statusDevice /devicename=\"$(echo "$com" | tr a-z A-Z)\" /devicesource=devices.json" \
  /DEVICECOMMAND=statusDevice "/devicename=$(echo "$com" | tr a-z A-Z)" /devicesource=devices.json
same_as_linux "statusDevice of the first device; the first of two equal switches wins" "$office" \
  report '/deviceSource=devices.json /deviceCommand=statusDevice /deviceCommand=enumDevices /deviceName=' \
  /deviceSource=devices.json /deviceCommand=statusDevice /deviceCommand=enumDevices /deviceName=
same_as_linux "statusDevice of no device" "$office" report \
  '/deviceSource=devices.json /deviceCommand=statusDevice /deviceName=Nothing' \
  /deviceSource=devices.json /deviceCommand=statusDevice /deviceName=Nothing
same_as_linux 'setFriendlyName "/value0=My Disk"' "$office" quiet \
  "/deviceSource=devices.json /deviceCommand=setFriendlyName \"/deviceName=$com\" \"/value0=My Disk\"" \
  /deviceSource=devices.json /deviceCommand=setFriendlyName "/deviceName=$com" "/value0=My Disk"
same_as_linux "the new name in statusDevice" - report \
  '/deviceSource=devices.json /deviceCommand=statusDevice "/deviceName=my disk"' \
  /deviceSource=devices.json /deviceCommand=statusDevice "/deviceName=my disk"
same_as_linux 'setFriendlyName /value0="Your Disk"' - quiet \
  '/deviceSource=devices.json /deviceCommand=setFriendlyName /deviceName="My Disk" /value0="Your Disk"' \
  /deviceSource=devices.json /deviceCommand=setFriendlyName "/deviceName=My Disk" "/value0=Your Disk"
same_as_linux "disableDevice, then the list" "$office" quiet \
  "/deviceSource=devices.json /deviceCommand=disableDevice \"/deviceName=$com\"" \
  /deviceSource=devices.json /deviceCommand=disableDevice "/deviceName=$com"
same_as_linux "enumDevices after disableDevice" - report \
  '/deviceSource=devices.json /deviceCommand=enumDevices' \
  /deviceSource=devices.json /deviceCommand=enumDevices
same_as_linux "an unknown command writes nothing" "$office" quiet \
  '/deviceSource=devices.json /deviceCommand=EnumDevices' \
  /deviceSource=devices.json /deviceCommand=EnumDevices

# The log takes the program's own name, in a folder with a blank and a dot.
tools="$work/v1.2 tools"
mkdir -p "$tools"
cp "$exe" "$tools/nodes.exe"
cp "$office" "$tools/devices.json"
run_windows "$tools" nodes.exe '/deviceSource=devices.json /deviceCommand=enumDevices' || true
cp "$office" "$lin/devices.json"
run_linux "$lin" /deviceSource=devices.json /deviceCommand=enumDevices || true
if [ -f "$tools/nodes.log" ] && cmp -s "$lin/quillon.log" "$tools/nodes.log"; then
  pass "the report log of v1.2 tools\\nodes.exe is v1.2 tools\\nodes.log"
else
  fail "the report log of v1.2 tools\\nodes.exe is v1.2 tools\\nodes.log" "$(ls "$tools")"
fi

# In a folder named beyond ASCII: Windows hands the program its path in the
# ANSI code page, which the log beside it, the device file's lock and its
# temporary file must keep to. The batch file names no path: cmd reads it in
# another code page.
umlaut="$work/Gerät"
mkdir -p "$umlaut"
cp "$exe" "$umlaut/quillon.exe"
cp "$office" "$umlaut/devices.json"
cp "$office" "$lin/devices.json"
printf '@quillon.exe /deviceSource=devices.json /deviceCommand=setFriendlyName "/deviceName=%s" /value0=Port\r\n@quillon.exe /deviceSource=devices.json /deviceCommand=enumDevices\r\n' \
  "$com" >"$work/umlaut.bat"
(cd "$umlaut" && LC_ALL=C.UTF-8 timeout 120 "$wine" cmd /c "$(winpath "$work/umlaut.bat")" \
  >"$work/wine.out" 2>&1) || true
run_linux "$lin" /deviceSource=devices.json /deviceCommand=setFriendlyName "/deviceName=$com" \
  /value0=Port || true
run_linux "$lin" /deviceSource=devices.json /deviceCommand=enumDevices || true
if [ -s "$umlaut/quillon.log" ] && cmp -s "$lin/quillon.log" "$umlaut/quillon.log" &&
  cmp -s "$lin/devices.json" "$umlaut/devices.json"; then
  pass "in a folder named Gerät: a friendly name stored, the log beside the program"
else
  fail "in a folder named Gerät: a friendly name stored, the log beside the program" \
    "$(ls -a "$umlaut")" "$(cat "$work/wine.out")"
fi

# The log elsewhere: on standard output (/reportLog=-), and in a folder
# named with a backslash.
cp "$office" "$lin/devices.json"
cp "$office" "$win/devices.json"
mkdir -p "$lin/logs" "$win/logs"
run_linux "$lin" /deviceSource=devices.json /deviceCommand=enumDevices /reportLog=- || true
run_windows "$win" quillon.exe '/deviceSource=devices.json /deviceCommand=enumDevices /reportLog=- >stdout.log' ||
  true
if [ -s "$win/stdout.log" ] && cmp -s "$work/linux.out" "$win/stdout.log"; then
  pass "/reportLog=- writes the report on standard output"
else
  fail "/reportLog=- writes the report on standard output" "$(head -n 3 "$win/stdout.log")"
fi
run_linux "$lin" /deviceSource=devices.json /deviceCommand=statusDevice /reportLog=logs/status.log ||
  true
run_windows "$win" quillon.exe '/deviceSource=devices.json /deviceCommand=statusDevice /reportLog=logs\status.log' ||
  true
if [ -s "$win/logs/status.log" ] && cmp -s "$lin/logs/status.log" "$win/logs/status.log"; then
  pass '/reportLog=logs\status.log'
else
  fail '/reportLog=logs\status.log' "$(ls "$win/logs")"
fi

# --version and --help on standard output, as on Linux but with CR LF line
# ends; the help names the log beside the program in its Windows form.
# shellcheck disable=SC2094 # the file is only read
crlf_lines() { tr -d '\r' <"$1" | sed 's/$/\r/' | cmp -s - "$1"; }
run_linux "$lin" --version || true
run_windows "$win" quillon.exe '--version >version.txt' || true
if crlf_lines "$win/version.txt" && tr -d '\r' <"$win/version.txt" | cmp -s "$work/linux.out" -; then
  pass "--version: $(tr -d '\r' <"$win/version.txt")"
else
  fail "--version" "$(od -c "$win/version.txt" | head -n 3)"
fi
run_linux "$lin" --help || true
run_windows "$win" quillon.exe '--help >help.txt' || true
tr -d '\r' <"$win/help.txt" >"$work/help.windows"
grep -vxF "  $(winpath "$win/quillon.log")" "$work/help.windows" >"$work/help.windows.rest" || true
grep -vxF "  $lin/quillon.log" "$work/linux.out" >"$work/help.linux.rest" || true
if crlf_lines "$win/help.txt" && grep -qxF "  $(winpath "$win/quillon.log")" "$work/help.windows" &&
  [ -s "$work/help.windows.rest" ] && cmp -s "$work/help.linux.rest" "$work/help.windows.rest"; then
  pass "--help, naming $(winpath "$win/quillon.log")"
else
  fail "--help" "$(diff "$work/linux.out" "$work/help.windows" | head -n 6)"
fi

# One file: it imports only the system's DLLs, none of Qt or the compiler's.
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
foreign=$(echo "$imports" | grep -iE '^(qt|lib|.*(zlib|png|freetype|harfbuzz|pcre))' || true)
if [ -n "$imports" ] && [ -z "$foreign" ]; then
  pass "quillon.exe imports only system DLLs ($(echo "$imports" | wc -l) of them)"
else
  fail "quillon.exe imports only system DLLs" "$foreign"
fi

# The resource: every image of the icon, and the version block with the
# version that --version prints.
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$exe" "$work/rsrc.bin"
hex() { od -An -tx1 -v | tr -d ' \n'; }
hex <"$work/rsrc.bin" >"$work/rsrc.hex"
icon="$here/app/quillon.ico"
images=$(od -An -tu2 -j 4 -N 2 "$icon" | tr -d ' ')
found=0
i=0
while [ "$i" -lt "$images" ]; do
  size=$(od -An -tu4 -j $((6 + 16 * i + 8)) -N 4 "$icon" | tr -d ' ')
  offset=$(od -An -tu4 -j $((6 + 16 * i + 12)) -N 4 "$icon" | tr -d ' ')
  tail -c +$((offset + 1)) "$icon" | head -c "$size" | hex >"$work/image.hex"
  ! grep -qF -f "$work/image.hex" "$work/rsrc.hex" || found=$((found + 1))
  i=$((i + 1))
done
version=$(tr -d '\r' <"$win/version.txt" | sed 's/^quillon //')
if [ "$images" -gt 0 ] && [ "$found" -eq "$images" ] &&
  strings -el "$work/rsrc.bin" | grep -A1 -x FileVersion | grep -qxF "$version"; then
  pass "the resource holds the icon's $images images and FileVersion $version"
else
  fail "the resource holds the icon and the version" "$found of $images images" \
    "$(strings -el "$work/rsrc.bin" | grep -A1 -x FileVersion)"
fi

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

commands=$(date +%s)

# --- The window --------------------------------------------------------------

# analyse MODE IMAGE [RECTANGLE]: reads a screenshot as grey levels.
#   fields: "x0 y0 x1 y1" of each empty text field (white, 12 to 22 rows
#           high), from the column of the right half that crosses the most
#   list:   "x0 y0 x1 y1 rows": the list (the tallest white area of the left
#           half) and how many rows of text it shows
#   dark:   how many dark pixels RECTANGLE ("x0 y0 x1 y1") holds
analyse() {
  convert "$2" -colorspace Gray -depth 8 -compress none pgm:- | awk -v mode="$1" -v rect="${3:-}" '
    { for (i = 1; i <= NF; i++) tok[n++] = $i }
    END {
      W = tok[1]; H = tok[2]
      for (i = 0; i < W * H; i++) p[i] = tok[i + 4]
      if (mode == "fields") {
        best = 0
        for (x = int(W / 2); x < W; x++) {
          count = 0; run = 0
          for (y = 0; y <= H; y++) {
            if (y < H && p[y * W + x] >= 250) { run++; continue }
            if (run >= 12 && run <= 22 && y > run) count++
            run = 0
          }
          if (count > best) { best = count; bx = x }
        }
        run = 0
        for (y = 0; y <= H; y++) {
          if (y < H && p[y * W + bx] >= 250) { run++; continue }
          # A white run from the top is the menu bar.
          if (run >= 12 && run <= 22 && y > run) {
            y0 = y - run; y1 = y - 1; m = int((y0 + y1) / 2)
            for (x0 = bx; x0 > 0 && p[m * W + x0 - 1] >= 250; x0--) {}
            for (x1 = bx; x1 < W - 1 && p[m * W + x1 + 1] >= 250; x1++) {}
            print x0, y0, x1, y1
          }
          run = 0
        }
      } else if (mode == "list") {
        best = 0
        for (x = 0; x < W / 2; x++) {
          run = 0
          for (y = 0; y <= H; y++) {
            if (y < H && p[y * W + x] >= 250) { run++; continue }
            if (run > best) { best = run; bx = x; y1 = y - 1 }
            run = 0
          }
        }
        y0 = y1 - best + 1
        for (x0 = bx; x0 > 0 && p[y1 * W + x0 - 1] >= 250; x0--) {}
        for (x1 = bx; x1 < W - 1 && p[y1 * W + x1 + 1] >= 250; x1++) {}
        rows = 0; inside = 0
        for (y = y0; y <= y1; y++) {
          dark = 0
          for (x = x0; x <= x1 && !dark; x++) if (p[y * W + x] < 160) dark = 1
          if (dark && !inside) rows++
          inside = dark
        }
        print x0, y0, x1, y1, rows
      } else if (mode == "dark") {
        split(rect, r, " "); count = 0
        for (y = r[2]; y <= r[4]; y++) for (x = r[1]; x <= r[3]; x++) if (p[y * W + x] < 128) count++
        print count
      }
    }'
}

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  limit=$(($(date +%s) + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.3
  done
}
visible() { xdotool search --onlyvisible --name "$1" | head -n 1 | grep .; }
not_visible() { ! visible "$1"; }
app_windows() { xdotool search --onlyvisible --class quillon.exe | wc -l; }
more_than_one_app_window() { [ "$(app_windows)" -gt 1 ]; }
one_app_window() { [ "$(app_windows)" -eq 1 ]; }
keys() {
  xdotool windowfocus --sync "$main" 2>/dev/null || true
  xdotool key --clearmodifiers --delay 60 "$@"
}
shot() { import -window "$main" "$work/$1.png"; }

# The device file as the Linux program reads it: one statusDevice line.
linux_status() {
  run_linux "$lin" "/deviceSource=$win/window.json" /deviceCommand=statusDevice "/deviceName=$1" &&
    tr -d '\r' <"$lin/quillon.log" | grep -qx "$2"
}
list_rows() { [ "$(analyse list "$work/$1.png" | cut -d' ' -f5)" = "$2" ]; }
shows_rows() {
  shot now
  list_rows now "$1"
}

title='Quillon - Varnholt'
cp "$here/tests/wine/window.json" "$win/window.json"
(
  cd "$win" && "$wine" quillon.exe /deviceSource=window.json /deviceName=Nobody
  echo $? >"$work/window.status"
) >"$work/window.out" 2>&1 &
app_pid=$!
if ! wait_for 60 visible "^$title\$"; then
  fail "the window opens" "$(cat "$work/window.out")"
else
  main=$(visible "^$title\$")
  # The outer window is 540 x 276 at (303, 136). Wine leaves its caption to
  # the window manager, so without one the X window is the rest: 540 wide,
  # from below the caption down to row 136 + 276.
  x=0 y=0 width=0 height=0
  eval "$(xwininfo -id "$main" | awk '/Absolute upper-left X:/ { print "x=" $4 }
    /Absolute upper-left Y:/ { print "y=" $4 } /Width:/ { print "width=" $2 }
    /Height:/ { print "height=" $2 }')"
  shot start
  size=$(identify -format '%wx%h' "$work/start.png")
  name=$(xprop -id "$main" WM_NAME | sed 's/^[^"]*"\(.*\)"$/\1/')
  caption=$((y - 136))
  if [ "$name" = "$title" ] && [ "$size" = "${width}x$height" ] && [ "$x" -eq 303 ] &&
    [ "$width" -eq 540 ] && [ $((y + height)) -eq 412 ] && [ "$caption" -ge 15 ] &&
    [ "$caption" -le 35 ]; then
    pass "the window opens: \"$name\", $size below a caption of $caption at (303, 136)"
  else
    fail "the window opens" "caption \"$name\", window ${width}x$height at ($x, $y)," \
      "screenshot $size"
  fi

  analyse fields "$work/start.png" >"$work/fields"
  if [ "$(wc -l <"$work/fields")" -eq 6 ]; then
    pass "six fields, empty while no device is chosen"
  else
    fail "six fields, empty while no device is chosen" "found: $(tr '\n' ';' <"$work/fields")"
  fi
  # Alpha Disk, Beta Port, Gamma Net; Ghost is not present.
  if list_rows start 3; then
    pass "the list shows the device file's three present devices"
  else
    fail "the list shows the device file's three present devices" "$(analyse list "$work/start.png")"
  fi

  # The list's first focus makes the first entry current without choosing
  # it; Down and Up choose it: every field gets text.
  keys Down Up
  filled() {
    shot chosen
    while read -r rectangle; do
      [ "$(analyse dark "$work/chosen.png" "$rectangle")" -gt 0 ] || return 1
    done <"$work/fields"
  }
  if wait_for 15 filled; then
    pass "choosing the first entry fills the six fields"
  else
    fail "choosing the first entry fills the six fields"
  fi

  # The Device menu opens over the window; its Disable Device item disables Alpha Disk.
  keys alt+d
  if wait_for 10 more_than_one_app_window; then
    pass "Alt+D opens the Device menu"
  else
    fail "Alt+D opens the Device menu"
  fi
  # Into the open menu: focusing the main window again would close it.
  xdotool key --clearmodifiers d
  if wait_for 15 linux_status "Alpha Disk" DeviceProblem=0x00000016; then
    pass "Device > Disable Device disables the chosen device in the device file"
  else
    fail "Device > Disable Device disables the chosen device in the device file" \
      "$(cat "$lin/quillon.log")"
  fi

  # F5 reads the file again: Ghost is back.
  wait_for 10 one_app_window || true
  sed -i 's/"present": false/"present": true/' "$win/window.json"
  keys F5
  if wait_for 15 shows_rows 4; then
    pass "F5 reads the device file again"
  else
    fail "F5 reads the device file again" "$(analyse list "$work/now.png")"
  fi

  # A new name for the first device: Home chooses it, Tab goes to the Name
  # field, six more to Set.
  keys Home Tab ctrl+a
  xdotool type --delay 60 "Renamed Disk"
  keys Tab Tab Tab Tab Tab Tab space
  if wait_for 15 linux_status "Renamed Disk" "DeviceName=Renamed Disk"; then
    pass "the Name field and Set store a friendly name"
  else
    fail "the Name field and Set store a friendly name" "$(cat "$lin/quillon.log")"
  fi

  # Beta Port fails to change: an error box, which Enter closes.
  eval "$(analyse list "$work/start.png" | awk '{ print "list_x=" $1 + 20 "; list_y=" $2 }')"
  # shellcheck disable=SC2154 # set by the eval above
  xdotool mousemove --window "$main" "$list_x" $((list_y + 2 * 13 + 6)) click 1
  keys alt+d d
  if wait_for 20 visible '^Error$'; then
    box=$(visible '^Error$')
    import -window "$box" "$work/error.png"
    box_size=$(identify -format '%wx%h' "$work/error.png")
    box_width=${box_size%x*}
    xdotool windowfocus --sync "$box" 2>/dev/null || true
    xdotool key Return
    if [ "$box_width" -ge 200 ] && wait_for 10 not_visible '^Error$'; then
      pass "a failing change shows an \"Error\" box ($box_size) that Enter closes"
    else
      fail "a failing change shows an \"Error\" box that Enter closes" "box $box_size"
    fi
  else
    fail "a failing change shows an \"Error\" box"
  fi

  # File > Close ends the program with 0.
  keys alt+f c
  if wait_for 20 test -s "$work/window.status" && [ "$(cat "$work/window.status")" = 0 ]; then
    pass "File > Close ends the program"
    app_pid=""
  else
    fail "File > Close ends the program" "$(cat "$work/window.out")"
  fi
fi

finished=$(date +%s)
echo "Timings: build $((built - started)) s, prefix $((booted - built)) s," \
  "command mode $((commands - booted)) s, window $((finished - commands)) s"
echo "$label: $passed passed, $failed failed, 0 skipped"
[ "$failed" -eq 0 ]
