#!/bin/sh
# Runs quillon-devices over a device file with --tree and the filters, each
# case after a "$ <arguments>" line, and compares the whole with the golden
# file. Usage: tree-golden.sh QUILLON_DEVICES DEVICE_FILE GOLDEN_FILE
# With UPDATE_GOLDEN=1 the golden file is rewritten from this run instead.
set -u
program=$1
devices=$2
golden=$3
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
while IFS= read -r line; do
  case $line in
    '$ '*)
      # The arguments hold no blanks; globs are quoted in the golden file.
      args=${line#'$ '}
      printf '%s\n' "$line" >>"$out"
      # shellcheck disable=SC2086 # the arguments are split on purpose
      eval "set -- $args"
      "$program" --source="$devices" "$@" >>"$out" 2>"$err"
      code=$?
      # The reason alone; the usage text behind it is not the subject here.
      head -n 1 "$err" >>"$out"
      printf 'exit %s\n' "$code" >>"$out"
      ;;
  esac
done <"$golden"
if [ "${UPDATE_GOLDEN:-}" = 1 ]; then
  cp "$out" "$golden"
fi
diff -u "$golden" "$out"
