# Sourced by checks.sh in the guest: an ordinary user's changes through polkit.
# It leaves the devices as it found them (the keyboard enabled, the NIC's name).
# The build is installed into the guest's overlay with cmake --install; the
# system bus and polkitd run from the packages scripts/test-vm.sh unpacked
# into build-vm/polkit-root (never installed on the host); a rule lets one
# test user have the action and refuses another; busybox's syslogd keeps the
# system log in a file.
# shellcheck shell=sh disable=SC2154,SC2034 # checks.sh's variables and helpers
pk_build=${exe%/app/*}
pk_unpacked=${0%/*}/../../build-vm/polkit-root
pk_helper=/usr/local/libexec/quillon/quillon-change
pk_keyboard=QEMU\ USB\ Keyboard
pk_kbd_id="USB\\VID_0627&PID_0001\\${kbd##*/}"

# --- Setting up ------------------------------------------------------------------
pk_setup() {
  [ -x "$pk_unpacked/usr/lib/polkit-1/polkitd" ] || {
    differs "no polkitd unpacked in $pk_unpacked"
    return 1
  }
  tar -C "$pk_unpacked" -cf - . | tar -C / -xf - --keep-directory-symlink ||
    differs "copying polkit's packages into the guest failed"
  chmod 4755 /usr/bin/pkexec
  cmake --install "$pk_build" >"$work/install.log" 2>&1 || {
    differs "cmake --install $pk_build failed: $(tail -n 3 "$work/install.log")"
    return 1
  }
  # polkitd reads actions from its own data folder only.
  cp /usr/local/share/polkit-1/actions/org.varnholt.quillon.policy /usr/share/polkit-1/actions/
  for user in messagebus polkitd; do
    id "$user" >/dev/null 2>&1 || useradd --system --no-create-home "$user"
  done
  for user in qgranted qrefused; do
    id "$user" >/dev/null 2>&1 || useradd --no-create-home --shell /bin/sh "$user"
  done
  mkdir -p /etc/polkit-1/rules.d /usr/share/polkit-1/rules.d /run/dbus
  cat >/etc/polkit-1/rules.d/50-quillon-test.rules <<'RULES'
polkit.addRule(function(action, subject) {
  if (action.id == "org.varnholt.quillon.change-devices")
    return subject.user == "qgranted" ? polkit.Result.YES : polkit.Result.NO;
});
RULES
  chown -R polkitd /etc/polkit-1/rules.d /usr/share/polkit-1/rules.d
  busybox syslogd -O "$work/syslog" || differs "syslogd did not start"
  # A machine without a machine ID (a bare container) gets one, in the overlay.
  [ -s /etc/machine-id ] || dbus-uuidgen --ensure
  dbus-daemon --system --fork || differs "dbus-daemon --system did not start"
  /usr/lib/polkit-1/polkitd --no-debug >"$work/polkitd.log" 2>&1 &
  # Up once it owns its name on the bus.
  pk_tries=0
  until dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetNameOwner string:org.freedesktop.PolicyKit1 >/dev/null 2>&1; do
    pk_tries=$((pk_tries + 1))
    [ "$pk_tries" -lt 150 ] || {
      differs "polkitd did not come up: $(cat "$work/polkitd.log")"
      return 1
    }
    sleep 0.2
  done
}

