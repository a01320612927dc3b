#!/usr/bin/env bash
# Tests the Windows program under Wine: builds kib-updater.exe with scripts/build-windows.sh,
# publishes a release with the Linux kib-manifest, serves it with nginx on a free loopback port
# and runs the program under 32-bit Wine on Xvfb: a fresh install (with a file whose name is not
# ASCII), an up-to-date run, a run against a closed port, an up-to-date folder without kib.exe,
# Escape while a server keeps it waiting, a run through the player's own proxy settings, a game
# that ships a public key (a signed install, and a forged manifest), and over HTTPS an install
# with a test authority trusted for the run, a refused certificate of another authority and a
# delta update of a large file whose Range requests go over TLS too, and many small files at
# once over HTTP/2 (HTTPS) and pipelined (plain HTTP); then the updater replacing itself, a file
# another program holds, which the switch waits for and then gives up on, leaving the release as
# it was, the program's application manifest as Windows reads it, a path past MAX_PATH, two
# names that are one file on Windows, a manifest line whose trailing dot Windows would drop, and
# a second start that takes unchanged files from the record of verified files without reading
# them, over a changed file and a folder a link took the place of. Each
# Wine run is bounded by `timeout` and judged by the files it leaves, its log and its message
# boxes, never by Wine's exit code; the logs of the first four, the two signed, the HTTPS and the
# last two runs are compared with the Linux build's of the same run.
# Usage: scripts/test-windows.sh [build folder, default build-win]. Exits non-zero, naming
# every failed check, when one fails.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
. scripts/lib.sh
out=$(mkdir -p "${1:-build-win}" && cd "${1:-build-win}" && pwd)
triplet=i686-w64-mingw32

# ---- What the test needs: the Linux build's packages, Wine (32-bit: 64-bit Wine alone cannot
# start the program and yet exits 0), Xvfb and the X tools, nginx.
scripts/setup.sh
install_packages wine wine32:i386 xvfb xdotool x11-utils nginx

echo "== Building the Linux updater and kib-manifest (build/), and the Windows program ($out)"
cmake --preset plain >/dev/null
cmake --build --preset plain -j2 --target kib-updater kib-manifest >/dev/null
scripts/build-windows.sh "$out"

work="$out/test"
rm -rf "$work"
mkdir -p "$work"
failures=()
passed=0
check() {  # description command...: records the description when the command fails
  local description=$1
  shift
  if "$@"; then
    echo "ok: $description"
    passed=$((passed + 1))
  else
    echo "FAILED: $description"
    failures+=("$description")
  fi
}

# ---- The game: a tiny Windows program that leaves a mark in its working directory.
cat >"$work/game.c" <<'EOF'
#include <stdio.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    char folder[MAX_PATH] = "";
    FILE* mark = fopen("kib-started.txt", "w");
    (void)instance, (void)previous, (void)commandLine, (void)show;
    if (!mark) return 1;
    GetCurrentDirectoryA(MAX_PATH, folder);
    fprintf(mark, "kib.exe started in %s\n", folder);
    fclose(mark);
    return 0;
}
EOF
$triplet-gcc-win32 -O2 -mwindows -static -o "$work/kib.exe" "$work/game.c"

# ---- The release: compressed, digest and presence lines, nested folders.
release="$work/release"
mkdir -p "$release/data/levels" "$release/data/sounds" "$release/config"
cp "$work/kib.exe" "$release/kib.exe"
for level in 1 2; do
  for row in $(seq 1 3000); do echo "level $level row $row: wall wall floor floor door"; done >"$release/data/levels/level$level.txt"
done
head -c 100000 /dev/urandom >"$release/data/sounds/beep.raw"
: >"$release/data/empty.dat"
printf 'volume=7\r\n' >"$release/config/settings.ini"
# A folder and a file whose names are not ASCII: the manifest holds them in UTF-8, and the
# program must reach them through Windows' UTF-16 file functions, not the ANSI ones.
unicode_file="data/música/canción_ñ.txt"
mkdir -p "$release/data/música"
echo "la kib cruzó el río" >"$release/$unicode_file"

