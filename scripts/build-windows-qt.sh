#!/bin/sh
# Builds the static Qt for 64-bit Windows that quillon.exe links against, from
# Debian's own source package of Qt (the host's version: the host's moc, rcc
# and uic generate the code), with Debian's mingw-w64, into a cache folder
# outside the repository. Only what the window needs: Core, Gui, Widgets and
# the Windows platform plugin.
#
#   scripts/build-windows-qt.sh           builds the cache unless it is there
#   scripts/build-windows-qt.sh --check   prints the installed Qt's folder, or
#                                         says why there is none (exit 1)
#
# QUILLON_QT_WINDOWS_CACHE overrides the cache folder (default
# ${XDG_CACHE_HOME:-$HOME/.cache}/quillon/qt-windows). The apt configuration of
# this machine is left alone: the source comes through a private sources list
# with private list and cache folders, from the archive the machine's own apt
# sources name for its release (/etc/apt/sources.list, sources.list.d/*.list
# and *.sources). QUILLON_DEBIAN_MIRROR overrides that archive.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${QUILLON_QT_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillon/qt-windows}
toolchain="$here/cmake/mingw-w64-x86_64.cmake"

# The host's Qt: the cross build uses its tools and must be the same release.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
upstream=${host_version#*:}
upstream=${upstream%%+*}
upstream=${upstream%%-*}
prefix="$cache/qt-$upstream-mingw-static"
stamp="$prefix/quillon-build.txt"

# Everything the window does not need is left out. tabletevent: Debian's
# source lacks the tablet header wintab.h. Direct2D stays: without it Qt 6.4
# leaves out the DirectWrite font database that its Windows plugin still calls.
qt_options="-release -static -nomake tests -nomake examples -no-opengl -no-dbus
-no-feature-tabletevent -no-feature-vulkan -no-icu -no-feature-sql
-no-feature-network -no-feature-testlib -no-feature-xml -no-feature-printsupport
-no-feature-concurrent -no-feature-sqlmodel -no-feature-jpeg -no-feature-gif
-qt-zlib -qt-libpng -qt-pcre -qt-harfbuzz -qt-freetype"

compiler_version() {
  dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix 2>/dev/null || echo none
}

# What the stamp of a usable cache says; a cache built otherwise is rebuilt.
expected_stamp() {
  # Unquoted on purpose: the options' lines joined by single blanks.
  # shellcheck disable=SC2086,SC2116
  printf 'qt6-base %s\nmingw-w64 g++ %s\noptions %s\n' "$host_version" "$(compiler_version)" \
    "$(echo $qt_options)"
}

check() {
  if [ -z "$host_version" ]; then
    echo "the host's Qt (Debian package qt6-base-dev) is not installed"
    return 1
  fi
  if [ ! -f "$stamp" ]; then
    echo "no Qt for Windows in $prefix"
    return 1
  fi
  if [ "$(cat "$stamp")" != "$(expected_stamp)" ]; then
    echo "the Qt for Windows in $prefix was built from another version or with other options"
    return 1
  fi
}

if [ "${1:-}" = --check ]; then
  if reason=$(check); then
    echo "$prefix"
    exit 0
  fi
  echo "$reason" >&2
  exit 1
fi
[ "$#" -eq 0 ] || {
  echo "usage: $0 [--check]" >&2
  exit 2
}

# The archive of this machine's release in its own apt sources: the first
# enabled deb or deb-src entry whose suite is the release itself (not its
# -updates or -security), in one-line or deb822 form.
machine_archive() {
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    awk -v suite="$release" '
      /^[ \t]*#/ { next }
      $1 == "deb" || $1 == "deb-src" {
        i = 2
        if ($i ~ /^\[/) {
          while ($i !~ /\]$/ && i < NF) i++
          i++
        }
        if ($(i + 1) == suite) { print $i; exit }
      }' "$list"
  done
  for sources in /etc/apt/sources.list.d/*.sources; do
    [ -f "$sources" ] || continue
    awk -v suite="$release" '
      function stanza_end() {
        if (!found && enabled != "no" && (" " types " ") ~ /[ \t]deb(-src)?[ \t]/ &&
            (" " suites " ") ~ ("[ \t]" suite "[ \t]")) {
          split(uris, uri, /[ \t]+/)
          if (uri[1] != "") { print uri[1]; found = 1 }
        }
        types = uris = suites = enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { stanza_end(); next }
      {
        key = tolower($0); sub(/:.*/, "", key)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        if (key == "types") types = value
        else if (key == "uris") uris = value
        else if (key == "suites") suites = value
        else if (key == "enabled") enabled = tolower(value)
      }
      END { stanza_end() }' "$sources"
  done
}

"$here/scripts/install-deps.sh" qt-windows
# shellcheck disable=SC1091
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || {
  echo "build-windows-qt: /etc/os-release names no release (VERSION_CODENAME)" >&2
  exit 1
}
mirror=${QUILLON_DEBIAN_MIRROR:-$(machine_archive | head -n 1)}
[ -n "$mirror" ] || {
  echo "build-windows-qt: no apt source of this machine names the archive of $release;" \
    "set QUILLON_DEBIAN_MIRROR" >&2
  exit 1
}
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
if check >/dev/null; then
  echo "Qt for Windows is already built: $prefix"
  exit 0
fi
started=$(date +%s)
work="$cache/work"
mkdir -p "$work"

# The source package, through apt with a private configuration.
source_dir=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' 2>/dev/null |
  head -n 1)
if [ -z "$source_dir" ] || [ ! -f "$work/source/.complete-$host_version" ]; then
  rm -rf "$work/source" "$work/apt"
  mkdir -p "$work/source" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $release main" \
    >"$work/apt/sources.list"
  apt_private() {
    apt-get -o DPkg::Lock::Timeout=600 -o Dir::Etc::sourcelist="$work/apt/sources.list" \
      -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$work/apt/lists" \
      -o Dir::Cache="$work/apt/cache" -o APT::Sandbox::User=root "$@"
  }
  apt_private -qq update
  (cd "$work/source" && apt_private -q source "qt6-base=$host_version")
  source_dir=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
  [ -n "$source_dir" ] || {
    echo "build-windows-qt: apt-get source gave no qt6-base folder" >&2
    exit 1
  }
  touch "$work/source/.complete-$host_version"
fi
fetched=$(date +%s)

# A build folder left by an interrupted run is resumed when its options match.
build="$work/build"
if [ ! -f "$build/.options" ] || [ "$(cat "$build/.options")" != "$(expected_stamp)" ]; then
  rm -rf "$build" "$prefix"
  mkdir -p "$build"
  # shellcheck disable=SC2086
  (cd "$build" && "$source_dir/configure" -prefix "$prefix" -xplatform win32-g++ \
    -qt-host-path /usr -cmake-generator Ninja $qt_options -- \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
  expected_stamp >"$build/.options"
fi
configured=$(date +%s)
cmake --build "$build" -j2
cmake --install "$build"
expected_stamp >"$stamp"
finished=$(date +%s)
rm -rf "$work"
echo "Qt for Windows built in $prefix"
echo "Timings: source $((fetched - started)) s, configure $((configured - fetched)) s," \
  "build and install $((finished - configured)) s"
