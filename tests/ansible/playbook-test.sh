#!/bin/sh
# playbook-test.sh QUILLON QUILLON_DEVICES COLLECTION VERSION: builds the
# quillon.devices collection (which carries the project's VERSION), installs
# it from its tarball, and runs playbook.yml over three local hosts, each
# with its own copy of machine.json: the first run changes every host, the
# second none, --check changes no file, and a host whose change fails reports
# Quillon's error while the others go on. Then the device module alone, on
# selections it must refuse.
set -u
here=$(cd "$(dirname "$0")" && pwd)
quillon=$1 lister=$2 collection=$3 version=$4
if ! command -v ansible-playbook >/dev/null 2>&1; then
  echo "ansible-playbook is not installed (Debian package ansible-core); skipped"
  exit 77
fi
# The Python that Ansible itself runs on, for the module alone.
python=$(sed -n '1s/^#! *//p' "$(command -v ansible-playbook)")
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-ansible.XXXXXX")
trap 'rm -rf "$work"' EXIT
[ -n "${QUILLON_ANSIBLE_KEEP:-}" ] && trap - EXIT
failures=0
fail() {
  printf "FAIL: %s\n" "$*" >&2
  failures=$((failures + 1))
}

PATH=$(dirname "$quillon"):$(dirname "$lister"):$PATH
export PATH HOME="$work" ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_REMOTE_TEMP="$work/tmp"
export ANSIBLE_COLLECTIONS_PATH="$work/collections" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

if ! ansible-galaxy collection build --output-path "$work" "$collection" >"$work/build.out" 2>&1 ||
  ! ansible-galaxy collection install -p "$work/collections" "$work/quillon-devices-$version.tar.gz" \
    >>"$work/build.out" 2>&1; then
  cat "$work/build.out" >&2
  echo "FAIL: the collection could not be built and installed" >&2
  exit 1
fi

# machines NAME [FAILING_HOST]: fresh copies of machine.json for the three
# hosts in $work/NAME; FAILING_HOST's webcam refuses every change.
machines() {
  mkdir "$work/$1"
  for host in pc1 pc2 pc3; do cp "$here/machine.json" "$work/$1/$host.json"; done
  if [ $# -gt 1 ]; then
    sed 's/"devInst": 3,/&\n      "fail": { "callClassInstaller": -536870389 },/' \
      "$here/machine.json" >"$work/$1/$2.json"
  fi
}
# play NAME MACHINES [OPTIONS]: one run of the playbook, its output in $work/NAME.out.
play() {
  name=$1 dir=$work/$2
  shift 2
  ansible-playbook -i "$here/inventory.ini" -e "machines=$dir" "$@" "$here/playbook.yml" \
    >"$work/$name.out" 2>&1
}
# recap NAME HOST COUNTS: the host's recap line holds COUNTS ("changed=2 ... failed=0").
recap() {
  line=$(grep "^$2 " "$work/$1.out" | tr -s ' ')
  case "$line" in
    *" $3 "*) ;;
    *) fail "$1: $2 has '$line', expected '$3'"; sed 's/^/  /' "$work/$1.out" >&2 ;;
  esac
}
# device FILE INSTANCE_ID: the lister's "status(problem text) friendly name" of one device.
device() {
  "$lister" --json "--source=$1" | python3 -c '
import json, sys
for d in json.load(sys.stdin):
    if d["instanceId"] == sys.argv[1]:
        print(d["status"], d["problemText"], d["friendlyName"])' "$2"
}
webcam='USB\VID_046D&PID_0825&MI_00\6&2B1D4E7A&0&0000'
nic='PCI\VEN_8086&DEV_15BC&SUBSYS_086F1028&REV_10\3&11583659&0&FE'

machines first
play first first --diff
for host in pc1 pc2; do recap first $host "ok=3 changed=2 unreachable=0 failed=0 skipped=0"; done
recap first pc3 "ok=2 changed=1 unreachable=0 failed=0 skipped=1"
for host in pc1 pc2 pc3; do
  [ "$(device "$work/first/$host.json" "$webcam")" = "0x01802402 disabled None" ] ||
    fail "first run: $host's webcam is $(device "$work/first/$host.json" "$webcam")"
