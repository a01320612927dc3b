#!/usr/bin/env bash
# Compares the download manager with curl against the same loopback nginx: one 1 GiB file, then
# 1,000 files of 10 KiB (curl five at once). Reports time ratios and peak memory.
# Usage: bench/download_bench.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=$build/bench/download_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
runs=${RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-bench-XXXXXX")
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

# Lists and curl configurations for both cases.
printf '%s\t%s\n' "$base/large.bin" "$work/out/large.bin" >"$work/large.list"
printf 'url = "%s"\noutput = "%s"\n' "$base/large.bin" "$work/out/large.bin" >"$work/large.curl"
: >"$work/small.list"; : >"$work/small.curl"
for f in "$work"/root/small/*; do
  name=$(basename "$f")
  printf '%s\t%s\n' "$base/small/$name" "$work/out/small/$name" >>"$work/small.list"
  printf 'url = "%s"\noutput = "%s"\n' "$base/small/$name" "$work/out/small/$name" >>"$work/small.curl"
done

# Runs a command under /usr/bin/time -v with a fresh output folder; prints "seconds kilobytes".
measure() {
  rm -rf "$work/out"; mkdir -p "$work/out/small"
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
  local elapsed rss
  elapsed=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt" |
    awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  echo "$elapsed $rss"
}
# The median of `runs` measurements, checking the downloaded bytes after each.
median_of() {
  local check=$1; shift
  for _ in $(seq "$runs"); do
    measure "$@"
    (cd "$work/root" && eval "$check") >/dev/null || { echo "downloaded files differ" >&2; exit 1; }
  done | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'
}
check_large='cmp large.bin ../out/large.bin'
check_small='diff -r small ../out/small'

read -r ours_large ours_large_rss < <(median_of "$check_large" "$bench" "$work/large.list")
read -r curl_large curl_large_rss < <(median_of "$check_large" curl -sS --no-progress-meter -K "$work/large.curl")
read -r ours_small ours_small_rss < <(median_of "$check_small" "$bench" "$work/small.list")
read -r curl_small curl_small_rss < <(median_of "$check_small" curl -sS --no-progress-meter --parallel --parallel-max 5 -K "$work/small.curl")

awk -v ol="$ours_large" -v cl="$curl_large" -v os="$ours_small" -v cs="$curl_small" \
    -v olr="$ours_large_rss" -v clr="$curl_large_rss" -v osr="$ours_small_rss" -v csr="$curl_small_rss" -v runs="$runs" 'BEGIN {
  printf "median of %d runs                 seconds   peak RSS (KiB)\n", runs
  printf "1 GiB file       download manager %8.2f   %8d\n", ol, olr
  printf "1 GiB file       curl             %8.2f   %8d\n", cl, clr
  printf "1000 x 10 KiB    download manager %8.2f   %8d\n", os, osr
  printf "1000 x 10 KiB    curl (5 at once) %8.2f   %8d\n", cs, csr
  printf "large file: throughput %.2f of curl (target >= 0.9)\n", cl / ol
  printf "many files: time %.2f x curl (target <= 1.5)\n", os / cs
}'
