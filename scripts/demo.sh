#!/usr/bin/env bash
# Builds the updater and starts it in a demo game folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target kib-updater
mkdir -p demo/game
cd demo/game
[ -n "${DISPLAY:-}" ] || export SDL_VIDEODRIVER=dummy
../../build/kib-updater || true
echo "--- logs/updater.log"
cat logs/updater.log
