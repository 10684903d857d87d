#!/usr/bin/env python3
"""Playbooks of the rs485setup.converter collection against simulated converters.

    playbook_test.py hosts|testbed|sanity SOURCE_DIR RS485CTL RS485SIM WORK_DIR

Ansible's state (its home, temporary files, the journal) stays in WORK_DIR.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

CASE, SOURCE, CTL, SIM, WORK = sys.argv[1:6]
COLLECTIONS = os.path.join(SOURCE, 'ansible')
HERE = os.path.dirname(os.path.abspath(__file__))


def environment():
    home = os.path.join(WORK, 'home')
    env = dict(os.environ, HOME=home, ANSIBLE_HOME=os.path.join(home, '.ansible'),
               ANSIBLE_LOCAL_TEMP=os.path.join(WORK, 'tmp'), ANSIBLE_REMOTE_TEMP=os.path.join(WORK, 'tmp'),
               ANSIBLE_COLLECTIONS_PATH=COLLECTIONS, ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0',
               ANSIBLE_PYTHON_INTERPRETER='/usr/bin/python3', XDG_STATE_HOME=os.path.join(WORK, 'state'))
    env.pop('ANSIBLE_CONFIG', None)
    return env


def fail(text):
    print('FAIL: ' + text)
    sys.exit(1)


def playbook(name, *args, prefix=()):
    """Runs a playbook; returns its output and the recap per host: (changed, failed)."""
    command = list(prefix) + ['ansible-playbook', '-i', os.path.join(WORK, 'inventory.yml'),
                              os.path.join(HERE, name), '-e', 'rs485ctl=' + CTL] + list(args)
    run = subprocess.run(command, env=environment(), cwd=WORK, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=300)
    print(run.stdout)
    recap = dict((m.group(1), (int(m.group(2)), int(m.group(3)))) for m in re.finditer(
        r'^(\S+)\s*:\s*ok=\d+\s+changed=(\d+)\s+unreachable=\d+\s+failed=(\d+)', run.stdout, re.M))
    return run.returncode, run.stdout, recap


def start_simulator(*options):
    """rs485sim on a pseudo-terminal; returns the process and its port."""
    sim = subprocess.Popen([SIM] + list(options), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = sim.stdout.readline().strip()
    if not line.startswith('/dev/'):
        fail('rs485sim printed %r' % line)
    return sim, line


def case_hosts():
    """Two gateways, each with its own converter, and one whose converter refuses writes."""
    sims = []
    try:
        ports = {}
        for host, options in (('gw1', ()), ('gw2', ()), ('gw3', ('--refuse-writes',))):
            sim, ports[host] = start_simulator(*options)
            sims.append(sim)
        with open(os.path.join(WORK, 'inventory.yml'), 'w') as inventory:
            inventory.write('all:\n  vars: {ansible_connection: local}\n  children:\n'
                            '    gateways:\n      hosts:\n'
                            '        gw1: {converter_port: %s}\n        gw2: {converter_port: %s}\n'
                            '    refusing:\n      hosts:\n        gw3: {converter_port: %s}\n'
                            % (ports['gw1'], ports['gw2'], ports['gw3']))

        want = ['-e', 'baud=19200', '-e', 'parity=even']
        # (what, extra arguments, exit code, changed per gateway, text the output must hold)
        steps = (
            ('first run', want, 0, 1, None),
            ('second run', want, 0, 0, None),
            ('check mode', ['--check', '--diff', '-e', 'baud=38400', '-e', 'parity=odd'], 0, 1,
             '-baud: 19200\n-parity: even\n+baud: 38400\n+parity: odd'),
        )
        for what, args, code, changed, text in steps:
            rc, out, recap = playbook('settings.yml', *args)
            if rc != code or any(recap.get(h) != (changed, 0) for h in ('gw1', 'gw2')):
                fail('%s: exit code %d, recap %s' % (what, rc, recap))
            if text and out.count(text) != 2:
                fail('%s: the diff of each gateway lacks %r' % (what, text))
        # Check mode changed nothing; converter_info reads what the first run wrote.
        if playbook('info.yml', *want)[0] != 0:
            fail('converter_info does not find the settings of the first run')
        if playbook('refused.yml')[0] != 0:
            fail('a refused write is not failed with rs485ctl\'s message, reason and exit code')
    finally:
        for sim in sims:
            sim.terminate()
            sim.wait(timeout=10)


def case_testbed():
    """Two converters with serial numbers in a umockdev testbed: a plan, the inventory, an image;
    and a testbed without a converter."""
    image = os.path.join(WORK, 'fw.bin')
    with open(image, 'wb') as f:
        f.write(bytes(range(256)) * 4)
    with open(image, 'rb') as f:
        sha256 = hashlib.sha256(f.read()).hexdigest()
    plan = os.path.join(WORK, 'plan.csv')
    with open(plan, 'w') as f:
        f.write('serial,baud\nSIM0001,19200\n')
    with open(os.path.join(WORK, 'inventory.yml'), 'w') as inventory:
        inventory.write('all:\n  hosts:\n    localhost: {ansible_connection: local}\n')
    rc = playbook('testbed.yml', '-e', 'plan=' + plan, '-e', 'image=' + image, '-e', 'image_sha256=' + sha256,
                  '-e', 'other_sha256=' + '0' * 64,
                  '-e', 'firmware_journal=' + os.path.join(WORK, 'firmware.jsonl'), prefix=(SIM, '--converters', '2', '--umockdev', '--'))[0]
    if rc != 0:
        fail('testbed playbook: exit code %d' % rc)
    # An empty testbed: this computer's own converters out of sight.
    if playbook('none.yml', prefix=('umockdev-wrapper',))[0] != 0:
        fail('converter_info fails on a host without a converter')


def case_sanity():
    """ansible-test's offline sanity tests, on a copy: it writes its results beside the collection."""
    root = os.path.join(WORK, 'sanity')
    tree = os.path.join(root, 'ansible_collections', 'rs485setup', 'converter')
    shutil.copytree(os.path.join(COLLECTIONS, 'ansible_collections', 'rs485setup', 'converter'), tree,
                    ignore=shutil.ignore_patterns('__pycache__', 'output'))
    # Inside the checkout, ansible-test would take git's list, which leaves
    # the build tree out: a repository of its own makes it take every file.
    subprocess.run(['git', 'init', '-q', root], check=True)
    # The Python that runs ansible-test, not whichever runs this script.
    with open(shutil.which('ansible-test')) as script:
        python = script.readline()[2:].strip()
    version = subprocess.run([python, '-c', 'import sys; print("%d.%d" % sys.version_info[:2])'],
                             stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    # These install packages from the Python package index.
    online = ('ansible-doc', 'import', 'pep8', 'pylint', 'runtime-metadata', 'validate-modules', 'yamllint')
    command = ['ansible-test', 'sanity', '--local', '--python', version]
    for test in online:
        command += ['--skip-test', test]
    started = time.monotonic()
    run = subprocess.run(command, env=environment(), cwd=tree, timeout=600)
    print('ansible-test sanity: %.0f s' % (time.monotonic() - started))
    if run.returncode != 0:
        fail('ansible-test sanity: exit code %d' % run.returncode)


shutil.rmtree(WORK, ignore_errors=True)
for folder in ('tmp', 'home/.ansible'):
    os.makedirs(os.path.join(WORK, folder))
dict(hosts=case_hosts, testbed=case_testbed, sanity=case_sanity)[CASE]()
print('ok')
