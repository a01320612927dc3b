#!/usr/bin/env bash
# Compares the updater's check of an installed game with md5sum on the same files, side by side:
#   second start (the record of verified files written by the first): 1 GiB in 2,000 files,
#     against md5sum -c (target: at most 5 % of its time);
#   cold check (no record yet): 1 GiB in 256 files, against md5sum (target: 1.6 times its speed
#     on 2 processors).
#   many small files: 10,000 and 100,000 files of 1 KiB, up to date, second start, against
#     md5sum -c and against one stat per file (find -printf of size and time), the floor of any
#     check by stamps (targets at 100,000: at most 0.25 x md5sum -c, at most 2 x the floor, peak
#     memory under 64 MiB, time and memory growing linearly with the count).
# With HUGE=1 also a 64 MiB manifest (1,290,000 lines, as many files of a few bytes): first start
# (every file hashed) and second start against md5sum -c over the same lines, peak memory of
# each against 4 x the manifest's size.
# SMALL_ONLY=1 leaves out the two gibibyte cases. Both start from the page cache. Reports medians of RUNS interleaved runs and peak memory.
# WINE=1 times the Windows program's comparison instead, under Wine (in WINEPREFIX, by default
# the one scripts/test-windows.sh makes), built after scripts/build-windows.sh by
#   cmake -B build-win/updater -DKIB_BUILD_BENCH=ON && cmake --build build-win/updater --target check_bench
# Usage: bench/check_bench.sh [build directory]   (default: build, or build-win/updater with WINE=1)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${WINE:-0}" = 1 ]; then
  build=${1:-build-win/updater}
  bench=$build/bench/check_bench.exe
  export WINEPREFIX=${WINEPREFIX:-$PWD/build-win/wine} WINEARCH=win32 WINEDEBUG=-all
  # One Wine server for every run: its start is not the comparison's time.
  wineserver -p10
  run_bench=(wine "$bench")
else
  build=${1:-build}
  bench=$build/bench/check_bench
  run_bench=("$bench")
