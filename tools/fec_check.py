#!/usr/bin/env python3
"""Proves the module's column and row FEC with a real decoder.

For each matrix size, tovrin-host plays a transport stream through the module
under Wine with the FEC key set. A relay here owns the module's three ports
(media, columns at + 2, rows at + 4), keeps every datagram the module sent,
and forwards the stream to several GStreamer receivers, each losing media
datagrams by a pattern of its own (fixed seeds):

  random 1 %, random 2 %, 1 % in bursts of 3

each pattern once into rtpst2022-1-fecdec with both FEC streams (it must
repair every loss) and once into a receiver without FEC (it must show the
loss). Every pattern also loses the last datagram of the file and the last
datagram of the stream (a null-packet datagram that completes the last
matrix): the parity reaches to the very end. No loss falls into the first two
matrices: the decoder learns L and D from the first FEC packets it sees.

Each receiver's file is compared with what the module sent, datagram by
datagram: missing datagrams and stray bytes are counted.

Exit status 0 when every check passed.
"""

import argparse
import os
import random
import select
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stream_check import (BIG_BUFFER, free_port_block, FORWARD_CHECK_EVERY, Check, forward_queue_limit, log,  # noqa: E402
                          queued_bytes, start_xvfb, stop_process, udp_port_bound, udp_sockets, wait_for,
                          wait_process)

PACKET = 188
RTP_HEADER = 12
FEC_OFFSETS = (2, 4)  # column and row FEC ports after the media port
MEDIA_CAPS = "application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33"
FEC_CAPS = "application/x-rtp,media=application,clock-rate=90000,encoding-name=parityfec,payload=96"

# (name, loss rate, burst length, seed)
PATTERNS = [("random 1 %", 0.01, 1, 11), ("random 2 %", 0.02, 1, 12), ("1 % in bursts of 3", 0.01, 3, 13)]


def drops_for(rate, burst, seed, total, first_allowed, last_real):
    """Media datagram indexes (0 = the stream's first) that the pattern loses."""
    rng = random.Random(seed)
    lost = set()
    i = first_allowed
    while i < total:
        if rng.random() < rate / burst:
            lost.update(range(i, min(i + burst, total)))
            i += burst + 1  # bursts apart, each its own loss
        else:
            i += 1
    # The end: the file's last datagram and the completing one after it.
    lost.update(range(max(first_allowed, last_real - burst + 1), last_real + 1))
    if total - 1 > last_real + 1:
        lost.add(total - 1)
    return lost


class Sink:
    """One GStreamer receiver: its ports, its losses, its file."""

    def __init__(self, name, port, fec, drops, path):
        self.name, self.port, self.fec, self.drops, self.path = name, port, fec, drops, path
        self.proc = None

    def ports(self):
        return [self.port] + ([self.port + o for o in FEC_OFFSETS] if self.fec else [])

    def start(self, log_path, fec_window_ns):
        media = ["udpsrc", f"port={self.port}", "address=127.0.0.1", f"buffer-size={BIG_BUFFER}", f"caps={MEDIA_CAPS}"]
        if self.fec:
            # The jitterbuffer after the decoder: before it, the output repeats packets.
            cmd = ["rtpst2022-1-fecdec", "name=dec", f"size-time={fec_window_ns}", "!", "rtpjitterbuffer",
                   "latency=1000", "!", "rtpmp2tdepay", "!", "filesink", f"location={self.path}"]
            cmd += media + ["!", "dec.sink"]
            for pad, offset in enumerate(FEC_OFFSETS):
                cmd += ["udpsrc", f"port={self.port + offset}", "address=127.0.0.1", f"buffer-size={BIG_BUFFER}",
                        f"caps={FEC_CAPS}", "!", f"dec.fec_{pad}"]
        else:
            cmd = media + ["!", "rtpjitterbuffer", "latency=1000", "!", "rtpmp2tdepay", "!", "filesink",
                           f"location={self.path}"]
        self.proc = subprocess.Popen(["gst-launch-1.0", "-q", "-e"] + cmd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=open(log_path, "w"))


