#!/bin/sh
# Installs the Debian 12 packages that building and testing need, if missing.
# Usage: scripts/install-deps.sh [build|test|bench|fuzz|vm|qt-windows]   (default: build)
# vm: the QEMU guest's tools; qt-windows: what scripts/build-windows-qt.sh needs.
set -eu

what=${1:-build}
# librsvg2-bin renders the icon's PNG sizes from its SVG.
packages="cmake g++ make qt6-base-dev libgl-dev nlohmann-json3-dev pci.ids usb.ids fonts-liberation2
  librsvg2-bin"
# libmount: the sysfs source reads the mount table with util-linux's parser.
packages="$packages libmount-dev pkg-config"
if [ "$what" = test ]; then
  # x11-utils: xprop and xwininfo for the window tests on a bare X server.
  packages="$packages libgtest-dev xvfb xauth x11-utils g++-mingw-w64-x86-64-posix wine64"
  # The Debian package and the validators of what it installs.
  packages="$packages dpkg-dev groff-base desktop-file-utils appstream lintian"
  # The window of quillon.exe under Wine: finding it, pressing keys, screenshots.
  packages="$packages xdotool imagemagick"
  # quillon-devices' JSON output checked against its schema.
  packages="$packages python3-jsonschema"
fi
# clang and its runtime for the libFuzzer harnesses (scripts/fuzz.sh), which
# the test command runs briefly.
if [ "$what" = test ] || [ "$what" = fuzz ]; then
  packages="$packages clang-14 libclang-rt-14-dev"
fi
if [ "$what" = bench ]; then
  packages="$packages hyperfine time xvfb x11-utils lshw hwinfo pciutils"
  packages="$packages strace linux-perf"  # system calls a node; where a listing's time goes
fi
if [ "$what" = qt-windows ]; then
  packages="cmake ninja-build qt6-base-dev dpkg-dev xz-utils g++-mingw-w64-x86-64-posix"
fi
if [ "$what" = vm ]; then
  # e2fsprogs: the file system on the guest's USB stick.
  packages="qemu-system-x86 busybox-static e2fsprogs"
fi

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo=sudo; else
    echo "Missing packages:$missing (run this script as root)" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
# Others may be running apt at the same time: wait for the lock.
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
# shellcheck disable=SC2086
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing
