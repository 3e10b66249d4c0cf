#!/bin/bash
# completion-test.sh COMPLETION_FILE: completes typed lines with the completion
# function the way bash calls it and compares the candidates offered.
set -u
source "$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/machine.json" "$dir/other.txt"
mkdir "$dir/machine-tree"

failures=0
# expect LINE CANDIDATES...: completing at the end of LINE offers exactly these.
expect() {
  local line=$1
  shift
  COMP_LINE=$line COMP_POINT=${#line} COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
  COMPREPLY=()
  _quillon
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
  want=$(printf '%s\n' "$@" | sort)
  if [ "$got" != "$want" ]; then
    printf 'completing "%s"\n  offered: %s\n  expected: %s\n' "$line" "${got//$'\n'/ }" \
      "${want//$'\n'/ }" >&2
    failures=$((failures + 1))
  fi
}

all_switches=(/deviceCommand= /deviceName= /deviceSource= /value0=)
# Readline replaces only what follows the last "=", so a command is offered bare.
expect "quillon /deviceCommand=" enableDevice disableDevice startDevice stopDevice \
  enumDevices statusDevice setFriendlyName
expect "quillon /deviceCommand=st" startDevice stopDevice statusDevice
expect "quillon /DEVICECOMMAND=en" enableDevice enumDevices
expect "quillon /deviceCommand=En"
expect "quillon /deviceName=Disk /deviceCommand=set" setFriendlyName
expect "quillon " "${all_switches[@]}"
expect "quillon /" "${all_switches[@]}"
expect "quillon /dev" /deviceCommand= /deviceName= /deviceSource=
expect "quillon /DeviceS" /deviceSource=
expect "quillon /V" /value0=
expect "quillon /deviceCommand=enumDevices /devicen" /deviceName=
expect "quillon \"/value" /value0=
expect "quillon /deviceSource=$dir/mach" "$dir/machine.json" "$dir/machine-tree"
expect "quillon /deviceName=Uplink"
expect "quillon --x"

# The function is what bash calls for the command.
complete -p quillon | grep -q -- '-F _quillon' || {
  echo "_quillon is not registered for quillon" >&2
  failures=$((failures + 1))
}
exit $((failures > 0))
