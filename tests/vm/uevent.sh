# shellcheck shell=sh disable=SC2154 # $exe, $work and the helpers are checks.sh's
# Sourced by checks.sh in the guest, over a real kernel's sysfs: a listing that
# takes what each node's uevent file carries (PCI_ID, PRODUCT, INTERFACE,
# MODALIAS, ...) is byte for byte the listing that reads every attribute file
# on its own (QUILLON_SYSFS_IGNORE_UEVENT=1), in the report log and in
# quillon-devices --json.
lister="${exe%/app/*}/tools/quillon-devices"
set -- /sys/bus/pci/devices/*/uevent
[ -r "$1" ] || differs "the guest's PCI functions have no uevent file"
grep -q '^PCI_ID=' "$1" 2>/dev/null || differs "$1 has no PCI_ID"
q enumDevices
cp "$work/out" "$work/uevent-read"
export QUILLON_SYSFS_IGNORE_UEVENT=1
q enumDevices
cp "$work/out" "$work/uevent-ignored"
if [ -x "$lister" ]; then
  "$lister" --json >"$work/json-ignored" 2>&1 || differs "quillon-devices --json failed (uevent ignored)"
fi
unset QUILLON_SYSFS_IGNORE_UEVENT
if [ -x "$lister" ]; then
  "$lister" --json >"$work/json-read" 2>&1 || differs "quillon-devices --json failed"
  cmp -s "$work/json-read" "$work/json-ignored" ||
    differs "quillon-devices --json differs: $(diff "$work/json-ignored" "$work/json-read" | head -n 5)"
  grep -q '"instanceId": "USB\\\\VID_0627&PID_0001&MI_00' "$work/json-read" ||
    differs "quillon-devices --json shows no USB interface of the keyboard or tablet"
else
  differs "no $lister to compare"
fi
[ -s "$work/uevent-read" ] || differs "enumDevices wrote nothing${errs:+: $errs}"
cmp -s "$work/uevent-read" "$work/uevent-ignored" ||
  differs "enumDevices differs: $(diff "$work/uevent-ignored" "$work/uevent-read" | head -n 5)"
result "uevent: enumDevices and quillon-devices --json list alike with uevent files read and ignored ($(wc -l <"$work/uevent-read") nodes)"
