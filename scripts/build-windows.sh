#!/usr/bin/env bash
# Cross-compiles the updater for 32-bit Windows on Debian 12: mingw-w64, zlib for mingw, and
# SDL 1.2, libsodium and nghttp2 built from Debian's own source packages. The result is
# build-win/kib-updater.exe, one self-contained program (SDL, libsodium, nghttp2, zlib and the
# C/C++ runtimes linked in).
# Usage: scripts/build-windows.sh [build folder, default build-win]
# The SDL, libsodium and nghttp2 builds are kept in BUILD/deps and reused by the next run.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
. scripts/lib.sh
out=$(mkdir -p "${1:-build-win}" && cd "${1:-build-win}" && pwd)
deps="$out/deps"
triplet=i686-w64-mingw32
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_packages g++-mingw-w64-i686 libz-mingw-w64-dev cmake make dpkg-dev autoconf automake libtool pkg-config

# Debian's sources for SDL 1.2: a deb-src entry beside every deb entry of the system's lists.
has_deb_src() {
  grep -Eqs '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources
}
add_deb_src() {
  local entries
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # deb822: the same stanzas with their type changed.
    entries=$(sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources)
    echo "$entries" | $sudo tee /etc/apt/sources.list.d/kib-debian-src.sources >/dev/null
  else
    entries=$(grep -Eh '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list | sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /')
    echo "$entries" | $sudo tee /etc/apt/sources.list.d/kib-debian-src.list >/dev/null
  fi
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
}

sdl="$deps/sdl"  # the installed SDL: include/, lib/, bin/sdl-config
if [ ! -f "$sdl/.built" ]; then
  echo "== SDL 1.2 for $triplet, from Debian's source package (once; kept in $deps)"
  has_deb_src || add_deb_src
  rm -rf "$deps/source" "$sdl"
  mkdir -p "$deps/source"
  (cd "$deps/source" && apt-get source -qq libsdl1.2 >/dev/null 2>"$deps/source/apt-get.log") || {
    cat "$deps/source/apt-get.log"
    exit 1
  }
  source_dir=$(find "$deps/source" -mindepth 1 -maxdepth 1 -type d -name 'libsdl1.2-*' | head -n1)
  [ -n "$source_dir" ] || { echo "apt-get source libsdl1.2 unpacked nothing"; exit 1; }
  # SDL's old libtool drops -static-libgcc from LDFLAGS, so it rides in CC. Only the parts the
  # updater uses (video, events, timers, threads); audio, CD-ROM and joystick are left out.
  (cd "$source_dir" &&
    ./configure --host=$triplet --prefix="$sdl" --disable-shared --enable-static \
      --disable-audio --disable-cdrom --disable-joystick --disable-nasm \
      CC="$triplet-gcc-win32 -static-libgcc" >"$deps/configure.log" 2>&1 &&
    nice make -j"$jobs" >"$deps/make.log" 2>&1 &&
    make install >"$deps/install.log" 2>&1) || {
    echo "building SDL failed; the end of its logs in $deps:"
    tail -n 30 "$deps"/configure.log "$deps"/make.log "$deps"/install.log 2>/dev/null
    exit 1
  }
  touch "$sdl/.built"
fi

sodium="$deps/sodium"  # the installed libsodium: include/, lib/libsodium.a
if [ ! -f "$sodium/.built" ]; then
  echo "== libsodium for $triplet, from Debian's source package (once; kept in $deps)"
  has_deb_src || add_deb_src
  rm -rf "$deps/sodium-source" "$sodium"
  mkdir -p "$deps/sodium-source"
  (cd "$deps/sodium-source" && apt-get source -qq libsodium >/dev/null 2>"$deps/sodium-source/apt-get.log") || {
    cat "$deps/sodium-source/apt-get.log"
    exit 1
  }
  source_dir=$(find "$deps/sodium-source" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n1)
  [ -n "$source_dir" ] || { echo "apt-get source libsodium unpacked nothing"; exit 1; }
  # A static library only; the updater needs Ed25519 and BLAKE2b, which every build has.
  (cd "$source_dir" &&
    ./autogen.sh -s >"$deps/sodium-autogen.log" 2>&1 &&
    ./configure --host=$triplet --prefix="$sodium" --disable-shared --enable-static \
      CC="$triplet-gcc-win32" >"$deps/sodium-configure.log" 2>&1 &&
    nice make -j"$jobs" >"$deps/sodium-make.log" 2>&1 &&
    make install >"$deps/sodium-install.log" 2>&1) || {
    echo "building libsodium failed; the end of its logs in $deps:"
    tail -n 30 "$deps"/sodium-*.log 2>/dev/null
    exit 1
  }
  touch "$sodium/.built"
