# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: device
short_description: Enable or disable device nodes and set their friendly names with Quillon
description:
  - Selects device nodes by instance ID, by name, or by a glob over their instance and hardware IDs,
    and makes them enabled or disabled and gives them a friendly name.
  - Reads the devices with C(quillon-devices --json) and changes them with C(quillon)'s command mode;
    it never writes to sysfs itself, so every change goes through Quillon's own checks.
  - Changes only what differs, so a second run reports no change.
  - Quillon's command mode selects a device by its name, the first one that carries it. A device whose
    name an earlier device also carries cannot be changed, and the module fails saying so.
  - On Linux, changes to this machine's devices last until the next reboot.
version_added: 0.1.0
author:
  - Quillon developers (@quillon)
options:
  instance_id:
    description:
      - The instance ID of the device, compared ignoring letter case.
      - One of I(instance_id), I(name) and I(match) is required.
    type: str
  name:
    description:
      - The device's name as Quillon lists it (its friendly name, else its description),
        compared ignoring letter case.
    type: str
  match:
    description:
      - A shell-style glob (C(*), C(?), C([...])) over the devices' instance IDs and, where the
        lister gives them, their hardware IDs, compared ignoring letter case.
      - Backslashes in the IDs are ordinary characters.
    type: str
  state:
    description:
      - C(disabled) switches the devices off (problem code 22); C(enabled) switches them on again.
        A device counts as enabled whenever it is not disabled.
      - Leave it out to change only the friendly name.
    type: str
    choices: [enabled, disabled]
  friendly_name:
    description:
      - The friendly name to store.
      - The empty text removes the interface alias on Linux. Elsewhere (a device file, Windows) it
        stores an empty name, under which Quillon then lists the device, and command mode cannot
        select a device by an empty name.
      - Quillon refuses control characters and names of more than 259 bytes; the module refuses
        double quotes, which command mode drops.
    type: str
  all:
    description:
      - Change every device the selection matches. Without it, a selection of more than one device fails.
    type: bool
    default: false
  source:
    description:
      - A device file or a sysfs tree to use instead of this machine's devices, for tests and trials.
    type: path
  quillon_path:
    description:
      - The C(quillon) program; by default the one found in C(PATH).
    type: path
  quillon_devices_path:
    description:
      - The C(quillon-devices) program; by default the one found in C(PATH).
    type: path
notes:
  - Supports check mode and diff mode.
  - Changing this machine's devices needs root (C(become)).
requirements:
  - Quillon (C(quillon) and C(quillon-devices)) on the target.
seealso:
  - module: quillon.devices.device_facts
'''

EXAMPLES = r'''
- name: Switch the webcam off on every laptop
  quillon.devices.device:
    match: 'USB\VID_046D&PID_0825\*'
    state: disabled
  become: true

- name: Name the uplink NIC
  quillon.devices.device:
    instance_id: 'PCI\VEN_8086&DEV_15BC&SUBSYS_086F1028&REV_10\3&11583659&0&FE'
    friendly_name: Uplink

- name: Switch every Bluetooth adapter on again
  quillon.devices.device:
    match: 'USB\VID_8087&*'
    state: enabled
    all: true

- name: Try it on a copy of a machine first
  quillon.devices.device:
    name: HID-compliant mouse
    state: disabled
    source: /tmp/office-pc.json
'''

RETURN = r'''
devices:
  description: The selected devices as the lister shows them after the run (in check mode, as they would be).
  returned: success
  type: list
  elements: dict
  sample:
    - instanceId: 'PCI\VEN_8086&DEV_15BC&SUBSYS_086F1028&REV_10\3&11583659&0&FE'
      name: Uplink
      friendlyName: Uplink
      description: Intel(R) Ethernet Connection (7) I219-LM
      className: Net
      classGuid: '{4D36E972-E325-11CE-BFC1-08002BE10318}'
      devInst: 40
      status: '0x0180200A'
      problem: 0
      problemText: enabled
commands:
  description: The quillon commands carried out (in check mode, those that would be), in order.
  returned: always
  type: list
  elements: dict
  contains:
    instance_id:
      description: The device's instance ID.
      type: str
    command:
      description: The command, C(enableDevice), C(disableDevice) or C(setFriendlyName).
      type: str
    value:
      description: The friendly name, for C(setFriendlyName).
      type: str
  sample:
    - instance_id: 'USB\VID_046D&PID_0825\5&3A2C9B1&0&2'
      command: disableDevice
error_code:
  description: Quillon's error code of a failed change, a signed number (C(-536870389) is 0xE000020B).
  returned: failure, when Quillon reported an error
  type: int
  sample: -536870389
