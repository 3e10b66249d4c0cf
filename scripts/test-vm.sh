#!/bin/sh
# Runs quillon against a real Linux kernel in a throw-away QEMU guest, the only
# place where a test changes real devices: Debian 12's kernel, a busybox
# initramfs, this machine's / shared read-only (QEMU enforces it) under a
# writable overlay that lives in guest memory, and emulated devices: an xHCI
# controller with a USB keyboard, tablet and stick, and an e1000 NIC. The
# guest runs tests/vm/checks.sh over BUILD_DIR's app/quillon and this script
# ends with "VM: N passed, N failed, N skipped", or "VM: skipped (why)" where
# QEMU or the kernel package cannot be installed.
#
# Usage: scripts/test-vm.sh [--run FILE|-] [BUILD_DIR]
#   BUILD_DIR   where quillon was built (default: build-test; built when missing)
#   --run FILE  run FILE's shell commands in the guest instead of the checks and
#               print their output ("-": standard input); $QUILLON names the
#               program, $QUILLON_LOG its report log; "set -x" in FILE shows
#               each command
# Downloads and the unpacked kernel are kept in build-vm for the next run.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
vm="$here/build-vm"
# Pinned for repeatable runs; when Debian's archive no longer has it, the
# newest 6.1 kernel it offers is taken and named.
pinned_kernel=6.1.0-50-amd64

run_file=""
if [ "${1:-}" = --run ]; then
  [ "$#" -ge 2 ] || {
    echo "test-vm: --run needs a file of commands (or -)" >&2
    exit 2
  }
  run_file=$2
  shift 2
fi
build=${1:-$here/build-test}
build=$(cd "$build" 2>/dev/null && pwd || echo "$build")
exe="$build/app/quillon"
started=$(date +%s)

skip() {
  echo "test-vm: $*" >&2
  echo "VM: skipped ($*)"
  exit 0
}

# Single-quoted for the guest's job file.
quote() {
  printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}

"$here/scripts/install-deps.sh" vm || skip "qemu-system-x86 and busybox-static cannot be installed"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is missing"
[ -x /bin/busybox ] || skip "busybox is missing"

if [ ! -x "$exe" ]; then
  "$here/scripts/install-deps.sh" test
  (cd "$here" && cmake --preset tests -B "$build" >/dev/null)
  cmake --build "$build" -j"$(nproc)" --target quillon
fi

mkdir -p "$vm/cache"
# One run at a time per checkout: they share build-vm.
exec 9>"$vm/lock"
flock 9

# Fetched into a folder of its own first, so that an interrupted download
# leaves nothing that looks cached. apt-get download as root warns that _apt
# cannot write there; harmless.
fetch_kernel() {
  rm -rf "$vm/cache/partial"
  mkdir -p "$vm/cache/partial"
  (cd "$vm/cache/partial" && apt-get -o DPkg::Lock::Timeout=600 -qq download "linux-image-$1") \
    >"$vm/download.log" 2>&1 &&
    dpkg-deb --info "$vm/cache/partial/"*.deb >/dev/null 2>&1 &&
    mv "$vm/cache/partial/"*.deb "$vm/cache/"
}
kernel_deb() {
  for candidate in "$vm/cache/linux-image-$1_"*_amd64.deb; do
    [ -f "$candidate" ] && echo "$candidate" && return
  done
}
kernel=$pinned_kernel
if [ -z "$(kernel_deb "$kernel")" ] && ! fetch_kernel "$kernel"; then
  apt-get -o DPkg::Lock::Timeout=600 -qq update >/dev/null 2>&1 || true
  if ! fetch_kernel "$kernel"; then
    kernel=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' |
      sed 's/^linux-image-\([^ ]*\) .*/\1/' | sort -V | tail -n 1)
    { [ -n "$kernel" ] && { [ -n "$(kernel_deb "$kernel")" ] || fetch_kernel "$kernel"; }; } ||
      skip "the Debian kernel package linux-image-$pinned_kernel cannot be downloaded"
    echo "test-vm: linux-image-$pinned_kernel is gone from the archive; using linux-image-$kernel" >&2
  fi
