#!/usr/bin/env bash
# Kills the updater forty times (SIGKILL at random moments of an update of 300 files) and checks
# after every restart that the game's folder is exactly as the manifest says. The test suite
# does the same with a handful of kills. Usage: scripts/kill-test.sh [kills] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kib_tests
env KIB_KILL_COUNT="${1:-40}" ${2:+KIB_KILL_SEED="$2"} \
  build/tests/kib_tests --gtest_filter='KillAndRestart.*'
