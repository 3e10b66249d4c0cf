#!/bin/sh
# Runs inside the throw-away guest that scripts/test-vm.sh boots, over the
# guest's own sysfs: lists and changes the emulated devices with quillon in
# command mode and compares its report log, its standard error and what the
# kernel then shows with what they should be. One PASS or FAIL line a check,
# with what differed, then "N passed, N failed, 0 skipped".
# Usage: checks.sh QUILLON_EXECUTABLE
set -u
exe=$1
base=${exe##*/}
log="${exe%/*}/${base%.*}.log"
work=$(mktemp -d)
passed=0
failed=0

# The setup classes the checks name.
class_guid() {
  case $1 in
    DiskDrive) echo "{4D36E967-E325-11CE-BFC1-08002BE10318}" ;;
    Keyboard) echo "{4D36E96B-E325-11CE-BFC1-08002BE10318}" ;;
    Mouse) echo "{4D36E96F-E325-11CE-BFC1-08002BE10318}" ;;
    Net) echo "{4D36E972-E325-11CE-BFC1-08002BE10318}" ;;
    USB) echo "{36FC9E60-C465-11CF-8056-444553540000}" ;;
    HIDClass) echo "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}" ;;
    *) echo "(no such class: $1)" ;;
  esac
}

# The emulated devices, found by their IDs (and USB product strings, as QEMU's
# keyboard and tablet share 0627:0001), never by the order QEMU made them in.
# attr FILE: sets $value to the file's first line, empty when unreadable.
attr() {
  value=""
  [ -r "$1" ] && read -r value <"$1"
}
# find_pci VAR VENDOR DEVICE, find_usb VAR VENDOR PRODUCT PRODUCT_STRING
find_pci() {
  for d in /sys/bus/pci/devices/*; do
    attr "$d/vendor"
    [ "$value" = "$2" ] || continue
    attr "$d/device"
    [ "$value" = "$3" ] && eval "$1=\$d" && return
  done
}
find_usb() {
  for d in /sys/bus/usb/devices/*; do
    attr "$d/idVendor"
    [ "$value" = "$2" ] || continue
    attr "$d/idProduct"
    [ "$value" = "$3" ] || continue
    attr "$d/product"
    [ "$value" = "$4" ] && eval "$1=\$d" && return
  done
}
nic="" kbd="" tablet="" stick=""
find_pci nic 0x8086 0x100e
find_usb kbd 0627 0001 "QEMU USB Keyboard"
find_usb tablet 0627 0001 "QEMU USB Tablet"
find_usb stick 46f4 0001 "QEMU USB HARDDRIVE"

# --- Reporting -------------------------------------------------------------
: >"$work/why"
differs() { echo "    $*" >>"$work/why"; }
# expect WHAT WANTED GOT
expect() {
  [ "$2" = "$3" ] || differs "$1: expected '$2', got '$3'"
}
result() {
  if [ -s "$work/why" ]; then
    echo "FAIL $*"
    cat "$work/why"
    failed=$((failed + 1))
  else
    echo "PASS $*"
    passed=$((passed + 1))
  fi
  : >"$work/why"
}

# --- Running quillon ---------------------------------------------------------
# Under TCG every process start costs about 0.15 s, so the helpers below read
# files with shell built-ins.
cr=$(printf '\r')
now_ms() {
  read -r n_uptime _ </proc/uptime
  n_ms=${n_uptime%.*}${n_uptime#*.}0
}
# q COMMAND [NAME [SWITCH...]]: runs one command without a display. The report
# log (without its CRs) lands in $work/out and its statusDevice fields in
# $ClassGUID, $DeviceName, $DeviceStatus, $DeviceProblem, $DeviceProblemText;
# quillon's "Error: ..." lines (Qt's own chatter aside) in $errs, joined by
# "|"; the time taken in $took (ms). $q_as, when set, is the command that
# runs it as another user.
q_as=""
q() {
  q_command=$1 q_name=${2:-}
  shift
  [ "$#" -gt 0 ] && shift
  : >"$log"
  now_ms
  q_start=$n_ms
  # shellcheck disable=SC2086 # the user switch is words
  timeout 120 $q_as "$exe" "/deviceCommand=$q_command" ${q_name:+"/deviceName=$q_name"} "$@" \
    <"/dev/null" >"$work/stdout" 2>"$work/err"
  q_code=$?
  now_ms
  took=$((n_ms - q_start))
  [ "$q_code" -eq 0 ] || differs "$q_command exited with $q_code"
  ClassGUID="" DeviceName="" DeviceStatus="" DeviceProblem="" DeviceProblemText=""
  while IFS= read -r q_line; do
    q_line=${q_line%"$cr"}
    printf '%s\n' "$q_line"
    case $q_line in
      ClassGUID=*) ClassGUID=${q_line#*=} ;;
      DeviceName=*) DeviceName=${q_line#*=} ;;
      DeviceStatus=*) DeviceStatus=${q_line#*=} ;;
      DeviceProblem=*) DeviceProblem=${q_line#*=} ;;
      DeviceProblemText=*) DeviceProblemText=${q_line#*=} ;;
    esac
  done <"$log" >"$work/out"
  errs=""
  while IFS= read -r q_line; do
    case $q_line in "Error: "*) errs=${errs:+$errs|}$q_line ;; esac
  done <"$work/err"
}

# state_is NAME STATE: statusDevice NAME agrees with STATE: enabled (working,
# disableable), disabled (problem 22), stopped (not started, and not disabled).
state_is() {
  q statusDevice "$1"
  expect "$1: errors" "" "$errs"
  status=$DeviceStatus problem=$DeviceProblem text=$DeviceProblemText
  expect "$1: DeviceName" "$1" "$DeviceName"
  case $status in
    0x[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]) ;;
    *)
      differs "$1: DeviceStatus is '$status'"
      return
      ;;
  esac
  case $2 in
    enabled)
      expect "$1: DeviceStatus" 0x0180200A "$status"
      expect "$1: DeviceProblem" 0x00000000 "$problem"
      expect "$1: DeviceProblemText" enabled "$text"
      ;;
    disabled)
      expect "$1: DeviceProblem" 0x00000016 "$problem"
      expect "$1: DeviceProblemText" disabled "$text"
      [ $((status & 0x40A)) -eq $((0x400)) ] ||
        differs "$1: DeviceStatus $status: wanted DN_HAS_PROBLEM without DN_STARTED and DN_DRIVER_LOADED"
      ;;
    stopped)
      [ $((status & 0xA)) -eq 0 ] ||
        differs "$1: DeviceStatus $status: wanted neither DN_STARTED nor DN_DRIVER_LOADED"
      # The kernel has a driver for it (e1000 in modules.alias), not bound.
      expect "$1: DeviceProblem" 0x0000000A "$problem"
      ;;
  esac
}

# --- What the kernel shows ------------------------------------------------------
# kernel_state DEVICE: sets $kstate to enabled, disabled, stopped or what else
# the kernel shows, with built-ins only (see above).
kernel_state() {
  case $1 in
    kbd)
      attr "$kbd/authorized"
      k_authorized=$value
      set -- "$kbd"/*:1.0/0003:*/driver
      if [ "$k_authorized" = 0 ]; then
        kstate=disabled
      elif [ -e "$1" ]; then
        kstate=enabled
      else
        kstate="authorized, HID driver not bound"
      fi
      ;;
    nic)
      attr "$nic/driver_override"
      k_override=$value
      k_driver=""
      [ -e "$nic/driver" ] && k_driver=other
      [ -e "/sys/bus/pci/drivers/e1000/${nic##*/}" ] && k_driver=e1000
      set -- "$nic"/net/*
      if [ "$k_override" = none ] && [ -z "$k_driver" ]; then
        kstate=disabled
      elif [ "$k_override" = "(null)" ] && [ -z "$k_driver" ]; then
        kstate=stopped
      elif [ "$k_override" = "(null)" ] && [ "$k_driver" = e1000 ] && [ -e "$1" ]; then
        kstate=enabled
      else
        kstate="driver_override '$k_override', driver '$k_driver'"
      fi
      ;;
  esac
}
# kernel_is DEVICE STATE: polls for up to about 5 s, as drivers may bind asynchronously.
kernel_is() {
  k_tries=0
  kernel_state "$1"
  while [ "$kstate" != "$2" ] && [ "$k_tries" -lt 20 ]; do
    k_tries=$((k_tries + 1))
    sleep 0.2
    kernel_state "$1"
  done
  expect "kernel: $1" "$2" "$kstate"
}
ifalias() {
  set -- "$nic"/net/*/ifalias
  attr "$1"
  printf '%s' "$value"
}