fi
deb=$(kernel_deb "$kernel")
tree="$vm/kernel-$kernel"
modules="$tree/lib/modules/$kernel"
if [ ! -e "$tree/.unpacked" ]; then
  rm -rf "$tree" "$tree.part"
  dpkg-deb -x "$deb" "$tree.part"
  busybox depmod -b "$tree.part" "$kernel"
  touch "$tree.part/.unpacked"
  mv "$tree.part" "$tree"
fi

# pkexec, polkitd and the system bus for tests/vm/polkit.sh, unpacked into
# build-vm/polkit-root, never installed here (polkitd's package starts its
# service); the guest copies them into its overlay.
polkit_root="$vm/polkit-root"
if [ ! -e "$polkit_root/.unpacked" ]; then
  rm -rf "$vm/polkit-debs" "$polkit_root"
  mkdir -p "$vm/polkit-debs"
  if (cd "$vm/polkit-debs" && apt-get -o DPkg::Lock::Timeout=600 -qq download pkexec polkitd \
    libpolkit-agent-1-0 libpolkit-gobject-1-0 libduktape207 dbus-daemon dbus-system-bus-common \
    dbus-bin libdbus-1-3) >"$vm/polkit-download.log" 2>&1; then
    for package in "$vm/polkit-debs"/*.deb; do dpkg-deb -x "$package" "$polkit_root"; done
    touch "$polkit_root/.unpacked"
  else
    echo "test-vm: polkit's packages cannot be downloaded (see $vm/polkit-download.log)" >&2
  fi
fi
# The udev daemon of this machine's systemd version (a newer one needs a newer
# libsystemd-shared than the guest's overlay root has), unpacked, never
# installed here: its install script would trigger this machine's devices.
udev_version=$(dpkg-query -W -f='${Version}' systemd 2>/dev/null || true)
[ -n "$udev_version" ] || skip "systemd is not installed, so no matching udev package is known"
udev_deb() {
  for candidate in "$vm/cache/udev_$(echo "$udev_version" | sed 's/^[0-9]*://')_"*.deb; do
    [ -f "$candidate" ] && echo "$candidate" && return
  done
}
if [ -z "$(udev_deb)" ]; then
  rm -rf "$vm/cache/partial"
  mkdir -p "$vm/cache/partial"
  if ! (cd "$vm/cache/partial" && apt-get -o DPkg::Lock::Timeout=600 -qq download "udev=$udev_version") \
    >"$vm/download.log" 2>&1; then
    skip "the udev package $udev_version cannot be downloaded"
  fi
  mv "$vm/cache/partial/"*.deb "$vm/cache/"
fi
udev_tree="$vm/udev-$udev_version"
if [ ! -e "$udev_tree/.unpacked" ]; then
  rm -rf "$udev_tree" "$udev_tree.part"
  dpkg-deb -x "$(udev_deb)" "$udev_tree.part"
  touch "$udev_tree.part/.unpacked"
  mv "$udev_tree.part" "$udev_tree"
fi

# The initramfs: busybox, the init script, the job, and the modules for 9p over
# virtio, overlay, e1000, xHCI, HID, USB storage and ext4 with everything they need.
wanted="9pnet_virtio 9p virtio_pci overlay e1000 xhci-pci usbhid hid-generic usb-storage sd_mod \
crct10dif_generic evdev ext4 crc32c_generic"
needed=$(awk -v wanted="$wanted" '
  { sub(/:$/, "", $1); deps[$1] = ""; for (i = 2; i <= NF; i++) deps[$1] = deps[$1] " " $i
    name = $1; sub(/.*\//, "", name); sub(/\.ko.*$/, "", name); path[name] = $1 }
  function add(p,   n, i, d) { if (p in seen) return; seen[p] = 1; print p
    n = split(deps[p], d, " "); for (i = 1; i <= n; i++) add(d[i]) }
  END { n = split(wanted, w, " ")
    for (i = 1; i <= n; i++) { if (!(w[i] in path)) { print "missing " w[i] > "/dev/stderr"; exit 1 }
      add(path[w[i]]) } }' "$modules/modules.dep")
staging="$vm/initramfs"
rm -rf "$staging"
mkdir -p "$staging/bin" "$staging/sbin" "$staging/usr/bin" "$staging/usr/sbin" "$staging/proc" \
  "$staging/sys" "$staging/dev" "$staging/lib/modules/$kernel"
cp /bin/busybox "$staging/bin/"
cp "$here/tests/vm/init" "$staging/init"
chmod 755 "$staging/init"
for module in $needed; do
  mkdir -p "$staging/lib/modules/$kernel/$(dirname "$module")"
  cp "$modules/$module" "$staging/lib/modules/$kernel/$module"
done
busybox depmod -b "$staging" "$kernel"

if [ -n "$run_file" ]; then
  mkdir -p "$vm/run"
  if [ "$run_file" = - ]; then cat >"$vm/run/commands.sh"; else cp "$run_file" "$vm/run/commands.sh"; fi
  command="export QUILLON=$(quote "$exe") QUILLON_LOG=$(quote "${exe%/*}/quillon.log"); \
cd /tmp && sh $(quote "$vm/run/commands.sh")"
else
  command="sh $(quote "$here/tests/vm/checks.sh") $(quote "$exe")"
fi
# Pinned ports and addresses: the keyboard and tablet sit on ports 1 and 2 of
# the xHCI controller's USB 2 root hub (1-1, 1-2), the stick (a SuperSpeed
# device) on port 3 of its USB 3 one (2-3), the NIC at 00:03.0.
wait_for="/sys/bus/pci/devices/0000:00:03.0/net/* /sys/bus/usb/devices/1-1:1.0/0003:*/driver \
/sys/bus/usb/devices/1-2:1.0/0003:*/driver /sys/bus/usb/devices/*-3:1.0/host*/target*/*/block/sd*"
private_tmp=yes
for path in "$here" "$exe" "$vm"; do
  case "$path" in /tmp | /tmp/*) private_tmp=no ;; esac
done
{
  echo "GUEST_KERNEL=$(quote "$kernel")"
  echo "GUEST_PRIVATE_TMP=$private_tmp"
  echo "GUEST_MODULE_TREE=$(quote "$modules")"
  echo "GUEST_MODULES=$(quote "$(for m in $wanted; do printf '%s ' "$m"; done)")"
  echo "GUEST_WAIT_FOR=$(quote "$wait_for")"
  echo "GUEST_COMMAND=$(quote "$command")"
  echo "GUEST_UDEV=$(quote "$udev_tree")"
} >"$staging/job.sh"
(cd "$staging" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null | gzip -1) >"$vm/initrd.gz"

# The USB stick: a 16 MiB disk, new each run, with one partition (from 1 MiB
# on, type 83) holding an empty ext2 file system.
rm -f "$vm/stick.img"
truncate -s 16M "$vm/stick.img"
printf '\000\000\000\000\203\000\000\000\000\010\000\000\000\170\000\000' |
  dd of="$vm/stick.img" bs=1 seek=446 conv=notrunc 2>/dev/null
printf '\125\252' | dd of="$vm/stick.img" bs=1 seek=510 conv=notrunc 2>/dev/null
mke2fs -q -F -t ext2 -E offset=1048576 "$vm/stick.img" 15360 >/dev/null 2>&1 ||
  skip "mke2fs cannot make the stick's file system"
# What lives between boots: the guest's /etc/udev/rules.d.
rm -rf "$vm/persist"
mkdir -p "$vm/persist/rules.d"
rm -f "$vm/console"*.log "$vm/results"*.log
prepared=$(date +%s)

# The report log the guest's quillon writes beside the executable lands in the
# guest's overlay; the host's copy and its devices must not change, and the
# file the guest tries to create through the raw share must not appear.
log="${exe%/*}/quillon.log"
host_state() {
  grep -s -H '' /sys/bus/*/devices/*/authorized /sys/bus/*/devices/*/driver_override \
    /sys/class/net/*/ifalias || true
  find /sys/bus/*/devices/*/ -maxdepth 1 -name driver -printf '%p -> %l\n' 2>/dev/null || true
  ls -l --time-style=+%s.%N "$log" /tmp/quillon-vm-write-probe 2>/dev/null || true
}
host_state >"$vm/host-before.txt"

