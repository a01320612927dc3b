#!/usr/bin/env bash
# Compares a checked download by the download manager (five workers, each file's MD5 taken as it
# arrives and compared at delivery, as the updater does) with curl against the same loopback
# nginx, side by side in one run:
#   one fresh 1 GiB file with its check, against curl followed by md5sum -c
#     (target: at least 1.5 times their throughput);
#   1,000 files of 10 KiB with their checks, against curl --parallel --parallel-max 5 without
#     any check (target: at most 1.0 times its time).
# Medians of RUNS interleaved runs; peak memory from /usr/bin/time (target: under 64 MiB).
# Usage: bench/fetch_check_bench.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=$build/bench/download_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
bench=$(realpath "$bench")
runs=${RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-fetch-bench-XXXXXX")
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root/small" "$work/nginx"
echo "preparing files in $work"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/root/large.bin"
head -c $((1000 * 10240)) /dev/urandom | split -b 10240 -a 4 -d - "$work/root/small/f"
(cd "$work/root" && md5sum large.bin >"$work/large.sums")

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $work/nginx/error.log; pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/cb; proxy_temp_path $work/nginx/px; fastcgi_temp_path $work/nginx/fc;
  uwsgi_temp_path $work/nginx/uw; scgi_temp_path $work/nginx/sc;
  default_type application/octet-stream; sendfile on;
  server { listen 127.0.0.1:$port; root $work/root; }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/small/f0000" && break; sleep 0.05; done
base="http://127.0.0.1:$port"

# Local paths relative to the output folder, where the manager runs: the updater names every
# file relative to the game's folder it runs in.
printf '%s\t%s\t%s\n' "$base/large.bin" "large.bin" "$(cut -d' ' -f1 "$work/large.sums")" >"$work/large.list"
: >"$work/small.list"; : >"$work/small.curl"
for f in "$work"/root/small/*; do
  name=$(basename "$f")
  printf '%s\t%s\t%s\n' "$base/small/$name" "small/$name" "$(md5sum <"$f" | cut -d' ' -f1)" >>"$work/small.list"
  printf 'url = "%s"\noutput = "%s"\n' "$base/small/$name" "$work/out/small/$name" >>"$work/small.curl"
done
cat "$work"/root/large.bin "$work"/root/small/* >/dev/null

# Prints "seconds peak-KiB" of one command run in a fresh output folder.
measure() {
  rm -rf "$work/out"; mkdir -p "$work/out/small"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; exit 1; }
  cat "$work/time.txt"
}
curl_then_md5sum() {
  curl -sS --no-progress-meter -o "$work/out/large.bin" "$base/large.bin"
  (cd "$work/out" && md5sum --quiet -c "$work/large.sums")
}
export -f curl_then_md5sum
export work base

for _ in $(seq "$runs"); do
  echo "ours_large $(measure env -C "$work/out" "$bench" "$work/large.list")"
  cmp -s "$work/root/large.bin" "$work/out/large.bin" || { echo "large file differs" >&2; exit 1; }
  echo "curl_large $(measure bash -c curl_then_md5sum)"
  echo "ours_small $(measure env -C "$work/out" "$bench" "$work/small.list")"
  diff -r "$work/root/small" "$work/out/small" >/dev/null || { echo "small files differ" >&2; exit 1; }
  echo "curl_small $(measure curl -sS --no-progress-meter --parallel --parallel-max 5 -K "$work/small.curl")"
done >"$work/results.txt"

median() { awk -v k="$1" '$1 == k { print $2, $3 }' "$work/results.txt" | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'; }
read -r ol olk < <(median ours_large)
read -r cl clk < <(median curl_large)
read -r os osk < <(median ours_small)
read -r cs csk < <(median curl_small)
echo "$(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v ol="$ol" -v cl="$cl" -v os="$os" -v cs="$cs" -v olk="$olk" -v clk="$clk" -v osk="$osk" -v csk="$csk" \
    -v runs="$runs" 'BEGIN {
  printf "median of %d interleaved runs                      seconds   peak RSS (KiB)\n", runs
  printf "1 GiB checked     download manager               %8.2f   %8d\n", ol, olk
  printf "1 GiB checked     curl, then md5sum -c           %8.2f   %8d\n", cl, clk
  printf "1000 x 10 KiB     download manager, checked      %8.2f   %8d\n", os, osk
  printf "1000 x 10 KiB     curl --parallel-max 5          %8.2f   %8d\n", cs, csk
  printf "large file: %.2f x the throughput of curl + md5sum (target >= 1.5)\n", cl / ol
  printf "many files: %.2f x the time of curl (target <= 1.0)\n", os / cs
}'
