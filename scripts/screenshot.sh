#!/usr/bin/env bash
# Screenshots of the real updater window on a virtual X display (Xvfb), taken by its
# end-to-end tests while they check the window: waiting for the manifest (background and title),
# and during an update slowed down by the local nginx (a partial bar).
# Usage: scripts/screenshot.sh [output-folder]   (default: screenshots/, which git ignores)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j2 --target kib_tests
mkdir -p "$out"
KIB_SCREENSHOT_DIR="$out" build/tests/kib_tests --gtest_filter='UpdaterWindow.*'
ls -l "$out"/*.png
