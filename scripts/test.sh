#!/usr/bin/env bash
# Builds the kib Updater and runs the whole test suite three times: as built, under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# Each configuration is a preset of CMakePresets.json (its folder, options and, for the
# sanitizers, the run-time options the tests run with).
jobs=$(nproc)
# Each stage says when it starts, so a slow one shows in the log.
stage() { echo "== $* (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }
build_and_test() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
}

stage "build and test"
cmake --preset plain >/dev/null
cmake --build --preset plain -j"$jobs"
# The Windows program's libraries and build take minutes of processor time that the test runs
# below mostly leave idle (their tests wait on servers and processes): built meanwhile, at a
# lower priority. The Wine stage builds again whatever this did not finish.
mkdir -p build-win
nice -n 10 scripts/build-windows.sh build-win >build-win/background-build.log 2>&1 &
windows_build=$!
ctest --preset plain -j"$jobs"

stage "AddressSanitizer and UndefinedBehaviorSanitizer"
build_and_test asan

stage "ThreadSanitizer"
build_and_test tsan

wait "$windows_build" || echo "the Windows build in the background failed; the Wine stage builds it again"
stage "Valgrind memcheck: the whole suite of the plain build, with the programs it starts"
scripts/memcheck.sh

stage "Fuzzing: a short run of every libFuzzer target, at most 40 s each (scripts/fuzz.sh RUNS for a longer one)"
FUZZ_SECONDS=40 scripts/fuzz.sh 100000

# ---- The Windows program: cross-compiled with mingw-w64 and tested under Wine (docs/building.md).
stage "The Windows program, under Wine"
scripts/test-windows.sh
stage "done"