done
[ "$(device "$work/first/pc1.json" "$nic")" = "0x0180200A enabled Uplink" ] ||
  fail "first run: pc1's NIC is $(device "$work/first/pc1.json" "$nic")"
[ "$(device "$work/first/pc3.json" "$nic")" = "0x0180200A enabled None" ] ||
  fail "first run: pc3's NIC is $(device "$work/first/pc3.json" "$nic")"
for line in '+    "state": "disabled"' '+    "friendly_name": "Uplink",'; do
  grep -qxF "$line" "$work/first.out" || fail "first run: --diff lacks the line $line"
done

play second first
for host in pc1 pc2; do recap second $host "ok=3 changed=0 unreachable=0 failed=0 skipped=0"; done
recap second pc3 "ok=2 changed=0 unreachable=0 failed=0 skipped=1"

machines check
play check check --check
for host in pc1 pc2; do recap check $host "ok=3 changed=2 unreachable=0 failed=0"; done
recap check pc3 "ok=2 changed=1 unreachable=0 failed=0"
for host in pc1 pc2 pc3; do
  cmp -s "$here/machine.json" "$work/check/$host.json" || fail "--check changed $host's device file"
done

machines failing pc2
cp "$work/failing/pc2.json" "$work/failing-pc2.json"
play failing failing
recap failing pc1 "ok=3 changed=2 unreachable=0 failed=0"
recap failing pc3 "ok=2 changed=1 unreachable=0 failed=0"
recap failing pc2 "ok=1 changed=0 unreachable=0 failed=1"
grep -q 'quillon could not disable .*SetupDiCallClassInstaller(): HANDLE error -536870389' \
  "$work/failing.out" || fail "the failing host does not report Quillon's error"
grep -q '"error_code": -536870389' "$work/failing.out" || fail "the failing host gives no error_code"
cmp -s "$work/failing-pc2.json" "$work/failing/pc2.json" || fail "the failed change rewrote pc2's file"

# The module alone, without a playbook: selections it must refuse, and one it
# must carry out on every device it matches. Each line: arguments, then the
# text its answer must hold.
alone="$work/alone.json"
python3 - "$here/machine.json" "$alone" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
# A second device under the webcam's name, listed after it.
machine["devices"].append({"instanceId": "USB\\VID_046D&PID_0826\\7&1", "description": "USB Video Device"})
json.dump(machine, open(sys.argv[2], "w"), indent=2)
PY
cp "$alone" "$work/alone-before.json"
while IFS='|' read -r arguments expected; do
  printf '{"ANSIBLE_MODULE_ARGS": {"source": "%s", %s}}' "$alone" "$arguments" >"$work/args.json"
  # shellcheck disable=SC2086 # the interpreter line may hold an option
  answer=$(PYTHONPATH="$work/collections" $python -m \
    ansible_collections.quillon.devices.plugins.modules.device "$work/args.json" 2>&1)
  case "$answer" in
    *"$expected"*) ;;
    *) fail "device module with $arguments: expected '$expected' in: $answer" ;;
  esac
done <<'CASES'
"match": "PCI\\VEN_1234*", "state": "disabled"|no device matches match=PCI\\VEN_1234*
"match": "usb\\vid_046d*", "state": "disabled"|2 devices match match=usb\\vid_046d*; give all: true
"name": "usb video device", "state": "disabled", "all": true, "_ansible_check_mode": true|name 'USB Video Device' is first held by USB\\VID_046D&PID_0825&MI_00
"match": "PCI\\*", "state": "disabled", "all": true, "_ansible_check_mode": true|"command": "disableDevice"}, {"instance_id": "PCI\\VEN_8086&DEV_15BC
"instance_id": "HTREE\\ROOT\\0", "state": "disabled"|no device matches
"match": "*&rev_0012&*", "state": "disabled", "_ansible_check_mode": true|"commands": [{"instance_id": "USB\\VID_046D&PID_0825&MI_00
"match": "PCI\\*", "friendly_name": "My \"NIC\""|may not hold a double quote
CASES
cmp -s "$alone" "$work/alone-before.json" || fail "a refused or checked change rewrote the device file"

echo "ansible: $failures failures"
[ "$failures" -eq 0 ]
