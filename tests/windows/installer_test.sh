#!/usr/bin/env bash
# The Windows installer under Wine, silently (/S), in the suite's prefix:
# rs485setup.exe and rs485ctl.exe under Program Files with the uninstaller, the
# Start-menu entry and the uninstall entry in the registry; a second run leaves
# one installation; the window started from the Start menu works in the user's
# Documents\rs485setup (its port.out there, trelvo.bin found there and sent to
# the simulated converter); an installation elsewhere is upgraded in its own
# folder; neither the installer nor the uninstaller touches a running program;
# the uninstaller removes it all.
#   installer_test.sh INSTALLER.exe VERSION
# (RS485_WINE_PREFIX: the suite's prefix; RS485_WINDOW_PROBE: window_probe.exe;
# RS485SIM: the simulator of the Linux build)
set -euo pipefail
# xdotool matches the Cyrillic title only in a UTF-8 locale, whatever the caller's.
export LC_ALL=C.UTF-8
installer=$1 version=$2
run=$(realpath "$(dirname "$0")")/wine_run.sh
probe() { "$run" "$RS485_WINDOW_PROBE" "$@" | tr -d '\r'; }
prefix=$RS485_WINE_PREFIX
dir="$prefix/drive_c/Program Files/rs485setup"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/rs485setup.lnk"
uninstall_keys='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
key="$uninstall_keys\\rs485setup"
usb='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_16C0&PID_4E04'
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
work=$(mktemp -d /tmp/rs485-installer.XXXXXX)
cd "$work"  # where a program started by `start` begins
xvfb="" sim="" ctl="" docs=""
tools="$prefix/drive_c/Tools/rs485setup"
# What an earlier run that failed half-way may have left.
clean() {
  rm -rf "$dir" "$tools" "$menu"
  "$run" reg delete "$key" /f /reg:64 >/dev/null 2>&1 || true
}
finish() {
  set +e
  clean
  [ -n "$ctl" ] && kill "$ctl" 2>/dev/null
  probe close >/dev/null 2>&1
  "$run" reg delete "$usb" /f >/dev/null 2>&1
  "$run" reg delete "$serialcomm" /v '\Device\rs485installer' /f >/dev/null 2>&1
  rm -f "$prefix/dosdevices/com13"
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work" "$docs"
}
trap finish EXIT
fail() { echo "installer test FAILED: $*" >&2; exit 1; }
entries() { "$run" reg query "$uninstall_keys" /s /reg:64 | tr -d '\r' | grep -c 'DisplayName.*REG_SZ *rs485setup$' || true; }
value() { "$run" reg query "$key" /v "$1" /reg:64 | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
installed() {  # FOLDER: the programs and the uninstaller in FOLDER, one uninstall entry naming it
  for file in rs485setup.exe rs485ctl.exe uninstall.exe; do [ -f "$1/$file" ] || fail "no $1/$file"; done
  [ "$(entries)" = 1 ] || fail "$(entries) uninstall entries"
  [ "$(value InstallLocation)" = "$(winpath "$1")" ] || fail "the entry names $(value InstallLocation)"
}
winpath() { "$run" winepath -w "$1" | tr -d '\r'; }
# Documents\rs485setup as the program finds it, and as this script reaches it.
docs_win=$("$run" cmd /c 'echo %USERPROFILE%\Documents\rs485setup' | tr -d '\r')
documents=$("$run" winepath -u "$docs_win" | tr -d '\r')
[[ $documents == /*/rs485setup ]] || fail "Documents\\rs485setup is $documents"
docs=$documents
rm -rf "$docs"

clean

# Every Wine program on a display: the first one that has none leaves the
# wineserver's desktop without one, and no later window would be seen.
Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

# Per machine under Program Files; a second silent run leaves one installation.
"$run" "$installer" /S || fail "the installer ended with $?"
"$run" "$installer" /S || fail "the second run ended with $?"
installed "$dir"
[ -f "$menu" ] || fail "no Start-menu entry $menu"
[ "$(value DisplayVersion)" = "$version" ] || fail "DisplayVersion $(value DisplayVersion)"
[ "$(value Publisher)" = "rs485setup developers" ] || fail "Publisher $(value Publisher)"
[ "$(value DisplayIcon)" = "$(winpath "$dir/rs485setup.exe"),0" ] || fail "DisplayIcon $(value DisplayIcon)"
[ $(($(value EstimatedSize))) -gt 0 ] || fail "EstimatedSize $(value EstimatedSize)"
echo "ok: installed under Program Files, once"

# From the Start menu the window starts in its own folder: it works in
# Documents\rs485setup, says so when trelvo.bin is not there, and sends the
# one found there to the simulated converter on COM13.
"$RS485SIM" --image "$work/image.bin" >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q . "$work/sim.out" && break; sleep 0.1; done
ln -sf "$(head -1 "$work/sim.out")" "$prefix/dosdevices/com13"
"$run" reg add "$serialcomm" /v '\Device\rs485installer' /t REG_SZ /d COM13 /f >/dev/null
"$run" reg add "$usb\\7&1A2B\\Device Parameters" /v PortName /t REG_SZ /d COM13 /f >/dev/null
"$run" start "$(winpath "$menu")"
probe wait-text 100 COM13 30000 click 103 message 10000 >"$work/missing" ||
  fail "no message for a missing trelvo.bin: $(cat "$work/missing")"
grep -qF "Файл trelvo.bin не найден в папке $docs_win." "$work/missing" ||
  fail "the message names another folder: $(cat "$work/missing")"
[ -f "$docs/port.out" ] || fail "no $docs/port.out"
[ ! -e "$dir/port.out" ] || fail "port.out written under Program Files"
head -c 544 /dev/urandom >"$docs/trelvo.bin"
[ "$(probe click 103 message 30000)" = "message=finished" ] || fail "the update did not finish"
cmp "$docs/trelvo.bin" "$work/image.bin" || fail "the converter holds another image"
probe quit 10000
echo "ok: from the Start menu it works in $docs_win"

# The uninstaller leaves nothing behind, the folder included.
"$run" "$dir/uninstall.exe" /S || fail "the uninstaller ended with $?"
for _ in $(seq 100); do [ -e "$dir" ] || break; sleep 0.2; done  # done by a copy of it, later
[ ! -e "$dir" ] || fail "$dir is still there: $(ls "$dir")"
[ ! -e "$menu" ] || fail "the Start-menu entry is still there"
[ "$(entries)" = 0 ] || fail "the uninstall entry is still there"
echo "ok: uninstalled"

# An installation in another folder is upgraded there.
"$run" "$installer" /S '/D=C:\Tools\rs485setup' || fail "the installer ended with $?"
"$run" "$installer" /S || fail "the upgrade ended with $?"
installed "$tools"
[ ! -e "$dir" ] || fail "a second copy under Program Files"
echo "ok: upgraded in place"

# Neither the installer nor the uninstaller (run in place, _?=, to tell its
# exit code) goes on while either program runs, and both refuse with code 2.
refuses() {  # WHAT
  local code=0
  "$run" "$installer" /S || code=$?
  [ "$code" = 2 ] || fail "the installer ended with $code while $1 runs"
  code=0
  "$run" "$tools/uninstall.exe" /S '_?=C:\Tools\rs485setup' || code=$?
  [ "$code" = 2 ] || fail "the uninstaller ended with $code while $1 runs"
  installed "$tools"
  echo "ok: refused while $1 runs"
}
"$run" start "$(winpath "$tools/rs485setup.exe")"
probe wait-text 100 COM13 30000
refuses rs485setup.exe
probe quit 10000
# A flash whose converter needs long to come back: it runs for minutes, and
# has written its log (after taking the mutex) when it runs.
mkdir "$work/ctl"
(cd "$work/ctl" && exec "$run" "$tools/rs485ctl.exe" --port STUB flash "Z:$docs/trelvo.bin" --settle-ms 600000) \
  >/dev/null 2>&1 &
ctl=$!
for _ in $(seq 300); do [ -s "$work/ctl/port.out" ] && break; sleep 0.1; done
[ -s "$work/ctl/port.out" ] || fail "rs485ctl.exe did not start"
refuses rs485ctl.exe
kill "$ctl"; wait "$ctl" 2>/dev/null || true; ctl=""

"$run" "$tools/uninstall.exe" /S || fail "the uninstaller ended with $?"
for _ in $(seq 100); do [ -e "$tools" ] || break; sleep 0.2; done
[ ! -e "$tools" ] || fail "$tools is still there: $(ls "$tools")"
echo "ok: uninstalled from $(winpath "$tools")"
