#!/usr/bin/env bash
# Many small files over a link with a real round trip: the download manager (five workers, each
# file with its MD5, as the updater queues them) against curl over HTTP/1.1 five at a time
# (--parallel --parallel-max 5) and curl over HTTP/2 multiplexed on one connection, side by
# side in one run, interleaved. 1,000 files of 10 KiB and 300 of 100 KiB from one loopback
# nginx, reached through bench/delay_relay.py (the kernel here has no netem), at round trips of
# 50 ms and 200 ms, over plain HTTP and over HTTPS (nginx offers h2 by ALPN there). Targets:
# over HTTPS at most 1.5 times HTTP/2 curl's time; over plain HTTP at most half of HTTP/1.1
# curl's time. curl over plain HTTP/2 (h2c, prior knowledge) is left out: Debian 12's curl 7.88
# fails multiplexed h2c transfers ("Error in the HTTP2 framing layer").
# Usage: bench/many_files_bench.sh [build directory]   (default: build)
#   RUNS=3 (medians of so many rounds)   RTTS="50 200" (round trips in ms)
#   SETS="small medium"   SCHEMES="http https" (a part of the table only)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=$build/bench/download_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
bench=$(realpath "$bench")
relay_script=$(realpath bench/delay_relay.py)
runs=${RUNS:-3}
rtts=${RTTS:-50 200}
sets=${SETS:-small medium}
schemes=${SCHEMES:-http https}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-many-files-bench-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

echo "preparing files in $work"
mkdir -p "$work/root/small" "$work/root/medium" "$work/nginx" "$work/ca"
head -c $((1000 * 10240)) /dev/urandom | split -b 10240 -a 4 -d - "$work/root/small/f"
head -c $((300 * 102400)) /dev/urandom | split -b 102400 -a 4 -d - "$work/root/medium/f"
ca=$work/ca
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$ca/ca.key" -out "$ca/ca.pem" \
  -days 2 -subj "/CN=kib bench CA" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$ca/server.key" -out "$ca/server.csr" \
  -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$ca/server.ext"
openssl x509 -req -in "$ca/server.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -set_serial 1 -days 2 \
  -extfile "$ca/server.ext" -out "$ca/server.pem" 2>/dev/null

# One nginx: HTTP/1.1 in plain text, and HTTPS with h2 offered.
http_port=$(free_port) https_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $work/nginx/error.log; pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/cb; proxy_temp_path $work/nginx/px; fastcgi_temp_path $work/nginx/fc;
  uwsgi_temp_path $work/nginx/uw; scgi_temp_path $work/nginx/sc;
  default_type application/octet-stream; sendfile on;
  server { listen 127.0.0.1:$http_port; root $work/root; }
  server {
    listen 127.0.0.1:$https_port ssl http2; root $work/root;
    ssl_certificate $ca/server.pem; ssl_certificate_key $ca/server.key;
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
pids+=($!)

# A relay per port and round trip: "relay_<rtt>_<port>" holds its port.
declare -A relay
for rtt in $rtts; do
  for port in $http_port $https_port; do
    relay[${rtt}_$port]=$(free_port)
    python3 "$relay_script" "${relay[${rtt}_$port]}" "$port" "$(awk -v r="$rtt" 'BEGIN { print r / 2 }')" &
    pids+=($!)
  done
done
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$http_port/small/f0000" && break; sleep 0.05; done
sleep 0.5

# The lists the download manager takes (address, path, MD5) and curl's configurations.
write_lists() {  # set base list-name
  local set=$1 base=$2 name
  for f in "$work/root/$set"/*; do
    name=$(basename "$f")
    printf '%s\t%s\t%s\n' "$base/$set/$name" "$work/out/$set/$name" "$(md5sum <"$f" | cut -c1-32)"
  done >"$work/$3.list"
  for f in "$work/root/$set"/*; do
    name=$(basename "$f")
    printf 'url = "%s"\noutput = "%s"\n' "$base/$set/$name" "$work/out/$set/$name"
  done >"$work/$3.curl"
}

measure() {  # set command...: seconds, after checking every file
  local set=$1 start end
  shift
  rm -rf "$work/out"
  mkdir -p "$work/out/$set"
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
  end=$(date +%s.%N)
  diff -r "$work/root/$set" "$work/out/$set" >/dev/null || { echo "downloaded files differ: $*" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f\n", b - a }'
}

results="$work/results"
: >"$results"
for run in $(seq "$runs"); do
  for rtt in $rtts; do
    for set in $sets; do
      for scheme in $schemes; do
        port=$http_port
        [ "$scheme" = https ] && port=$https_port
        host=127.0.0.1
        [ "$scheme" = https ] && host=localhost
        base="$scheme://$host:${relay[${rtt}_$port]}"
        write_lists "$set" "$base" ours
        ours=$(measure "$set" env SSL_CERT_FILE="$ca/ca.pem" "$bench" "$work/ours.list")
        h1=$(measure "$set" curl -sS --no-progress-meter --cacert "$ca/ca.pem" --http1.1 --parallel --parallel-max 5 \
          -K "$work/ours.curl")
        h2=0
        if [ "$scheme" = https ]; then
          h2=$(measure "$set" curl -sS --no-progress-meter --cacert "$ca/ca.pem" --http2 --parallel --parallel-max 100 \
            -K "$work/ours.curl")
        fi
        echo "$rtt $set $scheme $ours $h1 $h2" >>"$results"
        echo "round $run: ${rtt} ms $set $scheme: updater $ours s, curl h1 $h1 s, curl h2 $h2 s" >&2
      done
    done
  done
done

echo
echo "median of $runs rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %-15s %-6s %9s %12s %9s   %s\n' "rtt" "files" "scheme" "updater" "curl h1 x5" "curl h2" "target"
for rtt in $rtts; do
  for set in $sets; do
    for scheme in $schemes; do
      awk -v r="$rtt" -v s="$set" -v c="$scheme" -v n="$runs" '
        $1 == r && $2 == s && $3 == c { o[++k] = $4; a[k] = $5; b[k] = $6 }
        function median(v, m, i, j, t) {
          for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
          return v[int((m + 1) / 2)]
        }
        END {
          mo = median(o, k); ma = median(a, k); mb = median(b, k)
          files = s == "small" ? "1000 x 10 KiB" : "300 x 100 KiB"
          if (c == "http") target = sprintf("%.2f x curl h1 (<= 0.5)", mo / ma)
          else target = sprintf("%.2f x curl h2 (<= 1.5)", mo / mb)
          h2 = mb > 0 ? sprintf("%8.2fs", mb) : sprintf("%9s", "-")
          printf "%-6s %-15s %-6s %8.2fs %11.2fs %s   %s\n", r " ms", files, c, mo, ma, h2, target
        }' "$results"
    done
  done
done