error_text:
  description: Quillon's error text of a failed change.
  returned: failure, when Quillon reported an error
  type: str
  sample: 'SetupDiCallClassInstaller(): HANDLE error -536870389'
quillon_errors:
  description: Every error line Quillon wrote, with its text and code.
  returned: failure
  type: list
  elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillon.devices.plugins.module_utils.quillon import (
    fail_with_errors,
    find,
    parse_errors,
    predicted,
    read_devices,
    run_command,
    select,
    selection_problem,
    state_of,
    summary,
)

COMMANDS = {'enabled': 'enableDevice', 'disabled': 'disableDevice'}
VERBS = {'enableDevice': 'enable', 'disableDevice': 'disable', 'setFriendlyName': 'rename'}


def wanted_commands(device, state, friendly_name):
    commands = []
    if state is not None and state_of(device) != state:
        commands.append((COMMANDS[state], None))
    if friendly_name is not None and (device.get('friendlyName') or '') != friendly_name:
        commands.append(('setFriendlyName', friendly_name))
    return commands


def describe(device):
    return "'%s' (%s)" % (device.get('name'), device.get('instanceId'))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            instance_id=dict(type='str'),
            name=dict(type='str'),
            match=dict(type='str'),
            state=dict(type='str', choices=['enabled', 'disabled']),
            friendly_name=dict(type='str'),
            all=dict(type='bool', default=False),
            source=dict(type='path'),
            quillon_path=dict(type='path'),
            quillon_devices_path=dict(type='path'),
        ),
        mutually_exclusive=[['instance_id', 'name', 'match']],
        required_one_of=[['instance_id', 'name', 'match'], ['state', 'friendly_name']],
        supports_check_mode=True,
    )
    params = module.params
    source = params['source']
    friendly_name = params['friendly_name']
    if friendly_name is not None and '"' in friendly_name:
        module.fail_json(msg='friendly_name may not hold a double quote: quillon drops them from its switches')

    devices = read_devices(module, source)
    chosen = select(devices, params['instance_id'], params['name'], params['match'])
    selection = ', '.join('%s=%s' % (key, params[key]) for key in ('instance_id', 'name', 'match')
                          if params[key] is not None)
    if not chosen:
        module.fail_json(msg='no device matches %s (%d devices listed)' % (selection, len(devices)),
                         commands=[])
    if len(chosen) > 1 and not params['all']:
        module.fail_json(msg='%d devices match %s; give all: true to change every one: %s'
                         % (len(chosen), selection, ', '.join(describe(d) for d in chosen)),
                         commands=[])
    for device in chosen:
        if not device.get('instanceId'):
            module.fail_json(msg="the instance ID of '%s' cannot be read" % device.get('name'),
                             commands=[])
        if params['state'] is not None and state_of(device) is None:
            module.fail_json(msg='the status of %s cannot be read' % describe(device), commands=[])

    done = []
    applied = 0
    diffs = []
    results = []
    for target in [d['instanceId'] for d in chosen]:
        device = find(devices, target)
        before = summary(device)
        for command, value in wanted_commands(device, params['state'], friendly_name):
            problem = selection_problem(devices, device)
            if problem:
                module.fail_json(msg='%s cannot be changed: %s' % (describe(device), problem),
                                 changed=applied > 0, commands=done)
            step = {'instance_id': target, 'command': command}
            if value is not None:
                step['value'] = value
            if module.check_mode:
                changed_device = predicted(device, command, value)
                devices = [changed_device if d is device else d for d in devices]
                device = changed_device
                done.append(step)
                continue
            rc, stderr = run_command(module, source, device, command, value)
            done.append(step)
            failed = 'quillon could not %s %s' % (VERBS[command], describe(device))
            devices = read_devices(module, source, changed=applied > 0, commands=done)
            device = find(devices, target)
            if device is None:
                module.fail_json(msg='%s: %s is no longer listed' % (failed, target),
                                 changed=applied > 0, commands=done)
            if wanted_commands(device, params['state'] if command != 'setFriendlyName' else None,
                               value if command == 'setFriendlyName' else None):
                fail_with_errors(module, failed, stderr, changed=applied > 0, commands=done, rc=rc)
            applied += 1
            for error in parse_errors(stderr):
                module.warn('quillon reported an error, yet %s took: %s' % (command, error['text']))
        after = summary(device)
        if after != before:
            diffs.append({'before_header': target, 'after_header': target,
                          'before': before, 'after': after})
        results.append(device)

    changed = bool(done)
    result = dict(changed=changed, commands=done, devices=results)
    if module._diff:
        result['diff'] = diffs
    module.exit_json(**result)


if __name__ == '__main__':
    main()
