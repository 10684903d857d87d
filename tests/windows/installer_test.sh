#!/usr/bin/env bash
# The Windows installer under Wine, silently (/S), in the suite's prefix: two
# runs leave one installation under Program Files with its Start-menu entry and
# one uninstall entry; the window started from the Start menu works in the
# user's Documents\rs485setup; the uninstaller leaves nothing; an installation
# elsewhere is upgraded there; nothing is installed or removed while a program
# runs.
#   installer_test.sh INSTALLER.exe VERSION
# (RS485_WINE_PREFIX, RS485_WINDOW_PROBE: window_probe.exe, RS485SIM: the Linux build's simulator)
set -euo pipefail
# xdotool matches the Cyrillic title only in a UTF-8 locale, whatever the caller's.
export LC_ALL=C.UTF-8
installer=$1 version=$2
run=$(realpath "$(dirname "$0")")/wine_run.sh
prefix=$RS485_WINE_PREFIX
dir="$prefix/drive_c/Program Files/rs485setup" tools="$prefix/drive_c/Tools/rs485setup"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/rs485setup.lnk"
keys='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
usb='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_16C0&PID_4E04' serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
work=$(mktemp -d /tmp/rs485-installer.XXXXXX)
cd "$work"  # where `start` starts a program
xvfb="" sim="" ctl="" docs=""
# Also what an earlier run that failed half-way left.
clean() { rm -rf "$dir" "$tools" "$menu" "$docs"; "$run" reg delete "$keys\\rs485setup" /f /reg:64 >/dev/null 2>&1 || true; }
finish() {
  set +e
  [ -n "$ctl" ] && kill "$ctl"
  probe close >/dev/null 2>&1
  clean
  "$run" reg delete "$usb" /f >/dev/null 2>&1
  "$run" reg delete "$serialcomm" /v '\Device\rs485installer' /f >/dev/null 2>&1
  rm -f "$prefix/dosdevices/com13"
  kill $sim $xvfb 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
fail() { echo "installer test FAILED: $*" >&2; exit 1; }
probe() { "$run" "$RS485_WINDOW_PROBE" "$@" | tr -d '\r'; }
winpath() { "$run" winepath "$@" | tr -d '\r'; }
entries() { "$run" reg query "$keys" /s /reg:64 | tr -d '\r'; }
installed() {  # FOLDER: the programs there, and one uninstall entry, naming it
  for file in rs485setup.exe rs485ctl.exe uninstall.exe; do [ -f "$1/$file" ] || fail "no $1/$file"; done
  [ "$(entries | grep -c 'DisplayName .*rs485setup$')" = 1 ] || fail "not one uninstall entry: $(entries)"
  entries | grep -qF "InstallLocation    REG_SZ    $(winpath -w "$1")" || fail "the entry names another folder"
}
gone() { for _ in $(seq 100); do [ -e "$1" ] || return 0; sleep 0.2; done; fail "$1 is still there: $(ls "$1")"; }
# Documents\rs485setup as the program names it, and as this script reaches it.
docs_win=$("$run" cmd /c 'echo %USERPROFILE%\Documents\rs485setup' | tr -d '\r')
docs=$(winpath -u "$docs_win")
[[ $docs == /*/rs485setup ]] || { docs=""; fail "no Documents folder"; }
clean

# Every Wine program on a display: the first one that has none leaves the
# wineserver's desktop without one, and no later window would be seen.
Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

"$run" "$installer" /S && "$run" "$installer" /S || fail "the installer ended with $?"
installed "$dir"
[ -f "$menu" ] || fail "no Start-menu entry $menu"
for field in "DisplayVersion    REG_SZ    $version" "Publisher    REG_SZ    rs485setup developers" \
  "DisplayIcon    REG_SZ    $(winpath -w "$dir/rs485setup.exe"),0" "EstimatedSize    REG_DWORD    0x"; do
  entries | grep -qF "$field" || fail "no \"$field\" in the uninstall entry"
done
echo "ok: installed under Program Files, once"

# From the Start menu the window starts in its own folder: it works in
# Documents\rs485setup, says so when trelvo.bin is not there, and sends the
# one put there to the simulated converter on COM13.
"$RS485SIM" --image "$work/image.bin" >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q . "$work/sim.out" && break; sleep 0.1; done
ln -sf "$(head -1 "$work/sim.out")" "$prefix/dosdevices/com13"
"$run" reg add "$serialcomm" /v '\Device\rs485installer' /t REG_SZ /d COM13 /f >/dev/null
"$run" reg add "$usb\\7&1A2B\\Device Parameters" /v PortName /t REG_SZ /d COM13 /f >/dev/null
"$run" start "$(winpath -w "$menu")"
probe wait-text 100 COM13 30000 click 103 message 10000 >"$work/missing" || fail "$(cat "$work/missing")"
grep -qF "Файл trelvo.bin не найден в папке $docs_win." "$work/missing" || fail "told: $(cat "$work/missing")"
[ -f "$docs/port.out" ] && [ ! -e "$dir/port.out" ] || fail "port.out not in $docs only"
head -c 544 /dev/urandom >"$docs/trelvo.bin"
[ "$(probe click 103 message 30000)" = "message=finished" ] || fail "the update did not finish"
cmp "$docs/trelvo.bin" "$work/image.bin" || fail "the converter holds another image"
probe quit 10000
echo "ok: from the Start menu it works in $docs_win"

"$run" "$dir/uninstall.exe" /S || fail "the uninstaller ended with $?"
gone "$dir"  # removed by a copy of the uninstaller, later
[ ! -e "$menu" ] && [ "$(entries | grep -c rs485setup)" = 0 ] || fail "the menu or uninstall entry is still there"
echo "ok: uninstalled"

"$run" "$installer" /S '/D=C:\Tools\rs485setup' && "$run" "$installer" /S || fail "the installer ended with $?"
installed "$tools"
[ ! -e "$dir" ] || fail "a second copy under Program Files"
echo "ok: upgraded in place"

# While either program runs the installer and the uninstaller (run in place,
# _?=, to tell its exit code) end with code 2 and change nothing.
refuses() {  # PROGRAM
  local code=0
  "$run" "$installer" /S || code=$?
  "$run" "$tools/uninstall.exe" /S '_?=C:\Tools\rs485setup' || code=$code,$?
  [ "$code" = 2,2 ] || fail "the installer, the uninstaller ended with $code while $1 runs"
  installed "$tools"
  echo "ok: refused while $1 runs"
}
"$run" start "$(winpath -w "$tools/rs485setup.exe")"
probe wait-text 100 COM13 30000
refuses rs485setup.exe
probe quit 10000
# An update whose converter takes minutes to come back; its log is written
# after it took the mutex.
mkdir ctl
(cd ctl && exec "$run" "$tools/rs485ctl.exe" --port STUB flash "Z:$docs/trelvo.bin" --settle-ms 600000) >/dev/null 2>&1 &
ctl=$!
for _ in $(seq 300); do [ -s ctl/port.out ] && break; sleep 0.1; done
refuses rs485ctl.exe
