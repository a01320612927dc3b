#!/usr/bin/env bash
# What a hostile block map can make the scan of a delta update do, beside zsync given the same
# map as its control file in the same run: 2^20 blocks whose weak sums meet every window of a
# 64 MiB local file, strong hashes that never match (target: abandoned or finished within a
# few seconds); and how soon a scan answers a cancel, the time from raising it to the scan's
# return (target: 100 ms), during an ordinary scan and the hostile one. The load average is
# printed beside the figures.
# Usage: bench/delta_scan_bench.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build=${1:-build}
bench=$build/bench/delta_scan_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
install_packages zsync
limit=${ZSYNC_LIMIT:-30}

work=$(mktemp -d "${TMPDIR:-/tmp}/kib-scan-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "load average before $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" "$work"
# zsync reads its seed before it looks at the server; its control file names one that is not
# there, so the run ends once the seed is read, or is stopped at the limit.
start=$(date +%s.%N)
status=0
(cd "$work" && timeout "$limit" zsync -q -i local -o out hostile.zsync >/dev/null 2>&1) || status=$?
seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
if [ "$status" -eq 124 ]; then
  echo "zsync with the same map: still reading the seed after ${seconds} s, stopped"
else
  echo "zsync with the same map: ended after ${seconds} s (status $status)"
fi
echo "load average after $(cut -d' ' -f1-3 /proc/loadavg)"
