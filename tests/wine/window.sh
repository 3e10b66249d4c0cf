# shellcheck shell=sh
# Sourced by scripts/test-windows-app.sh, in the order it names, after
# tests/wine/lib.sh: the window over a device file, driven with keys and
# the mouse and read from screenshots.
# shellcheck disable=SC2154,SC2034 # the driver's variables: $work, $wine, $app_pid ...

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
