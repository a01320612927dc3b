#!/usr/bin/env bash
# What checking a signed manifest adds to a run, on a 1 MiB manifest signed by Debian's minisign,
# side by side with `minisign -V` on the same files: the check inside the updater (median of 50,
# target under 5 ms), and both as whole processes (median wall time of ROUNDS runs each,
# alternating), for the prehashed signature minisign makes by default and the legacy one (-l).
# Usage: bench/signature_bench.sh [build-dir] [rounds]
set -euo pipefail
build=${1:-build}
rounds=${2:-21}
program="$build/bench/verify_manifest"
[ -x "$program" ] || { echo "build $program first (cmake --build $build)"; exit 1; }
command -v minisign >/dev/null || { echo "needs minisign (scripts/setup.sh installs it)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A manifest as kib-manifest writes one for a large game: about 19 000 lines, 1 MiB.
{
  echo "master:http://updates.example.com/game/"
  i=0
  while [ "$(stat -c %s "$work/m" 2>/dev/null || echo 0)" -lt 1048576 ] && [ $i -lt 100000 ]; do
    for j in $(seq 0 499); do
      printf 'data/levels/area%05d/tile%03d.pak:%s\n' $i $j "$(printf '%032x' $(( (i * 500 + j) * 2654435761 % 4294967296 )))"
    done >>"$work/m"
    i=$((i + 1))
  done
  head -c 1048576 "$work/m" | sed '$d'
} >"$work/manifest.txt"
rm -f "$work/m"
minisign -G -W -p "$work/key.pub" -s "$work/key.key" >/dev/null
cp "$work/manifest.txt" "$work/legacy.txt"
minisign -S -s "$work/key.key" -m "$work/manifest.txt" >/dev/null
minisign -S -l -s "$work/key.key" -m "$work/legacy.txt" >/dev/null
cat "$work/manifest.txt" "$work/legacy.txt" "$work"/*.minisig >/dev/null  # both read from the page cache

wall() {  # prints the seconds one run of the command takes
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  end=$(date +%s%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f\n", (b - a) / 1e6 }'
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

echo "manifest: $(stat -c %s "$work/manifest.txt") bytes, $(wc -l <"$work/manifest.txt") lines; $rounds process runs each, alternating; medians"
for kind in manifest legacy; do
  file="$work/$kind.txt"
  inside=$("$program" "$file" "$file.minisig" "$work/key.pub" 50)
  ours=() theirs=()
  for _ in $(seq "$rounds"); do
    ours+=("$(wall "$program" "$file" "$file.minisig" "$work/key.pub" 1)")
    theirs+=("$(wall minisign -V -q -p "$work/key.pub" -m "$file")")
  done
  label=$([ $kind = manifest ] && echo "prehashed (ED)" || echo "legacy (Ed)")
  echo "$label: inside the updater ${inside} ms (target < 5 ms); as a process: verify_manifest $(median "${ours[@]}") ms, minisign -V $(median "${theirs[@]}") ms"
done