# boot N [KERNEL ARGUMENTS]: boots the guest once (the checks of boot N);
# its results are appended to results.log, QEMU's status is in $status.
boot() {
  boot_started=$(date +%s)
  status=0
  timeout "${QUILLON_VM_TIMEOUT:-900}" qemu-system-x86_64 -accel tcg -machine pc -m 1024 \
    -smp 1 -nodefaults -display none -no-reboot \
    -kernel "$tree/boot/vmlinuz-$kernel" -initrd "$vm/initrd.gz" \
    -append "console=ttyS0 panic=-1 loglevel=4 mitigations=off quillon_boot=$1${2:+ $2}" \
    -serial "file:$vm/console-$1.log" -serial "file:$vm/results-$1.log" \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
    -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot,addr=05.0 \
    -fsdev "local,id=persist,path=$vm/persist,security_model=none" \
    -device virtio-9p-pci,fsdev=persist,mount_tag=persist,addr=06.0 \
    -device qemu-xhci,id=xhci,addr=04.0 \
    -device usb-kbd,bus=xhci.0,port=1 -device usb-tablet,bus=xhci.0,port=2 \
    -drive "if=none,id=stick,format=raw,file=$vm/stick.img" \
    -device usb-storage,bus=xhci.0,port=3,drive=stick \
    -netdev user,id=n0,restrict=on -device e1000,netdev=n0,romfile=,addr=03.0 \
    </dev/null || status=$?
  tr -d '\r' <"$vm/results-$1.log" >>"$vm/results.txt" 2>/dev/null || true
  echo "Boot $1${2:+ ($2)}: $(($(date +%s) - boot_started)) s" >>"$vm/boots.txt"
  # 1 the job passed, 3 it failed, 5 the guest could not be set up.
  case $status in
    1 | 3) ;;
    124) echo "test-vm: boot $1 did not finish in time (see $vm/console-$1.log)" >&2 ;;
    *) echo "test-vm: boot $1 ended unexpectedly, QEMU status $status (see $vm/console-$1.log)" >&2 ;;
  esac
  if [ "$status" -ne 1 ] && [ "$status" -ne 3 ]; then
    echo "FAIL boot $1: the guest did not finish its checks" >>"$vm/results.txt"
    tail -n 20 "$vm/console-$1.log" 2>/dev/null | tr -d '\r' | sed 's/^/    console: /' >>"$vm/results.txt"
  fi
}

