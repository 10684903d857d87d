# -*- coding: utf-8 -*-

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: converter_info
short_description: Lists the USB-to-RS-485 converters of a host with their settings
description:
  - Reads every converter (USB 16C0:4E04) plugged into the managed host, or the one on I(port),
    and returns each with its serial number, place on the bus, port and RS-485 line settings,
    for inventories and reports.
  - Runs C(rs485ctl --json read) on the managed host and changes nothing.
version_added: "0.1.0"
author: rs485setup developers
extends_documentation_fragment:
  - rs485setup.converter.converter.program
options:
  port:
    description:
      - Only the converter on this port, also one the search does not find (a pseudo-terminal,
        C(TCPC_host:port), C(rfc2217://host:port)).
    type: str
notes:
  - A host without a converter returns an empty C(converters) list.
  - A converter that cannot be read is listed with its C(converters[].error) and fails the task.
'''

EXAMPLES = r'''
- name: Every converter of the host
  rs485setup.converter.converter_info:
  register: found

- name: One line per converter
  ansible.builtin.debug:
    msg: "{{ item.serial }} {{ item.location }} {{ item.port }} {{ item.settings.baud }}"
  loop: "{{ found.converters }}"

- name: The converter behind a serial-to-TCP server
  rs485setup.converter.converter_info:
    port: TCPC_192.168.0.10:4001
'''

RETURN = r'''
converters:
  description: The converters, each with what was read.
  returned: always
  type: list
  elements: dict
  contains:
    port:
      description: Its port.
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
    settings:
      description: Its settings as C(rs485ctl --json read) prints them (null when it could not be read).
      type: dict
      sample: {baud: 9600, parity: none, data_bits: 8, stop_bits: 1, echo_suppression: true, raw: "60 00 00 08 4E 80"}
    error:
      description: Why it could not be read (null when it was).
      type: str
    reason:
      description: The reason under the error, as rs485ctl gives it.
      type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.rs485setup.converter.plugins.module_utils.rs485ctl import Ctl, results, unit_of

SETTINGS_KEYS = ('baud', 'parity', 'data_bits', 'stop_bits', 'echo_suppression', 'raw')

# rs485ctl's exit code when no converter is plugged in.
EXIT_NO_CONVERTER = 1


def main():
    module = AnsibleModule(
        argument_spec=dict(port=dict(type='str'), rs485ctl=dict(type='path')),
        supports_check_mode=True,
    )
    ctl = Ctl(module)
    port = module.params['port']
    rc, objects, err = ctl.run(['--port', port, 'read'] if port else ['read', '--all'])
    read = results(objects)
    # No converter: rs485ctl's one failure object instead of result lines.
    if not port and rc == EXIT_NO_CONVERTER and not any('event' in obj for obj in objects):
        module.exit_json(changed=False, converters=[])
    if not read:
        ctl.fail(rc, objects, err)

    converters = []
    for obj in read:
        entry = unit_of(obj)
        entry.update(error=obj.get('error'), reason=obj.get('reason'),
                     settings=None if obj.get('error') else dict((k, obj.get(k)) for k in SETTINGS_KEYS))
        converters.append(entry)
    if rc != 0:
        ctl.fail(rc, read, err, converters=converters)
    module.exit_json(changed=False, converters=converters)


if __name__ == '__main__':
    main()
