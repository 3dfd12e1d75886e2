#!/usr/bin/env python3
"""Makes a sample transport stream for the host: H.264 video and AAC audio
from ffmpeg's test sources, at a constant multiplex rate.

With --programs, a transponder of three programs with service names in its
SDT: two TV programs (video and audio) and a radio program (audio only,
carrying its own PCR), numbered and named as in PROGRAMS. With --tv-programs
N instead, N TV programs (the benchmarks' headend of up to 16 outputs):
numbers 28201 on, named "Tovrin 1" on. With
--pmt-change as well, the first program's PMT changes halfway through the
file to a new version that names the radio's audio PID instead of its own
audio: its own audio PID must stop there in a cut to that program, and the
other one start. The new PMT packets take the places of the old ones, so
continuity counters and the constant rate stay as they were.

The module sends whole chunks of N packets only (N = 1..7), so a file whose
packet count is not a multiple of N ends with packets that stay in the
module's chunk buffer. The sample is padded with null packets (PID 0x1FFF) to a
multiple of 420 packets, the least common multiple of 1..7: then every packet
of the file leaves the module whatever N is, and the received stream can be
compared with the file byte for byte.
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ts_tables  # noqa: E402

PACKET = 188
WHOLE_CHUNKS = 420  # lcm(1, 2, ..., 7)
NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (PACKET - 4)

# (program number, service name, has video); ffmpeg gives the first PMT PID
# 0x1000 and the elementary streams 0x100 on in this order.
PROGRAMS = [(28106, "Tovrin One", True), (28107, "Tovrin Two", True), (28111, "Tovrin Radio", False)]


def pad_to_whole_chunks(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % PACKET:
        sys.exit(f"make_sample: {path} is {len(data)} bytes, not whole packets")
    missing = (-(len(data) // PACKET)) % WHOLE_CHUNKS
    with open(path, "ab") as f:
        f.write(NULL_PACKET * missing)
    return len(data) // PACKET + missing


def tv_programs(count):
    return [(28200 + i, f"Tovrin {i}", True) for i in range(1, count + 1)]


def multi_program_command(args, table):
    inputs, maps, programs = [], [], []
    index = 0
    for n, (number, name, video) in enumerate(table):
        streams = []
        if video:
            inputs += ["-f", "lavfi", "-i", f"{'testsrc2' if n % 2 == 0 or table is not PROGRAMS else 'testsrc'}=size={args.size}:rate=25"]
            maps += ["-map", f"{len(maps) // 2}:v"]
            streams.append(index)
            index += 1
        inputs += ["-f", "lavfi", "-i", f"sine=frequency={1000 - 250 * n if n < 3 else 200 + 50 * n}:sample_rate=48000"]
        maps += ["-map", f"{len(maps) // 2}:a"]
        streams.append(index)
        index += 1
        programs += ["-program", f"program_num={number}:title={name}:" + ":".join(f"st={i}" for i in streams)]
    return ["ffmpeg", "-v", "error", "-y"] + inputs + maps + [
        "-t", str(args.seconds),
        "-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-pix_fmt", "yuv420p"] + (
        ["-b:v", args.video_bitrate, "-maxrate", args.video_bitrate, "-bufsize", args.video_bitrate]
        if args.video_bitrate else []) + [
        "-c:a", "aac", "-b:a", "96k"] + programs + ["-f", "mpegts", "-muxrate", args.muxrate, args.output]


def change_first_pmt_halfway(path):
    """From the middle on, the first program's PMT names the radio's audio
    instead of its own (version + 1); returns the packet index of the first
    changed PMT."""
    with open(path, "rb") as f:
        pkts = ts_tables.packets(f.read())
    _, _, pat = ts_tables.parse_pat(ts_tables.table_sections(pkts, ts_tables.PAT_PID)[0][1])
    first, radio = PROGRAMS[0][0], PROGRAMS[-1][0]
    _, old = ts_tables.table_sections(pkts, pat[first])[0]
    _, version, pcr, streams, _ = ts_tables.parse_pmt(old)
    _, _, _, radio_streams, _ = ts_tables.parse_pmt(ts_tables.table_sections(pkts, pat[radio])[0][1])
    new_streams = [s for s in streams if s[0] != 0x0F] + radio_streams  # AAC (ADTS) is type 0x0F
    new = ts_tables.build_section(0x02, first, (version + 1) % 32, ts_tables.pmt_body(pcr, new_streams))
    changed_at = None
    for i in range(len(pkts) // 2, len(pkts)):
        pkt = pkts[i]
        if ts_tables.pid_of(pkt) == pat[first] and pkt[1] & 0x40:
            pkts[i] = ts_tables.section_packet(pat[first], ts_tables.cc_of(pkt), new)
            changed_at = i if changed_at is None else changed_at
    if changed_at is None:
        sys.exit(f"make_sample: {path} has no PMT in its second half")
    with open(path, "wb") as f:
        f.write(b"".join(pkts))
    return changed_at


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--size", default="640x360")
    ap.add_argument("--muxrate", default="3M", help="constant multiplex rate (ffmpeg -muxrate)")
    ap.add_argument("--programs", action="store_true",
                    help="three programs with service names: " + ", ".join(f"{n} {t}" for n, t, _ in PROGRAMS))
    ap.add_argument("--tv-programs", type=int, metavar="N",
                    help="N TV programs (1..16) numbered 28201 on, named \"Tovrin 1\" on")
    ap.add_argument("--video-bitrate", help="with --programs: each program's video rate (ffmpeg -b:v, e.g. 8M)")
    ap.add_argument("--pmt-change", action="store_true",
                    help="with --programs: the first program's PMT changes halfway (new version)")
    args = ap.parse_args()
    if args.pmt_change and not args.programs:
        ap.error("--pmt-change needs --programs")
    if args.tv_programs is not None and (args.programs or not 1 <= args.tv_programs <= 16):
        ap.error("--tv-programs takes 1..16 and no --programs")

    if args.programs or args.tv_programs:
        table = PROGRAMS if args.programs else tv_programs(args.tv_programs)
        subprocess.run(multi_program_command(args, table), check=True)
        what = "programs " + ", ".join(f"{n} \"{t}\"" for n, t, _ in table)
        if args.pmt_change:
            what += f", program {PROGRAMS[0][0]}'s PMT changed from packet {change_first_pmt_halfway(args.output)} on"
        packets = pad_to_whole_chunks(args.output)
        print(f"make_sample: {args.output}: {packets} packets ({packets * PACKET} bytes), {what}, "
              f"{args.seconds:g} s at {args.muxrate}bit/s")
        return

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
