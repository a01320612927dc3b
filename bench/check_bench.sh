#!/usr/bin/env bash
# Compares the updater's check of an installed game with md5sum on the same files, side by side:
#   second start (the record of verified files written by the first): 1 GiB in 2,000 files,
#     against md5sum -c (target: at most 5 % of its time);
#   cold check (no record yet): 1 GiB in 256 files, against md5sum (target: 1.6 times its speed
#     on 2 processors).
# Both start from the page cache. Reports medians of RUNS interleaved runs and peak memory.
# Usage: bench/check_bench.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=$build/bench/check_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
runs=${RUNS:-5}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-check-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# A game of `count` files making 1 GiB, its manifest and md5sum's list.
make_game() {
  local dir=$1 count=$2 size=$(( (1024 * 1024 * 1024 + $2 - 1) / $2 ))
  mkdir -p "$dir/data"
  head -c $((1024 * 1024 * 1024)) /dev/urandom | split -b "$size" -a 4 -d - "$dir/data/f"
  (cd "$dir" && md5sum data/* >"$work/$(basename "$dir").sums")
  { echo "master:http://127.0.0.1/game/"; awk '{ print $2 ":" $1 }' "$work/$(basename "$dir").sums"; } \
    >"$work/$(basename "$dir").manifest"
}
echo "preparing 2 x 1 GiB in $work"
make_game "$work/many" 2000
make_game "$work/few" 256
cat "$work"/many/data/* "$work"/few/data/* >/dev/null

# Prints "seconds peak-KiB" of one command.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; exit 1; }
  cat "$work/time.txt"
}
# Our own clock is finer than time's hundredths: used for the second start.
measure_ours() {
  /usr/bin/time -f "%M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; exit 1; }
  echo "$(sed -n 's/.*, \([0-9.]*\) s$/\1/p' "$work/stderr.txt") $(cat "$work/time.txt")"
}
median() { sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'; }

# The first start writes the record; the next one is a second later, as the record asks.
"$bench" "$work/many" "$work/many.manifest" 2>/dev/null
sleep 1.1
"$bench" "$work/many" "$work/many.manifest" 2>/dev/null
for _ in $(seq "$runs"); do
  echo "ours $(measure_ours "$bench" "$work/many" "$work/many.manifest")"
  echo "md5sum $(cd "$work/many" && measure md5sum --quiet -c "$work/many.sums")"
done >"$work/second.txt"
for _ in $(seq "$runs"); do
  rm -f "$work/few/assets/updater/verified.txt"
  echo "ours $(measure_ours "$bench" "$work/few" "$work/few.manifest")"
  echo "md5sum $(cd "$work/few" && measure md5sum data/*)"
done >"$work/cold.txt"

read -r s_ours s_ours_kib < <(awk '$1 == "ours" { print $2, $3 }' "$work/second.txt" | median)
read -r s_md5 s_md5_kib < <(awk '$1 == "md5sum" { print $2, $3 }' "$work/second.txt" | median)
read -r c_ours c_ours_kib < <(awk '$1 == "ours" { print $2, $3 }' "$work/cold.txt" | median)
read -r c_md5 c_md5_kib < <(awk '$1 == "md5sum" { print $2, $3 }' "$work/cold.txt" | median)
echo "$(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v so="$s_ours" -v sm="$s_md5" -v co="$c_ours" -v cm="$c_md5" -v sok="$s_ours_kib" -v smk="$s_md5_kib" \
    -v cok="$c_ours_kib" -v cmk="$c_md5_kib" -v runs="$runs" 'BEGIN {
  printf "median of %d interleaved runs            seconds   peak RSS (KiB)\n", runs
  printf "second start, 2000 files  updater        %8.3f   %8d\n", so, sok
  printf "second start, 2000 files  md5sum -c      %8.3f   %8d\n", sm, smk
  printf "cold check, 256 files     updater        %8.3f   %8d\n", co, cok
  printf "cold check, 256 files     md5sum         %8.3f   %8d\n", cm, cmk
  printf "second start: %.1f %% of md5sum -c (target <= 5 %%)\n", 100 * so / sm
  printf "cold check: %.2f x md5sum speed (target >= 1.6 on 2 processors)\n", cm / co
}'
