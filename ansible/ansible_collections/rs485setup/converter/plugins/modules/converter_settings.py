# -*- coding: utf-8 -*-

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: converter_settings
short_description: Sets the RS-485 line settings of USB-to-RS-485 converters
description:
  - Reads the settings of the converter (USB 16C0:4E04) chosen by I(port), I(serial) or I(location),
    or of every converter on the host with I(all=true), and writes only the fields that differ
    from those wanted.
  - Runs C(rs485ctl --json) on the managed host; every write is read back by rs485ctl and a
    converter that keeps other settings than were written fails the task.
  - The fields not given are left as the converter has them.
version_added: "0.1.0"
author: rs485setup developers
extends_documentation_fragment:
  - rs485setup.converter.converter
options:
  port:
    description:
      - The converter's port, in any form rs485ctl takes (C(ttyACM0), C(pts/5),
        C(/dev/serial/by-id/...), C(TCPC_host:port), C(rfc2217://host:port)).
      - Without I(port), I(serial), I(location) and I(all), the one converter plugged in.
    type: str
  baud:
    description: The baud rate of the RS-485 line (the converter keeps baud / 100).
    type: int
  parity:
    description: The parity of the RS-485 line.
    type: str
    choices: [none, even, odd, mark, space]
  data_bits:
    description: The data bits of the RS-485 line.
    type: int
    choices: [7, 8, 9]
  stop_bits:
    description: The stop bits of the RS-485 line.
    type: int
    choices: [1, 2]
  echo_suppression:
    description: Whether the converter suppresses the echo of what it sends.
    type: bool
  profile:
    description:
      - A file on the managed host holding what C(rs485ctl --json read) prints; the fields it names
        are wanted. Fields given as options win over it.
    type: path
  plan:
    description:
      - A plan on the managed host (CSV, a row per serial number); each converter gets its row's
        settings and one the plan does not name is left alone. Implies I(all).
    type: path
  journal:
    description: The journal each write is recorded in, instead of the user's own.
    type: path
notes:
  - Check mode writes nothing and tells what would be written.
  - Diff mode shows each converter's fields before and after.
  - A converter that refuses the write, or keeps other settings than were written, fails the task
    with rs485ctl's message in C(msg), its reason in C(reason) and its exit code in C(rc).
'''

EXAMPLES = r'''
- name: The converter plugged in runs the line at 19200 baud, even parity
  rs485setup.converter.converter_settings:
    baud: 19200
    parity: even

- name: Echo suppression off on the converter with serial number A1B2C3
  rs485setup.converter.converter_settings:
    serial: A1B2C3
    echo_suppression: false

- name: Every converter of the host as its plan row says
  rs485setup.converter.converter_settings:
    plan: /etc/rs485setup/line-7.csv

- name: A converter behind ser2net
  rs485setup.converter.converter_settings:
    port: TCPC_192.168.0.10:4001
    profile: /etc/rs485setup/cabinet.json
'''

RETURN = r'''
converters:
  description: What each converter came to.
  returned: always
  type: list
  elements: dict
  contains:
    port:
      description: The converter's port.
      type: str
      sample: ttyACM0
    serial:
      description: Its USB serial number (null when not known).
      type: str
      sample: A1B2C3
    location:
      description: Its place on the bus (null when not known).
      type: str
      sample: 1-1.1
    result:
      description: C(same), C(written), C(would_write) (check mode), C(not_in_plan) or C(failed).
      type: str
      sample: written
    before:
      description: The settings read, as C(rs485ctl --json read) prints them.
      type: dict
      sample: {baud: 9600, parity: none, data_bits: 8, stop_bits: 1, echo_suppression: true}
    after:
      description: The settings read back after the write (in check mode, those that would be written).
      type: dict
      sample: {baud: 19200, parity: even, data_bits: 8, stop_bits: 1, echo_suppression: true}
    differs:
      description: The fields that differed, with the value found and the value wanted, as rs485ctl's options write them.
      type: list
      elements: dict
      sample: [{field: baud, found: "9600", wanted: "19200"}]
msg:
  description: On failure, rs485ctl's message.
  returned: failure
  type: str
  sample: Ошибка записи настроек
reason:
  description: On failure, rs485ctl's reason, or null when it gave none.
  returned: failure
  type: str
rc:
  description: On failure, rs485ctl's exit code.
  returned: failure
  type: int
  sample: 5
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.rs485setup.converter.plugins.module_utils.rs485ctl import (
    CHOICE_OPTIONS, FIELDS, Ctl, choice_args, failure_of, field_value, results, settings_of, settings_text, target_of,
    unit_of)

OPTION_OF = dict(FIELDS)


def wanted_args(params):
    """The write's options for the fields given."""
    args = []
    for field, option in FIELDS:
        value = params.get(field)
        if value is None:
            continue
        if field == 'echo_suppression':
            value = 'on' if value else 'off'
        args += [option, str(value)]
    if params.get('profile'):
        args += ['--from', params['profile']]
    if params.get('plan'):
        args += ['--plan', params['plan']]
    return args


def key_of(obj):
    return (obj.get('port'), obj.get('serial'), obj.get('location'))


def main():
    argument_spec = dict(CHOICE_OPTIONS)
    argument_spec.update(
        baud=dict(type='int'),
        parity=dict(type='str', choices=['none', 'even', 'odd', 'mark', 'space']),
        data_bits=dict(type='int', choices=[7, 8, 9]),
        stop_bits=dict(type='int', choices=[1, 2]),
        echo_suppression=dict(type='bool'),
        profile=dict(type='path'),
        plan=dict(type='path'),
        journal=dict(type='path'),
    )
    module = AnsibleModule(
        argument_spec=argument_spec,
        mutually_exclusive=[('port', 'all'), ('port', 'plan'), ('profile', 'plan')]
        + [('plan', field) for field, _ in FIELDS],
        supports_check_mode=True,
    )
    params = module.params
    # rs485ctl runs in a folder of its own: paths must not depend on it.
    for name in ('profile', 'plan', 'journal'):
        if params[name]:
            params[name] = os.path.abspath(params[name])
    if params['plan']:
        params['all'] = True
    ctl = Ctl(module)
    choice, every = choice_args(params)
    journal = ['--journal', params['journal']] if params['journal'] else []

    # What each converter has now: the diff's "before".
    rc, objects, err = ctl.run(choice + ['read'] + every)
    read = results(objects)
    if rc != 0 and not read:
        ctl.fail(rc, objects, err)
    if not every and read and read[0].get('error'):
        ctl.fail(rc, read, err)
    before = dict((key_of(obj), settings_of(obj)) for obj in read if not obj.get('error'))

    # What would change: rs485ctl's own dry run, which reads the profile and
    # the plan exactly as the write would.
    rc, objects, err = ctl.run(choice + ['write', '--dry-run'] + every + wanted_args(params))
    planned = results(objects)
    if rc != 0 and not planned:
        ctl.fail(rc, objects, err)
    if not every and planned and planned[0].get('error'):
        ctl.fail(rc, planned, err)

    converters, diffs, failures = [], [], []
    for obj in planned:
        unit = unit_of(obj)
        if not every:
            # The dry run alone names only the port; the read knows the rest.
            unit = unit_of(read[0]) if read else unit
            unit['port'] = obj.get('port')
        result = obj.get('result') or 'failed'
        entry = dict(unit, result=result, differs=obj.get('differs') or [])
        if result == 'failed':
            entry.update(error=obj.get('error'), reason=obj.get('reason'))
            failures.append((obj.get('exit_code') or rc or 1, obj.get('error'), obj.get('reason')))
            converters.append(entry)
            continue
        if result == 'not_in_plan':
            converters.append(entry)
            continue
        found = before.get(key_of(read[0]) if not every and read else key_of(obj), {})
        wanted = dict(found)
        write = []
        for drift in entry['differs']:
            wanted[drift['field']] = field_value(drift['field'], drift['wanted'])
            write += [OPTION_OF[drift['field']], drift['wanted']]
        entry.update(before=found, after=wanted)
        if result == 'differs':
            entry['result'] = 'would_write'
            if not module.check_mode:
                # Only what differs, to this converter alone; rs485ctl reads it back.
                target = target_of(obj) if every else choice
                wrc, wobjects, werr = ctl.run(journal + target + ['write'] + write)
                if wrc != 0:
                    msg, reason = failure_of(wobjects, werr)
                    entry.update(result='failed', error=msg, reason=reason, after=None)
                    failures.append((wrc, msg, reason))
                else:
                    entry.update(result='written', after=settings_of(wobjects[0]) if wobjects else wanted)
            if entry['result'] != 'failed':
                name = unit['serial'] or unit['port']
                diffs.append(dict(before_header=name, after_header=name,
                                  before=settings_text(found), after=settings_text(entry['after'])))
        converters.append(entry)

    changed = any(c['result'] in ('written', 'would_write') for c in converters)
    outcome = dict(changed=changed, converters=converters)
    if module._diff:
        outcome['diff'] = diffs
    if failures:
        code, msg, reason = failures[0]
        module.fail_json(msg=msg or 'rs485ctl ended with exit code %d' % code, reason=reason, rc=code, **outcome)
    module.exit_json(**outcome)


if __name__ == '__main__':
    main()