now_ms
echo "guest kernel $(uname -r), boot ${QUILLON_VM_BOOT:-1}, up $((n_ms / 1000)) s; quillon: $exe"
vm_checks=$(dirname "$0")

# Later boots check what the first one kept, and nothing else.
if [ "${QUILLON_VM_BOOT:-1}" -gt 1 ]; then
  # shellcheck source=tests/vm/persist.sh
  . "$vm_checks/persist.sh"
  rm -rf "$work"
  echo "$passed passed, $failed failed, 0 skipped"
  [ "$failed" -eq 0 ]
  exit
fi

# --- The guest itself ---------------------------------------------------------
[ -n "$nic" ] || differs "no e1000 (8086:100e) on the guest's PCI bus"
[ -n "$kbd" ] || differs "no USB keyboard (0627:0001 QEMU USB Keyboard)"
[ -n "$tablet" ] || differs "no USB tablet (0627:0001 QEMU USB Tablet)"
[ -n "$stick" ] || differs "no USB stick (46f4:0001 QEMU USB HARDDRIVE)"
result "guest: the emulated devices are on the guest's buses"
if [ -z "$nic" ] || [ -z "$kbd" ] || [ -z "$tablet" ] || [ -z "$stick" ]; then
  echo "$passed passed, $failed failed, 0 skipped"
  exit 1
