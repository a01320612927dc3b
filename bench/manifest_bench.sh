#!/usr/bin/env bash
# Publishes a 2 GiB release with kib-manifest and compares the time with md5sum plus gzip -6 on
# the same files, side by side in one run (target: kib-manifest within 1.2 times theirs).
# The release is half text-like data that compresses about fivefold and half incompressible
# data (as already-compressed game assets are), in files from 1 MiB to 48 MiB; it is generated
# on disk in a temporary folder and deleted at the end.
#
# With "check" instead of a size it measures the updater's side: a 100,000-line CRLF manifest
# of files already present is checked (target: the whole run under a second, side by side with
# md5sum -c on the same files), and a 96 MiB manifest is refused (target: within seconds, in
# less than 256 MiB of memory, side by side with md5sum reading the same manifest). Both runs
# are the real updater (dummy video driver) against a loopback nginx, timed by /usr/bin/time -v.
# Usage: bench/manifest_bench.sh [build-dir] [size-in-MiB | check]
set -euo pipefail
build=${1:-build}
size_mib=${2:-2048}

if [ "$size_mib" = check ]; then
  updater=$(realpath "$build/kib-updater")
  [ -x "$updater" ] || { echo "build $updater first (cmake --build $build)"; exit 1; }
  source "$(dirname "$0")/../scripts/lib.sh"
  work=$(mktemp -d -p "${TMPDIR:-/var/tmp}" kib-check-bench.XXXXXX)
  nginx_pid=""
  trap '[ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null; rm -rf "$work"' EXIT
  mkdir -p "$work/www/files" "$work/game/assets/updater"
  start_loopback_nginx "$work/nginx" "$work/www" || { echo "nginx did not start"; exit 1; }
  base="http://127.0.0.1:$nginx_port"

  # 100,000 small files in 100 folders, already in the game's folder.
  (cd "$work/game" && perl -e 'for my $d (0..99) { mkdir sprintf("data%02d", $d) }
    for my $i (0..99999) { my $p = sprintf("data%02d/file%06d.dat", $i % 100, $i);
      open(my $f, ">", $p) or die; print $f "file $i of the release\n"; close $f }')
  (cd "$work/game" && find data* -type f -print0 | xargs -0 md5sum >"$work/sums")
  { printf 'master:%s/files/\r\n' "$base"
    awk '{ printf "%s:%s\r\n", $2, $1 }' "$work/sums"; } >"$work/www/check"
  cat $(find "$work/game" -type f) >/dev/null 2>&1 || true

  # Runs the updater in the game folder against `name` on the server; prints seconds and KiB.
  run_updater() {  # name
    printf '%s/%s' "$base" "$1" >"$work/game/assets/updater/update.cfg"
    (cd "$work/game" && env -u DISPLAY -u WAYLAND_DISPLAY SDL_VIDEODRIVER=dummy \
      /usr/bin/time -v "$updater" >/dev/null 2>"$work/time.txt") || true
    local elapsed kib
    elapsed=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time.txt" |
      awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }')
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    echo "$elapsed s, $kib KiB peak"
  }

  start=$(date +%s%N)
  (cd "$work/game" && md5sum --quiet -c "$work/sums")
  end=$(date +%s%N)
  echo "100,000-line CRLF manifest, every file present ($(du -k "$work/www/check" | cut -f1) KiB):"
  echo "  md5sum -c:  $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) / 1e9 }') s"
  echo "  kib-updater: $(run_updater check) (target: under 1 s)"
  grep -q $'^\tdata99/file099999.dat (' "$work/game/logs/updater.log" || { echo "the updater did not check every line"; exit 1; }
  grep -c 'up to date$' "$work/game/logs/updater.log" | awk '{ print "  lines up to date: " $1 }'

  # 96 MiB of well-formed lines, as a hostile or broken server might send.
  awk -v base="$base" 'BEGIN { printf "master:%s/files/\r\n", base;
    for (i = 0; i < 1200000; i++) printf "data/more/file%07d.dat:0123456789abcdef0123456789abcdef\r\n", i }' |
    head -c $((96 * 1024 * 1024)) >"$work/www/huge"
  start=$(date +%s%N)
  md5sum "$work/www/huge" >/dev/null
  end=$(date +%s%N)
  echo "96 MiB manifest:"
  echo "  md5sum reading it: $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) / 1e9 }') s"
  echo "  kib-updater: $(run_updater huge) (target: seconds, under 262144 KiB)"
  grep -q $'^\tManifest larger than' "$work/game/logs/updater.log" || { echo "the updater did not refuse it"; exit 1; }
  exit 0
fi
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