# pk_sysfs: what a change could have touched.
pk_sysfs() {
  grep -s -H '' /sys/bus/*/devices/*/authorized /sys/bus/*/devices/*/driver_override \
    /sys/class/net/*/ifalias /etc/udev/rules.d/* || true
}

# pk_as USER COMMAND...: runs COMMAND as USER; its output in $work/pk.out,
# its exit status in $pk_code.
pk_as() {
  pk_user=$1
  shift
  setpriv --reuid="$pk_user" --regid="$pk_user" --init-groups "$@" >"$work/pk.out" 2>"$work/pk.err" </dev/null
  pk_code=$?
}

# pk_q USER COMMAND NAME: q with the installed quillon as USER, its report
# log where USER may write it.
pk_q() {
  pk_exe=$exe pk_log=$log
  exe=/usr/local/bin/quillon log=$work/polkit-report.log
  : >"$log"
  chmod 666 "$log"
  q_as="setpriv --reuid=$1 --regid=$1 --init-groups"
  shift
  q "$@" "/reportLog=$log"
  q_as=""
  exe=$pk_exe log=$pk_log
}

if pk_setup; then
  result "polkit: the build installed, the system bus and polkitd running in the guest"
  chmod 755 "$work"

  pk_q qgranted disableDevice "$pk_keyboard"
  expect "disableDevice as qgranted: errors" "" "$errs"
  expect "disableDevice as qgranted: standard error" "" "$(grep -v '^QStandardPaths' "$work/err")"
  pk_took=$took
  kernel_is kbd disabled
  state_is "$pk_keyboard" disabled
  # Where the build keeps disables, the helper kept this one.
  pk_kept=$(cat /etc/udev/rules.d/*quillon*.rules 2>/dev/null)
  if [ -n "$pk_kept" ]; then
    printf '%s\n' "$pk_kept" | grep -F "KERNEL==\"${kbd##*/}\"" | grep -qF 'ATTR{authorized}="0"' ||
      differs "the kept-change file has no disable of the keyboard: $pk_kept"
  fi
  result "polkit: disableDevice as the granted user de-authorizes the keyboard through pkexec ($pk_took ms)${pk_kept:+, kept}"

  pk_q qgranted enableDevice "$pk_keyboard"
  expect "enableDevice as qgranted: errors" "" "$errs"
  kernel_is kbd enabled
  state_is "$pk_keyboard" enabled
  cat /etc/udev/rules.d/*quillon*.rules 2>/dev/null | grep -F "KERNEL==\"${kbd##*/}\"" |
    grep -F 'ATTR{authorized}="0"' | sed 's/^/    still kept: /' >>"$work/why"
  result "polkit: enableDevice as the granted user brings it back"

  grep -F 'quillon-change' "$work/syslog" | grep -F 'qgranted' |
    grep -qF "disable $pk_kbd_id: done" ||
    differs "the system log has no granted disable: $(grep -F quillon "$work/syslog")"
  result "polkit: the system log names the user and the change"
  grep -F "disable $pk_kbd_id: done" "$work/syslog" | head -n 1 | sed 's/^/    /'

  # shellcheck disable=SC2016 # $HOME is the name's own text (quotes never reach a value)
  pk_name=$(printf 'Uplink 100%% $HOME R\303\251seau')
  pk_q qgranted setFriendlyName "$renamed" "/value0=$pk_name"
  expect "setFriendlyName as qgranted: errors" "" "$errs"
  expect "kernel: ifalias" "$pk_name" "$(ifalias)"
  result "polkit: setFriendlyName as the granted user renames the NIC byte for byte"
  # The checks after these find the NIC as they left it.
  q setFriendlyName "$pk_name" "/value0=$renamed"

  pk_sysfs >"$work/pk-before"
  pk_q qrefused disableDevice "$pk_keyboard"
  expect "disableDevice as qrefused: errors" "Error: SetupDiCallClassInstaller(): HANDLE error 5" "$errs"
  grep -qxF "quillon: $pk_kbd_id was not changed (disable): polkit did not authorize it" "$work/err" ||
    differs "disableDevice as qrefused: standard error: $(cat "$work/err")"
  kernel_is kbd enabled
  pk_sysfs | cmp -s "$work/pk-before" - || differs "something changed: $(pk_sysfs | diff "$work/pk-before" -)"
  result "polkit: the refused user gets 5, a line saying polkit refused, and nothing changes"

  pk_as qgranted "$pk_helper" disable "$pk_kbd_id"
  expect "the helper started directly: answer" "5" "$(cat "$work/pk.out")"
  expect "the helper started directly: status" 3 "$pk_code"
  kernel_is kbd enabled
  pk_sysfs | cmp -s "$work/pk-before" - || differs "something changed: $(pk_sysfs | diff "$work/pk-before" -)"
  result "polkit: the helper started directly by an ordinary user refuses and changes nothing"

  newline=$(printf '%s\nx' "$pk_kbd_id")
  missing="USB\\VID_0627&PID_0001\\9-9"
  for forged in "../../../sys/bus/usb/devices/${kbd##*/}" "$kbd" "$newline" "$missing"; do
    pk_as qgranted pkexec "$pk_helper" disable "$forged"
    wanted=87
    [ "$forged" = "$missing" ] && wanted=3758096907
    expect "pkexec quillon-change disable '$forged'" "$wanted/2" "$(cat "$work/pk.out")/$pk_code"
  done
  kernel_is kbd enabled
  pk_sysfs | cmp -s "$work/pk-before" - || differs "something changed: $(pk_sysfs | diff "$work/pk-before" -)"
  result "polkit: forged instance IDs through pkexec are refused (87, 0xE000020B), nothing written"

  # Limits the caller sets reach the helper through pkexec: with barely
  # enough files to find the node, the guard must still see the mount.
  set -- "$stick"/*:1.0/host*/target*/*/block/sd*/sd*1
  pk_stick_id="USB\\VID_46F4&PID_0001\\${stick##*/}"
  mkdir -p /mnt/stick
  if mount -t ext2 "/dev/${1##*/}" /mnt/stick 2>"$work/mount"; then
    for pk_files in $(seq 60 84); do
      # shellcheck disable=SC2016 # the inner shell expands them
      pk_as qgranted sh -c 'ulimit -n "$1" && shift && exec pkexec "$@"' sh "$pk_files" \
        "$pk_helper" stop "$pk_stick_id"
      expect "ulimit -n $pk_files; pkexec quillon-change stop (the stick mounted)" \
        3758096945/1 "$(cat "$work/pk.out")/$pk_code"
    done
    [ -e "$stick/driver" ] || differs "the mounted stick lost its driver"
    umount /mnt/stick || differs "cannot unmount the stick"
  else
    differs "cannot mount the stick: $(cat "$work/mount")"
  fi
  result "polkit: a granted user's low file limit does not get a mounted stick stopped (0xE0000231)"
fi
