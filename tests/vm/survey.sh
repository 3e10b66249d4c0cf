#!/bin/sh
# What a real kernel shows for the guest's emulated devices, for whoever works
# on the sysfs backend: quillon's full list and every node's status, then the
# sysfs attributes the backend reads and writes, and the kernel's answers to
# the writes that carry out the changes.
# Usage: scripts/test-vm.sh --run tests/vm/survey.sh   (QUILLON names the program)
exe=${QUILLON:?}
log=${QUILLON_LOG:?}

echo "=== enumDevices"
"$exe" /deviceCommand=enumDevices 2>&1
tr -d '\r' <"$log" >/tmp/list
cat /tmp/list
echo "=== statusDevice of every name (the first node of a repeated name)"
sed 's/: 0x[0-9A-F]*(.*)$//' /tmp/list | awk '!seen[$0]++' | while IFS= read -r name; do
  "$exe" /deviceCommand=statusDevice "/deviceName=$name" </dev/null 2>&1
  tr -d '\r' <"$log" | tr '\n' ' '
  echo
done

show() {
  echo "--- $1 -> $(readlink -f "$1")"
  for a in authorized driver_override product manufacturer modalias class vendor device subsystem_vendor \
    subsystem_device bDeviceClass bInterfaceClass bInterfaceSubClass bInterfaceProtocol removable \
    model type name uevent; do
    [ -f "$1/$a" ] && printf '  %s: %s\n' "$a" "$(tr '\n' ' ' <"$1/$a" 2>&1)"
  done
  for l in driver subsystem firmware_node; do
    [ -L "$1/$l" ] && printf '  %s -> %s\n' "$l" "$(readlink "$1/$l")"
  done
  for n in "$1"/net/*; do
    [ -e "$n/ifalias" ] && printf '  ifalias: %s (%s)\n' "$n/ifalias" "$(cat "$n/ifalias")"
  done
  for i in "$1"/input/input*; do
    [ -e "$i/name" ] && printf '  input %s: name %s, capabilities/ev %s\n' "$i" "$(cat "$i/name")" \
      "$(cat "$i/capabilities/ev")"
  done
}
echo "=== every bus device, by real path (enumDevices' order): path, bus, driver, modalias"
for d in /sys/bus/*/devices/*; do
  bus=${d#/sys/bus/}
  printf '%s %s %s %s\n' "$(readlink -f "$d")" "${bus%%/*}" "$(basename "$(readlink "$d/driver")" 2>/dev/null)" \
    "$(cat "$d/modalias" 2>/dev/null)"
done | sort
echo "=== sysfs: PCI"
for d in /sys/bus/pci/devices/*; do show "$d"; done
echo "=== sysfs: USB"
for d in /sys/bus/usb/devices/*; do show "$d"; done
echo "=== sysfs: HID, SCSI"
for d in /sys/bus/hid/devices/* /sys/bus/scsi/devices/*; do show "$d"; done
echo "=== sysfs: block"
ls -l /sys/class/block/

# try PATH TEXT: writes TEXT and says what the kernel answered (coreutils'
# printf names the errno; the shell's own says "I/O error" for all of them).
try() {
  if (env printf '%s' "$2" >"$1") 2>/tmp/err; then echo "write '$2' > $1: ok"; else
    echo "write '$2' > $1: $(sed 's/.*: //' /tmp/err)"
  fi
}
kbd=$(grep -l 'QEMU USB Keyboard' /sys/bus/usb/devices/*/product | head -n 1)
kbd=${kbd%/product}
nic=$(grep -l 0x100e /sys/bus/pci/devices/*/device | head -n 1)
nic=${nic%/device}
echo "=== kernel answers: USB keyboard $kbd"
try "$kbd/authorized" 0
ls "$kbd"
readlink "$kbd/driver"
try "$kbd/authorized" 0
try "$kbd/authorized" x
try "$kbd/authorized" 1
sleep 1
ls "$kbd" "$kbd"/*:1.0
interface=$(ls -d "$kbd"/*:1.0)
try "$interface/authorized" 0
readlink "$interface/driver" || echo "  (interface unbound)"
try "$interface/authorized" 1
readlink "$interface/driver" || echo "  (interface still unbound)"
try /sys/bus/usb/drivers_probe "${interface##*/}"
readlink "$interface/driver"
echo "=== kernel answers: e1000 $nic"
name=${nic##*/}
try "$nic/driver/unbind" "$name"
try "$nic/driver/unbind" "$name"
try /sys/bus/pci/drivers_probe "$name"
readlink "$nic/driver"
try "$nic/driver_override" none
try "$nic/driver/unbind" "$name"
try /sys/bus/pci/drivers_probe "$name"
readlink "$nic/driver" || echo "  (no driver after probing with driver_override none)"
try /sys/bus/pci/drivers_probe 0000:00:1f.7
try "$nic/driver_override" "
"
cat "$nic/driver_override"
try /sys/bus/pci/drivers_probe "$name"
readlink "$nic/driver"
try /sys/bus/pci/drivers/e1000/bind "$name"
iface=$(ls "$nic/net")
try "$nic/net/$iface/ifalias" "$(printf '%0255d' 0)"
try "$nic/net/$iface/ifalias" "$(printf '%0256d' 0)"
try "$nic/net/$iface/ifalias" "Uplink"
cat "$nic/net/$iface/ifalias"