class Relay(threading.Thread):
    """Owns the module's three ports; keeps and forwards what arrives."""

    def __init__(self, port, sinks):
        super().__init__(daemon=True)
        self.socks = {}
        for offset in (0,) + FEC_OFFSETS:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for opt in (getattr(socket, "SO_RCVBUFFORCE", 33), socket.SO_RCVBUF):
                try:
                    s.setsockopt(socket.SOL_SOCKET, opt, BIG_BUFFER)
                    break
                except OSError:
                    continue
            s.bind(("127.0.0.1", port + offset))
            self.socks[s] = offset
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        self.sinks = sinks
        self.limit = forward_queue_limit()
        self.sent = {0: [], 2: [], 4: []}  # what the module sent, per port offset, in arrival order
        self.first_seq = None
        self.forwarded = 0
        self.stop_after_idle = None
        self.last_arrival = time.monotonic()

    def run(self):
        while True:
            ready, _, _ = select.select(list(self.socks), [], [], 0.05)
            if not ready:
                if self.stop_after_idle is not None and time.monotonic() - self.last_arrival >= self.stop_after_idle:
                    return
                continue
            self.last_arrival = time.monotonic()
            for s in ready:
                d = s.recv(65536)
                offset = self.socks[s]
                self.sent[offset].append(d)
                index = None
                if offset == 0:
                    seq = struct.unpack("!H", d[2:4])[0]
                    if self.first_seq is None:
                        self.first_seq = seq
                    index = (seq - self.first_seq) & 0xFFFF
                for sink in self.sinks:
                    if offset and not sink.fec or index in sink.drops:
                        continue
                    self.out.sendto(d, ("127.0.0.1", sink.port + offset))
                self.forwarded += 1
                if self.forwarded % FORWARD_CHECK_EVERY == 0:
                    self.wait_for_room()

    def wait_for_room(self):
        # GStreamer reads at its own pace; its queues must not overflow.
        for sink in self.sinks:
            for p in sink.ports():
                deadline = time.monotonic() + 20
                while queued_bytes(p) > self.limit and time.monotonic() < deadline:
                    time.sleep(0.002)


def media_chunks(relay):
    """The media payloads in sequence order."""
    by_index = {}
    for d in relay.sent[0]:
        seq = struct.unpack("!H", d[2:4])[0]
        by_index[(seq - relay.first_seq) & 0xFFFF] = d[RTP_HEADER:]
    return [by_index[i] for i in sorted(by_index)], sorted(by_index)


def compare(got, chunks):
    """(datagrams missing, stray bytes): each sent datagram's payload must
    follow the previous one's in the received file."""
    pos = missing = 0
    for c in chunks:
        if got[pos:pos + len(c)] == c:
            pos += len(c)
        else:
            missing += 1
    return missing, len(got) - pos


