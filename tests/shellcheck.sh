#!/bin/sh
# Usage: shellcheck.sh SOURCE_DIR. Every shell script of the project passes
# the checker (settings in .shellcheckrc). Exit 77: skipped, none installed.
set -u
command -v shellcheck >/dev/null 2>&1 || { echo "skipped: shellcheck is missing"; exit 77; }
cd "$1" || exit 1
# Scripts by their first line, sourced files by their shell directive.
scripts=$(find .ci scripts bench tests packaging -type f ! -path '*/corpus/*' \
  -exec grep -lE '^#!/bin/(ba)?sh|^# shellcheck shell=' {} + | sort)
# shellcheck disable=SC2086 # one path per word; none holds a blank
shellcheck $scripts && echo "shellcheck: $(echo "$scripts" | wc -l) scripts clean"
