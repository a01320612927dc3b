#!/usr/bin/env bash
# Compares the updater's file digest with md5sum on the same 1 GiB file, side by side in one
# run: throughput ratio (ours / md5sum's, higher is better) and each one's peak memory.
# Usage: bench/md5_bench.sh [build-dir] [size-in-MiB]
set -euo pipefail
build=${1:-build}
size_mib=${2:-1024}
rounds=5
program="$build/bench/md5_file"
[ -x "$program" ] || { echo "build $program first (cmake --build $build)"; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/data.bin"
cat "$work/data.bin" >/dev/null  # both read from the page cache

[ "$("$program" "$work/data.bin" | cut -d' ' -f1)" = "$(md5sum "$work/data.bin" | cut -d' ' -f1)" ] ||
  { echo "digests differ"; exit 1; }

measure() {  # prints "seconds peak-KiB"
  /usr/bin/time -f "%e %M" "$@" >/dev/null 2>"$work/time" && tail -n 1 "$work/time"
}
ours=() theirs=() our_mem=0 their_mem=0
for _ in $(seq $rounds); do
  read -r t m < <(measure "$program" "$work/data.bin"); ours+=("$t"); our_mem=$m
  read -r t m < <(measure md5sum "$work/data.bin"); theirs+=("$t"); their_mem=$m
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
our_t=$(median "${ours[@]}")
their_t=$(median "${theirs[@]}")
echo "file: ${size_mib} MiB, $rounds rounds each, alternating; medians"
echo "md5OfFile: ${our_t} s ($(awk -v s="$size_mib" -v t="$our_t" 'BEGIN{printf "%.0f", s/t}') MiB/s), peak ${our_mem} KiB"
echo "md5sum:    ${their_t} s ($(awk -v s="$size_mib" -v t="$their_t" 'BEGIN{printf "%.0f", s/t}') MiB/s), peak ${their_mem} KiB"
echo "throughput ratio (ours/md5sum): $(awk -v a="$our_t" -v b="$their_t" 'BEGIN{printf "%.3f", b/a}')  (target >= 0.95)"
