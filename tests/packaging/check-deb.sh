#!/bin/sh
# check-deb.sh BUILD_DIR VERSION EXPECTED_CONTENTS EXAMPLE: builds the Debian
# package with CPack, checks its name, files, dependencies and changelog,
# unpacks it into a throw-away root and runs the programs from there, then
# runs lintian on it when lintian is installed.
set -u
build=$1 version=$2 expected=$3 example=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack -G DEB failed" >&2
  exit 1
fi
deb="$work/out/quillon_${version}_$(dpkg --print-architecture).deb"
if [ ! -f "$deb" ]; then
  ls "$work/out" >&2
  echo "FAIL: no package named $(basename "$deb")" >&2
  exit 1
fi

# Exactly the expected files, nothing from the build or the tests.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' | grep -v '/$' | sort >"$work/files"
# @MULTIARCH@: the architecture's library folder, where the window module goes.
sed "s|@MULTIARCH@|$(dpkg-architecture -qDEB_HOST_MULTIARCH)|" "$expected" | sort >"$work/expected"
diff -u "$work/expected" "$work/files" >&2 || fail "the package's files differ from $expected"

# Libraries found by dpkg-shlibdeps, the ID databases and libmount (loaded when needed).
depends=$(dpkg-deb -f "$deb" Depends)
for package in pci.ids usb.ids libmount1 libc6 libstdc++6 libqt6widgets6 libqt6core6; do
  case ", $depends," in
    *", $package "* | *", $package,"*) ;;
    *) fail "Depends lacks $package: $depends" ;;
  esac
done

# pkexec is recommended, never required: root needs no polkit.
dpkg-deb -f "$deb" Recommends | grep -qw pkexec || fail "Recommends lacks pkexec"
case ", $depends," in *pkexec* | *polkit*) fail "Depends names polkit: $depends" ;; esac

dpkg -x "$deb" "$work/root"
root=$work/root

# The polkit action names the helper where the package put it.
policy=$root/usr/share/polkit-1/actions/org.varnholt.quillon.policy
grep -qF '<annotate key="org.freedesktop.policykit.exec.path">/usr/libexec/quillon/quillon-change<' \
  "$policy" || fail "the polkit action does not name /usr/libexec/quillon/quillon-change"

# The changelog's latest entry is this version.
zcat "$root/usr/share/doc/quillon/changelog.gz" | head -n 1 | grep -q "^quillon ($version) " ||
  fail "changelog.gz does not start with version $version"

