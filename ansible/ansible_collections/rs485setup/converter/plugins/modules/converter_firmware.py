# -*- coding: utf-8 -*-

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: converter_firmware
short_description: Puts a firmware image on USB-to-RS-485 converters
description:
  - Updates the firmware of the converter (USB 16C0:4E04) chosen by I(port), I(serial) or I(location),
    or of every converter on the host with I(all=true), with I(image), unless the journal of the
    host says that the last image written to that serial number, and written whole, has the
    SHA-256 I(sha256).
  - The converter cannot report its firmware, so the journal is all there is to go by. A converter
    without a serial number, or one chosen by I(port) (a pseudo-terminal, a network port), is
    updated every time.
  - Runs C(rs485ctl --json flash --sha256) on the managed host, so an image whose SHA-256 is not
    I(sha256) is refused before any converter is touched.
version_added: "0.1.0"
author: rs485setup developers
extends_documentation_fragment:
  - rs485setup.converter.converter
options:
  image:
    description: The firmware image, a file on the managed host.
    type: path
    required: true
  sha256:
    description: The image's SHA-256, 64 hex digits.
    type: str
    required: true
  port:
    description:
      - The converter's port, in any form rs485ctl takes; it is updated every time.
      - Without I(port), I(serial), I(location) and I(all), the one converter plugged in.
    type: str
  settle_ms:
    description: The converter's time to come back after each switch of its update mode (rs485ctl's C(--settle-ms)).
    type: int
  journal:
    description: The journal to read and to append to, instead of the user's own.
    type: path
notes:
  - Check mode updates nothing and tells which converters would be updated.
  - A failed update fails the task with rs485ctl's message in C(msg), its reason in C(reason)
    and its exit code in C(rc).
'''

EXAMPLES = r'''
- name: Firmware 2.3 on every converter of the host, once
  rs485setup.converter.converter_firmware:
    all: true
    image: /srv/firmware/fw-2.3.bin
    sha256: 3f1c0e5b9d4a7c2e8f6b1a0d9c8e7f6a5b4c3d2e1f0a9b8c7d6e5f4a3b2c1d0e
'''

RETURN = r'''
converters:
  description: What each converter came to.
  returned: always
  type: list
  elements: dict
  contains:
    port:
      description: Its port (after an update, the one it came back under).
      type: str
      sample: ttyACM0
    serial:
      description: Its USB serial number (null when it has none or it was named by I(port)).
      type: str
      sample: A1B2C3
    location:
      description: Its place on the bus (null when not known).
      type: str
      sample: 1-1.1
    result:
      description: C(same) (the journal says it has the image), C(flashed), C(would_flash) (check mode) or C(failed).
      type: str
      sample: flashed
    journal_sha256:
      description: The SHA-256 of the last image the journal has for its serial number (null when none).
      type: str
msg:
  description: On failure, rs485ctl's message.
  returned: failure
  type: str
  sample: Timeout
reason:
  description: On failure, rs485ctl's reason, or null when it gave none.
  returned: failure
  type: str
rc:
  description: On failure, rs485ctl's exit code.
  returned: failure
  type: int
  sample: 6
