#!/usr/bin/env bash
# Builds what the benchmarks need and runs them all (bench/README.md):
#   bash bench/run.sh [--runs N] [--quick] [--skip-wine] [--only 2,1,4,5] [--protocols rtp,udp] [--port P]
#   bash bench/run.sh --only soak [--soak-minutes M]   (or bench/soak.sh M)
# Results: build/bench-results/report.md and results.json. Takes about half
# an hour on the 2-CPU machine with the default 5 runs; the soak as long as
# it is told (30 minutes by default) and a minute more.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== build: native benchmarks (bench preset)"
cmake --preset bench >/dev/null
cmake --build build/bench -j2 --target tovrin-traffic-bench tovrin-traffic-driver tovrin-path-sender tovrin-bare-sendto tovrin-udp-counter

echo "== build: the module, the host and the Windows benchmarks (build/bench-windows)"
cmake --preset windows -B build/bench-windows -DTOVRIN_BENCH=ON >/dev/null
cmake --build build/bench-windows -j2 --target TovrinStreamer tovrin-host tovrin-bare-sendto tovrin-traffic-driver tovrin-path-sender

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

exec python3 bench/bench.py "$@"