# rules_file_has N: the rules file the guest kept on the share holds N entries.
rules_file_has() {
  entries=$(grep -c '^# quillon: ' "$vm/persist/rules.d/70-quillon.rules" 2>/dev/null || true)
  if [ "${entries:-0}" -eq "$1" ]; then
    echo "PASS host: the kept rules file holds $1 entries between boots" >>"$vm/results.txt"
  else
    echo "FAIL host: the kept rules file holds ${entries:-0} entries between boots, not $1" \
      >>"$vm/results.txt"
    sed 's/^/    /' "$vm/persist/rules.d/70-quillon.rules" >>"$vm/results.txt" 2>/dev/null || true
  fi
}

: >"$vm/results.txt"
: >"$vm/boots.txt"
if [ -n "$run_file" ]; then
  boot 1 "${QUILLON_VM_APPEND:-}"
else
  # 1: every check, then a disable of the keyboard and the NIC and a new name
  # for the NIC, kept; 2: the way back skips them; 3: they are back, then
  # undone; 4: nothing is left.
  boot 1 "${QUILLON_VM_APPEND:-}"
  rules_file_has 3
  boot 2 quillon.ignore
  rules_file_has 3
  boot 3
  rules_file_has 0
  boot 4
fi
finished=$(date +%s)

cat "$vm/results.txt"
host_state >"$vm/host-after.txt"
cat "$vm/boots.txt"
echo "Timings: preparation $((prepared - started)) s, guest $((finished - prepared)) s"

if [ -n "$run_file" ]; then
  [ "$status" -eq 1 ]
  exit
fi

passed=$(grep -c '^PASS ' "$vm/results.txt" || true)
failed=$(grep -c '^FAIL ' "$vm/results.txt" || true)
if cmp -s "$vm/host-before.txt" "$vm/host-after.txt"; then
  echo "PASS host: devices and the build's report log unchanged"
  passed=$((passed + 1))
else
  echo "FAIL host: devices or the build's report log changed"
  diff "$vm/host-before.txt" "$vm/host-after.txt" | sed 's/^/    /'
  failed=$((failed + 1))
fi
echo "VM: $passed passed, $failed failed, 0 skipped"
[ "$failed" -eq 0 ]
