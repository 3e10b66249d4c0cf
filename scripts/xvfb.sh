# shellcheck shell=sh
# Sourced by tests, benchmarks and scripts: a private X server (Xvfb) of
# their own, waited for without sleeping. The server writes its display
# number to a FIFO once it takes clients (-displayfd); reading the FIFO
# blocks until then, or ends empty when the server exits first.
#   xvfb_start DIR [SCREEN]  starts it (its FIFO in DIR; SCREEN default
#                            1280x1024x24), sets $xvfb_display (":N") and
#                            $xvfb_pid; status 1, and both empty, if it did not
#   xvfb_stop                stops it and waits until it has gone, so that a
#                            server going away takes no next one's socket along
# -noreset: the server stays as it is between clients.
# shellcheck disable=SC2034 # $xvfb_display is the sourcing script's to read
xvfb_pid=""
xvfb_display=""

xvfb_start() {
  xvfb_pid=""
  xvfb_display=""
  command -v Xvfb >/dev/null 2>&1 || return 1
  rm -f "$1/xvfb-display"
  mkfifo "$1/xvfb-display" || return 1
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "${2:-1280x1024x24}" \
    3>"$1/xvfb-display" >/dev/null 2>&1 &
  xvfb_pid=$!
  xvfb_number=""
  read -r xvfb_number <"$1/xvfb-display" || true
  rm -f "$1/xvfb-display"
  case $xvfb_number in
    '' | *[!0-9]*)
      xvfb_stop
      return 1
      ;;
  esac
  xvfb_display=":$xvfb_number"
}

xvfb_stop() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  xvfb_pid=""
  xvfb_display=""
}
