#!/usr/bin/env bash
# Time per drawFrame on the default pictures: on SDL's dummy driver (drawing into the window's
# surface only) and on a virtual X display (drawing and showing it), with each run's peak memory
# as /usr/bin/time reports it. The main loop pauses 10 ms per frame; a frame must cost well under
# a millisecond.
# Usage: bench/draw_frame.sh [build-dir] [frames]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
frames=${2:-20000}
program="$build/bench/draw_frame"
[ -x "$program" ] || { echo "build $program first (cmake --build $build)"; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

run() {  # prints the program's figures, then its peak memory
  /usr/bin/time -f "peak memory %M KiB, %e s in all" "$@" 2>"$work/time"
  tail -n 1 "$work/time"
}

echo "== dummy video driver (no display)"
run env -u DISPLAY SDL_VIDEODRIVER=dummy "$program" assets/updater "$frames"

echo "== Xvfb, 24-bit screen (drawing and XPutImage to the server)"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
DISPLAY=":$(head -n 1 "$work/display")" run "$program" assets/updater "$frames"
