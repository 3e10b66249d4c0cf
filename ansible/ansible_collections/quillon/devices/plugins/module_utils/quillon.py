# -*- coding: utf-8 -*-
# Shared by the device and device_facts modules: finding Quillon's programs,
# reading the device list through quillon-devices, choosing devices, and
# changing one through quillon's command mode.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import fnmatch
import json
import re

from ansible.module_utils.six import string_types

# The problem code of a device that is switched off.
PROBLEM_DISABLED = 22
DN_STARTED = 0x8
DN_HAS_PROBLEM = 0x400

# The offscreen platform turns every error box into one "Error: <text>" line
# on standard error, so a display on the target never leaves a box waiting;
# C.UTF-8 compares names ignoring case the same way on every host.
ENVIRONMENT = {'QT_QPA_PLATFORM': 'offscreen', 'LC_ALL': 'C.UTF-8'}

ERROR_LINE = re.compile(r'^Error: (.*)$')
TRAILING_CODE = re.compile(r'(-?\d+)\s*$')


def program(module, option, name):
    """The path of one of Quillon's programs: the option's value, else PATH."""
    path = module.params.get(option)
    if path:
        return path
    return module.get_bin_path(name, required=True)


def parse_errors(stderr):
    """Quillon's error lines, each as its text and its code (None without one)."""
    errors = []
    for line in (stderr or '').splitlines():
        found = ERROR_LINE.match(line.rstrip('\r'))
        if not found:
            continue
        text = found.group(1)
        code = TRAILING_CODE.search(text)
        errors.append({'text': text, 'code': int(code.group(1)) if code else None})
    return errors


def fail_with_errors(module, msg, stderr, **extra):
    """Fails with msg followed by what the program wrote on standard error;
    Quillon's first error gives error_code and error_text."""
    errors = parse_errors(stderr)
    if errors:
        extra['error_code'] = errors[0]['code']
        extra['error_text'] = errors[0]['text']
    lines = [ERROR_LINE.sub(r'\1', line.strip()) for line in (stderr or '').splitlines() if line.strip()]
    if lines:
        msg = '%s: %s' % (msg, '; '.join(lines))
    else:
        msg = '%s, and it reported no error' % msg
    module.fail_json(msg=msg, quillon_errors=errors, stderr=stderr or '', **extra)


def read_devices(module, source, **extra):
    """The lister's JSON objects for the devices of source (None: this machine)."""
    lister = program(module, 'quillon_devices_path', 'quillon-devices')
    command = [lister, '--json']
    if source:
        command.append('--source=' + source)
    rc, stdout, stderr = module.run_command(command, environ_update=ENVIRONMENT)
    try:
        devices = json.loads(stdout)
    except ValueError:
        devices = None
    if not isinstance(devices, list):
        fail_with_errors(module, 'quillon-devices could not list the devices (exit status %d)' % rc,
                         stderr, rc=rc, **extra)
    if rc != 0:
        # A device whose instance ID cannot be read is listed with null.
        module.warn('quillon-devices: %s' % ' '.join(stderr.split()))
    return devices


def same_text(a, b):
    return a is not None and b is not None and a.lower() == b.lower()


def identifiers(device):
    hardware = device.get('hardwareIds') or []
    if isinstance(hardware, string_types):
        hardware = [hardware]
    ids = [device.get('instanceId')] + hardware
    return [identifier for identifier in ids if isinstance(identifier, string_types) and identifier]


def select(devices, instance_id=None, name=None, match=None):
    """The devices chosen by instance ID, by name or by a glob over their IDs,
    all ignoring letter case."""
    if instance_id is not None:
        return [d for d in devices if same_text(d.get('instanceId'), instance_id)]
    if name is not None:
        return [d for d in devices if same_text(d.get('name'), name)]
    pattern = match.upper()
    return [d for d in devices
            if any(fnmatch.fnmatchcase(identifier.upper(), pattern) for identifier in identifiers(d))]


def state_of(device):
    problem = device.get('problem')
    if problem is None:
        return None
    return 'disabled' if problem == PROBLEM_DISABLED else 'enabled'


def summary(device):
    """What the device module manages of one device, for diffs."""
    return {
        'instance_id': device.get('instanceId'),
        'name': device.get('name'),
        'state': state_of(device),
        'friendly_name': device.get('friendlyName'),
    }


def find(devices, instance_id):
    for device in devices:
        if same_text(device.get('instanceId'), instance_id):
            return device
    return None


def selection_problem(devices, device):
    """Why quillon's command mode cannot select device, or None. It selects
    the first device whose name equals /deviceName= ignoring case, and drops
    double quotes from its arguments."""
    name = device.get('name') or ''
    if not name:
        return 'its name is empty, and quillon selects devices by name'
    if '"' in name:
        return 'its name holds a double quote, which quillon does not take in a switch'
    for other in devices:
        if same_text(other.get('name'), name):
            if other is device:
                return None
            return ("quillon selects devices by name, and the name '%s' is first held by %s"
                    % (name, other.get('instanceId')))
    return 'it is no longer listed'


def run_command(module, source, device, command, value=None):
    """Runs one quillon command on device; gives its standard error."""
    quillon = program(module, 'quillon_path', 'quillon')
    arguments = [quillon, '/deviceCommand=' + command, '/deviceName=' + device['name'],
                 '/reportLog=-']
    if value:
        arguments.append('/value0=' + value)
    if source:
        arguments.append('/deviceSource=' + source)
    rc, stdout, stderr = module.run_command(arguments, environ_update=ENVIRONMENT)
    return rc, stderr


def predicted(device, command, value=None):
    """The lister's object for device as it will be after command."""
    after = dict(device)
    status = after.get('status')
    bits = int(status, 16) if status else None
    if command == 'disableDevice':
        after['problem'] = PROBLEM_DISABLED
        after['problemText'] = 'disabled'
        if bits is not None:
            bits = (bits & ~DN_STARTED) | DN_HAS_PROBLEM
    elif command == 'enableDevice':
        after['problem'] = 0
        after['problemText'] = 'enabled'
        if bits is not None:
            bits = (bits | DN_STARTED) & ~DN_HAS_PROBLEM
    elif command == 'setFriendlyName':
        after['friendlyName'] = value if value else None
        after['name'] = value or after.get('description') or 'Unknown'
    if bits is not None:
        after['status'] = '0x%08X' % bits
    return after
