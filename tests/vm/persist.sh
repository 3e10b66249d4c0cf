# Sourced by checks.sh in every boot of the guest (QUILLON_VM_BOOT names the
# boot; scripts/test-vm.sh boots four times, /etc/udev/rules.d on a share
# that lives between them, the udev daemon running): changes that last, the
# way back at boot, and what is never taken away.
#   1: the name survives a driver rebind; the guard (a mounted stick, the
#      NIC of an SSH session); a read-only rules folder; then the keyboard
#      and the NIC disabled and the NIC renamed, kept.
#   2: booted with quillon.ignore: everything enabled, no name.
#   3: still disabled; enabled again, the name comes back; then undone.
#   4: nothing is left.
# shellcheck shell=sh disable=SC2154,SC2034 # checks.sh defines and reads these
rules=/etc/udev/rules.d/70-quillon.rules
# A backslash, a %, a $ and a non-ASCII letter: udev's escapes and
# substitutions must give back these bytes. (A quote cannot be passed: the
# command line takes it as quoting.)
# shellcheck disable=SC2016,SC1003 # $HOME and the backslash are part of the name
hostile=$(printf 'My NIC 100%% $HOME R\303\251seau \\')
keyboard="QEMU USB Keyboard"
adapter="82540EM Gigabit Ethernet Controller"
drive="QEMU USB HARDDRIVE"
refused="Error: SetupDiCallClassInstaller(): HANDLE error -536870351"

# $reasons: quillon's own "quillon: ..." lines of the last run, joined by "|".
reasons_of_last_run() {
  reasons=""
  while IFS= read -r p_line; do
    case $p_line in "quillon: "*) reasons=${reasons:+$reasons|}$p_line ;; esac
  done <"$work/err"
}
# alias_is TEXT: the NIC's ifalias, polled for up to 5 s (udev sets it
# after the interface appears).
alias_is() {
  p_tries=0
  while [ "$(ifalias)" != "$1" ] && [ "$p_tries" -lt 25 ]; do
    p_tries=$((p_tries + 1))
    sleep 0.2
  done
  expect "kernel: ifalias" "$1" "$(ifalias)"
}
entries() {
  p_count=0
  if [ -f "$rules" ]; then
    while IFS= read -r p_line; do
      case $p_line in "# quillon: "*) p_count=$((p_count + 1)) ;; esac
    done <"$rules"
  fi
  echo "$p_count"
}

