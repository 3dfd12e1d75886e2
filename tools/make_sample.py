#!/usr/bin/env python3
"""Makes a sample transport stream for the host: H.264 video and AAC audio
from ffmpeg's test sources, at a constant multiplex rate.

The module sends whole chunks of N packets only (N = 1..7), so a file whose
packet count is not a multiple of N ends with packets that stay in the
module's chunk buffer. The sample is padded with null packets (PID 0x1FFF) to a
multiple of 420 packets, the least common multiple of 1..7: then every packet
of the file leaves the module whatever N is, and the received stream can be
compared with the file byte for byte.
"""

import argparse
import subprocess
import sys

PACKET = 188
WHOLE_CHUNKS = 420  # lcm(1, 2, ..., 7)
NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (PACKET - 4)


def pad_to_whole_chunks(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % PACKET:
        sys.exit(f"make_sample: {path} is {len(data)} bytes, not whole packets")
    missing = (-(len(data) // PACKET)) % WHOLE_CHUNKS
    with open(path, "ab") as f:
        f.write(NULL_PACKET * missing)
    return len(data) // PACKET + missing


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--size", default="640x360")
    ap.add_argument("--muxrate", default="3M", help="constant multiplex rate (ffmpeg -muxrate)")
    args = ap.parse_args()

    cmd = [
        "ffmpeg", "-v", "error", "-y",
        "-f", "lavfi", "-i", f"testsrc2=size={args.size}:rate=25",
        "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000",
        "-t", str(args.seconds),
        "-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-pix_fmt", "yuv420p",
        "-c:a", "aac", "-b:a", "128k",
        "-f", "mpegts", "-muxrate", args.muxrate,
        args.output,
    ]
    subprocess.run(cmd, check=True)
    packets = pad_to_whole_chunks(args.output)
    print(f"make_sample: {args.output}: {packets} packets ({packets * PACKET} bytes), "
          f"H.264 {args.size} + AAC, {args.seconds:g} s at {args.muxrate}bit/s")


if __name__ == "__main__":
    main()
