# -*- coding: utf-8 -*-
# Running rs485ctl on the managed host: its --json output, its failures.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

import json
import os

# The converter's settings in the order rs485ctl prints them, and the write
# option that sets each.
FIELDS = (
    ('baud', '--baud'),
    ('parity', '--parity'),
    ('data_bits', '--bits'),
    ('stop_bits', '--stop'),
    ('echo_suppression', '--echo'),
)

# Options shared by every module: which converter, and which rs485ctl.
CHOICE_OPTIONS = dict(
    port=dict(type='str'),
    serial=dict(type='str'),
    location=dict(type='str'),
    all=dict(type='bool', default=False),
    rs485ctl=dict(type='path'),
)


class Ctl:
    """rs485ctl of the managed host, run with --json in the module's own folder."""

    def __init__(self, module):
        self.module = module
        path = module.params.get('rs485ctl')
        self.path = os.path.abspath(path) if path else module.get_bin_path('rs485ctl', required=True)

    def run(self, args):
        """Runs rs485ctl; returns its exit code, the JSON objects it printed and its standard error."""
        # Its own folder: every run that opens a port appends a banner to
        # port.out in the working directory.
        rc, out, err = self.module.run_command([self.path, '--json'] + list(args), cwd=self.module.tmpdir)
        objects = []
        for line in out.splitlines():
            line = line.strip()
            if not line:
                continue
            try:
                value = json.loads(line)
            except ValueError:
                continue
            if isinstance(value, dict):
                objects.append(value)
        return rc, objects, err

    def fail(self, rc, objects, err, **extra):
        """Fails the task with rs485ctl's own message, reason and exit code."""
        msg, reason = failure_of(objects, err)
        self.module.fail_json(msg=msg or 'rs485ctl ended with exit code %d' % rc, reason=reason, rc=rc, **extra)


def failure_of(objects, err):
    """The first failure rs485ctl reported: its message and reason (None when it gave none)."""
    for obj in objects:
        if obj.get('error'):
            return obj['error'], obj.get('reason')
    # Refused arguments and plans are told on standard error only.
    lines = [line for line in err.splitlines() if line.strip()]
    return (lines[0] if lines else None), ('\n'.join(lines[1:]) or None)


def choice_args(params, with_all=True):
    """The global options that choose the converter, and --all for the command."""
    args = []
    for name in ('port', 'serial', 'location'):
        if params.get(name):
            args += ['--' + name, params[name]]
    return args, (['--all'] if with_all and params.get('all') else [])


def target_of(unit):
    """The options that choose one converter of --all again: by serial number and place, which
    follow it (and name it in the journal), else by its port."""
    if unit.get('serial') or unit.get('location'):
        return (['--serial', unit['serial']] if unit.get('serial') else []) + \
            (['--location', unit['location']] if unit.get('location') else [])
    return ['--port', unit['port']]


def results(objects):
    """The per-converter objects of a run: the one object alone, or the result lines of --all."""
    if len(objects) == 1 and 'event' not in objects[0]:
        return objects
    return [o for o in objects if o.get('event') in ('result', 'dry_run', 'audit')]


def field_text(field, value):
    """A setting as the write options and the dry run write it."""
    if field == 'echo_suppression' and isinstance(value, bool):
        return 'on' if value else 'off'
    return '' if value is None else str(value)


def field_value(field, text):
    """A setting the write options name, as rs485ctl's JSON gives it."""
    if field == 'echo_suppression':
        return text == 'on'
    if field == 'parity' or not text.isdigit():
        return text
    return int(text)


def settings_of(obj):
    """The settings of a read or write result."""
    return dict((field, obj[field]) for field, _ in FIELDS if field in obj)


def settings_text(settings):
    """Settings as lines of `field: value`, the form Ansible's diff shows."""
    return ''.join('%s: %s\n' % (field, field_text(field, settings[field])) for field, _ in FIELDS if field in settings)


def unit_of(obj):
    """Who a result is about."""
    return dict(port=obj.get('port'), serial=obj.get('serial'), location=obj.get('location'))
