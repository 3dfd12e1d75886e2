#!/usr/bin/env python3
"""Proves the module's column and row FEC with a real decoder, at any rate.

Each run (a matrix size and a play rate, by default 10x10 at 4 Mbit/s and 5x5
at 30 Mbit/s: about 380 and 2850 datagrams a second, both far from the 1000 a
second at which a counter of 90 per datagram would pass for the 90 kHz clock)
plays a transport stream through the module with tovrin-host under Wine, with
the FEC key set. A relay here owns the module's three ports (media, columns at
+ 2, rows at + 4), keeps every datagram the module sent with its arrival time,
and forwards the stream to GStreamer receivers, each losing media datagrams by
a pattern of its own:

  random 2 %, and 3 % in bursts of 3 within one row,

drawn over the whole stream for each seed (--seeds, --first-seed), one
receiver for each pattern and seed. Every pattern also loses datagrams in
the first and the second matrix (the decoder still learns L and D there),
the file's last datagram and the stream's last (a null-packet datagram that
completes the last matrix at Stop). Each goes into rtpst2022-1-fecdec
followed by rtpjitterbuffer, which places packets by their RTP timestamps;
one more receiver without FEC must show its loss.

What the decoder can repair: the module completes the last matrix at Stop and
sends every row's and every column's parity, so a lost datagram is repairable
when its row or its column has no other loss, again and again as repaired
datagrams count as arrived (repairable()). The patterns draw no loss that
would leave another beyond repair, and every receiver's file must be exactly
what the module sent less the datagrams that are not repairable (none):
nothing missing, nothing repeated, nothing out of place.

The relay forwards in the order the kernel received the datagrams, across
its three sockets, and also checks the RTP timestamps: the media's span the
time over which they arrived (90 kHz), and each FEC packet carries the
timestamp of the newest datagram it protects. Its record of every datagram
(arrival, port, sequence, timestamp) is kept as relay.txt in the run's
folder.

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
from stream_check import (BIG_BUFFER, SO_TIMESTAMPNS, arrival_time, clock_span_matches,  # noqa: E402
                          clock_timestamp_span, free_port_block, FORWARD_CHECK_EVERY, Check, forward_queue_limit,
                          log, queued_bytes, start_xvfb, stop_process, udp_port_bound, udp_sockets, wait_for,
                          wait_process)

PACKET = 188
RTP_HEADER = 12
FEC_OFFSETS = (2, 4)  # column and row FEC ports after the media port
MEDIA_CAPS = "application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33"
FEC_CAPS = "application/x-rtp,media=application,clock-rate=90000,encoding-name=parityfec,payload=96"

# (name, loss rate, burst length)
PATTERNS = [("random 2 %", 0.02, 1), ("3 % in bursts of 3", 0.03, 3)]
DEFAULT_RUNS = ["10x10@4", "5x5@30"]


def drops_for(rate, burst, seed, columns, rows, total, last_real):
    """Media datagram indexes (0 = the stream's first) that the pattern loses:
    the file's last datagram and the stream's, one loss in each of the first
    two matrices, and then losses drawn over the whole stream; bursts lie
    within one row. A loss that would leave a datagram beyond repair is not
    drawn: every loss of a pattern must come back."""
    rng = random.Random(seed * 1000 + burst)
    per_matrix = columns * rows
    lost = set()

    def lose(i, length=burst):
        # A burst starts no later than its row allows, so that it lies in one row.
        first = min(i, i - i % columns + columns - length)
        candidate = lost | set(range(first, first + length))
        if len(repairable(candidate, columns, rows, total, only_matrix=i // per_matrix)) < \
                len({j for j in candidate if j // per_matrix == i // per_matrix}):
            return False
        lost.update(candidate)
        return True

    lose(last_real)
    if not lose(total - 1):
        lose(total - 1, 1)
    for matrix in (0, 1):
        while not lose(matrix * per_matrix + rng.randrange(per_matrix)):
            pass
    i = 0
    while i < total:
        if rng.random() < rate / burst and lose(i):
            i += burst + 1  # bursts apart, each its own loss
        else:
            i += 1
    return lost


def repairable(drops, columns, rows, total, only_matrix=None):
    """The lost datagrams that row and column parity can rebuild: one loss
    alone in its row or column is rebuilt, and counts as arrived for the
    others, until nothing changes. Every matrix is complete and has all its
    parity (the module completes the last one at Stop)."""
    per_matrix = columns * rows
    matrices = range(total // per_matrix) if only_matrix is None else [only_matrix]
    repaired = set()
    for m in matrices:
        base = m * per_matrix
        missing = {i for i in drops if base <= i < base + per_matrix}
        lines = [[base + r * columns + c for c in range(columns)] for r in range(rows)]
        lines += [[base + r * columns + c for r in range(rows)] for c in range(columns)]
        changed = True
        while changed:
            changed = False
            for line in lines:
                lost = [i for i in line if i in missing]
                if len(lost) == 1:
                    missing.discard(lost[0])
                    repaired.add(lost[0])
                    changed = True
    return repaired


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
        # A receiver that the machine's other work starves for longer than its
        # jitter buffer's latency declares the datagrams it waits for lost
        # before their repair comes: the receivers run ahead of other work, as
        # on a PC that plays what it receives.
        nice = ["nice", "-n", "-10"] if os.geteuid() == 0 else []
        self.proc = subprocess.Popen(nice + ["gst-launch-1.0", "-q", "-e"] + cmd, stdin=subprocess.DEVNULL,
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
            # The kernel's arrival time of each datagram, however late this
            # thread reads it.
            s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
            s.bind(("127.0.0.1", port + offset))
            self.socks[s] = offset
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        self.sinks = sinks
        self.limit = forward_queue_limit()
        self.sent = {0: [], 2: [], 4: []}  # what the module sent, per port offset, in arrival order
        self.media_arrivals = []  # the kernel's arrival time in seconds, one for each of self.sent[0]
        self.log = []  # (arrival, port offset, sequence, timestamp) of every datagram, as forwarded
        self.first_seq = None
        self.forwarded = 0
        self.stop_after_idle = None
        self.last_arrival = time.monotonic()

    def run(self):
        # The FEC sockets are read before the media socket, and each batch
        # goes out in the order the kernel received it: every datagram sent
        # before an FEC packet is queued by the time the packet is read, so
        # a relay that lags never puts a row's parity in front of the row's
        # last datagram (a reordering that the module did not make).
        order = sorted(self.socks, key=lambda s: -self.socks[s])
        while True:
            ready, _, _ = select.select(order, [], [], 0.05)
            if not ready:
                if self.stop_after_idle is not None and time.monotonic() - self.last_arrival >= self.stop_after_idle:
                    return
                continue
            self.last_arrival = time.monotonic()
            batch = []
            for s in order:
                while True:
                    try:
                        d, ancillary, _, _ = s.recvmsg(65536, socket.CMSG_SPACE(16), socket.MSG_DONTWAIT)
                    except BlockingIOError:
                        break
                    batch.append((arrival_time(ancillary), self.socks[s], d))
            batch.sort(key=lambda item: item[0])
            for arrival, offset, d in batch:
                self.forward(arrival, offset, d)

    def forward(self, arrival, offset, d):
        self.sent[offset].append(d)
        self.log.append((arrival, offset, struct.unpack("!H", d[2:4])[0], struct.unpack("!I", d[4:8])[0]))
        index = None
        if offset == 0:
            self.media_arrivals.append(arrival)
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
    """The media payloads in sequence order, and their indexes."""
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


def check_timestamps(relay, label, check):
    """The media timestamps advance with the arrival times (90 kHz, not a count
    of datagrams), and each FEC packet carries its newest datagram's."""
    media = relay.sent[0]
    if len(media) < 2:
        return check(False, f"{label}: media datagrams arrived")
    stamps = [struct.unpack("!I", d[4:8])[0] for d in media]
    span, seconds, back = clock_timestamp_span(stamps, relay.media_arrivals)
    check(back == 0 and clock_span_matches(span, seconds),
          f"{label}: media timestamps span {span:.3f} s of the 90 kHz clock while the datagrams arrived over "
          f"{seconds:.3f} s, {back} steps back")
    by_sequence = {struct.unpack("!H", d[2:4])[0]: ts for d, ts in zip(media, stamps)}
    wrong = 0
    for offset in FEC_OFFSETS:
        for p in relay.sent[offset]:
            sn_base, ts = struct.unpack("!H", p[12:14])[0], struct.unpack("!I", p[4:8])[0]
            step, count = (1, p[26]) if p[24] & 0x40 else (p[25], p[26])
            wrong += by_sequence.get((sn_base + step * (count - 1)) & 0xFFFF) != ts
    return check(wrong == 0, f"{label}: every FEC packet carries its newest datagram's timestamp ({wrong} do not)")


def run_matrix(args, columns, rows, rate, base_port, check, env):
    per_matrix = columns * rows
    label = f"{columns}x{rows} at {rate:g} Mbit/s"
    wd = os.path.join(args.workdir, f"fec-{columns}x{rows}-{rate:g}")
    os.makedirs(wd, exist_ok=True)
    with open(args.sample, "rb") as f:
        sample = f.read()
    real = (len(sample) // PACKET) // args.packets  # whole chunks of the file
    total = -(-real // per_matrix) * per_matrix      # completed to a whole matrix at Stop

    sinks = []
    port = base_port + 10
    for seed in range(args.first_seed, args.first_seed + args.seeds):
        for name, loss, burst in PATTERNS:
            drops = drops_for(loss, burst, seed, columns, rows, total, real - 1)
            sinks.append(Sink(f"{name}, seed {seed}, FEC", port, True, drops, os.path.join(wd, f"port{port}.ts")))
            port += 10
    plain = drops_for(PATTERNS[0][1], PATTERNS[0][2], args.first_seed, columns, rows, total, real - 1)
    sinks.append(Sink(f"{PATTERNS[0][0]}, seed {args.first_seed}, no FEC", port, False, plain,
                      os.path.join(wd, f"port{port}.ts")))
    for sink in sinks:
        sink.start(os.path.join(wd, f"port{sink.port}.log"), args.fec_window_ms * 1000000)
    for sink in sinks:
        for p in sink.ports():
            if not wait_for(lambda: udp_port_bound(p), 20, f"GStreamer on port {p}"):
                return check(False, f"{label}: the receivers listen")
    relay = Relay(base_port, sinks)
    relay.start()

    cmd = [args.wine_run, "--gui", args.host, "--module", args.module, "--ini", os.path.join(wd, "host.ini"),
           "--start", "--close-when-done", "--close-after", "60", "--port", str(base_port), "--address",
           "127.0.0.1", "--packets", str(args.packets), "--ini-key", f"FEC={columns}x{rows}", "--quiet",
           "--rate", str(rate), args.sample]
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

    if len(relay.media_arrivals) > 1:
        seconds = relay.media_arrivals[-1] - relay.media_arrivals[0]
        log(f"fec_check: {len(relay.media_arrivals)} media datagrams over {seconds:.2f} s, "
            f"{(len(relay.media_arrivals) - 1) / max(seconds, 1e-6):.0f} a second")
    with open(os.path.join(wd, "relay.txt"), "w") as f:
        f.write("# arrival (s), port offset, RTP sequence, RTP timestamp, in the order forwarded\n")
        for arrival, offset, seq, ts in relay.log:
            f.write(f"{arrival:.6f} {offset} {seq} {ts}\n")
    log(f"== verdicts {label}")
    check(rc == 0, f"{label}: tovrin-host exited with {rc}")
    chunks, indexes = media_chunks(relay)
    check(indexes == list(range(total)),
          f"{label}: the module sent media datagrams 0..{len(indexes) - 1} without a gap, "
          f"{real} of the file and {len(indexes) - real} completing the last matrix (expected {total - real})")
    check(b"".join(chunks[:real]) == sample[:real * args.packets * PACKET], f"{label}: the media datagrams carry the file")
    matrices = total // per_matrix
    check((len(relay.sent[2]), len(relay.sent[4])) == (matrices * columns, matrices * rows),
          f"{label}: {len(relay.sent[2])} column and {len(relay.sent[4])} row FEC packets for {matrices} matrices")
    check_timestamps(relay, label, check)
    if dropped_by_kernel:
        log(f"fec_check: the receivers' sockets dropped {dropped_by_kernel} forwarded datagrams")
    for sink in sinks:
        with open(sink.path, "rb") as f:
            got = f.read()
        missing, stray = compare(got, chunks)
        early = sum(1 for i in sink.drops if i < 2 * per_matrix)
        last = sum(1 for i in sink.drops if i >= total - per_matrix)
        what = (f"{label} {sink.name}: {len(sink.drops)} datagrams lost on the way ({early} in the first two "
                f"matrices, {last} in the last), {missing} missing and {stray} stray bytes in the received file")
        if sink.fec:
            lost_for_good = set(sink.drops) - repairable(sink.drops, columns, rows, total)
            expected = b"".join(c for i, c in enumerate(chunks) if i not in lost_for_good)
            check(len(chunks) == total and got == expected,
                  what + f": every repairable loss repaired ({len(lost_for_good)} not repairable)")
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
    ap.add_argument("--run", action="append",
                    help="LxD@MBIT: a matrix and the rate the host plays at (repeatable; default "
                         + " and ".join(DEFAULT_RUNS) + ")")
    ap.add_argument("--seeds", type=int, default=2, help="loss seeds for each pattern (a receiver each)")
    ap.add_argument("--first-seed", type=int, default=1)
    ap.add_argument("--fec-window-ms", type=int, default=2000, help="the decoder's size-time")
    args = ap.parse_args()
    os.makedirs(args.workdir, exist_ok=True)

    check = Check()
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    try:
        for text in args.run or DEFAULT_RUNS:
            matrix, rate = text.split("@")
            columns, rows = (int(v) for v in matrix.lower().split("x"))
            base = args.port or free_port_block(10 * (len(PATTERNS) * args.seeds + 2))
            run_matrix(args, columns, rows, float(rate), base, check, env)
    finally:
        stop_process(xvfb)
    log("")
    log(f"fec_check: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
