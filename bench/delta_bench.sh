#!/usr/bin/env bash
# A delta update against a whole download of the same file and against zsync on the same pair,
# side by side in one run, each from the same loopback nginx, with curl's download of the file
# beside them. The player (and zsync's seed) holds the old version. Pairs:
#   random:N  a random file of N MiB; its new version has 4 KiB inserted 1 MiB from its start and
#             1 MiB in the middle rewritten (random:128 by default; random:1024 for a large one)
#   lumps     a 41 MB pack of repeated lumps (300 random ones, each used about three times)
#             with 40 scattered edits: bytes changed, inserted and deleted
#   debian    lib/modules of Debian's openjdk-17-jre-headless, 17.0.19+10-1~deb12u2 (bookworm)
#             to 17.0.21.1+2-1~deb12u1 (bookworm-security), fetched once with apt-get download
#             into $KIB_BENCH_CACHE (default ~/.cache/kib-bench); the versions can be set with
#             JDK_OLD and JDK_NEW
# Bytes are nginx's body bytes from its access log for the file's requests (its map or .zsync
# and the ranges or the whole file; the updater's manifest of a few hundred bytes is left out);
# seconds are wall clock and peak memory the largest resident set (/usr/bin/time), the median of
# ROUNDS runs (default 5) of each, taken in turn so that a busy moment of the machine falls on
# all alike. The load average is printed beside them.
# Usage: [ROUNDS=n] bench/delta_bench.sh [build directory] [pair...]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
. scripts/lib.sh
build=${1:-build}
shift || true
pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=(random:128 lumps debian)
updater=$repo/$build/kib-updater
manifest_tool=$repo/$build/kib-manifest
[ -x "$updater" ] && [ -x "$manifest_tool" ] || { echo "build $updater and $manifest_tool first" >&2; exit 1; }
# zsync is the anchor; only this benchmark needs it.
install_packages zsync time

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
cache=${KIB_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kib-bench}
jdk_old=${JDK_OLD:-17.0.19+10-1~deb12u2}
jdk_new=${JDK_NEW:-17.0.21.1+2-1~deb12u1}
# Body bytes nginx sent since line $1 of its access log, for requests whose path starts with $2.
served_since() {
  tail -n +"$(($1 + 1))" "$log" | awk -F'"' -v p="$2" '{ split($2, r, " "); split($3, f, " ") } index(r[2], p) == 1 { sum += f[2] } END { printf "%d", sum }'
}
log_lines() { wc -l <"$log"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
# Runs "$@" under /usr/bin/time; false when the command fails. read_time then sets took (seconds)
# and peak (KiB).
timed() { /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" || { echo "failed: $*" >&2; return 1; }; }
read_time() { read -r took peak < <(tail -n 1 "$work/time.txt"); }

# Writes the old and new versions of pair $1 to $work/old.bin and $work/new.bin.
make_pair() {
  case "$1" in
  random:*)
    local bytes=$((${1#random:} * mib)) middle
    middle=$((bytes / 2))
    head -c "$bytes" /dev/urandom >"$work/old.bin"
    {
      head -c "$mib" "$work/old.bin"
      head -c 4096 /dev/urandom
      dd if="$work/old.bin" bs=1M iflag=skip_bytes,count_bytes skip="$mib" count=$((middle - mib)) status=none
      head -c "$mib" /dev/urandom
      dd if="$work/old.bin" bs=1M iflag=skip_bytes skip=$((middle + mib)) status=none
    } >"$work/new.bin"
    ;;
  lumps)
    python3 - "$work/old.bin" "$work/new.bin" <<'PY'
import random, sys
r = random.Random(26)
lumps = [r.randbytes(r.randint(512, 96 * 1024)) for _ in range(300)]
pack = bytearray()
while len(pack) < 41_000_000:
    pack += r.choice(lumps)
old = bytes(pack[:41_000_000])
new = bytearray(old)
# From the end backwards, so that each edit's place is one of the old file.
for at in sorted(r.sample(range(len(old) - 4096), 40), reverse=True):
    kind = r.choice(["change", "insert", "delete"])
    count = r.randint(1, 64) if kind == "change" else r.randint(1, 2048)
    if kind == "change":
        new[at:at + count] = r.randbytes(count)
    elif kind == "insert":
        new[at:at] = r.randbytes(count)
    else:
        del new[at:at + count]
open(sys.argv[1], "wb").write(old)
open(sys.argv[2], "wb").write(bytes(new))
PY
    ;;
  debian)
    local version package modules=./usr/lib/jvm/java-17-openjdk-amd64/lib/modules
    mkdir -p "$cache"
    for version in "$jdk_old" "$jdk_new"; do
      package=$(ls "$cache"/openjdk-17-jre-headless_"${version/:/%3a}"_amd64.deb 2>/dev/null || true)
      [ -n "$package" ] || (cd "$cache" && apt-get download -q "openjdk-17-jre-headless=$version" >/dev/null)
    done
    dpkg-deb --fsys-tarfile "$cache"/openjdk-17-jre-headless_"${jdk_old/:/%3a}"_amd64.deb | tar -xO "$modules" >"$work/old.bin"
    dpkg-deb --fsys-tarfile "$cache"/openjdk-17-jre-headless_"${jdk_new/:/%3a}"_amd64.deb | tar -xO "$modules" >"$work/new.bin"
    ;;
  *) echo "unknown pair $1" >&2; exit 1 ;;
  esac
}

# Runs the updater in a game folder holding the old version, against manifest $1; sets took,
# peak and got (the file's bytes). Checks the result against the new version.
run_update() {
  local manifest=$1 game=$work/game before
  rm -rf "$game"
  mkdir -p "$game/data" "$game/assets/updater"
  cp "$work/old.bin" "$game/data/big.pak"
  printf '%s\n' "$base/$manifest" >"$game/assets/updater/update.cfg"
  sync
  before=$(log_lines)
  (cd "$game" && timed timeout 1200 "$updater" 2>"$work/boxes.txt") || { cat "$game/logs/updater.log" >&2; exit 1; }
  read_time
  cmp -s "$game/data/big.pak" "$work/new.bin" || { echo "updated file differs" >&2; cat "$game/logs/updater.log" >&2; exit 1; }
  cp "$game/logs/updater.log" "$work/last.log"
  got=$(served_since "$before" "/${manifest%manifest.txt}data/")
}

# zsync with the old version as its seed; sets took, peak and got.
run_zsync() {
  local folder=$work/zsync before
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$work/old.bin" "$folder/old.bin"
  sync
  before=$(log_lines)
  (cd "$folder" && timed zsync -q -i old.bin -o big.pak "$base/data/big.pak.zsync" >/dev/null) || exit 1
  read_time
  cmp -s "$folder/big.pak" "$work/new.bin" || { echo "zsync's file differs" >&2; exit 1; }
  got=$(served_since "$before" "/data/")
}

printf '%-10s %-30s %9s %12s %9s %10s\n' "pair" "transfer" "seconds" "bytes" "% of file" "peak KiB"
for pair in "${pairs[@]}"; do
  make_pair "$pair"
  rm -rf "$work/www"/*
  mkdir -p "$work/www/data" "$work/www/full/data"
  cp "$work/new.bin" "$work/www/data/big.pak"
  new_size=$(stat -c %s "$work/new.bin")
  # The same release twice, in place: without a map in full/ (the file linked, not copied), with
  # one at the top; and zsync's control file beside it, for the same plain file.
  ln "$work/www/data/big.pak" "$work/www/full/data/big.pak"
  "$manifest_tool" -q --no-delta "$work/www/full" "$base/full/" >/dev/null
  "$manifest_tool" -q --exclude full "$work/www" "$base/" >/dev/null
  (cd "$work/www/data" && zsyncmake -u big.pak -o big.pak.zsync big.pak)
  map_bytes=$(stat -c %s "$work/www/data/big.pak.kib-blocks")
  zsync_map_bytes=$(stat -c %s "$work/www/data/big.pak.zsync")
  gz_note=""
  [ -e "$work/www/data/big.pak.gz" ] && gz_note=" (.gz $(stat -c %s "$work/www/data/big.pak.gz") B)"

  declare -A seconds=() peaks=() bytes=()
  echo "$pair: $new_size bytes$gz_note; load average before $(load)"
  for ((round = 1; round <= rounds; ++round)); do
    before=$(log_lines)
    timed curl -sS -o "$work/curl.bin" "$base/data/big.pak"
    read_time
    seconds[curl]+="$took " peaks[curl]+="$peak " bytes[curl]=$(served_since "$before" /data/)
    rm -f "$work/curl.bin"
    # The three take turns at going first: what the machine does with the memory one run freed
    # (a virtual machine may hand it back to its host) then falls on all alike.
    kinds=(whole delta zsync)
    for ((turn = 0; turn < 3; ++turn)); do
      kind=${kinds[$(((round + turn) % 3))]}
      case $kind in
      whole) run_update full/manifest.txt ;;
      delta)
        run_update manifest.txt
        cp "$work/last.log" "$work/delta.log"
        ;;
      zsync) run_zsync ;;
      esac
      seconds[$kind]+="$took " peaks[$kind]+="$peak " bytes[$kind]=$got
    done
    grep -q "Delta update of data/big.pak:" "$work/delta.log" || { echo "no delta update:" >&2; cat "$work/delta.log" >&2; exit 1; }
  done
  echo "$pair: load average after $(load); seconds of each run: curl ${seconds[curl]}; whole ${seconds[whole]}; delta ${seconds[delta]}; zsync ${seconds[zsync]}"

  row() {  # label kind
    printf '%-10s %-30s %9.2f %12d %8.2f%% %10d\n' "$pair" "$1" "$(median ${seconds[$2]})" "${bytes[$2]}" \
      "$(awk -v b="${bytes[$2]}" -v n="$new_size" 'BEGIN { print 100 * b / n }')" "$(median ${peaks[$2]})"
  }
  row "curl, whole file" curl
  row "updater, whole file" whole
  row "updater, delta (map $map_bytes B)" delta
  row "zsync (.zsync $zsync_map_bytes B)" zsync
  echo "           $(grep "Delta update of data/big.pak:" "$work/delta.log" | sed 's/^[[:space:]]*//')"
  awk -v d="$(median ${seconds[delta]})" -v f="$(median ${seconds[whole]})" -v db="${bytes[delta]}" -v zb="${bytes[zsync]}" 'BEGIN {
    printf "           delta: bytes %.3f x zsync'"'"'s (target <= 1), time %.2f x the whole download (target <= 1)\n", db / zb, d / f }'
  unset seconds peaks bytes
  rm -f "$work/old.bin" "$work/new.bin"
done
