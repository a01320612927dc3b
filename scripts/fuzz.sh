#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, with ASan and UBSan) in build-fuzz/ and runs
# each for RUNS inputs (default one million), starting from its seeds in fuzz/corpus/. New
# inputs collect in build-fuzz/corpus/<target>/, and an input that breaks a property is kept
# in build-fuzz/artifacts/<target>/. The targets run side by side, one per processor; exits
# non-zero when any of them found something. FUZZ_SECONDS, when
# given, also stops each target after so many seconds, so that a slow one (the block map's, whose
# inputs grow to tens of kilobytes) keeps a short run bounded.
#   [FUZZ_SECONDS=N] scripts/fuzz.sh [RUNS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
scripts/setup.sh

runs=${1:-1000000}
seconds=${FUZZ_SECONDS:-0}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(manifest_fuzzer http_response_fuzzer gunzip_fuzzer strings_fuzzer url_fuzzer location_fuzzer
  signature_fuzzer block_map_fuzzer byte_ranges_fuzzer)
dir=build-fuzz

# The "fuzz" preset builds in build-fuzz/.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The targets write a file or a folder per input: on a memory file system that is many times
# faster than on disk.
[ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
# Runs one target; its exit status is libFuzzer's.
run_target() {
  local target=$1 corpus=$dir/corpus/$1 artifacts=$dir/artifacts/$1
  mkdir -p "$corpus" "$artifacts"
  # -timeout: an input that takes this long is a hang, which is a finding too.
  "$dir/fuzz/$target" -runs="$runs" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "fuzz/corpus/$target" >"$dir/$target.log" 2>&1
}
# One target per processor at a time (each is a single process); the reports follow in order.
pids=()
for target in "${targets[@]}"; do
  wait_for_a_slot "$(nproc)"
  run_target "$target" &
  pids+=($!)
done
found=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  log=$dir/$target.log
  if ! wait "${pids[$i]}"; then
    tail -n 40 "$log"
    echo "$target: FINDING (input kept in $dir/artifacts/$target/, whole log in $log)"
    found=1
    continue
  fi
  # libFuzzer's closing lines: "Done N runs in S second(s)", "#N DONE cov: ... corp: ...".
  done_line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1 || true)
  stats=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | sed -E 's/^#[0-9]+[[:space:]]+DONE[[:space:]]+//' || true)
  speed=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}' || true)
  echo "$target: $done_line; $speed exec/s; $stats"
done
exit $found
