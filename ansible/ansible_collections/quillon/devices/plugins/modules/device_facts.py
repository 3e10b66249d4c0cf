# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: device_facts
short_description: List device nodes with Quillon as facts
description:
  - Runs C(quillon-devices --json) and sets the fact C(quillon_devices) to its list of devices,
    so that later tasks can test them with C(when).
  - Changes nothing.
version_added: 0.1.0
author:
  - Quillon developers (@quillon)
options:
  source:
    description:
      - A device file or a sysfs tree to list instead of this machine's devices.
    type: path
  quillon_devices_path:
    description:
      - The C(quillon-devices) program; by default the one found in C(PATH).
    type: path
notes:
  - Supports check mode.
requirements:
  - Quillon (C(quillon-devices)) on the target.
seealso:
  - module: quillon.devices.device
'''

EXAMPLES = r'''
- name: Read the devices
  quillon.devices.device_facts:

- name: Switch the Bluetooth adapter off where there is one
  quillon.devices.device:
    match: 'USB\VID_8087&PID_0AAA\*'
    state: disabled
  when: ansible_facts.quillon_devices | selectattr('instanceId', 'match', 'USB\\\\VID_8087&PID_0AAA') | list

- name: Show the devices that have a problem
  ansible.builtin.debug:
    msg: "{{ ansible_facts.quillon_devices | rejectattr('problem', 'in', [0, none]) | map(attribute='name') | list }}"
'''

RETURN = r'''
ansible_facts:
  description: The facts set.
  returned: always
  type: complex
  contains:
    quillon_devices:
      description:
        - One object per present device, as C(quillon-devices --json) writes it, in the lister's order.
        - Later versions of the lister may add members.
      returned: always
      type: list
      elements: dict
      contains:
        instanceId:
          description: The instance ID; null when it cannot be read.
          type: str
        name:
          description: The name Quillon lists the device under.
          type: str
        friendlyName:
          description: The friendly name; null when there is none.
          type: str
        description:
          description: The device description; null when there is none.
          type: str
        className:
          description: The setup class (C(Net), C(System), ...); null for a class that is not well known.
          type: str
        classGuid:
          description: The setup class GUID in braces.
          type: str
        devInst:
          description: The device-node handle.
          type: int
        status:
          description: The status flags, C(0x) and 8 hexadecimal digits; null when unreadable.
          type: str
        problem:
          description: The problem code (22 for a disabled device); null when unreadable.
          type: int
        problemText:
          description: A short problem text such as C(enabled) or C(disabled); null when unreadable.
          type: str
      sample:
        - instanceId: 'USB\VID_8087&PID_0AAA\5&3A2C9B1&0&14'
          name: Intel(R) Wireless Bluetooth(R)
          friendlyName: null
          description: Intel(R) Wireless Bluetooth(R)
          className: Bluetooth
          classGuid: '{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}'
          devInst: 33
          status: '0x01802400'
          problem: 22
          problemText: disabled
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillon.devices.plugins.module_utils.quillon import read_devices


def main():
    module = AnsibleModule(
        argument_spec=dict(
            source=dict(type='path'),
            quillon_devices_path=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    devices = read_devices(module, module.params['source'])
    module.exit_json(changed=False, ansible_facts={'quillon_devices': devices})


if __name__ == '__main__':
    main()
