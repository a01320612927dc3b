#!/usr/bin/env bash
# The whole job on a built-in demo: builds the updater and kib-manifest, makes a signing key,
# publishes a small demo release with kib-manifest and signs it, serves it with nginx on a free loopback port, prepares a demo game
# folder holding an older version and the public key, runs kib-updater there (its largest file
# updated by delta, from the blocks it already holds) and shows what happened.
# Everything lives in demo/ (recreated on every run); nginx is stopped at the end, also after
# a failure or Ctrl-C. A real window when DISPLAY is set, SDL's dummy video driver otherwise.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
. scripts/lib.sh
scripts/setup.sh

echo "== Building"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target kib-updater kib-manifest >/dev/null

demo="$repo/demo"
nginx_pid=""
stop_server() {
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  nginx_pid=""
}
trap stop_server EXIT
trap 'exit 130' INT TERM

rm -rf "$demo"
mkdir -p "$demo/release" "$demo/www" "$demo/server" "$demo/game" "$demo/keys"

# The demo's largest file, a 12 MiB level pack: version 2 has 4 KiB inserted near its start and
# 64 KiB rewritten in its middle, so the updater fetches only those blocks (a delta update).
head -c $((12 * 1024 * 1024)) /dev/urandom >"$demo/world-v1.pak"
{
  head -c 100000 "$demo/world-v1.pak"
  head -c 4096 /dev/urandom
  dd if="$demo/world-v1.pak" bs=64K iflag=skip_bytes,count_bytes skip=100000 count=$((6 * 1024 * 1024 - 100000)) status=none
  head -c $((64 * 1024)) /dev/urandom
  dd if="$demo/world-v1.pak" bs=64K iflag=skip_bytes skip=$((6 * 1024 * 1024 + 64 * 1024)) status=none
} >"$demo/world-v2.pak"

# Version 2 of the demo game: the large level pack, text that compresses well, binary data that does not, an
# already-compressed file, an empty file, nested folders, the player's settings file (listed
# by name only, so the updater never overwrites the player's changes) and kib.exe, here a
# shell script that leaves a mark when the updater starts it.
write_version() {  # folder version
  local dir=$1 version=$2
  mkdir -p "$dir/data/levels" "$dir/data/sounds" "$dir/docs" "$dir/config"
  printf '#!/bin/sh\n# The demo game: leaves a mark in its folder.\necho "kib.exe (demo game version %s) started at $(date)" > game-started.txt\n' \
    "$version" >"$dir/kib.exe"
  for level in 1 2 3; do
    for row in $(seq 1 2000); do echo "level $level version $version row $row: wall wall floor floor door"; done \
      >"$dir/data/levels/level$level.txt"
  done
  head -c $((64 * 1024)) /dev/urandom >"$dir/data/sounds/beep.raw"
  cp "$demo/world-v$version.pak" "$dir/data/levels/world.pak"
  printf 'Demo game version %s\n' "$version" | gzip -9 >"$dir/docs/changes.txt.gz"
  printf 'Read me: demo game version %s\n' "$version" >"$dir/docs/readme.txt"
  : >"$dir/data/empty.dat"
  printf 'volume=7\n' >"$dir/config/settings.ini"
}
write_version "$demo/release" 2

echo "== Making the demo's signing key with kib-manifest"
build/kib-manifest --generate-key "$demo/keys/demo"
# The game ships the public key: with it, the updater takes only manifests signed by this key.
# It is part of the release too, so that every player's folder keeps it.
mkdir -p "$demo/release/assets/updater"
cp "$demo/keys/demo.pub" "$demo/release/assets/updater/update.pub"

start_loopback_nginx "$demo/server" "$demo/www" || true
port=$nginx_port
[ -n "$nginx_pid" ] || { echo "nginx did not start:"; cat "$demo/server/error.log"; exit 1; }
base="http://127.0.0.1:$port/game/"

echo "== Publishing the demo release (version 2) with kib-manifest, signed, valid for 30 days"
build/kib-manifest --presence 'config/*.ini' --sign "$demo/keys/demo.key" --expires-in 30 -o "$demo/www/game" \
  "$demo/release" "$base"
