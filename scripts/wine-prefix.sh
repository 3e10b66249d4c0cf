# shellcheck shell=sh
# Sourced by the Wine stages (test-windows.sh, test-windows-app.sh): finds
# Wine and runs it in a fresh, throw-away prefix with a server that stays up.
#   wine_find NAME          sets $wine and $wineserver, or says why not (status 1)
#   wine_new_prefix NAME    creates and boots $WINEPREFIX (status 1 if Wine cannot run)
#   wine_remove_prefix      stops the prefix's server and removes the prefix

# Debian's wine64 package keeps its programs out of PATH.
find_tool() {
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

wine_find() {
  # The wineserver wrapper adds -p0 (exit at once when idle); call the server itself.
  wine=$(find_tool /usr/lib/wine/wine64 wine64 wine) || {
    echo "$1: Wine is not installed (Debian package wine64); cannot test the Windows build" >&2
    return 1
  }
  wineserver=$(find_tool /usr/lib/wine/wineserver64 wineserver64 wineserver) || {
    echo "$1: wineserver is missing; cannot test the Windows build" >&2
    return 1
  }
}

wine_new_prefix() {
  # A fresh prefix per run: friendly names written by the tests persist in it.
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quillon-wine.XXXXXX")
  WINEDEBUG=-all
  # No Mono or Gecko installers: nothing here needs them, and they would ask.
  WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
  # A server that stays up: otherwise every run waits for Wine's background
  # processes to wind down, seconds each.
  "$wineserver" -p
  if ! "$wine" wineboot -i >"$WINEPREFIX.boot" 2>&1; then
    cat "$WINEPREFIX.boot" >&2
    echo "$1: Wine cannot run on this machine (wineboot failed); the Windows build is untested" >&2
    return 1
  fi
}

wine_remove_prefix() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.boot"
}
