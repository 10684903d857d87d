#!/usr/bin/env bash
# ./test --fuzz SECONDS: builds the fuzz targets with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/ and runs each
# for SECONDS (default 60), starting from its seeds in tests/fuzz/corpus/NAME.
# New inputs collect in build-fuzz/corpus/NAME; an input that fails is kept as
# build-fuzz/artifacts/NAME-crash-… and makes the run fail (copy it into the
# seeds as a regression case once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=$PWD/build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DRS485_WERROR=ON -DRS485_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_targets
mkdir -p "$build/work" "$build/artifacts"

failed=0
for seeds in "$PWD"/tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  mkdir -p "$build/corpus/$name"
  # rs485ctl's refusals go to standard error on every run: that stream is closed.
  quiet=()
  [ "$name" = ctl_arguments ] && quiet=(-close_fd_mask=2)
  log=$build/fuzz_$name.log
  if (cd "$build/work" && "$build/tests/fuzz/fuzz_$name" "$build/corpus/$name" "$seeds" \
        -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "${quiet[@]}" \
        -artifact_prefix="$build/artifacts/$name-") >"$log" 2>&1; then
    echo "fuzz_$name: $(grep -o 'number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs" \
         "in ${seconds} s, corpus $(ls "$build/corpus/$name" | wc -l) inputs, no finding"
  else
    failed=$((failed + 1))
    tail -n 60 "$log"
    echo "fuzz_$name: FAILED (log $log)"
  fi
done
targets=$(ls -d tests/fuzz/corpus/*/ | wc -l)
echo "fuzz: $((targets - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
