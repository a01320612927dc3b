#!/usr/bin/env bash
# How fast the real updater answers a quit while it works on a large file, side by side with
# how long that work takes (what a window doing it on its own thread would stay frozen for):
#   unpacking a download that unpacks to 3 GiB, against gzip -dc of the same file;
#   the first check of a 3 GiB game file (no record yet), against md5sum of it.
# The quit is SIGTERM, which SDL turns into the window's quit event, sent RUNS times at
# different moments of the work; the figure is the time from the signal to the process's end
# (target: within 100 ms). Headless (SDL's dummy driver); served by Python's http.server.
# Usage: bench/answer_bench.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
updater=$(realpath "$build/kib-updater")
[ -x "$updater" ] || { echo "build $updater first" >&2; exit 1; }
runs=${RUNS:-5}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-answer-bench-XXXXXX")
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "preparing a .gz that unpacks to 3 GiB and a 3 GiB game file in $work"
mkdir -p "$work/root"
# Long zero runs between random bytes: about 60 to 1, within the updater's bound for a download.
unpacked_md5=$(python3 - "$work/root/big.bin.gz" <<'PY'
import gzip, hashlib, os, sys
block = bytearray(64 * 1024)
digest = hashlib.md5()
with gzip.open(sys.argv[1], "wb", compresslevel=1) as out:
    for _ in range(3 * 16 * 1024):
        block[-1024:] = os.urandom(1024)
        digest.update(block)
        out.write(block)
print(digest.hexdigest())
PY
)
packed_md5=$(md5sum <"$work/root/big.bin.gz" | cut -d' ' -f1)
head -c $((3 * 1024 * 1024 * 1024)) /dev/zero | tr '\0' 'k' >"$work/big.local"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$work/root" "$port" >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done
echo "master:http://127.0.0.1:$port/" >"$work/root/unpack.manifest"
echo "big.bin.gz:$unpacked_md5<$packed_md5" >>"$work/root/unpack.manifest"
echo "master:http://127.0.0.1:$port/" >"$work/root/check.manifest"
echo "big.bin:$unpacked_md5" >>"$work/root/check.manifest"

# A game folder for `kind`, the updater started in it, and the moment it is busy with the file.
start_run() {
  local kind=$1 game=$work/game
  rm -rf "$game"; mkdir -p "$game/assets/updater"
  echo "http://127.0.0.1:$port/$kind.manifest" >"$game/assets/updater/update.cfg"
  # Read only, never written: a second name for the same file saves copying it.
  if [ "$kind" = check ]; then ln "$work/big.local" "$game/big.bin"; fi
  (cd "$game" && SDL_VIDEODRIVER=dummy DISPLAY= exec "$updater" >/dev/null 2>&1) &
  updater_pid=$!
}
busy() {
  if [ "$1" = unpack ]; then [ -f "$work/game/big.bin.unpacking" ]
  else grep -q "Manifest obtained" "$work/game/logs/updater.log" 2>/dev/null; fi
}
# Milliseconds from a SIGTERM `delay` seconds into the work to the updater's end.
answer_ms() {
  local kind=$1 delay=$2
  start_run "$kind"
  until busy "$kind"; do sleep 0.01; done
  sleep "$delay"
  kill -0 "$updater_pid" 2>/dev/null || { echo "the work ended before the signal" >&2; exit 1; }
  local t0 t1
  t0=$(date +%s%N)
  kill -TERM "$updater_pid"
  wait "$updater_pid" || true
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000000 ))
}

cat "$work/root/big.bin.gz" "$work/big.local" >/dev/null
for kind in unpack check; do
  for i in $(seq "$runs"); do
    echo "$kind $(answer_ms "$kind" "0.$((i * 3))")"
  done
done >"$work/answers.txt"
gzip_s=$( { /usr/bin/time -f "%e" gzip -dc "$work/root/big.bin.gz" >/dev/null; } 2>&1 )
md5_s=$( { /usr/bin/time -f "%e" md5sum "$work/big.local" >/dev/null; } 2>&1 )

stats() { awk -v k="$1" '$1 == k { print $2 }' "$work/answers.txt" | sort -n |
  awk '{ v[NR] = $1 } END { printf "median %d ms, worst %d ms", v[int((NR + 1) / 2)], v[NR] }'; }
echo "$(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "unpacking 3 GiB:   quit answered in $(stats unpack) ($runs quits; gzip -dc takes ${gzip_s} s)"
echo "first check 3 GiB: quit answered in $(stats check) ($runs quits; md5sum takes ${md5_s} s)"
