#!/usr/bin/env bash
# The main job: set up, build the Windows module and host, make a sample
# transport stream (H.264 + AAC), play it through the module under Wine with
# Start pressed in the module's own dialog, receive the RTP stream with real
# receivers, and say what arrived.
#
#   bash scripts/main-job.sh
#
# BUILD_DIR picks the build folder (default build/windows, the preset's).
# Everything it makes goes to out/: sample.ts, received.ts (the transport
# stream recovered from the datagrams), received-ffmpeg.ts, received-gstreamer.ts,
# host.log, dialog.png, and tovrin.sdp for watching the stream yourself.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/windows}
OUT=out

echo "== set-up"
bash scripts/setup.sh

echo "== configure and build ($BUILD_DIR)"
if [ "$BUILD_DIR" = build/windows ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows
else
  cmake --preset windows -B "$BUILD_DIR" >/dev/null
  cmake --build "$BUILD_DIR" -j2
fi

mkdir -p "$OUT"
echo "== sample transport stream"
python3 tools/make_sample.py "$OUT/sample.ts" --seconds 6

# The release's SDP file for the module's default destination, for ffplay or VLC.
cp release/TovrinStreamer.sdp "$OUT/tovrin.sdp"

echo "== play it through the module, receive at 127.0.0.1:43000"
# stream_check.py owns port 43000, checks and saves every datagram, and
# forwards each unchanged to ffmpeg (SDP, payload type 33) and GStreamer.
status=0
python3 tools/stream_check.py \
  --wine-run "$BUILD_DIR/wine-run" --host "$BUILD_DIR/tovrin-host.exe" --module "$BUILD_DIR/TovrinStreamer.module" \
  --sample "$OUT/sample.ts" --workdir "$OUT" --port 43000 \
  --ffmpeg --gstreamer --screenshot "$OUT/dialog.png" || status=$?

echo
echo "== what ffprobe finds in the sample that was played"
ffprobe -v error -show_entries stream=index,codec_type,codec_name,width,height,sample_rate:format=duration,size \
  -of compact=p=0 "$OUT/sample.ts" | awk 'NF && !seen[$0]++'
echo
echo "files: $OUT/sample.ts (played), $OUT/received.ts (recovered), $OUT/received-ffmpeg.ts,"
echo "       $OUT/received-gstreamer.ts, $OUT/host.log, $OUT/dialog.png, $OUT/tovrin.sdp"
if [ $status -eq 0 ]; then
  echo "main job: passed"
else
  echo "main job: FAILED"
fi
exit $status
