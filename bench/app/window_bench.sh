#!/usr/bin/env bash
# The setup window's start-up time and idle cost, beside a bare Qt 6 window,
# on a private Xvfb display.
#   bench/app/window_bench.sh [BUILD_DIR] [STARTS] [BEFORE]
# Start-up: from the start of the process to the X server mapping its window,
# seen by xprobe from outside (median of STARTS, 7 by default, the programs
# starting in turns), and its ratio to the bare window's. Idle: CPU time
# of the window's process (all threads) over 10 s after it is shown, as a share
# of one core, and its threads' wake-ups per second. BEFORE, another build's
# rs485setup (an earlier version), is measured in the same turns, and this
# build's window gets its ratio to it.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath "${1:-$top/build}")"
starts="${2:-7}"
before="${3:+$(realpath "$3")}"
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

# The three programs, the bare window first: its numbers are the baseline.
labels=("bare Qt 6 window" "rs485setup, no converter" "rs485setup + converter in testbed")
titles=(bare "$setup" "$setup")
commands=("$build/bench/app/bare_window" "$build/app/rs485setup"
          "$build/sim/rs485sim --umockdev -- $build/app/rs485setup")
if [ -n "$before" ]; then
  labels+=("rs485setup of BEFORE, no converter")
  titles+=("$setup")
  commands+=("$before")
fi
programs=$(seq 0 $((${#commands[@]} - 1)))

# launch K [XPROBE OPTIONS]: starts program K under xprobe and prints its report.
launch() {
  local k="$1"
  shift
  # shellcheck disable=SC2086  # the command line is split into its words on purpose
  "$xprobe" launch "$@" "${titles[$k]}" -- ${commands[$k]} 2>/dev/null
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Start-up: they take turns, start by start, so that all see the same load.
times=("" "" "" "")
for _ in $(seq "$starts"); do
  for k in $programs; do
    times[k]+="$(launch "$k" | awk '/^shown_ms/ { print $2 }') "
  done
done

echo "start to window shown: median of $starts starts taken in turns; idle: 10 s after it is shown"
printf '%-36s %13s %8s %12s %12s\n' "" "to shown" "ratio" "idle CPU" "wake-ups/s"
bare=""
declare -A shownOf
for k in $programs; do
  shown="$(tr ' ' '\n' <<<"${times[k]}" | grep . | median)"
  shownOf[$k]="$shown"
  [ -z "$bare" ] && bare="$shown"
  run="$(launch "$k" --idle 10)"
  cpu="$(awk '/^idle_cpu_percent/ { print $2 }' <<<"$run")"
  wakeups="$(awk '/^wakeups_per_s/ { print $2 }' <<<"$run")"
  ratio="$(awk -v s="$shown" -v b="$bare" 'BEGIN { if (b > 0) printf "%.2f", s / b; else print "-" }')"
  printf '%-36s %10s ms %8s %10s %% %12s\n' "${labels[k]}" "$shown" "$ratio" "$cpu" "$wakeups"
done
if [ -n "$before" ]; then
  awk -v now="${shownOf[1]}" -v was="${shownOf[3]}" \
    'BEGIN { printf "this build against BEFORE, to shown: %.2f (goal at most 1.05)\n", now / was }'
fi
