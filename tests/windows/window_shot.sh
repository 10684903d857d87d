#!/usr/bin/env bash
# The picture of rs485setup.exe under Wine for the README: the window after a
# successful connection check with the simulated converter, which rs485sim
# serves on a pseudo-terminal linked to COM11 of the Windows build's prefix and
# found through the registry keys written here. Builds what it needs.
# With --station: the station after an update and a profile were sent to three
# simulated converters (COM31 to COM33, by hub place), the third refusing the
# profile.
#   tests/windows/window_shot.sh [FILE.png]            (default docs/window-windows.png)
#   tests/windows/window_shot.sh --station [FILE.png]  (default docs/station-windows.png)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
station="" picture=window-windows.png
if [ "${1:-}" = "--station" ]; then station=1 picture=station-windows.png; shift; fi
shot=$(realpath -m "${1:-$top/docs/$picture}")
prefix=$top/build-win/wine-prefix
export RS485_WINE_PREFIX=$prefix
run=$top/tests/windows/wine_run.sh
usb='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_16C0&PID_4E04'
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'

cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target rs485sim xprobe >/dev/null
cmake -S "$top" -B "$top/build-win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build-win" --target rs485setup rs485ctl window_probe >/dev/null

work=$(mktemp -d /tmp/rs485-shot.XXXXXX)
sims="" xvfb="" window=""
probe=$top/build-win/tests/windows/window_probe.exe
finish() {
  set +e
  [ -n "$window" ] && [ -n "$station" ] && "$run" "$probe" click 310 station "start=1 stop=0 choices=1 good=Успешно: 2 failed=С ошибкой: 1" \
    30000 >/dev/null 2>&1
  [ -n "$window" ] && "$run" "$probe" close >/dev/null 2>&1
  [ -n "$window" ] && wait "$window" 2>/dev/null
  "$run" reg delete "$usb" /f >/dev/null 2>&1
  for n in 11 31 32 33; do "$run" reg delete "$serialcomm" /v "\\Device\\rs485shot$n" /f >/dev/null 2>&1; done
  rm -f "$prefix/dosdevices/com11" "$prefix"/dosdevices/com3[123]
  "$top/tests/windows/wine_bed.sh" stop "$prefix"
  for pid in $sims; do kill "$pid" 2>/dev/null; done
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
"$top/tests/windows/wine_bed.sh" start "$prefix"

# A simulated converter on COMn, planted in the registry as Windows lists one:
# plant N INSTANCE [PLACE [SIMULATOR OPTION...]]
plant() {
  local n=$1 instance=$2 place=${3:-}
  shift 3 || shift $#
  "$top/build/sim/rs485sim" "$@" >"$work/sim$n.out" 2>&1 &
  sims="$sims $!"
  for _ in $(seq 50); do grep -q . "$work/sim$n.out" && break; sleep 0.1; done
  ln -sf "$(head -1 "$work/sim$n.out")" "$prefix/dosdevices/com$n"
  "$run" reg add "$serialcomm" /v "\\Device\\rs485shot$n" /t REG_SZ /d "COM$n" /f >/dev/null
  "$run" reg add "$usb\\$instance\\Device Parameters" /v PortName /t REG_SZ /d "COM$n" /f >/dev/null
  [ -z "$place" ] || "$run" reg add "$usb\\$instance" /v LocationInformation /t REG_SZ /d "$place" /f >/dev/null
}

if [ -z "$station" ]; then
  plant 11 '7&5E6F'
  (cd "$work" && exec "$run" "$top/build-win/app/rs485setup.exe") >"$work/window.log" 2>&1 &
  window=$!
  "$run" "$probe" wait-text 100 COM11 30000 click 101 wait-text 104 9600 10000
  title="Программа настройки"
else
  plant 31 ST1 Port_#0002.Hub_#0001
  plant 32 ST2 Port_#0001.Hub_#0001
  plant 33 ST3 Port_#0003.Hub_#0001 --refuse-writes
  echo '{"baud": 19200, "parity": "even", "echo_suppression": false}' >"$work/cabinet.json"
  python3 -c 'import sys; sys.stdout.buffer.write(bytes(k * 7 % 256 for k in range(272 * 12)))' >"$work/fw-2.3.bin"
  (cd "$work" && exec "$run" "$top/build-win/app/rs485setup.exe" --station --flash fw-2.3.bin --from cabinet.json) \
    >"$work/window.log" 2>&1 &
  window=$!
  "$run" "$probe" station "start=0 stop=1 choices=0 good=Успешно: 2 failed=С ошибкой: 1" 90000 rows 3 10000 >/dev/null
  title="Станция"
fi
sleep 0.5
"$top/build/tests/demo/xprobe" shot "$shot" "$title"
echo "window saved to $shot"
