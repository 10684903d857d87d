#!/usr/bin/env bash
# The Windows installer under Wine, silently (/S), in the suite's prefix:
# rs485setup.exe and rs485ctl.exe under Program Files with the uninstaller, the
# Start-menu entry and the uninstall entry in the registry; the installed window
# comes up on a private Xvfb display; the uninstaller removes it all.
#   installer_test.sh INSTALLER.exe     (RS485_WINE_PREFIX: the suite's prefix)
set -euo pipefail
# xdotool matches the Cyrillic title only in a UTF-8 locale, whatever the caller's.
export LC_ALL=C.UTF-8
installer=$1
run=$(realpath "$(dirname "$0")")/wine_run.sh
prefix=$RS485_WINE_PREFIX
dir="$prefix/drive_c/Program Files/rs485setup"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/rs485setup.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\rs485setup'
work=$(mktemp -d /tmp/rs485-installer.XXXXXX)
xvfb="" window=""
finish() {
  [ -n "$window" ] && kill "$window" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
fail() { echo "installer test FAILED: $*" >&2; exit 1; }

# Every Wine program on a display: the first one that has none leaves the
# wineserver's desktop without one, and no later window would be seen.
Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

"$run" "$installer" /S || fail "the installer ended with $?"
for file in rs485setup.exe rs485ctl.exe uninstall.exe; do [ -f "$dir/$file" ] || fail "no $dir/$file"; done
[ -f "$menu" ] || fail "no Start-menu entry $menu"
"$run" reg query "$key" /v UninstallString /reg:64 >/dev/null 2>&1 || fail "no uninstall entry $key"
echo "ok: installed"

(cd "$work" && exec "$run" "$dir/rs485setup.exe") >"$work/window.log" 2>&1 &
window=$!
timeout 60 xdotool search --sync --name "Программа настройки" >/dev/null ||
  { cat "$work/window.log" >&2; fail "the installed window did not come up"; }
echo "ok: the installed rs485setup.exe shows its window"
kill "$window"; wait "$window" 2>/dev/null || true; window=""

# The uninstaller hands over to a copy of itself and returns at once.
"$run" "$dir/uninstall.exe" /S || fail "the uninstaller ended with $?"
for _ in $(seq 100); do [ -e "$dir" ] || break; sleep 0.2; done
[ ! -e "$dir" ] || fail "$dir is still there: $(ls "$dir")"
[ ! -e "$menu" ] || fail "the Start-menu entry is still there"
if "$run" reg query "$key" /reg:64 >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi
echo "ok: uninstalled"
