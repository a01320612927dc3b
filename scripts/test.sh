#!/usr/bin/env bash
# Builds the kib Updater and runs the whole test suite three times: as built, under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}
run_suite() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@")
}

echo "== build and test"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DKIB_SANITIZE=address,undefined -DKIB_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_suite build-asan

echo "== ThreadSanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DKIB_SANITIZE=thread -DKIB_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan

echo "== Valgrind memcheck: the whole suite of the plain build, with the programs it starts"
scripts/memcheck.sh

echo "== Fuzzing: a short run of every libFuzzer target (scripts/fuzz.sh RUNS for a longer one)"
scripts/fuzz.sh 100000

# ---- The Windows program: cross-compiled with mingw-w64 and tested under Wine (docs/building.md).
echo "== The Windows program, under Wine"
scripts/test-windows.sh
