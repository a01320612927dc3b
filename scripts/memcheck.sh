#!/usr/bin/env bash
# Runs the whole test suite under Valgrind's memcheck: kib_tests, and every updater and tool it
# starts (system programs such as nginx, Xvfb, xmessage, gzip and the test game's shell run
# natively), with full leak checking. The build is the plain one of scripts/test.sh (no
# sanitizer: memcheck and the sanitizers' runtimes do not mix). Valgrind's reports go to
# build/memcheck/<pid>.log, one per process; any error or leak in any of them fails the run.
#   scripts/memcheck.sh [gtest filter]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
scripts/setup.sh

dir=build
# Left out: under valgrind a failed exec in posix_spawn's child is not reported back (valgrind
# runs the vfork-like clone as a fork), so the launch cannot see that kib.exe is missing; and a
# test that signals the updater after a fixed pause, which assumes native start-up speed; and
# the test that measures the updater's own peak memory, which valgrind's shadow memory swells.
filter=${1:-*-FailingRun.GameMissing:LaunchGame.ReportsFailuresWithShellExecuteCodes:LaunchGame.NeverSearchesThePath:Lifecycle.QuitEventEndsTheRunPromptlyWithExitCodeZero:GzipBomb.DecompressesInBoundedMemory}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null

logs=$dir/memcheck
rm -rf "$logs"
mkdir -p "$logs"
# Errors are read from the logs, not from exit codes: --error-exitcode would also change the
# exit code of a posix_spawn child whose exec failed (127, which the updater relies on to try
# the next dialog program), since under valgrind that child is a full copy of the parent. Such
# a child, forked and never exec'd, is silent: what it "leaks" is the parent's.
valgrind=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect,possible
  --track-origins=yes --num-callers=30 --suppressions="$PWD/tests/valgrind.supp"
  --child-silent-after-fork=yes --trace-children=yes --trace-children-skip='/usr/*,/bin/*,/sbin/*,*/xmessage,*kib.exe'
  --log-file="$PWD/$logs/%p.log")

# The costliest cases made smaller: Valgrind runs them some thirty times slower, and what it
# checks (every path through the code) does not grow with their size. Three kills instead of
# six, and a 64 MiB download to unpack instead of 512.
export KIB_KILL_COUNT=${KIB_KILL_COUNT:-3} KIB_LARGE_GZ_MIB=${KIB_LARGE_GZ_MIB:-64}

# The suite as a queue of parts, the costliest first, run by a few valgrind processes at a time
# (more than the cores: the tests wait on servers and timers too). The cases that take minutes
# under valgrind go alone, each as soon as a runner is free, so that no runner is left with two
# of them at the end; the rest of the suite is cut in shards that fill the gaps. A case renamed
# here matches nothing alone and runs in the shards instead.
alone=(HostileServer.Http2PeersThatMisbehaveAreRefusedOrRetried KillAndRestart.EveryRestartLeavesTheFolderAsTheManifestSays
  DeltaUpdate.FetchesOnlyChangedBlocksOrFallsBackToTheWholeFile GzipBomb.IsRefusedAndLeavesNothingUnpacked
  SignedUpdate.UntrustworthyManifestsAreRefusedAndChangeNothing HostileServer.AFailedRunLosesNoFileOfThePlayers)
# A filter of one's own is run in shards only: it may leave these out.
[ $# -eq 0 ] || alone=()
runners=$(($(nproc) + 1))
shards=$((2 * runners))
# The shards' filter: the suite's, less the cases run alone.
rest=$filter
if [ ${#alone[@]} -gt 0 ]; then
  if [[ $rest == *-* ]]; then rest+=:; else rest+=-; fi
  rest+=$(IFS=:; echo "${alone[*]}")
fi
parts=()
for test in "${alone[@]}"; do parts+=("alone $test"); done
for ((i = 0; i < shards; i++)); do parts+=("shard $i"); done
run_part() {  # index kind what
  local out=$logs/part$1.out
  if [ "$2" = alone ]; then
    "${valgrind[@]}" "$dir/tests/kib_tests" --gtest_filter="$3" >"$out" 2>&1
  else
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$3 \
      "${valgrind[@]}" "$dir/tests/kib_tests" --gtest_filter="$rest" >"$out" 2>&1
  fi
}
pids=()
for i in "${!parts[@]}"; do
  wait_for_a_slot "$runners"
  run_part "$i" ${parts[$i]} &
  pids+=($!)
done
failed=0
for i in "${!parts[@]}"; do
  if ! wait "${pids[$i]}"; then
    echo "== ${parts[$i]} of the suite failed:"
    grep -E '^\[  FAILED  \]|Failure$' "$logs/part$i.out" | head -n 40 || true
    failed=1
  fi
done

# A process killed by its test, or one that went on as a system program, leaves no summary.
processes=0
for log in "$logs"/*.log; do
  grep -q 'ERROR SUMMARY:' "$log" || continue
  processes=$((processes + 1))
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
    echo "== memcheck found errors in $(grep -m1 -E '^==[0-9]+== Command:' "$log" | sed 's/.*Command: //'):"
    cat "$log"
    failed=1
  fi
done
tests=$(cat "$logs"/part*.out | grep -cE '^\[       OK \]' || true)
echo "memcheck: $tests tests passed in ${#parts[@]} parts, $runners at a time; $processes processes checked; $([ $failed = 0 ] && echo clean || echo FAILED)"
exit $failed