fi

nghttp2="$deps/nghttp2"  # the installed nghttp2: include/, lib/libnghttp2.a
if [ ! -f "$nghttp2/.built" ]; then
  echo "== nghttp2 for $triplet, from Debian's source package (once; kept in $deps)"
  has_deb_src || add_deb_src
  rm -rf "$deps/nghttp2-source" "$nghttp2"
  mkdir -p "$deps/nghttp2-source"
  (cd "$deps/nghttp2-source" && apt-get source -qq nghttp2 >/dev/null 2>"$deps/nghttp2-source/apt-get.log") || {
    cat "$deps/nghttp2-source/apt-get.log"
    exit 1
  }
  source_dir=$(find "$deps/nghttp2-source" -mindepth 1 -maxdepth 1 -type d -name 'nghttp2-*' | head -n1)
  [ -n "$source_dir" ] || { echo "apt-get source nghttp2 unpacked nothing"; exit 1; }
  # The library alone, static: none of the tools, the Python bindings or the examples.
  (cd "$source_dir" &&
    autoreconf -fi >"$deps/nghttp2-autoreconf.log" 2>&1 &&
    ./configure --host=$triplet --prefix="$nghttp2" --disable-shared --enable-static --enable-lib-only \
      CC="$triplet-gcc-win32" CXX="$triplet-g++-win32" >"$deps/nghttp2-configure.log" 2>&1 &&
    nice make -C lib -j"$jobs" >"$deps/nghttp2-make.log" 2>&1 &&
    make -C lib install >"$deps/nghttp2-install.log" 2>&1) || {
    echo "building nghttp2 failed; the end of its logs in $deps:"
    tail -n 30 "$deps"/nghttp2-*.log 2>/dev/null
    exit 1
  }
  touch "$nghttp2/.built"
fi

# Debian's sdl-config omits -lmingw32 -lSDLmain -mwindows from --libs; --static-libs has them.
sdl_libs=$(sh "$sdl/bin/sdl-config" --prefix="$sdl" --static-libs)
echo "== kib-updater.exe (SDL: $sdl_libs)"
# The "windows" preset, in this script's folder, with the SDL and libsodium just built.
cmake --preset windows -B "$out/updater" \
  -DSDL_INCLUDE_DIR="$sdl/include/SDL" -DSDL_LIBRARY="${sdl_libs// /;}" \
  -DSODIUM_INCLUDE_DIR="$sodium/include" -DSODIUM_LIBRARY="$sodium/lib/libsodium.a" \
  -DNGHTTP2_INCLUDE_DIR="$nghttp2/include" -DNGHTTP2_LIBRARY="$nghttp2/lib/libnghttp2.a" >"$out/cmake.log"
nice cmake --build "$out/updater" -j"$jobs"
# The copy to ship carries no debugging symbols; build-win/updater keeps the full one.
$triplet-strip -o "$out/kib-updater.exe" "$out/updater/kib-updater.exe"
# Nothing but Windows' own DLLs may be needed beside it.
imports=$($triplet-objdump -p "$out/kib-updater.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  case "$dll" in
  kernel32.dll | user32.dll | gdi32.dll | shell32.dll | ole32.dll | ws2_32.dll | winmm.dll | msvcrt.dll | advapi32.dll | \
    secur32.dll | crypt32.dll | ntdll.dll) ;;
  *) echo "kib-updater.exe needs $dll, which Windows does not bring"; exit 1 ;;
  esac
done
# The application manifest must be in the program, as Windows reads it before it starts it.
manifest=$($triplet-windres -i "$out/kib-updater.exe" -O rc 2>/dev/null | sed -n '/^1 24 /,/^END/p')
for needed in 'level=""asInvoker""' '<supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""/>' \
  '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>'; do
  grep -qF "$needed" <<<"$manifest" || { echo "kib-updater.exe has no application manifest with $needed"; exit 1; }
done
echo "Built $out/kib-updater.exe ($(stat -c %s "$out/kib-updater.exe") bytes; needs only $(echo $imports))"