# ---- nginx on a free loopback port, as scripts/demo.sh serves a release.
server="$work/server"
mkdir -p "$work/www"
nginx_pid="" plain_nginx_pid="" xvfb_pid="" tls_nginx_pid="" other_nginx_pid="" trusted_for_run=""
cleanup() {
  # The prefix is kept with the build: the test authority must not stay trusted in it.
  [ -n "$trusted_for_run" ] && trust_ca remove 2>/dev/null || true
  for pid in $plain_nginx_pid $tls_nginx_pid $other_nginx_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
  [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
start_loopback_nginx "$server" "$work/www" || true
port=$nginx_port
plain_nginx_pid=$nginx_pid
[ -n "$nginx_pid" ] || { echo "nginx did not start:"; cat "$server/error.log"; exit 1; }
base="http://127.0.0.1:$port/game/"
build/kib-manifest -q --presence 'config/*.ini' -o "$work/www/game" "$release" "$base" >/dev/null
echo "== The release, served on 127.0.0.1:$port:"
cat "$work/www/game/manifest.txt"
grep -q '\.gz:[0-9a-f]*<' "$work/www/game/manifest.txt" && grep -qx 'config/settings.ini' "$work/www/game/manifest.txt" ||
  { echo "the manifest lacks a compressed or a presence line"; exit 1; }

# ---- Xvfb and a private Wine prefix, set up once and kept with the build.
exec 5>"$work/xvfb.display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 5>&-
for _ in $(seq 100); do [ -s "$work/xvfb.display" ] && break; sleep 0.1; done
[ -s "$work/xvfb.display" ] || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(head -n1 "$work/xvfb.display")"
export WINEPREFIX="$out/wine" WINEARCH=win32
# No downloads of Mono or Gecko: the program needs neither, and their prompts would wait.
export WINEDLLOVERRIDES="mscoree=;mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Creating the Wine prefix $WINEPREFIX"
  WINEDEBUG=-all timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || true
  WINEDEBUG=-all timeout 120 wineserver -w || true
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot made no prefix:"; cat "$work/wineboot.log"; rm -rf "$WINEPREFIX"; exit 1; }
fi

# ---- One run of the updater in a game folder, under Wine and under Linux.
box_names='^(Done!|Up to date!|Oh no! Problems!|Error!)$'
# Runs kib-updater.exe in `folder` under Wine, closing each message box with Return. Writes
# the captions of the boxes, in order, to `folder`.boxes, Wine's standard error (with the
# +msgbox trace holding each box's text) to `folder`.wine, and the updater window's geometry,
# taken while the first box is up, to `folder`.window.
# With "escape", presses Escape in the updater's window once it is up and writes the seconds
# from then to the end of the program to `folder`.escape. With "keep", runs the program the
# folder holds instead of a fresh copy of the one built.
run_windows() {  # folder [escape|keep]
  local folder=$1 escape="" wine_pid box seen="" i escaped=""
  [ "${2:-}" = escape ] && escape=yes
  : >"$folder.boxes"
  : >"$folder.window"
  : >"$folder.escape"
  [ "${2:-}" = keep ] || cp "$out/kib-updater.exe" "$folder/kib-updater.exe"
  (cd "$folder" && WINEDEBUG=+msgbox exec timeout 120 wine kib-updater.exe) >/dev/null 2>"$folder.wine" &
  wine_pid=$!
  for i in $(seq 1200); do
    kill -0 "$wine_pid" 2>/dev/null || break
    if [ -n "$escape" ] && [ -z "$escaped" ]; then
      local window
      window=$(xdotool search --name '^kib Updater$' 2>/dev/null | head -n1 || true)
      if [ -n "$window" ]; then
        sleep 1  # the request is under way by now
        xdotool windowfocus "$window" 2>/dev/null || true
        xdotool key Escape 2>/dev/null || true
        escaped=$(date +%s.%N)
      fi
    fi
    box=$(xdotool search --name "$box_names" 2>/dev/null | head -n1 || true)
    if [ -n "$box" ] && [ "$box" != "$seen" ]; then
      seen=$box
      sleep 0.3  # the box draws itself and takes the focus
      xdotool getwindowname "$box" >>"$folder.boxes"
      if [ ! -s "$folder.window" ]; then
        local updater
        updater=$(xdotool search --name '^kib Updater$' 2>/dev/null | head -n1 || true)
        if [ -n "$updater" ]; then
          xwininfo -id "$updater" >"$folder.window" 2>&1 || true
          xprop -id "$updater" _MOTIF_WM_HINTS >>"$folder.window" 2>&1 || true
        else
          echo "no window named kib Updater" >"$folder.window"
        fi
      fi
      xdotool windowfocus "$box" 2>/dev/null || true
      xdotool key --clearmodifiers Return 2>/dev/null || true
    fi
    sleep 0.1
  done
  [ -n "$escaped" ] && awk -v a="$escaped" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f\n", b - a }' >"$folder.escape"
  wait "$wine_pid" 2>/dev/null || true
  keep_log "$folder" windows
  # The game runs on its own: give it a moment to leave its mark.
  for i in $(seq 50); do [ -f "$folder/kib-started.txt" ] && break; sleep 0.1; done
  sleep 0.2
}
# Keeps each run's log beside the folder: run<N>-<system>.log.
runs=0
keep_log() {  # folder system
  runs=$((runs + 1))
  cp "$1/logs/updater.log" "$work/run$runs-$2.log" 2>/dev/null || true
}
run_linux() {  # folder
  # No display: the boxes go to standard error only, and nobody has to close them.
  (cd "$1" && env -u DISPLAY -u WAYLAND_DISPLAY SDL_VIDEODRIVER=dummy timeout 120 "$repo/build/kib-updater" \
    >/dev/null 2>"$1.linux-boxes") || true
  keep_log "$1" linux
}
new_game_folder() {  # folder manifest-address
  rm -rf "$1"
  mkdir -p "$1/assets/updater"
  printf '%s\n' "$2" >"$1/assets/updater/update.cfg"
  cp assets/updater/*.bmp "$1/assets/updater/"
}
# The log holds the same lines as the Linux build's; the file downloads finish in any order.
# The Windows runtime writes the text-mode log with CR LF line ends.
lines_of() { tr -d '\r' <"$1" | sort; }
same_lines() { diff <(lines_of "$1") <(lines_of "$2") >"$work/log.diff" || { cat "$work/log.diff"; return 1; }; }
box_text_has() { grep -q "trace:msgbox:.*$2" "$1.wine"; }
boxes_are() { [ "$(paste -sd'|' "$1.boxes")" = "$2" ] || { echo "boxes: $(paste -sd'|' "$1.boxes")"; return 1; }; }
no_stdio_files() { [ ! -e "$1/stdout.txt" ] && [ ! -e "$1/stderr.txt" ]; }
not_grep() { ! grep -q "$1" "$2"; }
same_as_release() {  # folder [release]: every release file byte for byte
  local file relative from=${2:-$release}
  while IFS= read -r file; do
    relative=${file#"$from/"}
    cmp -s "$file" "$1/$relative" || { echo "differs: $relative"; return 1; }
  done < <(find "$from" -type f)
}

echo "== 1: a fresh install under Wine"
game="$work/game"
new_game_folder "$game" "${base}manifest.txt"
run_windows "$game"
check "the release is installed byte for byte" same_as_release "$game"
check "no .gz file and no manifest.txt are left" test -z "$(find "$game" -name '*.gz' -o -name manifest.txt)"
check "the file with a non-ASCII name is installed under its name" cmp -s "$release/$unicode_file" "$game/$unicode_file"
check "no temporary download or unpacking is left" test -z "$(find "$game" -name '*.part' -o -name '*.unpacking')"
check "the box \"Done!\" and no other" boxes_are "$game" "Done!"
check "the box says the update was a success" box_text_has "$game" "The update was a success"
check "kib.exe was started in the game folder" grep -q "started in .*game" "$game/kib-started.txt"
check "stdout.txt and stderr.txt are not left behind" no_stdio_files "$game"
files=$(grep -vc '^master:' "$work/www/game/manifest.txt" || true)
check "the log says Finished for each of the $files files" test "$(grep -c $'^\t\tFinished ' "$game/logs/updater.log")" -eq "$files"
geometry=$(grep -E 'Absolute upper-left [XY]|Width|Height|Border width|Override Redirect' "$game.window" | tr -s ' ' | paste -sd';')
echo "the updater's window under Wine: $geometry; $(grep MOTIF "$game.window" || true)"
check "the window is at (0, 0)" grep -q 'Absolute upper-left X: *0$' "$game.window"
check "the window is at (0, 0) (y)" grep -q 'Absolute upper-left Y: *0$' "$game.window"
check "the window is 300 by 50" grep -qzE 'Width: 300.*Height: 50' "$game.window"
check "the window has no border" grep -q 'Border width: 0' "$game.window"
# Motif hints: flags with the decorations bit (2), functions, decorations 0.
check "the window asks for no frame" grep -qE '_MOTIF_WM_HINTS\(_MOTIF_WM_HINTS\) = 0x[23], 0x[0-9a-f]+, 0x0' "$game.window"
linux="$work/linux-game"
new_game_folder "$linux" "${base}manifest.txt"
run_linux "$linux"
check "the log has the Linux build's lines (fresh install)" same_lines "$game/logs/updater.log" "$linux/logs/updater.log"

echo "== 2: the same folder once more: up to date"
rm -f "$game/kib-started.txt"
run_windows "$game"
check "the box \"Up to date!\" and no other" boxes_are "$game" "Up to date!"
check "kib.exe was started again" test -f "$game/kib-started.txt"
check "the release is still in place" same_as_release "$game"
check "stdout.txt and stderr.txt are not left behind (up to date)" no_stdio_files "$game"
run_linux "$linux"
check "the log has the Linux build's lines (up to date)" same_lines "$game/logs/updater.log" "$linux/logs/updater.log"

echo "== 3: a closed port"
closed=$(free_port)
down="$work/game-down"
new_game_folder "$down" "http://127.0.0.1:$closed/game/manifest.txt"
run_windows "$down"
check "the box \"Oh no! Problems!\" and no other" boxes_are "$down" "Oh no! Problems!"
check "the box says Could not get manifest" box_text_has "$down" "Could not get manifest"
check "the log gives reason 3" test "$(tr -d '\r' <"$down/logs/updater.log" | tail -n 1)" = 'Failed to download manifest. Reason: 3'
check "the log says why, retried three times" test "$(tr -d '\r' <"$down/logs/updater.log" | grep -c '^Manifest: could not connect to 127.0.0.1:')" = 4
check "kib.exe was not started" test ! -e "$down/kib-started.txt"
linux_down="$work/linux-game-down"
new_game_folder "$linux_down" "http://127.0.0.1:$closed/game/manifest.txt"
run_linux "$linux_down"
check "the log has the Linux build's lines (closed port)" same_lines "$down/logs/updater.log" "$linux_down/logs/updater.log"

echo "== 4: up to date, but no kib.exe to start"
mkdir -p "$work/www/nogame"
printf 'master:%s\ndata/empty.dat:d41d8cd98f00b204e9800998ecf8427e\n' "$base" >"$work/www/nogame/manifest.txt"
nogame="$work/game-nogame"
new_game_folder "$nogame" "http://127.0.0.1:$port/nogame/manifest.txt"
mkdir -p "$nogame/data"
: >"$nogame/data/empty.dat"
# Another kib.exe on the system's path: the shell would find it by a bare name. It leaves its
# mark in its working directory, the game folder.
elsewhere="$work/elsewhere"
mkdir -p "$elsewhere"
cp "$work/kib.exe" "$elsewhere/kib.exe"
export WINEPATH="Z:${elsewhere//\//\\}"
run_windows "$nogame"
unset WINEPATH
check "the boxes \"Up to date!\" then \"Error!\"" boxes_are "$nogame" "Up to date!|Error!"
check "the error box gives the shell's code 2 (file not found)" \
  box_text_has "$nogame" "Encountered error code 2 while trying to run kib.exe!"
check "the kib.exe elsewhere on the path was not started" test ! -e "$nogame/kib-started.txt"
linux_nogame="$work/linux-game-nogame"
new_game_folder "$linux_nogame" "http://127.0.0.1:$port/nogame/manifest.txt"
mkdir -p "$linux_nogame/data"
: >"$linux_nogame/data/empty.dat"
run_linux "$linux_nogame"
check "the log has the Linux build's lines (no kib.exe)" same_lines "$nogame/logs/updater.log" "$linux_nogame/logs/updater.log"

echo "== 5: a server that accepts the connection and never answers; Escape ends the run at once"
# The shutdown cancels the transfer that waits for the server; without that it would wait for
# the 30-second stall time-out.
silent_port=$(free_port)
timeout 120 python3 -c '
import socket, sys
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(16)
held = []
while True:
    held.append(server.accept()[0])
' "$silent_port" &
silent_pid=$!
for _ in $(seq 50); do port_in_use "$silent_port" && break; sleep 0.1; done
stalled="$work/game-stalled"
new_game_folder "$stalled" "http://127.0.0.1:$silent_port/game/manifest.txt"
run_windows "$stalled" escape
kill "$silent_pid" 2>/dev/null || true
check "the program ended within 5 s of Escape ($(cat "$stalled.escape") s)" \
  awk -v s="$(cat "$stalled.escape")" 'BEGIN { exit !(s != "" && s < 5) }'
# The transfer cut short by the quit is dropped without a callback, as on Linux: no box.
check "no box after Escape" boxes_are "$stalled" ""
check "the log holds only the unsigned run's line after Escape" test "$(tr -d '\r' <"$stalled/logs/updater.log")" = \
  "No assets/updater/update.pub: the manifest's signature is not checked"
check "kib.exe was not started (Escape)" test ! -e "$stalled/kib-started.txt"

echo "== 6: the player's own proxy settings (Internet Options, per user)"
# The address's host does not exist: only the proxy (nginx, which serves absolute-form
# requests from its own files) can answer.
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
WINEDEBUG=-all wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
WINEDEBUG=-all wine reg add "$settings" /v ProxyServer /t REG_SZ /d "http=127.0.0.1:$port;https=127.0.0.1:1" /f >/dev/null 2>&1
proxied="$work/game-proxied"
new_game_folder "$proxied" "http://updates.invalid/game/manifest.txt"
run_windows "$proxied"
WINEDEBUG=-all wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
WINEDEBUG=-all wine reg delete "$settings" /v ProxyServer /f >/dev/null 2>&1
check "the box \"Done!\" through the proxy" boxes_are "$proxied" "Done!"
check "the release is installed through the proxy" same_as_release "$proxied"
check "the proxy was asked for the whole address" grep -q '"GET http://updates.invalid/game/manifest.txt?ver=0.3.0 HTTP/1.1"' "$server/access.log"

echo "== 7: a game that ships a public key: a release signed by kib-manifest installs"
rm -f "$work/signing.key" "$work/signing.pub"
build/kib-manifest --generate-key "$work/signing" >/dev/null
build/kib-manifest -q --presence 'config/*.ini' --sign "$work/signing.key" -o "$work/www/signed" "$release" \
  "http://127.0.0.1:$port/signed/" >/dev/null
signed="$work/game-signed"
new_game_folder "$signed" "http://127.0.0.1:$port/signed/manifest.txt"
cp "$work/signing.pub" "$signed/assets/updater/update.pub"
run_windows "$signed"
check "the signed release is installed byte for byte" same_as_release "$signed"
check "the box \"Done!\" and no other (signed)" boxes_are "$signed" "Done!"
check "the log says the signature was verified" grep -q '^Manifest signature verified: key ID ' "$signed/logs/updater.log"
check "the manifest's timestamp is kept" grep -q '^timestamp:[0-9]*$' "$signed/assets/updater/update.trust"
check "no manifest.txt or signature copy is left" test -z "$(find "$signed" -name 'manifest.txt*')"
linux_signed="$work/linux-game-signed"
new_game_folder "$linux_signed" "http://127.0.0.1:$port/signed/manifest.txt"
cp "$work/signing.pub" "$linux_signed/assets/updater/update.pub"
run_linux "$linux_signed"
check "the log has the Linux build's lines (signed)" same_lines "$signed/logs/updater.log" "$linux_signed/logs/updater.log"

echo "== 8: the same game, and a manifest with a forged line"
mkdir -p "$work/www/forged"
cp "$work/www/signed/manifest.txt.minisig" "$work/www/forged/"
{ cat "$work/www/signed/manifest.txt"; printf 'evil.exe:%s\n' "$(md5sum <"$work/kib.exe" | cut -c1-32)"; } \
  >"$work/www/forged/manifest.txt"
cp "$work/kib.exe" "$work/www/signed/evil.exe"
printf 'http://127.0.0.1:%s/forged/manifest.txt\n' "$port" >"$signed/assets/updater/update.cfg"
rm -f "$signed/kib-started.txt"
before=$(cd "$signed" && find . -type f ! -path ./logs/updater.log ! -name '*.boxes' -exec md5sum {} + | sort)
run_windows "$signed"
after=$(cd "$signed" && find . -type f ! -path ./logs/updater.log -exec md5sum {} + | sort)
check "the box \"Oh no! Problems!\" and no other (forged)" boxes_are "$signed" "Oh no! Problems!"
check "the box says Could not verify manifest" box_text_has "$signed" "Could not verify manifest"
check "the log says the signature does not match" \
  grep -q '^Manifest signature invalid: it does not match the manifest' "$signed/logs/updater.log"
check "kib.exe was not started (forged)" test ! -e "$signed/kib-started.txt"
check "the folder is left exactly as it was (forged)" test "$before" = "$after"
printf 'http://127.0.0.1:%s/forged/manifest.txt\n' "$port" >"$linux_signed/assets/updater/update.cfg"
run_linux "$linux_signed"
check "the log has the Linux build's lines (forged)" same_lines "$signed/logs/updater.log" "$linux_signed/logs/updater.log"

echo "== 9: HTTPS from nginx, with a private authority trusted for this run only"
# Wine's root store is the host's (it reads /etc/ssl/certs on every start and ignores
# SSL_CERT_FILE), so the test authority goes into the prefix's own "ROOT" store for the run
# and out again afterwards, by a small program: Wine has no certutil.
tls="$work/tls"
mkdir -p "$tls"
make_ca() {  # name common-name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/$1.key" -out "$tls/$1.pem" \
    -days 2 -subj "/CN=$2" 2>/dev/null
}
issue() {  # ca name: a certificate for localhost
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/$2.key" -out "$tls/$2.csr" \
    -subj "/CN=localhost" 2>/dev/null
  printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$tls/$2.ext"
  openssl x509 -req -in "$tls/$2.csr" -CA "$tls/$1.pem" -CAkey "$tls/$1.key" -set_serial "$RANDOM" -days 2 \
    -extfile "$tls/$2.ext" -out "$tls/$2.pem" 2>/dev/null
}
make_ca ca "kib test CA"
make_ca other "kib other CA"
issue ca trusted
issue other untrusted
openssl x509 -in "$tls/ca.pem" -outform DER -out "$tls/ca.der"
cat >"$work/trust.c" <<'EOF_C'
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <wincrypt.h>

/* trust.exe add|remove CERT.der: puts the certificate into the current user's root store, or
   takes it out again. */
int main(int argc, char** argv) {
    static BYTE der[65536];
    FILE* file;
    DWORD size;
    HCERTSTORE store;
    PCCERT_CONTEXT certificate, found;
    BOOL done;
    if (argc != 3 || !(file = fopen(argv[2], "rb"))) return 2;
    size = (DWORD)fread(der, 1, sizeof der, file);
    fclose(file);
    certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der, size);
    store = CertOpenSystemStoreA(0, "ROOT");
    if (!certificate || !store) return 3;
    if (strcmp(argv[1], "add") == 0) {
        done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    } else {
        found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, NULL);
        done = !found || CertDeleteCertificateFromStore(found);
    }
    CertFreeCertificateContext(certificate);
    CertCloseStore(store, 0);
    return done ? 0 : 1;
}
EOF_C
$triplet-gcc-win32 -O2 -static -o "$work/trust.exe" "$work/trust.c" -lcrypt32
trust_ca() { (cd "$tls" && WINEDEBUG=-all timeout 60 wine "$work/trust.exe" "$1" ca.der); }
start_loopback_nginx "$tls/nginx-trusted" "$work/www" "$tls/trusted.pem" "$tls/trusted.key" || true
tls_nginx_pid=$nginx_pid
tls_port=$nginx_port
start_loopback_nginx "$tls/nginx-untrusted" "$work/www" "$tls/untrusted.pem" "$tls/untrusted.key" || true
other_nginx_pid=$nginx_pid
other_port=$nginx_port
[ -n "$tls_nginx_pid" ] && [ -n "$other_nginx_pid" ] || { echo "nginx did not start with TLS:"; cat "$tls"/nginx-*/error.log; exit 1; }
tls_base="https://localhost:$tls_port/game/"
build/kib-manifest -q --presence 'config/*.ini' -o "$work/www/tlsgame" "$release" "$tls_base" >/dev/null
trusted_for_run=yes
check "the test authority is trusted for the run" trust_ca add
secure="$work/game-https"
new_game_folder "$secure" "https://localhost:$tls_port/tlsgame/manifest.txt"
run_windows "$secure"
check "the release is installed byte for byte over HTTPS" same_as_release "$secure"
check "the box \"Done!\" and no other (HTTPS)" boxes_are "$secure" "Done!"
check "the log says Finished for each of the $files files (HTTPS)" \
  test "$(grep -c $'^\t\tFinished ' "$secure/logs/updater.log")" -eq "$files"
linux_secure="$work/linux-game-https"
new_game_folder "$linux_secure" "https://localhost:$tls_port/tlsgame/manifest.txt"
SSL_CERT_FILE="$tls/ca.pem" run_linux "$linux_secure"
check "the log has the Linux build's lines (HTTPS)" same_lines "$secure/logs/updater.log" "$linux_secure/logs/updater.log"

refused="$work/game-untrusted"
new_game_folder "$refused" "https://localhost:$other_port/tlsgame/manifest.txt"
run_windows "$refused"
check "the box \"Oh no! Problems!\" and no other (untrusted)" boxes_are "$refused" "Oh no! Problems!"
check "the log says the certificate is not trusted" test "$(tr -d '\r' <"$refused/logs/updater.log")" = \
  "$(printf 'No assets/updater/update.pub: the manifest'"'"'s signature is not checked\nManifest: certificate of localhost not trusted (subject CN=localhost, issuer CN=kib other CA)\nFailed to download manifest. Reason: 3')"
check "nothing of the release was written (untrusted)" test ! -e "$refused/kib.exe" -a ! -e "$refused/data"
linux_refused="$work/linux-game-untrusted"
new_game_folder "$linux_refused" "https://localhost:$other_port/tlsgame/manifest.txt"
SSL_CERT_FILE="$tls/ca.pem" run_linux "$linux_refused"
check "the log has the Linux build's lines (untrusted)" same_lines "$refused/logs/updater.log" "$linux_refused/logs/updater.log"
echo "== 10: a delta update over HTTPS: the player holds the old version of a large file"
release2="$work/release2"
cp -r "$release" "$release2"
head -c $((2 * 1024 * 1024)) /dev/urandom >"$work/big-old.pak"
{ head -c 700000 "$work/big-old.pak"; head -c 4096 /dev/urandom; tail -c +700001 "$work/big-old.pak"; } >"$release2/data/big.pak"
build/kib-manifest -q --presence 'config/*.ini' --delta-min-size 64k -o "$work/www/tlsgame2" "$release2" \
  "https://localhost:$tls_port/tlsgame2/" >/dev/null
printf '%s\n' "https://localhost:$tls_port/tlsgame2/manifest.txt" >"$secure/assets/updater/update.cfg"
cp "$work/big-old.pak" "$secure/data/big.pak"
rm -f "$secure/kib-started.txt"
run_windows "$secure"
check "the new release is installed byte for byte (delta)" same_as_release "$secure" "$release2"
check "the box \"Done!\" and no other (delta)" boxes_are "$secure" "Done!"
check "the log says the large file was rebuilt from its blocks over HTTPS" \
  grep -q $'^\t\t\tDelta update of data/big.pak: ' "$secure/logs/updater.log"

echo "== 11: many small files at once: over HTTPS on HTTP/2 streams, over plain HTTP pipelined"
many="$work/release-many"
rm -rf "$many"
mkdir -p "$many/data/many"
cp "$work/kib.exe" "$many/kib.exe"
for i in $(seq 1 80); do head -c $((3000 + i)) /dev/urandom >"$many/data/many/f$i.bin"; done
build/kib-manifest -q --no-compress -o "$work/www/many-tls" "$many" "https://localhost:$tls_port/many-tls/" >/dev/null
build/kib-manifest -q --no-compress -o "$work/www/many" "$many" "http://127.0.0.1:$port/many/" >/dev/null
# What a server's log gained during a run: its lines from `from` on.
log_since() { tail -n +"$(($2 + 1))" "$1"; }
tls_log="$tls/nginx-trusted/access.log"
from=$(wc -l <"$tls_log")
many_tls="$work/game-many-https"
new_game_folder "$many_tls" "https://localhost:$tls_port/many-tls/manifest.txt"
run_windows "$many_tls"
check "the box \"Done!\" and no other (many files, HTTPS)" boxes_are "$many_tls" "Done!"
check "the 81 files are installed byte for byte (HTTPS)" same_as_release "$many_tls" "$many"
check "the manifest and every file came over HTTP/2 (ALPN through SChannel)" \
  test "$(log_since "$tls_log" "$from" | grep -c '"GET /many-tls/[^"]* HTTP/2.0" 200')" -eq 82
from=$(wc -l <"$server/access.log")
many_plain="$work/game-many"
new_game_folder "$many_plain" "http://127.0.0.1:$port/many/manifest.txt"
run_windows "$many_plain"
check "the box \"Done!\" and no other (many files, HTTP)" boxes_are "$many_plain" "Done!"
check "the 81 files are installed byte for byte (HTTP)" same_as_release "$many_plain" "$many"
check "files came pipelined over plain HTTP" sh -c "tail -n +$((from + 1)) '$server/access.log' | grep -q '\" p\$'"

check "the test authority is removed again" trust_ca remove
trusted_for_run=""

echo "== 12: the updater replaces itself: listed in the release, it is staged and switched like any file"
self_release="$work/release-self"
rm -rf "$self_release"
cp -r "$release" "$self_release"
# The next updater: the same program with a note behind it, which a program file may carry.
{ cat "$out/kib-updater.exe"; printf 'the next updater\n'; } >"$self_release/kib-updater.exe"
build/kib-manifest -q --presence 'config/*.ini' -o "$work/www/self" "$self_release" "http://127.0.0.1:$port/self/" >/dev/null
self="$work/game-self"
rm -rf "$self"
cp -r "$game" "$self"
printf 'http://127.0.0.1:%s/self/manifest.txt\n' "$port" >"$self/assets/updater/update.cfg"
rm -f "$self/kib-started.txt"
run_windows "$self"
check "the box \"Done!\" and no other (the updater replaced)" boxes_are "$self" "Done!"
check "the running updater was replaced by the new one" cmp -s "$self_release/kib-updater.exe" "$self/kib-updater.exe"
rm -f "$self/kib-started.txt"
run_windows "$self" keep
check "the next start runs the new updater, which is up to date" boxes_are "$self" "Up to date!"
check "the old updater, moved aside, is removed by the next start" test ! -e "$self/kib-updater.exe.kib-old"

echo "== 13: a file another program holds: the switch waits for it, then gives up and undoes itself"
cat >"$work/lock.c" <<'EOF_C'
#include <stdio.h>
#include <windows.h>

/* lock.exe FILE MARK [alone]: holds FILE open without FILE_SHARE_DELETE, as a virus scanner or
   the running game does (with "alone", sharing nothing: nobody else may read it either), writes
   MARK once it does, and lets go once MARK is removed. */
int main(int argc, char** argv) {
    HANDLE file;
    FILE* mark;
    int i;
    if (argc != 3 && argc != 4) return 2;
    file = CreateFileA(argv[1], GENERIC_READ, argc == 4 ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                       NULL);
    if (file == INVALID_HANDLE_VALUE || !(mark = fopen(argv[2], "w"))) return 3;
    fclose(mark);
    for (i = 0; i < 1200 && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    CloseHandle(file);
    return 0;
}
EOF_C
$triplet-gcc-win32 -O2 -static -o "$work/lock.exe" "$work/lock.c"
locked_release="$work/release-locked"
rm -rf "$locked_release"
cp -r "$release" "$locked_release"
echo "a new row for level 1" >>"$locked_release/data/levels/level1.txt"
build/kib-manifest -q --presence 'config/*.ini' -o "$work/www/locked" "$locked_release" "http://127.0.0.1:$port/locked/" >/dev/null
locked="$work/game-locked"
rm -rf "$locked"
cp -r "$game" "$locked"
printf 'http://127.0.0.1:%s/locked/manifest.txt\n' "$port" >"$locked/assets/updater/update.cfg"
rm -f "$locked/kib-started.txt" "$locked/lock-mark"
(cd "$locked" && WINEDEBUG=-all exec timeout 150 wine "$work/lock.exe" 'data\levels\level1.txt' lock-mark) &
lock_pid=$!
for _ in $(seq 300); do [ -e "$locked/lock-mark" ] && break; sleep 0.1; done
run_windows "$locked"
rm -f "$locked/lock-mark"
wait "$lock_pid" 2>/dev/null || true
check "the box \"Oh no! Problems!\" and no other (held file)" boxes_are "$locked" "Oh no! Problems!"
check "the box names the held file and the likely cause" \
  box_text_has "$locked" "Could not replace data/levels/level1.txt: another program is using it"
check "the log says the switch waited, then undid itself" \
  grep -q $'^\tdata/levels/level1.txt is in use by another program; waiting for it' "$locked/logs/updater.log"
check "the release before the switch stands whole (held file)" same_as_release "$locked"
rm -f "$locked/kib-started.txt"
run_windows "$locked"
check "once the file is let go, the next run switches the release" same_as_release "$locked" "$locked_release"
check "the box \"Done!\" and no other (let go)" boxes_are "$locked" "Done!"

echo "== 14: the program's application manifest, as Windows reads it"
cat >"$work/manifest.c" <<'EOF_C'
#include <stdio.h>
#include <windows.h>

/* manifest.exe PROGRAM: prints the application manifest Windows' loader finds in PROGRAM. */
int main(int argc, char** argv) {
    HMODULE module;
    HRSRC found;
    HGLOBAL loaded;
    if (argc != 2 || !(module = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE))) return 2;
    found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (!found || !(loaded = LoadResource(module, found))) return 1;
    fwrite(LockResource(loaded), 1, SizeofResource(module, found), stdout);
    return 0;
}
EOF_C
$triplet-gcc-win32 -O2 -static -o "$work/manifest.exe" "$work/manifest.c"
(cd "$out" && WINEDEBUG=-all timeout 60 wine "$work/manifest.exe" kib-updater.exe) >"$work/manifest.xml" 2>/dev/null || true
check "the program runs as the player who starts it (asInvoker)" grep -q 'requestedExecutionLevel level="asInvoker"' "$work/manifest.xml"
check "the program names the versions of Windows it knows" test "$(grep -c '<supportedOS Id=' "$work/manifest.xml")" -eq 5
check "the program takes long paths" grep -q '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>' "$work/manifest.xml"
check "Wine's loader found nothing wrong with the manifest" not_grep 'err:actctx' "$game.wine"

echo "== 15: names Windows would change: a path past MAX_PATH, two names that are one file there"
names="$work/release-names"
rm -rf "$names"
mkdir -p "$names/data/greek"
cp "$work/kib.exe" "$names/kib.exe"
long_path="data"
for level in $(seq 1 12); do long_path="$long_path/a-level-of-a-long-path-$level"; done
long_path="$long_path/deep.txt"
mkdir -p "$names/$(dirname "$long_path")"
echo "far down" >"$names/$long_path"
# Capital and small omega: one file on Windows, which compares names by its own upper case.
echo "capital omega" >"$names/data/greek/Ωmega.txt"
echo "small omega" >"$names/data/greek/ωmega.txt"
build/kib-manifest -q -o "$work/www/names" "$names" "http://127.0.0.1:$port/names/" >/dev/null 2>&1
named="$work/game-names"
new_game_folder "$named" "http://127.0.0.1:$port/names/manifest.txt"
run_windows "$named"
check "the box \"Done!\" and no other (names)" boxes_are "$named" "Done!"
check "the file ${#long_path} characters deep is installed" cmp -s "$names/$long_path" "$named/$long_path"
check "the first of two names that are one file is installed" cmp -s "$names/data/greek/Ωmega.txt" "$named/data/greek/Ωmega.txt"
check "the second is fetched no more" test "$(ls "$named/data/greek" | wc -l)" -eq 1
check "the log says it is listed again" grep -q $'^\tdata/greek/ωmega.txt listed again; fetched once' "$named/logs/updater.log"
linux_named="$work/linux-game-names"
new_game_folder "$linux_named" "http://127.0.0.1:$port/names/manifest.txt"
run_linux "$linux_named"
check "the log has the Linux build's lines (names)" same_lines "$named/logs/updater.log" "$linux_named/logs/updater.log"

echo "== 16: a manifest line naming the record with a trailing dot, which Windows would drop"
mkdir -p "$work/www/dotted"
printf 'master:http://127.0.0.1:%s/game/\nassets/updater/verified.txt.:%s\n' "$port" "$(md5sum <"$work/kib.exe" | cut -c1-32)" \
  >"$work/www/dotted/manifest.txt"
dotted="$work/game-dotted"
new_game_folder "$dotted" "http://127.0.0.1:$port/dotted/manifest.txt"
run_windows "$dotted"
check "the box \"Oh no! Problems!\" and no other (trailing dot)" boxes_are "$dotted" "Oh no! Problems!"
check "the log says why the line is refused" \
  grep -q "refused: assets/updater/verified.txt.: a name ends in '.' or ' ', which Windows drops" "$dotted/logs/updater.log"
check "nothing was written under the record's name" test ! -e "$dotted/assets/updater/verified.txt"
linux_dotted="$work/linux-game-dotted"
new_game_folder "$linux_dotted" "http://127.0.0.1:$port/dotted/manifest.txt"
run_linux "$linux_dotted"
check "the log has the Linux build's lines (trailing dot)" same_lines "$dotted/logs/updater.log" "$linux_dotted/logs/updater.log"

echo "== 17: a second start over several folders reads no file the record speaks for"
# The game of 1 and 2 with its record: two files held by a program that lets nobody read them
# (one empty: Wine's listing leaves an empty file, which may be a host pipe, to an open of its
# own, by its name in the folder held, as Windows itself has every file opened), one changed
# with its modification time put back, and a folder moved aside with a link to it in its place.
(cd "$game" && WINEDEBUG=-all exec timeout 150 wine "$work/lock.exe" 'data\levels\level1.txt' lock-mark alone) &
lock_pid=$!
(cd "$game" && WINEDEBUG=-all exec timeout 150 wine "$work/lock.exe" 'data\empty.dat' lock-mark-empty alone) &
empty_lock_pid=$!
for _ in $(seq 300); do [ -e "$game/lock-mark" ] && [ -e "$game/lock-mark-empty" ] && break; sleep 0.1; done
modified=$(stat -c %y "$game/data/sounds/beep.raw")
printf 'x' | dd of="$game/data/sounds/beep.raw" bs=1 seek=5000 conv=notrunc 2>/dev/null
touch -d "$modified" "$game/data/sounds/beep.raw"
mv "$game/data/música" "$game/data/música-moved"
ln -s "$game/data/música-moved" "$game/data/música"
run_windows "$game"
rm -f "$game/lock-mark" "$game/lock-mark-empty"
wait "$lock_pid" "$empty_lock_pid" 2>/dev/null || true
check "the file nobody may read is up to date by the record alone" \
  grep -q $'^\tdata/levels/level1.txt ([0-9a-f]*) up to date' "$game/logs/updater.log"
check "the empty file nobody may read is up to date by the record alone" \
  grep -q $'^\tdata/empty.dat ([0-9a-f]*) up to date' "$game/logs/updater.log"
check "the file changed behind the record is hashed again" \
  grep -q $'^\tdata/sounds/beep.raw Local hash does not match' "$game/logs/updater.log"
check "the file behind the linked folder is not taken from the record" \
  grep -q $'^\tdata/música/canción_ñ.txt Local hash does not match' "$game/logs/updater.log"
check "the box \"Oh no! Problems!\" and no other (linked folder)" boxes_are "$game" "Oh no! Problems!"
check "nothing was written through the link" test "$(ls "$game/data/música-moved")" = "canción_ñ.txt"

echo
echo "kib-updater.exe: $(stat -c %s "$out/kib-updater.exe") bytes"
if [ ${#failures[@]} -gt 0 ]; then
  echo "Failed checks:"
  printf '  %s\n' "${failures[@]}"
  echo "Wine's standard error, the logs and the boxes are in $work."
fi
echo "test-windows: $passed passed, ${#failures[@]} failed"
[ ${#failures[@]} -eq 0 ]
