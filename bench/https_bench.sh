#!/usr/bin/env bash
# Compares the download manager with curl over HTTPS against the same loopback nginx: one 1 GiB
# file, with a certificate of a private authority made here with openssl and trusted by both
# (SSL_CERT_FILE for the updater's code, --cacert for curl), over HTTP/1.1 from a server that
# offers nothing else and over HTTP/2 from one that offers h2 by ALPN (both take it). Reports
# the throughput ratios.
# Usage: bench/https_bench.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=$build/bench/download_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
runs=${RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-https-bench-XXXXXX")
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/nginx" "$work/ca"
echo "preparing files in $work"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/root/large.bin"
ca=$work/ca
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$ca/ca.key" -out "$ca/ca.pem" \
  -days 2 -subj "/CN=kib bench CA" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$ca/server.key" -out "$ca/server.csr" \
  -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$ca/server.ext"
openssl x509 -req -in "$ca/server.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -set_serial 1 -days 2 \
  -extfile "$ca/server.ext" -out "$ca/server.pem" 2>/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
h2_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $work/nginx/error.log; pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/cb; proxy_temp_path $work/nginx/px; fastcgi_temp_path $work/nginx/fc;
  uwsgi_temp_path $work/nginx/uw; scgi_temp_path $work/nginx/sc;
  default_type application/octet-stream; sendfile on;
  server {
    listen 127.0.0.1:$port ssl; root $work/root;
    ssl_certificate $ca/server.pem; ssl_certificate_key $ca/server.key;
  }
  server {
    listen 127.0.0.1:$h2_port ssl http2; root $work/root;
    ssl_certificate $ca/server.pem; ssl_certificate_key $ca/server.key;
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
base="https://localhost:$port"
for _ in $(seq 100); do curl -s --cacert "$ca/ca.pem" -o /dev/null -r 0-0 "$base/large.bin" && break; sleep 0.05; done

h2_base="https://localhost:$h2_port"
printf '%s\t%s\n' "$base/large.bin" "$work/out/large.bin" >"$work/large.list"
printf '%s\t%s\n' "$h2_base/large.bin" "$work/out/large.bin" >"$work/large-h2.list"

# Runs a command with a fresh output folder; prints its wall-clock seconds.
measure() {
  rm -rf "$work/out"; mkdir -p "$work/out"
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
  end=$(date +%s.%N)
  cmp "$work/root/large.bin" "$work/out/large.bin" || { echo "the downloaded file differs" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f\n", b - a }'
}
median_of() { for _ in $(seq "$runs"); do measure "$@"; done | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'; }

# Taken in turns, so that a busy moment of the machine falls on both.
ours=$(median_of env SSL_CERT_FILE="$ca/ca.pem" "$bench" "$work/large.list")
theirs=$(median_of curl -sS --no-progress-meter --http1.1 --cacert "$ca/ca.pem" -o "$work/out/large.bin" "$base/large.bin")
ours_h2=$(median_of env SSL_CERT_FILE="$ca/ca.pem" "$bench" "$work/large-h2.list")
theirs_h2=$(median_of curl -sS --no-progress-meter --http2 --cacert "$ca/ca.pem" -o "$work/out/large.bin" \
  "$h2_base/large.bin")
awk -v o="$ours" -v c="$theirs" -v o2="$ours_h2" -v c2="$theirs_h2" -v runs="$runs" 'BEGIN {
  printf "1 GiB over HTTPS, median of %d runs   seconds   MiB/s\n", runs
  printf "download manager, HTTP/1.1           %7.2f   %6.0f\n", o, 1024 / o
  printf "curl, HTTP/1.1                       %7.2f   %6.0f\n", c, 1024 / c
  printf "download manager, HTTP/2             %7.2f   %6.0f\n", o2, 1024 / o2
  printf "curl, HTTP/2                         %7.2f   %6.0f\n", c2, 1024 / c2
  printf "throughput %.2f of curl over HTTP/1.1, %.2f over HTTP/2 (target >= 0.8)\n", c / o, c2 / o2
}'