fi
probe=/run/quillon-vm/hostroot/tmp/quillon-vm-write-probe
if (: >"$probe") 2>"$work/err"; then
  differs "the guest wrote $probe on the host"
else
  grep -q 'Read-only file system' "$work/err" || differs "writing $probe: $(cat "$work/err")"
fi
result "guest: the host's / refuses writes (QEMU's read-only share)"
# shellcheck disable=SC1091 # beside this file
. "${0%/*}/uevent.sh"

# --- Names, classes and status of the emulated devices -------------------------
q enumDevices
cp "$work/out" "$work/list"
[ -s "$work/list" ] || differs "enumDevices wrote nothing${errs:+: $errs}"
result "enumDevices runs in the guest ($(wc -l <"$work/list") nodes, $took ms)"
grep '^Unknown: ' "$work/list" | sed 's/^/    /' >>"$work/why"
result "enumDevices: no node reads Unknown"

# node | expected name | setup class | enumDevices status
while IFS='|' read -r node name class status; do
  grep -qxF "$name: $status(enabled)" "$work/list" ||
    differs "enumDevices has no line '$name: $status(enabled)'"
  q statusDevice "$name"
  expect ClassGUID "$(class_guid "$class")" "$ClassGUID"
  expect DeviceProblemText enabled "$DeviceProblemText"
  result "$node: $name, $class, enabled"
done <<'EOF'
e1000 NIC|82540EM Gigabit Ethernet Controller|Net|0x0180200A
xHCI controller|QEMU XHCI Host Controller|USB|0x0180200A
USB keyboard|QEMU USB Keyboard|HIDClass|0x0180200A
keyboard's HID device|QEMU QEMU USB Keyboard|Keyboard|0x0180000A
USB tablet|QEMU USB Tablet|HIDClass|0x0180200A
tablet's HID device|QEMU QEMU USB Tablet|Mouse|0x0180000A
USB stick|QEMU USB HARDDRIVE|USB|0x0180200A
stick's disk|QEMU QEMU HARDDISK|DiskDrive|0x0180000A
EOF

