#!/usr/bin/env bash
# The picture of rs485setup.exe under Wine for the README: the window after a
# successful connection check with the simulated converter, which rs485sim
# serves on a pseudo-terminal linked to COM11 of the Windows build's prefix and
# found through the registry keys written here. Builds what it needs.
#   tests/windows/window_shot.sh [FILE.png]    (default docs/window-windows.png)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
shot=$(realpath -m "${1:-$top/docs/window-windows.png}")
prefix=$top/build-win/wine-prefix
export RS485_WINE_PREFIX=$prefix
run=$top/tests/windows/wine_run.sh
usb='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_16C0&PID_4E04'
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'

cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target rs485sim xprobe >/dev/null
cmake -S "$top" -B "$top/build-win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build-win" --target rs485setup window_probe >/dev/null

work=$(mktemp -d /tmp/rs485-shot.XXXXXX)
sim="" xvfb="" window=""
finish() {
  set +e
  [ -n "$window" ] && "$run" "$top/build-win/tests/windows/window_probe.exe" close >/dev/null 2>&1
  [ -n "$window" ] && wait "$window" 2>/dev/null
  "$run" reg delete "$usb" /f >/dev/null 2>&1
  "$run" reg delete "$serialcomm" /v '\Device\rs485shot' /f >/dev/null 2>&1
  rm -f "$prefix/dosdevices/com11"
  "$top/tests/windows/wine_bed.sh" stop "$prefix"
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
"$top/tests/windows/wine_bed.sh" start "$prefix"

"$top/build/sim/rs485sim" >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q . "$work/sim.out" && break; sleep 0.1; done
ln -sf "$(head -1 "$work/sim.out")" "$prefix/dosdevices/com11"
"$run" reg add "$serialcomm" /v '\Device\rs485shot' /t REG_SZ /d COM11 /f >/dev/null
"$run" reg add "$usb\\7&5E6F\\Device Parameters" /v PortName /t REG_SZ /d COM11 /f >/dev/null

(cd "$work" && exec "$run" "$top/build-win/app/rs485setup.exe") >"$work/window.log" 2>&1 &
window=$!
"$run" "$top/build-win/tests/windows/window_probe.exe" wait-text 100 COM11 30000 click 101 wait-text 104 9600 10000
sleep 0.5
"$top/build/tests/demo/xprobe" shot "$shot" "Программа настройки"
echo "window saved to $shot"
