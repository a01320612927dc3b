#!/usr/bin/env bash
# A delta update against a whole download of the same file, side by side in one run, each by
# the real updater from a loopback nginx, with curl's download of the file beside them. For
# each size (MiB; default 128 and 1024): a random file; its new version has 4 KiB inserted
# 1 MiB from its start and 1 MiB in the middle rewritten. The player holds the old version.
# Bytes are nginx's body bytes from its access log (the map included); seconds are wall clock,
# the median of ROUNDS runs (default 5) of each, taken in turn so that a busy moment of the
# machine falls on all three alike. The load average is printed beside them.
# Usage: [ROUNDS=n] bench/delta_bench.sh [build directory] [size in MiB...]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
. scripts/lib.sh
build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(128 1024)
updater=$repo/$build/kib-updater
manifest_tool=$repo/$build/kib-manifest
[ -x "$updater" ] && [ -x "$manifest_tool" ] || { echo "build $updater and $manifest_tool first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-delta-bench-XXXXXX")
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/server"
start_loopback_nginx "$work/server" "$work/www" || true
[ -n "$nginx_pid" ] || { echo "nginx did not start" >&2; cat "$work/server/error.log" >&2; exit 1; }
base="http://127.0.0.1:$nginx_port"
log=$work/server/access.log
export SDL_VIDEODRIVER=dummy

rounds=${ROUNDS:-5}
mib=$((1024 * 1024))
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# Body bytes nginx sent since line $1 of its access log.
served_since() { tail -n +"$(($1 + 1))" "$log" | awk -F'"' '{ split($3, f, " "); sum += f[2] } END { printf "%d", sum }'; }
log_lines() { wc -l <"$log"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# Runs the updater in a game folder holding the old version, against manifest $1; prints
# "seconds bytes". Checks the result against the new version.
run_update() {
  local manifest=$1 game=$work/game before start end
  rm -rf "$game"
  mkdir -p "$game/data" "$game/assets/updater"
  cp "$work/old.bin" "$game/data/big.pak"
  printf '%s\n' "$base/$manifest" >"$game/assets/updater/update.cfg"
  sync
  before=$(log_lines)
  start=$(now)
  (cd "$game" && timeout 1200 "$updater" 2>"$work/boxes.txt") || { echo "the updater failed" >&2; exit 1; }
  end=$(now)
  cmp -s "$game/data/big.pak" "$work/www/data/big.pak" || { echo "updated file differs" >&2; cat "$game/logs/updater.log" >&2; exit 1; }
  cp "$game/logs/updater.log" "$work/last.log"
  echo "$(elapsed "$start" "$end") $(served_since "$before")"
}

printf '%-8s %-34s %9s %14s %9s\n' "file" "transfer" "seconds" "bytes" "% of file"
for size in "${sizes[@]}"; do
  bytes=$((size * mib))
  middle=$((bytes / 2))
  head -c "$bytes" /dev/urandom >"$work/old.bin"
  rm -rf "$work/www"/*
  mkdir -p "$work/www/data"
  {
    head -c "$mib" "$work/old.bin"
    head -c 4096 /dev/urandom
    dd if="$work/old.bin" bs=1M iflag=skip_bytes,count_bytes skip="$mib" count=$((middle - mib)) status=none
    head -c "$mib" /dev/urandom
    dd if="$work/old.bin" bs=1M iflag=skip_bytes skip=$((middle + mib)) status=none
  } >"$work/www/data/big.pak"
  new_size=$(stat -c %s "$work/www/data/big.pak")

  # The same release twice, in place: without a map in full/ (the file linked, not copied), with
  # one at the top.
  mkdir -p "$work/www/full/data"
  ln "$work/www/data/big.pak" "$work/www/full/data/big.pak"
  "$manifest_tool" -q --no-delta "$work/www/full" "$base/full/" >/dev/null
  "$manifest_tool" -q --exclude full "$work/www" "$base/" >/dev/null
  map_bytes=$(stat -c %s "$work/www/data/big.pak.kib-blocks")

  curl_runs=() full_runs=() delta_runs=()
  echo "${size}MiB: load average before $(load)"
  for ((round = 1; round <= rounds; ++round)); do
    before=$(log_lines)
    start=$(now)
    curl -sS -o "$work/curl.bin" "$base/data/big.pak"
    end=$(now)
    curl_runs+=("$(elapsed "$start" "$end")")
    curl_bytes=$(served_since "$before")
    rm -f "$work/curl.bin"

    # The two updates take turns at going first: what the machine does with the memory one run
    # freed (a virtual machine may hand it back to its host) then falls on both alike.
    for kind in $( ((round % 2)) && echo "whole delta" || echo "delta whole"); do
      if [ "$kind" = whole ]; then
        read -r seconds full_bytes < <(run_update full/manifest.txt)
        full_runs+=("$seconds")
      else
        read -r seconds delta_bytes < <(run_update manifest.txt)
        delta_runs+=("$seconds")
        cp "$work/last.log" "$work/delta.log"
      fi
    done
    grep -q "Delta update of data/big.pak:" "$work/delta.log" || { echo "no delta update:" >&2; cat "$work/delta.log" >&2; exit 1; }
  done
  echo "${size}MiB: load average after $(load); seconds of each run: curl ${curl_runs[*]}; whole ${full_runs[*]}; delta ${delta_runs[*]}"
  curl_seconds=$(median "${curl_runs[@]}")
  full_seconds=$(median "${full_runs[@]}")
  delta_seconds=$(median "${delta_runs[@]}")
  delta_line=$(grep "Delta update of data/big.pak:" "$work/delta.log" | sed 's/^[[:space:]]*//')

  row() { printf '%-8s %-34s %9.2f %14d %8.2f%%\n' "${size}MiB" "$1" "$2" "$3" "$(awk -v b="$3" -v n="$new_size" 'BEGIN { print 100 * b / n }')"; }
  row "curl, whole file" "$curl_seconds" "$curl_bytes"
  row "updater, whole file" "$full_seconds" "$full_bytes"
  row "updater, delta (map $map_bytes B)" "$delta_seconds" "$delta_bytes"
  echo "         $delta_line"
  awk -v d="$delta_seconds" -v f="$full_seconds" -v db="$delta_bytes" -v n="$new_size" 'BEGIN {
    printf "         delta: bytes %.2f %% of the file (target <= 2 %%), time %.2f x the whole download (target <= 1)\n", 100 * db / n, d / f }'
  rm -f "$work/old.bin"
done
