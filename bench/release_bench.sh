#!/usr/bin/env bash
# Times the whole updater installing a fresh release from a loopback nginx: one 1 GiB file, and
# 2,000 files of 10 KiB, each into an empty game folder (the dummy video driver; the outcome box
# on standard error), side by side in one run with curl followed by md5sum -c, and with another
# build of the updater when one is given (the figure before a change: staging every file and
# switching the release as a whole must add at most 5 %).
# Medians of RUNS interleaved runs, and peak memory.
# Usage: bench/release_bench.sh [updater] [other updater]   (default: build/kib-updater)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ours=$(realpath "${1:-build/kib-updater}")
other=${2:+$(realpath "$2")}
runs=${RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-release-bench-XXXXXX")
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "preparing the releases in $work"
mkdir -p "$work/www/large/files" "$work/www/small/files/data"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/large/files/large.bin"
head -c $((2000 * 10240)) /dev/urandom | split -b 10240 -a 4 -d - "$work/www/small/files/data/f"
for release in large small; do
  (cd "$work/www/$release/files" && find . -type f -printf '%P\n' | sort | xargs md5sum >"$work/$release.sums")
done
start_loopback_nginx "$work/nginx" "$work/www" || { echo "nginx did not start" >&2; exit 1; }
base="http://127.0.0.1:$nginx_port"
for release in large small; do
  { echo "master:$base/$release/files/"; awk '{ print $2 ":" $1 }' "$work/$release.sums"; } >"$work/www/$release/manifest"
  awk -v b="$base/$release/files/" -v g="$work/game/" '{ printf "url = \"%s%s\"\noutput = \"%s%s\"\n", b, $2, g, $2 }' \
    "$work/$release.sums" >"$work/$release.curl"
done
cat "$work"/www/large/files/large.bin "$work"/www/small/files/data/* >/dev/null

# Prints "seconds peak-KiB" of one updater run into a fresh game folder.
run_updater() {  # program release
  rm -rf "$work/game"
  mkdir -p "$work/game/assets/updater"
  echo "$base/$2/manifest" >"$work/game/assets/updater/update.cfg"
  (cd "$work/game" && env -u DISPLAY SDL_VIDEODRIVER=dummy /usr/bin/time -f "%e %M" -o "$work/time.txt" "$1" \
    >/dev/null 2>"$work/boxes.txt") || true
  grep -q '^Done!' "$work/boxes.txt" || { echo "$1 did not update ($2):" >&2; cat "$work/boxes.txt" >&2; exit 1; }
  cat "$work/time.txt"
}
curl_then_md5sum() {  # release
  rm -rf "$work/game"
  mkdir -p "$work/game"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" bash -c '
    curl -sS --no-progress-meter --create-dirs --parallel --parallel-max 5 -K "$2" && cd "$1" && md5sum --quiet -c "$3"' \
    _ "$work/game" "$work/$1.curl" "$work/$1.sums" >/dev/null 2>"$work/curl.err" || { cat "$work/curl.err" >&2; exit 1; }
  cat "$work/time.txt"
}

for _ in $(seq "$runs"); do
  for release in large small; do
    echo "ours_$release $(run_updater "$ours" "$release")"
    [ -n "$other" ] && echo "other_$release $(run_updater "$other" "$release")"
    echo "curl_$release $(curl_then_md5sum "$release")"
  done
done >"$work/results.txt"

median() { awk -v k="$1" '$1 == k { print $2, $3 }' "$work/results.txt" | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'; }
echo "$(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'median of %d interleaved runs                    seconds   peak RSS (KiB)\n' "$runs"
for release in large small; do
  label=$([ $release = large ] && echo "1 GiB, one file  " || echo "2000 x 10 KiB    ")
  read -r s k < <(median "ours_$release"); printf '%s updater %-24s %8.2f   %8d\n' "$label" "$(basename "$ours")" "$s" "$k"
  if [ -n "$other" ]; then
    read -r os ok < <(median "other_$release"); printf '%s updater %-24s %8.2f   %8d\n' "$label" "(other build)" "$os" "$ok"
    awk -v a="$s" -v b="$os" -v l="$release" 'BEGIN { printf "%s: %.3f x the other build'"'"'s time (target <= 1.05 for large)\n", l, a / b }'
  fi
  read -r cs ck < <(median "curl_$release"); printf '%s curl, then md5sum -c              %8.2f   %8d\n' "$label" "$cs" "$ck"
done