echo "--- the manifest, $base""manifest.txt"
cat "$demo/www/game/manifest.txt"
echo "--- its signature, $base""manifest.txt.minisig"
cat "$demo/www/game/manifest.txt.minisig"
echo "--- the signed digests of the presence-only files' first copies, $base""manifest.txt.presence.md5"
cat "$demo/www/game/manifest.txt.presence.md5"
if command -v minisign >/dev/null; then
  echo "--- minisign -V checks both as anyone can"
  minisign -V -p "$demo/keys/demo.pub" -m "$demo/www/game/manifest.txt"
  minisign -V -p "$demo/keys/demo.pub" -m "$demo/www/game/manifest.txt.presence.md5"
fi
echo "== nginx serves $demo/www on 127.0.0.1:$port"

echo "== Preparing the demo game folder with version 1"
write_version "$demo/game" 1
rm "$demo/game/data/levels/level3.txt" "$demo/game/docs/readme.txt"  # missing files
printf 'volume=2\n' >"$demo/game/config/settings.ini"                # the player's own setting
mkdir -p "$demo/game/assets/updater"
printf '%s\n' "${base}manifest.txt" >"$demo/game/assets/updater/update.cfg"
cp "$demo/keys/demo.pub" "$demo/game/assets/updater/update.pub"
pictures=0
for picture in bg progress title; do
  if [ -f "assets/updater/$picture.bmp" ]; then
    cp "assets/updater/$picture.bmp" "$demo/game/assets/updater/"
    pictures=$((pictures + 1))
  fi
done
echo "update.cfg: $(cat "$demo/game/assets/updater/update.cfg"); pictures copied: $pictures of 3"

echo "== Running kib-updater in $demo/game"
if [ -n "${DISPLAY:-}" ]; then
  echo "(a real window on $DISPLAY; close each message box with OK)"
else
  echo "(no DISPLAY: SDL's dummy video driver; the message boxes appear on standard error)"
  export SDL_VIDEODRIVER=dummy
fi
run_updater() {  # boxes-file; prints nothing, returns the updater's status
  local status=0
  (cd "$demo/game" && timeout 300 "$repo/build/kib-updater" 2>"$1") || status=$?
  return "$status"
}
status=0
run_updater "$demo/boxes.txt" || status=$?
sleep 0.5  # the game runs on its own; give it a moment to leave its mark
cp "$demo/game/logs/updater.log" "$demo/updater.log" 2>/dev/null || true
echo "== Running kib-updater once more: everything should be up to date"
again=0
run_updater "$demo/boxes-again.txt" || again=$?
stop_server

echo
echo "--- the log of the first run, logs/updater.log"
cat "$demo/updater.log" 2>/dev/null || echo "(no log)"
echo "--- the message boxes (standard error)"
cat "$demo/boxes.txt"
[ "$status" -eq 0 ] || echo "--- kib-updater ended with status $status"
echo "--- the game"
if [ -f "$demo/game/game-started.txt" ]; then
  echo "kib.exe was started: $(cat "$demo/game/game-started.txt")"
else
  echo "kib.exe was not started"
fi
echo "--- the game folder against the release"
differences=0
while IFS= read -r file; do
  relative=${file#"$demo/release/"}
  [ "$relative" = config/settings.ini ] && continue
  cmp -s "$file" "$demo/game/$relative" || { echo "differs: $relative"; differences=$((differences + 1)); }
done < <(find "$demo/release" -type f | sort)
echo "$differences file(s) differ; config/settings.ini kept the player's setting: $(cat "$demo/game/config/settings.ini")"
echo "--- the delta update of the largest file, data/levels/world.pak ($(stat -c %s "$demo/release/data/levels/world.pak") bytes)"
grep "Delta update of data/levels/world.pak" "$demo/updater.log" | sed 's/^[[:space:]]*//' || echo "(no delta update in the log)"
awk -F'"' '/world\.pak/ { split($2, r, " "); split($3, f, " "); printf "nginx: %s %s -> %s, %s bytes\n", r[1], r[2], f[1], f[2]; sum += f[2] }
           END { printf "nginx sent %d bytes for it in all (the block map included)\n", sum }' "$demo/server/access.log"
echo "--- the newest signed release this folder has accepted (assets/updater/update.trust)"
cat "$demo/game/assets/updater/update.trust" 2>/dev/null || echo "(none)"
echo "--- the message boxes of the second run"
cat "$demo/boxes-again.txt"
[ "$again" -eq 0 ] || echo "--- kib-updater ended with status $again"
echo "Everything is in $demo (release, server copy in www/game, game folder, nginx logs in server/)."
