#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan, UBSan) and runs
# each for the given number of seconds (default 600), keeping its corpus under
# the build directory. A finding ends the run with a non-zero status and
# leaves the input in <build>/artifacts/.
# Usage: scripts/fuzz.sh [seconds]    FUZZ_BUILD_DIR overrides build/fuzz;
# FUZZ_VERBOSE=1 shows libFuzzer's progress lines as well.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
build=${FUZZ_BUILD_DIR:-build/fuzz}
targets=(aligner_fuzz text_fuzz program_filter_fuzz output_key_fuzz http_request_fuzz guide_fuzz tuner_packet_fuzz ssdp_fuzz soap_fuzz)
verbosity=0
if [ "${FUZZ_VERBOSE:-0}" = 1 ]; then verbosity=1; fi

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== fuzz: $target for ${seconds}s"
  # Inputs up to a few chunks' worth of pieces; a slow input is a finding too.
  "$build/fuzz/$target" "$corpus" \
    -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -verbosity="$verbosity" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-"
done