fi
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
# `count` files of 1 KiB in folders of 1,000 (paths of about 20 bytes), their manifest and
# md5sum's list, named after `dir`.
make_small_game() {
  local dir=$1 count=$2
  mkdir -p "$dir"
  (cd "$dir" && perl -e 'my ($n) = @ARGV; my $pad = "x" x 1000;
    for my $i (0 .. $n - 1) { my $d = sprintf("d%03d", int($i / 1000)); mkdir $d unless -d $d;
      open(my $f, ">", sprintf("%s/f%07d.dat", $d, $i)) or die; printf $f "%s %023d\n", $pad, $i; close $f }' "$count")
  (cd "$dir" && find d* -type f -print0 | sort -z | xargs -0 md5sum >"$work/$(basename "$dir").sums")
  { echo "master:http://127.0.0.1/game/"; awk '{ print $2 ":" $1 }' "$work/$(basename "$dir").sums"; } \
    >"$work/$(basename "$dir").manifest"
}
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
  # The Windows program ends its lines in CR LF.
  echo "$(tr -d '\r' <"$work/stderr.txt" | sed -n 's/.*, \([0-9.]*\) s$/\1/p') $(cat "$work/time.txt")"
}
median() { sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'; }

if [ "${SMALL_ONLY:-0}" != 1 ]; then
echo "preparing 2 x 1 GiB in $work"
make_game "$work/many" 2000
make_game "$work/few" 256
cat "$work"/many/data/* "$work"/few/data/* >/dev/null


# The first start writes the record; the next one is a second later, as the record asks.
"${run_bench[@]}" "$work/many" "$work/many.manifest" 2>/dev/null
sleep 1.1
"${run_bench[@]}" "$work/many" "$work/many.manifest" 2>/dev/null
for _ in $(seq "$runs"); do
  echo "ours $(measure_ours "${run_bench[@]}" "$work/many" "$work/many.manifest")"
  echo "md5sum $(cd "$work/many" && measure md5sum --quiet -c "$work/many.sums")"
done >"$work/second.txt"
for _ in $(seq "$runs"); do
  rm -f "$work/few/assets/updater/verified.txt"
  echo "ours $(measure_ours "${run_bench[@]}" "$work/few" "$work/few.manifest")"
  echo "md5sum $(cd "$work/few" && measure md5sum data/*)"
done >"$work/cold.txt"

fi

# Many small files: the updater's second start, md5sum -c, and one stat per file.
small_counts="10000 100000"
for count in $small_counts; do
  make_small_game "$work/small$count" "$count"
  (cd "$work/small$count" && find d* -type f -print0 | xargs -0 cat >/dev/null)
  "${run_bench[@]}" "$work/small$count" "$work/small$count.manifest" 2>/dev/null
  sleep 1.1
  "${run_bench[@]}" "$work/small$count" "$work/small$count.manifest" 2>/dev/null
  for _ in $(seq "$runs"); do
    echo "ours $(measure_ours "${run_bench[@]}" "$work/small$count" "$work/small$count.manifest")"
    echo "md5sum $(cd "$work/small$count" && measure md5sum --quiet -c "$work/small$count.sums")"
    echo "stat $(cd "$work/small$count" && measure find . -type f -printf '%s %T@ %p\n')"
  done >"$work/small$count.txt"
done
if [ "${HUGE:-0}" = 1 ]; then
  echo "preparing 1,290,000 files and their 64 MiB manifest"
  mkdir -p "$work/huge"
  (cd "$work/huge" && perl -e 'for my $d (0..999) { mkdir sprintf("d%03d", $d) }
    for my $i (0..1289999) { open(my $f, ">", sprintf("d%03d/f%07d.dat", $i % 1000, $i)) or die; print $f "$i\n"; close $f }')
  (cd "$work/huge" && find d* -type f -print0 | xargs -0 md5sum >"$work/huge.sums")
  { printf 'master:http://127.0.0.1/files/\r\n'; awk '{ printf "%s:%s\r\n", $2, $1 }' "$work/huge.sums"; } >"$work/huge.manifest"
  # The first start hashes every file and writes the record the second start trusts.
  echo "first $(measure_ours "${run_bench[@]}" "$work/huge" "$work/huge.manifest")" >"$work/huge.txt"
  sleep 1.1
  echo "ours $(measure_ours "${run_bench[@]}" "$work/huge" "$work/huge.manifest")" >>"$work/huge.txt"
  echo "md5sum $(cd "$work/huge" && measure md5sum --quiet -c "$work/huge.sums")" >>"$work/huge.txt"
fi

echo "$(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "${SMALL_ONLY:-0}" != 1 ]; then
read -r s_ours s_ours_kib < <(awk '$1 == "ours" { print $2, $3 }' "$work/second.txt" | median)
read -r s_md5 s_md5_kib < <(awk '$1 == "md5sum" { print $2, $3 }' "$work/second.txt" | median)
read -r c_ours c_ours_kib < <(awk '$1 == "ours" { print $2, $3 }' "$work/cold.txt" | median)
read -r c_md5 c_md5_kib < <(awk '$1 == "md5sum" { print $2, $3 }' "$work/cold.txt" | median)
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
fi
for count in $small_counts; do
  read -r o ok < <(awk '$1 == "ours" { print $2, $3 }' "$work/small$count.txt" | median)
  read -r m mk < <(awk '$1 == "md5sum" { print $2, $3 }' "$work/small$count.txt" | median)
  read -r f fk < <(awk '$1 == "stat" { print $2, $3 }' "$work/small$count.txt" | median)
  awk -v n="$count" -v o="$o" -v m="$m" -v f="$f" -v ok="$ok" -v mk="$mk" -v fk="$fk" 'BEGIN {
    printf "second start, %6d x 1 KiB  updater %8.3f s %8d KiB   md5sum -c %8.3f s %8d KiB   one stat each %8.3f s %8d KiB\n", n, o, ok, m, mk, f, fk
    printf "  updater: %.2f x md5sum -c (target <= 0.25), %.2f x the floor (target <= 2), %.1f us and %.0f bytes a file\n", o / m, o / f, 1e6 * o / n, 1024 * ok / n
  }'
done
if [ -f "$work/huge.txt" ]; then
  read -r f fk < <(awk '$1 == "first" { print $2, $3 }' "$work/huge.txt")
  read -r o ok < <(awk '$1 == "ours" { print $2, $3 }' "$work/huge.txt")
  read -r m mk < <(awk '$1 == "md5sum" { print $2, $3 }' "$work/huge.txt")
  size=$(stat -c %s "$work/huge.manifest")
  awk -v f="$f" -v fk="$fk" -v o="$o" -v m="$m" -v ok="$ok" -v mk="$mk" -v size="$size" 'BEGIN {
    printf "64 MiB manifest, 1290000 files  md5sum -c                  %8.3f s %8d KiB\n", m, mk
    printf "  updater, first start (hashes every file) %8.3f s %8d KiB   peak %.2f x the manifest (target <= 4)\n", f, fk, fk * 1024 / size
    printf "  updater, second start (the record)      %8.3f s %8d KiB   peak %.2f x the manifest (target <= 4)\n", o, ok, ok * 1024 / size
  }'
fi
