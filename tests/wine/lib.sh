# shellcheck shell=sh
# Sourced by scripts/test-windows-app.sh before the test files of this
# folder: counting, and running the two programs side by side.
# shellcheck disable=SC2154 # the driver's variables: $work, $wine
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
