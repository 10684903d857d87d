#!/usr/bin/env bash
# Goes through the demo on a private Xvfb display as a user would, and checks
# each step from outside: the window comes up; "Проверить связь" reads the
# settings from the simulated converter found as ttyACM0, with no message box;
# choosing parity "Even" and "Записать" writes exactly that record, followed by
# the closing one-byte write, and a message box ("OK") appears.
#
#   tests/demo/demo_check.sh [--shot FILE.png] [--xprobe PATH] [-- COMMAND...]
#
# COMMAND starts the demo with the simulator's frame log (-v) on standard
# error; by default "./run demo -v", which builds what it needs. --shot saves
# the window after the connection check. Exits 0 when every step held.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"

shot="" xprobe=""
while [ $# -gt 0 ]; do
  case "$1" in
    --shot) shot="$(realpath -m "$2")"; shift 2 ;;
    --xprobe) xprobe="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--shot FILE.png] [--xprobe PATH] [-- COMMAND...]" >&2; exit 2 ;;
  esac
done
command=("$@")
if [ ${#command[@]} -eq 0 ]; then command=("$top/run" demo -v); fi
if [ -z "$xprobe" ]; then
  cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$top/build" --target xprobe >/dev/null
  xprobe="$top/build/tests/demo/xprobe"
fi

command -v umockdev-wrapper >/dev/null || { echo "demo check skipped: umockdev-wrapper is not installed" >&2; exit 77; }
command -v Xvfb >/dev/null || { echo "demo check skipped: Xvfb is not installed" >&2; exit 77; }
title="Программа настройки"
work="$(mktemp -d)"
xvfb="" demo=""
finish() {
  local status=$?
  set +e
  [ -n "$demo" ] && kill "$demo" 2>/dev/null && wait "$demo" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap "exit 130" INT
trap "exit 143" TERM
fail() {
  if grep -q "cannot build the umockdev testbed" "$work/demo.log" 2>/dev/null; then
    echo "demo check skipped: umockdev cannot run here" >&2
    cat "$work/demo.log" >&2
    exit 77
  fi
  echo "demo check FAILED: $*" >&2
  echo "--- the demo's output:" >&2
  cat "$work/demo.log" >&2 || true
  exit 1
}
step() { echo "ok: $*"; }

. "$top/scripts/xvfb.sh"
rs485_start_xvfb "$work" || exit 1

cd "$work"
"${command[@]}" >"$work/demo.log" 2>&1 &
demo=$!

"$xprobe" wait "$title" 120000 || fail "no window titled \"$title\""
step "the window is shown"

# The window: "Проверить связь" at 288,32 (137 x 25).
"$xprobe" click "$title" 356 44
for _ in $(seq 50); do
  grep -q "tx 60 00 00 08 4E 80" "$work/demo.log" && break
  sleep 0.1
done
grep -q "rx 60 10 48 2C 02 00 00 00 00 00 06 F2  | read 6 at 0x000000" "$work/demo.log" ||
  fail "the connection check did not reach the converter (port not found, or not opened)"
grep -q "tx 60 00 00 08 4E 80" "$work/demo.log" || fail "the converter did not answer the settings read"
sleep 0.5
[ "$("$xprobe" count "$title")" = 1 ] || fail "a message box came up after the connection check"
step "the port was found and the connection check read 60 00 00 08 4E 80"
if [ -n "$shot" ]; then
  "$xprobe" shot "$shot" "$title"
  step "window saved to $shot"
fi

# Parity "Even": the second row of the list at 16,136 (rows 13 high) in the
# panel at 8,64; then "Записать" at 336,232 (75 x 25).
"$xprobe" click "$title" 40 157
"$xprobe" click "$title" 373 244
for _ in $(seq 50); do
  [ "$("$xprobe" count "$title")" = 2 ] && break
  sleep 0.1
done
# The write frame carries the record's first byte among its parameters and the
# other five in its data block.
grep -q "rx 60 10 40 3C 00 00 00 00 00 60 06 72 00 00 08 45 80 AB  | write 6 at 0x000000: stored" "$work/demo.log" ||
  fail "the settings write did not store 60 00 00 08 45 80"
grep -q "write 1 at 0x8FFFFF: stored" "$work/demo.log" || fail "no closing write to 0x8FFFFF"
[ "$("$xprobe" count "$title")" = 2 ] || fail "no message box after the write"
step "\"Записать\" stored 60 00 00 08 45 80 and a message box came up"
echo "demo check passed"