def run_matrix(args, columns, rows, base_port, check, env):
    per_matrix = columns * rows
    wd = os.path.join(args.workdir, f"fec-{columns}x{rows}")
    os.makedirs(wd, exist_ok=True)
    with open(args.sample, "rb") as f:
        sample = f.read()
    real = (len(sample) // PACKET) // args.packets  # whole chunks of the file
    total = -(-real // per_matrix) * per_matrix      # completed to a whole matrix at Stop
    first_allowed = 2 * per_matrix

    sinks = []
    port = base_port + 10
    for name, rate, burst, seed in PATTERNS:
        drops = drops_for(rate, burst, seed, total, first_allowed, real - 1)
        for fec in (True, False):
            label = f"{name}, {'FEC' if fec else 'no FEC'}"
            sinks.append(Sink(label, port, fec, drops, os.path.join(wd, f"port{port}.ts")))
            port += 10
    for sink in sinks:
        sink.start(os.path.join(wd, f"port{sink.port}.log"), args.fec_window_ms * 1000000)
    for sink in sinks:
        for p in sink.ports():
            if not wait_for(lambda: udp_port_bound(p), 20, f"GStreamer on port {p}"):
                return check(False, f"{columns}x{rows}: the receivers listen")
    relay = Relay(base_port, sinks)
    relay.start()

    cmd = [args.wine_run, "--gui", args.host, "--module", args.module, "--ini", os.path.join(wd, "host.ini"),
           "--start", "--close-when-done", "--close-after", "60", "--port", str(base_port), "--address",
           "127.0.0.1", "--packets", str(args.packets), "--ini-key", f"FEC={columns}x{rows}", "--quiet",
           "--rate", str(args.rate), args.sample]
    if os.path.exists(os.path.join(wd, "host.ini")):
        os.remove(os.path.join(wd, "host.ini"))
    log("$ " + " ".join(cmd))
    try:
        host = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True, timeout=120)
        out, rc = host.stdout, host.returncode
    except subprocess.TimeoutExpired as e:
        out, rc = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or ""), -1
    for line in out.splitlines():
        log("  | " + line)
    relay.stop_after_idle = 0.5
    relay.join(30)
    wait_for(lambda: all(queued_bytes(p) == 0 for s in sinks for p in s.ports()), 30,
             "the receivers to read every forwarded datagram")
    # The decoder and the jitterbuffer hold the last packets back for a
    # while; end-of-stream lets them go.
    time.sleep(1.5)
    for sink in sinks:
        stop_process(sink.proc, wait=20)
    dropped_by_kernel = sum(d for s in sinks for p in s.ports() for _, d in udp_sockets(p))

    log(f"== verdicts {columns}x{rows}")
    check(rc == 0, f"{columns}x{rows}: tovrin-host exited with {rc}")
    chunks, indexes = media_chunks(relay)
    check(indexes == list(range(total)),
          f"{columns}x{rows}: the module sent media datagrams 0..{len(indexes) - 1} without a gap, "
          f"{real} of the file and {len(indexes) - real} completing the last matrix (expected {total - real})")
    check(b"".join(chunks[:real]) == sample[:real * args.packets * PACKET],
          f"{columns}x{rows}: the media datagrams carry the file")
    matrices = total // per_matrix
    check((len(relay.sent[2]), len(relay.sent[4])) == (matrices * columns, matrices * rows),
          f"{columns}x{rows}: {len(relay.sent[2])} column and {len(relay.sent[4])} row FEC packets for "
          f"{matrices} matrices")
    if dropped_by_kernel:
        log(f"fec_check: the receivers' sockets dropped {dropped_by_kernel} forwarded datagrams")
    for sink in sinks:
        with open(sink.path, "rb") as f:
            got = f.read()
        missing, stray = compare(got, chunks)
        last = sum(1 for i in sink.drops if i >= total - per_matrix)
        what = (f"{columns}x{rows} {sink.name}: {len(sink.drops)} datagrams lost on the way "
                f"({last} in the last matrix), {missing} missing and {stray} stray bytes in the received file")
        if sink.fec:
            check(len(chunks) == total and missing == 0 and stray == 0 and got == b"".join(chunks),
                  what + ": all repaired")
        else:
            check(missing == len(sink.drops) and stray == 0, what + ": the loss shows")
    return True


def main():
    ap = argparse.ArgumentParser(description="The module's FEC through a lossy relay into GStreamer's decoder.")
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--host", required=True, help="tovrin-host.exe")
    ap.add_argument("--module", required=True)
    ap.add_argument("--sample", required=True, help="transport stream to play")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--port", type=int, default=0,
                    help="the module's media port, receivers above it (default: a free block the system finds)")
    ap.add_argument("--packets", type=int, default=7)
    ap.add_argument("--rate", type=float, default=8, help="Mbit/s the host plays at")
    ap.add_argument("--fec-window-ms", type=int, default=2000, help="the decoder's size-time")
    ap.add_argument("--matrix", action="append", help="LxD (repeatable; default 5x5 and 10x10)")
    args = ap.parse_args()
    os.makedirs(args.workdir, exist_ok=True)

    check = Check()
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    try:
        for text in args.matrix or ["5x5", "10x10"]:
            columns, rows = (int(v) for v in text.lower().split("x"))
            base = args.port or free_port_block(10 * (len(PATTERNS) * 2 + 1))
            run_matrix(args, columns, rows, base, check, env)
    finally:
        stop_process(xvfb)
    log("")
    log(f"fec_check: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
