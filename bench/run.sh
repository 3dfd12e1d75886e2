#!/usr/bin/env bash
# Builds what the benchmarks need and runs every one that bench/README.md
# names:
#   bash bench/run.sh [--runs N] [--quick] [--skip-wine] [--only LIST] [--protocols rtp,udp] [--port P]
#   bash bench/run.sh --only soak [--soak-minutes M]   (or bench/soak.sh M)
# LIST takes bench.py's figures (2,1,4,5, soak) and the other benchmarks:
# filter (the program filter), viewers (the viewers' hand-over), http (what
# HTTP clients add), guide (the programme guide), fec (bench/fec_bench.py),
# viewers-wine (bench/http_viewers.py), viewers-memory
# (bench/http_viewers_memory.py: the host process's memory with 64 viewers),
# outputs (the traffic thread's cost with 1, 4 and 16 outputs), outputs-wine
# (bench/outputs_wine.py: 16 outputs under Wine against a bare loop).
# Default: every one but the soak.
# Results: build/bench-results/report.md and results.json for the figures,
# build/bench-results/<name>.txt for the others. Takes about an hour on the
# 2-CPU machine with the default 5 runs; the soak as long as it is told
# (30 minutes by default) and a minute more.
set -euo pipefail
cd "$(dirname "$0")/.."

only="2,1,4,5,filter,viewers,http,guide,fec,viewers-wine,viewers-memory,outputs,outputs-wine"
skip_wine=0
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only="$2"; shift 2 ;;
    --only=*) only="${1#--only=}"; shift ;;
    --skip-wine) skip_wine=1; args+=("$1"); shift ;;
    *) args+=("$1"); shift ;;
  esac
done
wants() { [[ ",$only," == *",$1,"* ]]; }

bash scripts/setup.sh

echo "== build: native benchmarks (bench preset)"
cmake --preset bench >/dev/null
cmake --build build/bench -j2 --target tovrin-traffic-bench tovrin-traffic-driver tovrin-path-sender tovrin-bare-sendto \
  tovrin-udp-counter tovrin-filter-bench tovrin-viewers-bench tovrin-http-bench tovrin-guide-bench

if [ $skip_wine -eq 0 ]; then
  echo "== build: the module, the host and the Windows benchmarks (build/bench-windows)"
  cmake --preset windows -B build/bench-windows -DTOVRIN_BENCH=ON >/dev/null
  cmake --build build/bench-windows -j2 --target TovrinStreamer tovrin-host tovrin-bare-sendto tovrin-traffic-driver tovrin-path-sender
  cmake --build build/bench-windows -j2 --target tovrin-outputs-bench
fi

# A transport stream of over 100 MB: H.264 and AAC padded to a constant
# 42 Mbit/s, as a DVB multiplex is. Made once; never committed.
stream=build/bench-data/stream.ts
if [ ! -f "$stream" ] || [ "$(stat -c %s "$stream")" -lt 100000000 ]; then
  echo "== making $stream"
  mkdir -p build/bench-data
  rm -f build/bench-data/stream.aux
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=frequency=1000:sample_rate=48000 -t 21 \
    -c:v libx264 -preset ultrafast -b:v 16M -c:a aac -b:a 128k -f mpegts -muxrate 42M "$stream"
fi

results=build/bench-results
mkdir -p "$results"
status=0

figures=()
for f in 2 1 4 5 soak; do wants "$f" && figures+=("$f"); done
if [ ${#figures[@]} -gt 0 ]; then
  python3 bench/bench.py --only "$(IFS=,; echo "${figures[*]}")" "${args[@]}" || status=1
fi

# Google Benchmark programs: alternating repetitions, aggregates only.
gbench() {
  local name=$1 program=$2
  shift 2
  echo "== $name: $program $*"
  "build/bench/$program" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true "$@" | tee "$results/$name.txt" || status=1
}
wants filter && gbench filter tovrin-filter-bench
wants viewers && gbench viewers tovrin-viewers-bench
wants http && gbench http tovrin-http-bench
wants guide && gbench guide tovrin-guide-bench
wants outputs && gbench outputs tovrin-traffic-bench '--benchmark_filter=Outputs|ModulePath/Packets/N:7/block:100'

if [ $skip_wine -eq 0 ] && wants fec; then
  echo "== fec: bench/fec_bench.py"
  python3 bench/fec_bench.py --windows build/bench-windows --runs 6 | tee "$results/fec.txt" || status=1
fi
if [ $skip_wine -eq 0 ] && wants viewers-wine; then
  echo "== viewers-wine: bench/http_viewers.py"
  python3 tools/make_sample.py build/bench-data/viewers-sample.ts --seconds 20
  python3 bench/http_viewers.py --build build/bench-windows --sample build/bench-data/viewers-sample.ts \
    --seconds 15 --rounds 2 | tee "$results/viewers-wine.txt" || status=1
fi
if [ $skip_wine -eq 0 ] && wants viewers-memory; then
  echo "== viewers-memory: bench/http_viewers_memory.py"
  python3 tools/make_sample.py build/bench-data/viewers-sample.ts --seconds 20
  python3 bench/http_viewers_memory.py --build build/bench-windows --sample build/bench-data/viewers-sample.ts \
    --viewers 64 | tee "$results/viewers-memory.txt" || status=1
fi
if [ $skip_wine -eq 0 ] && wants outputs-wine; then
  echo "== outputs-wine: bench/outputs_wine.py"
  python3 bench/outputs_wine.py --rounds 5 | tee "$results/outputs-wine.txt" || status=1
fi
exit $status