case ${QUILLON_VM_BOOT:-1} in
  1)
    [ -S /run/udev/control ] || differs "no udev daemon (/run/udev/control)"
    result "udev: the daemon runs in the guest"

    # --- The name is kept, and comes back after a driver rebind ----------------
    q setFriendlyName "$renamed" "/value0="
    q setFriendlyName "$adapter" "/value0=$hostile"
    expect "setFriendlyName: errors" "" "$errs"
    alias_is "$hostile"
    q stopDevice "$hostile"
    kernel_is nic stopped
    q startDevice "$adapter"
    kernel_is nic enabled
    alias_is "$hostile"
    state_is "$hostile" enabled
    result "setFriendlyName with \\ % \$ and a non-ASCII letter: back byte for byte after stop/start"

    # --- A mounted stick is never taken away -------------------------------------
    set -- "$stick"/*:1.0/host*/target*/*/block/sd*/sd*1
    part=${1##*/}
    stick_id="USB\\VID_46F4&PID_0001\\${stick##*/}"
    mkdir -p /mnt/stick
    if mount -t ext2 "/dev/$part" /mnt/stick 2>"$work/mount"; then
      echo kept >/mnt/stick/file
      q statusDevice "$drive"
      [ $((DeviceStatus & 0x2000)) -eq 0 ] || differs "DeviceStatus $DeviceStatus: DN_DISABLEABLE while mounted"
      for command in disableDevice:disabled stopDevice:stopped; do
        q "${command%:*}" "$drive"
        reasons_of_last_run
        expect "${command%:*}: errors" "$refused" "$errs"
        expect "${command%:*}: reason" \
          "quillon: $stick_id was not ${command#*:}: /mnt/stick is mounted from it" "$reasons"
      done
      attr "$stick/authorized"
      expect "kernel: stick authorized" 1 "$value"
      attr /mnt/stick/file
      expect "file on the stick" kept "$value"
      umount /mnt/stick || differs "cannot unmount the stick"
    else
      differs "cannot mount /dev/$part: $(cat "$work/mount")"
    fi
    result "disableDevice and stopDevice of a stick whose partition is mounted: refused, why said, still mounted"
    q disableDevice "$drive"
    expect "disableDevice: errors" "" "$errs"
    attr "$stick/authorized"
    expect "kernel: stick authorized" 0 "$value"
    q enableDevice "$drive"
    attr "$stick/authorized"
    expect "kernel: stick authorized" 1 "$value"
    result "disableDevice of the stick once unmounted: done (and enabled again)"

    # --- The NIC of the caller's SSH session is never taken away ------------------
    set -- "$nic"/net/*
    interface=${1##*/}
    ip address add 192.0.2.10/24 dev "$interface" || differs "cannot give $interface 192.0.2.10"
    printf '%s\n' "SSH_CONNECTION='192.0.2.1 50022 192.0.2.10 22' exec \"\$@\"" >"$work/ssh"
    for command in disableDevice:disabled stopDevice:stopped; do
      q_as="sh $work/ssh"
      q "${command%:*}" "$hostile"
      q_as=""
      reasons_of_last_run
      expect "${command%:*}: errors" "$refused" "$errs"
      case $reasons in
        "quillon: PCI\\VEN_8086&DEV_100E"*"\\0000:00:03.0 was not ${command#*:}: it carries this SSH session ($interface, 192.0.2.10)") ;;
        *) differs "${command%:*}: reason '$reasons'" ;;
      esac
    done
    kernel_is nic enabled
    result "disableDevice and stopDevice of the NIC of an SSH session (SSH_CONNECTION): refused, why said"
    q stopDevice "$hostile"
    expect "stopDevice without SSH_CONNECTION: errors" "" "$errs"
    kernel_is nic stopped
    q startDevice "$adapter"
    kernel_is nic enabled
    alias_is "$hostile"
    result "stopDevice of that NIC without SSH_CONNECTION: done (and started again)"

    # --- A rules folder that cannot be written: nothing changes -----------------
    mount -o remount,bind,ro /etc/udev/rules.d || differs "cannot make rules.d read-only"
    q disableDevice "$keyboard"
    mount -o remount,bind,rw /etc/udev/rules.d || differs "cannot make rules.d writable again"
    expect "disableDevice: errors" "Error: SetupDiCallClassInstaller(): HANDLE error 5" "$errs"
    kernel_is kbd enabled
    state_is "$keyboard" enabled
    result "disableDevice with a read-only rules folder: access denied (5), the keyboard stays enabled"

    # --- Kept for the next boots ---------------------------------------------------
    # Timed without the helper's time limit, whose own start costs about
    # 0.15 s under TCG, once udev has handled the events of the checks above
    # (the guest has one processor).
    udevadm settle --timeout=60
    now_ms
    p_start=$n_ms
    "$exe" /deviceCommand=disableDevice "/deviceName=$keyboard" </dev/null >/dev/null 2>"$work/err"
    now_ms
    spent=$((n_ms - p_start))
    grep -q '^Error: ' "$work/err" && differs "disableDevice: $(grep '^Error: ' "$work/err")"
    [ "$spent" -lt 1000 ] || differs "one disable took $spent ms"
    q disableDevice "$hostile"
    expect "disableDevice: errors" "" "$errs"
    kernel_is kbd disabled
    kernel_is nic disabled
    expect "entries in $rules" 3 "$(entries)"
    result "keyboard ($spent ms) and NIC disabled, the NIC renamed: kept in $rules"
    ;;
  2)
    case $(cat /proc/cmdline) in *quillon.ignore*) ;; *) differs "no quillon.ignore" ;; esac
    kernel_is kbd enabled
    kernel_is nic enabled
    alias_is ""
    state_is "$keyboard" enabled
    state_is "$adapter" enabled
    expect "entries in $rules" 3 "$(entries)"
    result "booted with quillon.ignore: keyboard and NIC enabled, no name, the entries kept"
    ;;
  3)
    kernel_is kbd disabled
    kernel_is nic disabled
    state_is "$keyboard" disabled
    state_is "$adapter" disabled
    result "after a reboot: keyboard de-authorized and NIC without driver, read as disabled"
    q enableDevice "$adapter"
    kernel_is nic enabled
    alias_is "$hostile"
    state_is "$hostile" enabled
    result "the NIC enabled again: the kept name back byte for byte"
    q enableDevice "$keyboard"
    q setFriendlyName "$hostile" "/value0="
    kernel_is kbd enabled
    alias_is ""
    [ ! -e "$rules" ] || differs "$rules is still there: $(cat "$rules")"
    result "enableDevice and an empty name: nothing kept any more"
    ;;
  *)
    kernel_is kbd enabled
    kernel_is nic enabled
    alias_is ""
    state_is "$keyboard" enabled
    state_is "$adapter" enabled
    result "the next boot: keyboard and NIC enabled, no name"
    ;;
esac