'''

import csv
import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.rs485setup.converter.plugins.module_utils.rs485ctl import (
    CHOICE_OPTIONS, Ctl, choice_args, failure_of, target_of)


def last_image_sha256(ctl, journal, serial):
    """The hash of the last image the journal has written whole to this serial number, or None."""
    # A journal named but not made yet holds nothing; the update will make it.
    if journal and not os.path.exists(journal[1]):
        return None
    rc, objects, err = ctl.run(journal + ['journal', '--serial', serial])
    if rc != 0:
        ctl.fail(rc, objects, err)
    last = None
    for record in objects:
        if record.get('serial') != serial or not isinstance(record.get('image'), dict):
            continue
        # An update that did not end well, even after one that did, leaves
        # the converter's firmware unknown.
        whole = any(step.get('step') == 'flash' and step.get('exit_code') == 0 for step in record.get('steps') or [])
        last = record['image'].get('sha256') if whole else None
    return last


def ended(entry, result, rc, objects, err, failures):
    """What an update of one converter came to: its result line, or the run's failure."""
    if result is not None and result.get('result') == 'done':
        entry.update(result='flashed', port=result.get('port') or entry['port'])
        return
    msg, reason = (result.get('error'), result.get('reason')) if result else failure_of(objects, err)
    entry.update(result='failed', error=msg, reason=reason)
    failures.append((rc or 1, msg, reason))


def main():
    argument_spec = dict(CHOICE_OPTIONS)
    argument_spec.update(
        image=dict(type='path', required=True),
        sha256=dict(type='str', required=True),
        settle_ms=dict(type='int'),
        journal=dict(type='path'),
    )
    module = AnsibleModule(argument_spec=argument_spec, mutually_exclusive=[('port', 'all')],
                           supports_check_mode=True)
    params = module.params
    # rs485ctl runs in a folder of its own: paths must not depend on it.
    for name in ('image', 'journal'):
        if params[name]:
            params[name] = os.path.abspath(params[name])
    sha256 = params['sha256'].lower()
    if not re.match(r'^[0-9a-f]{64}$', sha256):
        module.fail_json(msg='sha256 must be 64 hex digits', reason=None, rc=None)
    ctl = Ctl(module)
    journal = ['--journal', params['journal']] if params['journal'] else []
    choice, every = choice_args(params)

    # Who is there: a port names itself; otherwise the search, with its serial numbers.
    if params['port']:
        units = [dict(port=params['port'], serial=None, location=None)]
    else:
        rc, objects, err = ctl.run(choice + ['locate', '--all'])
        units = objects[0].get('converters', []) if objects else []
        if rc != 0 or not units or (not every and len(units) > 1):
            # No converter, several and none chosen, one without a port: the
            # flash itself says so in its own words.
            rc, objects, err = ctl.run(journal + choice + ['flash', params['image'], '--sha256', sha256])
            ctl.fail(rc, objects, err)

    converters, failures, pending = [], [], []
    for unit in units:
        entry = dict(port=unit.get('port'), serial=unit.get('serial'), location=unit.get('location'))
        entry['journal_sha256'] = last_image_sha256(ctl, journal, entry['serial']) if entry['serial'] else None
        if entry['journal_sha256'] == sha256:
            entry['result'] = 'same'
        elif module.check_mode:
            entry['result'] = 'would_flash'
        else:
            pending.append(entry)
        converters.append(entry)

    settle = ['--settle-ms', str(params['settle_ms'])] if params['settle_ms'] is not None else []
    serials = [u.get('serial') for u in units]
    # Several converters, each with a serial number of its own: one run of
    # rs485ctl updates them in parallel, by a plan that names them alone.
    together = [e for e in pending if every and e['serial'] and serials.count(e['serial']) == 1]
    if len(together) > 1:
        plan = os.path.join(module.tmpdir, 'firmware-plan.csv')
        with open(plan, 'w', newline='') as f:
            rows = csv.writer(f)
            rows.writerow(['serial', 'location', 'image', 'sha256'])
            for e in together:
                rows.writerow([e['serial'], e['location'] or '', params['image'], sha256])
        rc, objects, err = ctl.run(journal + ['flash', '--all', '--plan', plan] + settle)
        done = dict((o.get('serial'), o) for o in objects if o.get('event') == 'result')
        for e in together:
            ended(e, done.get(e['serial']), rc, objects, err, failures)
    else:
        together = []

    for e in pending:
        if e in together:
            continue
        # The update's reopen follows the converter, not the port name it had.
        target = target_of(e) if every else choice
        rc, objects, err = ctl.run(journal + target + ['flash', params['image'], '--sha256', sha256] + settle)
        ended(e, objects[0] if rc == 0 and objects else None, rc, objects, err, failures)

    outcome = dict(changed=any(c['result'] in ('flashed', 'would_flash') for c in converters), converters=converters)
    if failures:
        code, msg, reason = failures[0]
        module.fail_json(msg=msg or 'rs485ctl ended with exit code %d' % code, reason=reason, rc=code, **outcome)
    module.exit_json(**outcome)


if __name__ == '__main__':
    main()
