# -*- coding: utf-8 -*-
# The options every module of the collection shares.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type


class ModuleDocFragment(object):

    # Which converters, and which rs485ctl.
    DOCUMENTATION = r'''
options:
  serial:
    description: The converter with this USB serial number.
    type: str
  location:
    description: The converter in this place on the bus (C(1-1.3) on Linux).
    type: str
  all:
    description:
      - Every converter plugged into the host (with I(serial) or I(location), every one that matches).
    type: bool
    default: false
  rs485ctl:
    description: The rs485ctl program to run; by default the one found on the PATH.
    type: path
requirements:
  - rs485ctl (package rs485setup) on the managed host
'''

    # Which rs485ctl alone.
    PROGRAM = r'''
options:
  rs485ctl:
    description: The rs485ctl program to run; by default the one found on the PATH.
    type: path
requirements:
  - rs485ctl (package rs485setup) on the managed host
'''
