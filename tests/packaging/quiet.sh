#!/bin/sh
# quiet.sh COMMAND...: passes when COMMAND succeeds and prints nothing, as a
# clean validator run does; otherwise shows what it said.
# A missing validator fails with the Debian package to install.
case $1 in
  groff) package=groff-base ;;
  desktop-file-validate) package=desktop-file-utils ;;
  appstreamcli) package=appstream ;;
  *) package=$1 ;;
esac
if ! command -v "$1" >/dev/null 2>&1; then
  echo "$1 is not installed (Debian package $package; scripts/install-deps.sh test)" >&2
  exit 1
fi
output=$("$@" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$output" ]; then
  printf '%s\n' "$output" >&2
  echo "$1 exited with $status" >&2
  exit 1
fi