# Each hicolor PNG has the size its folder names (width and height from IHDR).
for png in "$root"/usr/share/icons/hicolor/*x*/apps/quillon.png; do
  size=${png%/apps/quillon.png}
  size=${size##*/}
  # shellcheck disable=SC2046 # eight numbers, split on purpose
  set -- $(od -An -tu1 -j16 -N8 "$png")
  actual="$(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))x$(($5 * 16777216 + $6 * 65536 + $7 * 256 + $8))"
  [ "$actual" = "$size" ] || fail "icon $size/apps/quillon.png is $actual"
done

# The unpacked programs run with the system's libraries, without a display,
# quillon-devices as an ordinary user.
as_user() { "$@"; }
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1; then
  as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
  chmod 755 "$work"
fi
cp "$example" "$work/machine.json"
chmod 644 "$work/machine.json"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
bin=$root/usr/bin
as_user "$bin/quillon-devices" --version >"$work/version" 2>&1
grep -qx "quillon-devices $version" "$work/version" || fail "quillon-devices --version: $(cat "$work/version")"
as_user "$bin/quillon-devices" "--source=$work/machine.json" --report >"$work/listed" 2>&1 ||
  fail "the unpacked quillon-devices --report failed: $(cat "$work/listed")"
as_user "$bin/quillon-devices" "--source=$work/machine.json" --json >"$work/listed.json" 2>&1 ||
  fail "the unpacked quillon-devices --json failed: $(cat "$work/listed.json")"
json_devices=$(grep -c '^  {"instanceId": ' "$work/listed.json")
# shellcheck disable=SC2015 # fail only reports; either test failing is a failure
head -c 1 "$work/listed.json" | grep -q '\[' && tail -n 1 "$work/listed.json" | grep -qx ']' ||
  fail "quillon-devices --json wrote no array"
"$bin/quillon" "/deviceSource=$work/machine.json" /deviceCommand=enumDevices \
  >"$work/quillon.out" 2>&1 || fail "the unpacked quillon exited with $?"
if [ -s "$work/quillon.out" ]; then
  cat "$work/quillon.out" >&2
  fail "the unpacked quillon wrote to standard output or error"
fi
tr -d '\r' <"$bin/quillon.log" >"$work/reported" 2>/dev/null ||
  fail "the unpacked quillon wrote no report log"
# The window needs the module from the library folder: with a display that
# is not there, the module loads and then finds no display.
DISPLAY=:4242 "$bin/quillon" "/deviceSource=$work/machine.json" >"$work/window.out" 2>&1
grep -q "cannot connect to the display" "$work/window.out" ||
  fail "the unpacked quillon did not load its window module: $(cat "$work/window.out")"

# As an ordinary user: help and version, the report log on standard output
# with its CR LF line ends, and a clear line where the log cannot be written.
as_user "$bin/quillon" --version >"$work/quillon.version" 2>&1
grep -qx "quillon $version" "$work/quillon.version" ||
  fail "quillon --version: $(cat "$work/quillon.version")"
as_user "$bin/quillon" --help >"$work/help" 2>"$work/help.err" || fail "quillon --help exited with $?"
[ -s "$work/help.err" ] && fail "quillon --help wrote to standard error: $(cat "$work/help.err")"
[ "$(wc -l <"$work/help")" -lt 40 ] || fail "quillon --help takes 40 lines or more"
# shellcheck disable=SC2015 # fail only reports; either test failing is a failure
grep -qF /reportLog= "$work/help" && grep -qF "$bin/quillon.log" "$work/help" ||
  fail "quillon --help does not say where the report log goes"
as_user "$bin/quillon" "/deviceSource=$work/machine.json" /deviceCommand=enumDevices /reportLog=- \
  >"$work/stdout.log" 2>"$work/stdout.err" || fail "quillon /reportLog=- exited with $?"
[ -s "$work/stdout.err" ] && fail "quillon /reportLog=- wrote to standard error: $(cat "$work/stdout.err")"
awk '!/\r$/ { bad = 1 } END { exit bad }' "$work/stdout.log" ||
  fail "quillon /reportLog=- wrote a line not ended by CR LF"
tr -d '\r' <"$work/stdout.log" | cmp -s - "$work/reported" ||
  fail "quillon /reportLog=- and the report log beside the program differ"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1; then
  as_user "$bin/quillon" "/deviceSource=$work/machine.json" /deviceCommand=enumDevices \
    >"$work/denied.out" 2>&1 || fail "quillon without a writable log exited with $?"
  grep -q "report log $bin/quillon.log could not be opened" "$work/denied.out" ||
    fail "quillon without a writable log said: $(cat "$work/denied.out")"
fi

# The privileged helper, started by an ordinary user without pkexec, refuses
# before it looks at any device.
if [ "$(id -u)" -ne 0 ] || command -v setpriv >/dev/null 2>&1; then
  as_user "$root/usr/libexec/quillon/quillon-change" disable 'USB\VID_0627&PID_0001\1-1' \
    >"$work/helper.out" 2>"$work/helper.err"
  status=$?
  if [ "$status" -ne 3 ] || [ "$(cat "$work/helper.out")" != 5 ]; then
    fail "quillon-change as an ordinary user: status $status, $(cat "$work/helper.out" "$work/helper.err")"
  fi
fi

devices=$(grep -c . "$work/listed")
[ "$devices" -gt 0 ] || fail "quillon-devices listed no device"
[ "$json_devices" -eq "$devices" ] || fail "--json gave $json_devices devices, --report $devices"
cmp -s "$work/listed" "$work/reported" ||
  fail "quillon-devices --report and quillon's enumDevices disagree about $example"

# Ansible finds the collection where the package puts it.
if command -v ansible-doc >/dev/null 2>&1; then
  ANSIBLE_COLLECTIONS_PATH=$root/usr/share/ansible/collections HOME=$work \
    ansible-doc quillon.devices.device quillon.devices.device_facts >"$work/ansible-doc" 2>&1
  if ! grep -q "QUILLON.DEVICES.DEVICE_FACTS" "$work/ansible-doc"; then
    fail "ansible-doc finds no quillon.devices collection in the package: $(cat "$work/ansible-doc")"
  fi
fi

if command -v lintian >/dev/null 2>&1; then
  # Errors and warnings fail; notes and the rest are shown.
  lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1
  status=$?
  grep -v 'running with root privileges' "$work/lintian" >&2
  [ "$status" -eq 0 ] || fail "lintian reports errors or warnings"
else
  echo "lintian is not installed; the package was not linted" >&2
fi

[ "$failures" -eq 0 ] && echo "$(basename "$deb"): $devices devices listed from the unpacked programs"
exit $((failures > 0))
