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
  case $line in
    quillon-devices*) _quillon_devices ;;
    *) _quillon ;;
  esac
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
  want=$(printf '%s\n' "$@" | sort)
  if [ "$got" != "$want" ]; then
    printf 'completing "%s"\n  offered: %s\n  expected: %s\n' "$line" "${got//$'\n'/ }" \
      "${want//$'\n'/ }" >&2
    failures=$((failures + 1))
  fi
}

all_switches=(/deviceCommand= /deviceName= /deviceSource= /reportLog= /value0=)
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
cd "$dir" || exit 1
expect "quillon /reportLog=" - machine.json other.txt machine-tree
expect "quillon /reportLog=-" -
expect "quillon /reportLog=m" machine.json machine-tree
expect "quillon /REPORTLOG=$dir/oth" "$dir/other.txt"
expect "quillon /rep" /reportLog=
expect "quillon -" --help --version
expect "quillon --v" --version
expect "quillon /deviceCommand=enumDevices --h"

expect "quillon-devices " --source= --report --json --export --tree --class= --problem --id= \
  --driver= --watch --since --version --help
expect "quillon-devices --tree --cl" --class=
expect "quillon-devices --watch --since $dir/oth" "$dir/other.txt"
expect "quillon-devices --j" --json
expect "quillon-devices --json --ex" --export
expect "quillon-devices --export $dir/oth" "$dir/other.txt"
expect "quillon-devices --source=$dir/machine-" "$dir/machine-tree"

# The functions are what bash calls for the commands.
for command in quillon quillon-devices; do
  complete -p "$command" | grep -q -- "-F _${command/-/_} $command\$" || {
    echo "no completion function is registered for $command" >&2
    failures=$((failures + 1))
  }
done
exit $((failures > 0))
