# shellcheck shell=sh disable=SC2154 # exe, work, keyboard and the helpers are checks.sh's
# Sourced by checks.sh: the quillon.devices Ansible module over the guest's
# own devices, run as Ansible runs it (python3 -m with a file of arguments),
# with ansible-core from the host's share; skipped where that is missing.
ansible_collections_dir="$vm_checks/../../ansible"
ansible_lister="${exe%/*}/../tools/quillon-devices"
# module ARGUMENTS: runs the device module with ARGUMENTS (JSON members);
# its answer in $answer.
module() {
  printf '{"ANSIBLE_MODULE_ARGS": {"quillon_path": "%s", "quillon_devices_path": "%s", %s}}' \
    "$exe" "$ansible_lister" "$1" >"$work/args.json"
  answer=$(PYTHONPATH=$ansible_collections_dir timeout 300 python3 -m \
    ansible_collections.quillon.devices.plugins.modules.device "$work/args.json" 2>&1)
}
# answered TEXT: the answer holds TEXT.
answered() {
  case $answer in
    *"$1"*) ;;
    *) differs "the module's answer lacks '$1': $answer" ;;
  esac
}

if ! python3 -c 'import ansible' 2>/dev/null; then
  echo "SKIP the Ansible module (ansible-core is not installed)"
else
  module '"match": "USB\\VID_0627&PID_0001\\*", "state": "disabled"'
  answered '"failed": true'
  answered "2 devices match"
  kernel_is kbd enabled
  result "Ansible module: the keyboard and the tablet match one glob; refused without all"

  # options | changed | the keyboard afterwards
  while IFS='|' read -r options changed after; do
    module "\"name\": \"$keyboard\", $options"
    answered "\"changed\": $changed"
    kernel_is kbd "$after"
    result "Ansible module on '$keyboard' with $options: changed $changed, $after"
  done <<'CASES'
"state": "disabled", "_ansible_check_mode": true|true|enabled
"state": "disabled"|true|disabled
"state": "disabled"|false|disabled
"state": "enabled"|true|enabled
CASES
fi
