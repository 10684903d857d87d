#!/usr/bin/env bash
# The setup window's start-up time and idle cost, beside a bare Qt 6 window,
# on a private Xvfb display.
#   bench/app/window_bench.sh [BUILD_DIR] [STARTS]
# Start-up: from the start of the process to the X server mapping its window,
# seen by xprobe from outside (median of STARTS, 7 by default). Idle: CPU time
# of the window's process (all threads) over 10 s after it is shown, as a share
# of one core, and its threads' wake-ups per second.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath "${1:-$top/build}")"
starts="${2:-7}"
cmake --build "$build" --target bare_window xprobe rs485setup rs485sim >/dev/null
xprobe="$build/tests/demo/xprobe"
setup="Программа настройки"

work="$(mktemp -d)"
xvfb=""
finish() {
  local status=$?
  set +e
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap "exit 130" INT
trap "exit 143" TERM
. "$top/scripts/xvfb.sh"
rs485_start_xvfb "$work" || exit 1
cd "$work"  # port.out goes here

# measure LABEL TITLE PROGRAM [ARGS]
measure() {
  local label="$1" title="$2" times=() run shown cpu wakeups
  shift 2
  for _ in $(seq "$starts"); do
    run="$("$xprobe" launch "$title" -- "$@" 2>/dev/null)"
    times+=("$(awk '/^shown_ms/ { print $2 }' <<<"$run")")
  done
  shown="$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
  run="$("$xprobe" launch --idle 10 "$title" -- "$@" 2>/dev/null)"
  cpu="$(awk '/^idle_cpu_percent/ { print $2 }' <<<"$run")"
  wakeups="$(awk '/^wakeups_per_s/ { print $2 }' <<<"$run")"
  printf '%-36s %10s ms %10s %% %12s\n' "$label" "$shown" "$cpu" "$wakeups"
}

echo "start to window shown: median of $starts starts; idle: 10 s after it is shown"
printf '%-36s %13s %12s %12s\n' "" "to shown" "idle CPU" "wake-ups/s"
measure "bare Qt 6 window" bare "$build/bench/app/bare_window"
measure "rs485setup, no converter" "$setup" "$build/app/rs485setup"
measure "rs485setup + converter in testbed" "$setup" "$build/sim/rs485sim" --umockdev -- "$build/app/rs485setup"
