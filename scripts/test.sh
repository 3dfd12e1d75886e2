#!/usr/bin/env bash
# Sets up the machine, builds both presets and runs every test.
#
# The Windows tests mostly wait on real time (streams played at their rate,
# players' timeouts), so they run side by side (the windows test preset's
# jobs; the heaviest take two of them), and the CPU-bound checks that need no
# test running (two clean builds of the release package, the concurrent tests
# under Clang's ThreadSanitizer, the fuzz targets' build and a short run of
# each) go on beside them at idle priority: the tests keep the CPUs whenever
# they want them, and the whole command stays within CI's budget.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each phase's time, so that the whole command's budget can be watched.
phase_start=$SECONDS
phase_done() { echo "== $1 took $((SECONDS - phase_start)) s (total $SECONDS s)"; phase_start=$SECONDS; }

bash scripts/setup.sh
phase_done setup

for preset in native windows; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  phase_done "$preset build"
done

side_log=$(mktemp /tmp/tovrin-test-side.XXXXXX)
trap 'rm -f "$side_log"' EXIT
(
  # Before any child, which inherits it: the idle scheduling class where the
  # system has it (it runs only on a CPU that nothing else wants), else the
  # lowest priority; idle disk priority too.
  chrt --idle -p 0 "$BASHPID" 2>/dev/null || renice -n 19 -p "$BASHPID" >/dev/null
  ionice -c 3 -p "$BASHPID" 2>/dev/null || true
  side_start=$SECONDS
  side_status=0
  echo "== release: two clean builds of the package, byte for byte, as a fresh machine sees the tree"
  bash scripts/check-reproducible.sh --fresh-copy || side_status=1
  echo "== reproducibility took $((SECONDS - side_start)) s"
  side_start=$SECONDS
  echo "== tsan: the rings, the hand-over to the viewers, the guide's queue under ThreadSanitizer"
  { cmake --preset tsan >/dev/null && cmake --build --preset tsan && ctest --preset tsan; } || side_status=1
  echo "== tsan took $((SECONDS - side_start)) s"
  side_start=$SECONDS
  bash scripts/fuzz.sh 10 || side_status=1  # a short bounded run of each fuzz target
  echo "== fuzz took $((SECONDS - side_start)) s"
  exit $side_status
) >"$side_log" 2>&1 &
side_pid=$!

status=0
for preset in native windows; do
  echo "== $preset: tests"
  ctest --preset "$preset" || status=1
  phase_done "$preset tests"
done

echo "== reproducibility and fuzzing (run beside the tests)"
wait "$side_pid" || status=1
cat "$side_log"
phase_done "the rest of reproducibility and fuzzing"
exit $status
