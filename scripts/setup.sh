#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's packages. Does nothing when
# everything is already there; uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config   # the compiler and the build
  libsdl1.2-dev zlib1g-dev libx11-dev  # what the updater links against
  libssl-dev openssl                 # TLS for https addresses; the tests make their certificates
  libsodium-dev                      # signed manifests: Ed25519 and BLAKE2b
  libnghttp2-dev                     # HTTP/2 over TLS: many files at once on one connection
  minisign                           # the independent signer the tests and benchmarks compare with
  libgtest-dev                       # the test suite
  nginx                              # the update server the tests and the demo start on loopback
  apache2 squid lighttpd             # the tests' other real servers: on-the-fly compression, proxy, cache, ranges
  curl gzip coreutils time           # benchmarks compare against them; the tests use md5sum and gzip
  python3                            # the download benchmark picks a free port; http.server in the tests
  xvfb x11-utils xdotool imagemagick # a real window on a virtual display, and its screenshot
  clang libclang-rt-14-dev           # the fuzz targets: clang's libFuzzer and sanitizer runtimes
  valgrind                           # scripts/memcheck.sh
  strace e2fsprogs                   # the tests trace the flushes, and mount a volume of one-second times
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
