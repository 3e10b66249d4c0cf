# shellcheck shell=sh
# Sourced by scripts/test-windows-app.sh, in the order it names, after
# tests/wine/lib.sh: command mode over device files, byte-identical to
# the Linux program; the program file's resources.
# shellcheck disable=SC2154 # the driver's variables: $work, $wine, $exe, $linux, $here ...

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