# PCI functions go by their chips, not the machine's subsystem name; the
# keyboard by its own product string, not the name of the ID it shares with
# the tablet; the nodes the ACPI core serves itself work.
for wrong in "QEMU Virtual Machine" "Qemu virtual machine" "QEMU Tablet"; do
  grep "^$wrong: " "$work/list" | sed 's/^/    subsystem or shared-ID name: /' >>"$work/why"
done
grep -q '^PCI Interrupt Link: ' "$work/list" || differs "no PCI Interrupt Link"
grep '^PCI Interrupt Link: ' "$work/list" | grep -v '(enabled)$' | sed 's/^/    /' >>"$work/why"
result "enumDevices: chips' and devices' own names; interrupt links enabled"

# --- Changes ----------------------------------------------------------------------
keyboard="QEMU USB Keyboard"
adapter="82540EM Gigabit Ethernet Controller"
# command | device | state after | "Error: ..." line expected on standard error
while IFS='|' read -r command device after error; do
  case $device in
    kbd) name=$keyboard ;;
    nic) name=$adapter ;;
  esac
  q "$command" "$name"
  spent=$took
  expect "$command: errors" "$error" "$errs"
  # The kernel first: it may finish binding a moment after the command.
  kernel_is "$device" "$after"
  state_is "$name" "$after"
  result "$command $name: $after ($spent ms)"
done <<'EOF'
disableDevice|kbd|disabled|
enableDevice|kbd|enabled|
stopDevice|nic|stopped|
startDevice|nic|enabled|
disableDevice|nic|disabled|
startDevice|nic|disabled|Error: SetupDiCallClassInstaller(): HANDLE error -536870397
enableDevice|nic|enabled|
EOF

# --- Not root -----------------------------------------------------------------------
# sysfs attributes are root's: an ordinary user is told "access denied" (5),
# as Windows tells a caller without elevation, and nothing changes.
q_as="setpriv --reuid=65534 --regid=65534 --clear-groups"
q disableDevice "$adapter"
q_as=""
expect "disableDevice as nobody: errors" "Error: SetupDiCallClassInstaller(): HANDLE error 5" "$errs"
kernel_is nic enabled
state_is "$adapter" enabled
result "disableDevice as an ordinary user: access denied (5), nothing changed"

q_as="setpriv --reuid=65534 --regid=65534 --clear-groups"
q setFriendlyName "$adapter" "/value0=Not mine"
q_as=""
expect "setFriendlyName as nobody: errors" "Error: SetupDiSetDeviceRegistryProperty(): 5" "$errs"
expect "kernel: ifalias" "" "$(ifalias)"
result "setFriendlyName as an ordinary user: access denied (5), nothing changed"

# --- Friendly name ------------------------------------------------------------------
renamed="Uplink (guest)"
q setFriendlyName "$adapter" "/value0=$renamed"
expect "setFriendlyName: errors" "" "$errs"
expect "kernel: ifalias" "$renamed" "$(ifalias)"
q enumDevices
grep -qxF "$renamed: 0x0180200A(enabled)" "$work/out" ||
  differs "enumDevices has no line '$renamed: 0x0180200A(enabled)'"
state_is "$renamed" enabled
result "setFriendlyName '$renamed' on the NIC: shown by enumDevices and statusDevice"

long=$(printf '%0256d' 0 | tr 0 n)
q setFriendlyName "$renamed" "/value0=$long"
expect "setFriendlyName: errors" "Error: SetupDiSetDeviceRegistryProperty(): 87" "$errs"
expect "kernel: ifalias" "$renamed" "$(ifalias)"
state_is "$renamed" enabled
result "setFriendlyName with 256 bytes: refused, '$renamed' kept"

# --- Further checks, one file each --------------------------------------------------
# (ansible.sh first: it leaves the devices as it found them)
# shellcheck source=tests/vm/ansible.sh
. "$vm_checks/ansible.sh"
# shellcheck source=tests/vm/watch.sh
. "$vm_checks/watch.sh"
# shellcheck source=tests/vm/polkit.sh
. "$vm_checks/polkit.sh"
# shellcheck source=tests/vm/persist.sh
. "$vm_checks/persist.sh"

rm -rf "$work"
echo "$passed passed, $failed failed, 0 skipped"
[ "$failed" -eq 0 ]
