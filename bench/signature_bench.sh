#!/usr/bin/env bash
# What checking a signed manifest adds to a run, on a 1 MiB manifest signed by Debian's minisign,
# side by side with `minisign -V` on the same files: the check inside the updater (median of 50,
# target under 5 ms), and both as whole processes (ROUNDS runs each, alternating: median wall
# time, and mean processor time, which other load on the machine inflates less), for the
# prehashed signature minisign makes by default and the legacy one (-l).
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

# Runs each command ROUNDS times, alternating; prints per command "median-wall-ms mean-cpu-ms".
compare() {  # rounds command-a... -- command-b...
  python3 - "$@" <<'PY'
import resource, statistics, subprocess, sys, time
rounds = int(sys.argv[1]); split = sys.argv.index("--")
commands = [sys.argv[2:split], sys.argv[split + 1:]]
wall = [[], []]; cpu = [0.0, 0.0]
for _ in range(rounds):
    for i, command in enumerate(commands):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        wall[i].append((time.perf_counter() - start) * 1000)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu[i] += (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000
for i in range(2):
    print("%.2f %.2f" % (statistics.median(wall[i]), cpu[i] / rounds))
PY
}

echo "manifest: $(stat -c %s "$work/manifest.txt") bytes, $(wc -l <"$work/manifest.txt") lines; $rounds process runs each, alternating"
for kind in manifest legacy; do
  file="$work/$kind.txt"
  read -r inside_wall inside_cpu < <("$program" "$file" "$file.minisig" "$work/key.pub" 50)
  { read -r our_wall our_cpu; read -r their_wall their_cpu; } < <(compare "$rounds" \
    "$program" "$file" "$file.minisig" "$work/key.pub" 1 -- minisign -V -q -p "$work/key.pub" -m "$file")
  label=$([ $kind = manifest ] && echo "prehashed (ED)" || echo "legacy (Ed)")
  echo "$label: inside the updater ${inside_wall} ms wall, ${inside_cpu} ms processor (target < 5 ms)"
  echo "  as a process: verify_manifest ${our_wall} ms wall, ${our_cpu} ms processor; minisign -V ${their_wall} ms wall, ${their_cpu} ms processor"
done
