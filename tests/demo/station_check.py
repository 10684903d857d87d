#!/usr/bin/python3
"""The station on a real X server, read through the accessibility bus.

rs485setup --station updates three simulated converters (rs485sim
--converters, in a umockdev testbed) on a private Xvfb display, with Qt's
accessibility bridge on a private session bus. Read as a screen reader reads
it, the slot list is a table of text. A window manager's close request
(WM_DELETE_WINDOW) in the middle of the updates asks first; "Да" stops the
run, and the window ends by itself once every converter is out of its update
mode, with no worker left behind. With --shot FILE.png, the run is left to
end instead, and the station's picture is saved.

    dbus-run-session -- tests/demo/station_check.py --xprobe X --sim RS485SIM --setup RS485SETUP [--shot FILE]

Exits 0 when every step held, 77 when something it needs is missing.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# Qt adds the application's name to the window's own title.
TITLE = "Станция \u2014 Программа настройки"


def skip(why):
    print(f"station check skipped: {why}", file=sys.stderr)
    sys.exit(77)


def until(what, seconds, poll=0.1):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = what()
        if value:
            return value
        time.sleep(poll)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--xprobe", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--setup", required=True)
    parser.add_argument("--shot")
    args = parser.parse_args()
    for tool in ("umockdev-wrapper", "Xvfb"):
        if shutil.which(tool) is None:
            skip(f"{tool} is not installed")
    launcher = "/usr/libexec/at-spi-bus-launcher"
    if not os.path.exists(launcher) or "DBUS_SESSION_BUS_ADDRESS" not in os.environ:
        skip("no accessibility bus (at-spi2-core, dbus-run-session)")
    try:
        import pyatspi  # noqa: F401 (python3-pyatspi)
    except ImportError:
        skip("python3-pyatspi is not installed")

    work = tempfile.mkdtemp()
    started = []
    failures = []

    def fail(text):
        failures.append(text)
        raise SystemExit(1)

    try:
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.PIPE, stderr=open(os.path.join(work, "xvfb.log"), "w"))
        started.append(xvfb)
        display = xvfb.stdout.readline().decode().strip()
        if not display:
            fail("Xvfb did not start")
        env = dict(os.environ, DISPLAY=":" + display, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("WAYLAND_DISPLAY", None)
        os.environ.update(DISPLAY=env["DISPLAY"])
        started.append(subprocess.Popen([launcher, "--launch-immediately"], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        import pyatspi
        # For the close, a long image on converters that answer 80 ms late: each
        # update lasts seconds, every record acknowledged well inside the
        # utility's wait for it.
        records = 4 if args.shot else 200
        with open(os.path.join(work, "fw.bin"), "wb") as image:
            image.write(bytes((i * 7 + 1) & 0xFF for i in range(272 * records)))
        slow = [] if args.shot else ["--delay", "80"]
        log = open(os.path.join(work, "sim.log"), "w")
        station = subprocess.Popen([args.sim, "-v", "--converters", "3", *slow, "--umockdev", "--", args.setup,
                                    "--station", "--flash", "fw.bin", "--json-log", "station.jsonl"],
                                   cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT)
        started.append(station)
        if subprocess.run([args.xprobe, "wait", TITLE, "60000"], env=env).returncode != 0:
            fail("no window titled Станция")

        def find(root, role, name=None):
            return pyatspi.findDescendant(root, lambda a: a.getRole() == role and
                                          (name is None or a.name == name), True) if root else None

        def application():
            desktop = pyatspi.Registry.getDesktop(0)
            for app in desktop:
                if app is not None and app.name == "rs485setup":
                    return app
            return None

        table = until(lambda: find(application(), pyatspi.ROLE_TABLE, "Преобразователи"), 30)
        if table is None:
            fail("no table named Преобразователи on the accessibility bus")
        cells = table.queryTable()
        headers = [cells.getColumnDescription(c) or cells.getColumnHeader(c).name for c in range(cells.nColumns)]
        if headers != ["Серийный номер", "Место", "Шаг", "Записи", "Результат"]:
            fail(f"the table's columns are {headers}")

        def rows():
            t = table.queryTable()
            return [[t.getAccessibleAt(r, c).name for c in range(t.nColumns)] for r in range(t.nRows)]

        if args.shot:
            done = until(lambda: len(rows()) == 3 and all(r[4] == "ОК" for r in rows()), 120, 0.3)
            if not done:
                fail(f"the run did not end with every slot ОК: {rows()}")
            time.sleep(0.5)  # the last paint
            subprocess.run([args.xprobe, "shot", args.shot, TITLE], env=env, check=True)
            print("ok: the station's picture is saved")
            subprocess.run([args.xprobe, "close", TITLE], env=env, check=True)
            if until(lambda: station.poll() is not None, 30) is None:
                fail("the idle station did not close")
            return

        def under_way(row):
            sent = re.fullmatch(r"(\d+) из (\d+)", row[3])
            return sent is not None and int(sent[1]) < int(sent[2])

        mid = until(lambda: len(rows()) == 3 and all(under_way(r) for r in rows()), 90, 0.2)
        if not mid:
            fail(f"the three updates were not seen under way: {rows()}")
        print("ok: three slots by place, read as text:", [r[:2] for r in rows()])
        if [r[1] for r in rows()] != ["1-1.1", "1-1.2", "1-1.3"]:
            fail(f"slots out of place order: {rows()}")

        # On a loaded machine a synthetic close request was seen lost now and
        # then (no question, the run going on): asked again every few seconds,
        # as a user would click again, while the window stays open.
        def asked():
            if station.poll() is None and time.monotonic() >= asked.next:
                subprocess.run([args.xprobe, "close", TITLE], env=env, check=True)
                asked.next = time.monotonic() + 3
            return find(application(), pyatspi.ROLE_PUSH_BUTTON, "Да")
        asked.next = 0
        question = until(asked, 30)
        if question is None:
            fail("the close request did not ask")
        if station.poll() is not None:
            fail("the window closed without asking")
        print("ok: the close request asks first")
        actions = question.queryAction()
        actions.doAction(0)
        code = until(lambda: station.poll() is not None and station.returncode + 1000, 90)
        if code is None:
            fail("the station did not end after the stop")
        if station.returncode != 0:
            fail(f"rs485setup ended with {station.returncode}")
        log.flush()
        text = open(os.path.join(work, "sim.log")).read()
        on, off = text.count("update mode on"), text.count("update mode off")
        if on == 0 or off < on:
            fail(f"a converter was left in the update mode (on {on}, off {off})")
        results = [json.loads(line) for line in open(os.path.join(work, "station.jsonl"))]
        if [r.get("result") for r in results[:-1]] != ["interrupted"] * 3 or results[-1]["event"] != "summary":
            fail(f"the JSON log says {results}")
        def program(pid):
            try:
                return os.readlink(f"/proc/{pid}/exe")
            except OSError:
                return ""

        worker = os.path.join(os.path.dirname(os.path.realpath(args.setup)), "rs485ctl")
        workers = [p for p in os.listdir("/proc") if p.isdigit() and program(p) == worker]
        if workers:
            fail(f"workers left behind: {workers}")
        print("ok: stopped, every converter out of its update mode, no worker left, the window closed")
    except SystemExit:
        pass
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
        if failures:
            print("station check FAILED:", failures[0], file=sys.stderr)
            for name in ("xvfb.log", "sim.log"):
                try:
                    sys.stderr.write(f"--- {name}\n" + open(os.path.join(work, name)).read()[-3000:])
                except OSError:
                    pass
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
