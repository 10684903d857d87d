#!/usr/bin/env bash
# ./test --tsan: builds everything with ThreadSanitizer in build-tsan/ and runs
# the whole suite, the umockdev testbeds included. Reports inside third-party
# libraries are suppressed by tests/tsan.supp, ours are not.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS485_WERROR=ON -DRS485_TSAN=ON >/dev/null
cmake --build "$build"
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
