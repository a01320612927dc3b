#!/usr/bin/env bash
# Publishes a 2 GiB release with kib-manifest and compares the time with md5sum plus gzip -6 on
# the same files, side by side in one run (target: kib-manifest within 1.2 times theirs).
# The release is half text-like data that compresses about fivefold and half incompressible
# data (as already-compressed game assets are), in files from 1 MiB to 48 MiB; it is generated
# on disk in a temporary folder and deleted at the end.
# Usage: bench/manifest_bench.sh [build-dir] [size-in-MiB]
set -euo pipefail
build=${1:-build}
size_mib=${2:-2048}
tool="$build/kib-manifest"
[ -x "$tool" ] || { echo "build $tool first (cmake --build $build)"; exit 1; }

work=$(mktemp -d -p "${TMPDIR:-/var/tmp}" kib-manifest-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
release="$work/release"
mkdir -p "$release/text" "$release/media/big" "$release/media/small"

# Text-like data: numbered records with a few varying fields.
awk 'BEGIN { srand(7); for (i = 0; i < 180000; i++)
  printf "entity %d kind=%s x=%d y=%d hp=%d name=monster_%d\n", i, (i % 3 ? "npc" : "prop"),
         int(rand() * 4096), int(rand() * 4096), int(rand() * 100), i % 37 }' >"$work/seed.full"
head -c $((8 * 1024 * 1024 - 16)) "$work/seed.full" >"$work/seed.txt"
quarter=$((size_mib / 4))
text_files=$((size_mib / 2 / 8))
for i in $(seq "$text_files"); do
  { echo "level $i"; cat "$work/seed.txt"; } >"$release/text/level$i.txt"
done
for i in $(seq $((quarter / 48))); do
  head -c $((48 * 1024 * 1024)) /dev/urandom >"$release/media/big/track$i.ogg"
done
for i in $(seq "$quarter"); do
  head -c $((1024 * 1024)) /dev/urandom >"$release/media/small/sprite$i.png"
done
total=$(du -sm "$release" | cut -f1)
files=$(find "$release" -type f | wc -l)
cat $(find "$release" -type f) >/dev/null  # both start from the page cache

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b - a) / 1e9 }'; }

mkdir -p "$work/theirs"
start=$(date +%s%N)
(cd "$release" && find . -type f -print0 | xargs -0 md5sum >"$work/md5sums")
md5_end=$(date +%s%N)
(cd "$release" && find . -type f | while read -r f; do
  mkdir -p "$work/theirs/$(dirname "$f")"
  gzip -6 -c "$f" >"$work/theirs/$f.gz"
done)
end=$(date +%s%N)
md5_t=$(seconds "$start" "$md5_end")
gzip_t=$(seconds "$md5_end" "$end")
theirs_t=$(seconds "$start" "$end")
rm -rf "$work/theirs"

# One thread too, to show what the parallelism gives on this machine.
start=$(date +%s%N)
"$tool" -q -j 1 -o "$work/ours" "$release" http://127.0.0.1/game/ >/dev/null
end=$(date +%s%N)
single_t=$(seconds "$start" "$end")
rm -rf "$work/ours"

start=$(date +%s%N)
"$tool" -q -o "$work/ours" "$release" http://127.0.0.1/game/ >"$work/summary"
end=$(date +%s%N)
ours_t=$(seconds "$start" "$end")

# The manifest's digests are md5sum's.
grep -v '^master:' "$work/ours/manifest.txt" | sed -E 's/\.gz:/:/; s/<.*//' |
  awk -F: '{ print $2 "  ./" $1 }' | sort -k2 >"$work/ours.sums"
sort -k2 "$work/md5sums" | cmp -s - "$work/ours.sums" || { echo "kib-manifest's digests differ from md5sum's"; exit 1; }

echo "release: $total MiB in $files files; $(nproc) processors"
echo "md5sum + gzip -6: ${theirs_t} s (md5sum ${md5_t} s, gzip ${gzip_t} s)"
echo "kib-manifest:     ${ours_t} s ($(cat "$work/summary" | head -n 1))"
echo "kib-manifest -j 1: ${single_t} s"
echo "ratio (kib-manifest / md5sum+gzip): $(awk -v a="$ours_t" -v b="$theirs_t" 'BEGIN { printf "%.3f", a / b }'), with -j 1: $(awk -v a="$single_t" -v b="$theirs_t" 'BEGIN { printf "%.3f", a / b }')  (target <= 1.2)"
