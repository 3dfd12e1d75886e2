#!/usr/bin/env python3
"""Plays a transport stream through the module with tovrin-host under Wine and
checks what arrives, with real receivers.

One UDP socket can own the module's destination port, so this script owns it:
it binds 127.0.0.1:PORT (by default a port the system picks, so that test
runs side by side never meet) with a 64 MiB receive buffer, checks every datagram's
RTP header (version 2, payload type 33, SSRC 0, sequence +1 and timestamp +90
per datagram, 12 + N x 188 bytes; with --clock-timestamps, the module's
RtpTimestamps=clock: timestamps that never step back and span the time over
which the kernel received the datagrams, at 90 kHz), writes the payloads to a file (the
recovered transport stream, compared with the input byte for byte), and
forwards each datagram unchanged to a port of its own for every other
receiver: ffmpeg reading an SDP file (payload type 33) decodes everything and
copies the programme into a file for ffprobe; GStreamer's rtpmp2tdepay writes
what it depayloads to a file. All receivers so see the same datagrams in one
play.

The host runs on a private Xvfb display, so that a screenshot of the dialog
can be taken while the stream runs.

With --programs, the module cuts those programs out (its Programs key): the
received stream is then checked against a cut that tools/ts_tables.py makes
of the file (the passed PIDs' packets equal the file's, in order; the PAT and
SDT rewritten to the chosen programs; nothing else), ffprobe -show_programs
must show exactly the chosen programs with their streams and service names,
and GStreamer's file must equal what arrived.

Exit status 0 when every check passed.
"""

import argparse
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ts_tables  # noqa: E402

PACKET = 188
RTP_HEADER = 12
BIG_BUFFER = 64 << 20  # a loopback receiver with less loses datagrams in bursts
FORWARD_CHECK_EVERY = 16  # datagrams forwarded between looks at the receivers' queues


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def arrival_time(ancillary):
    """Seconds from the kernel's SCM_TIMESTAMPNS record of a datagram (its
    arrival, however late the reader took it)."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            seconds, nanoseconds = struct.unpack("qq", data[:16])
            return seconds + nanoseconds / 1e9
    return time.time()


def clock_timestamp_span(stamps, arrivals):
    """(90 kHz seconds the timestamps span, seconds over which they arrived,
    times a timestamp stepped back) of a run's datagrams."""
    back = sum(1 for a, b in zip(stamps, stamps[1:]) if (b - a) & 0xFFFFFFFF >= 1 << 31)
    return ((stamps[-1] - stamps[0]) & 0xFFFFFFFF) / 90000, arrivals[-1] - arrivals[0], back


def clock_span_matches(ticks_seconds, seconds):
    # The kernel's arrival times follow the sends closely; the margin allows
    # for a scheduling pause in the sender, far below the factor by which a
    # counter of 90 per datagram misses the clock away from 1000 a second.
    return abs(ticks_seconds - seconds) <= 0.15 * seconds + 0.15


def log(text):
    print(text, flush=True)


class Check:
    """Collects the verdicts; the run fails when any is false."""

    def __init__(self):
        self.failed = []

    def __call__(self, ok, text):
        log(("  ok    " if ok else "  FAIL  ") + text)
        if not ok:
            self.failed.append(text)
        return ok


# --- the RTP receiver -------------------------------------------------------

class RtpReceiver(threading.Thread):
    def __init__(self, port, payload_path, forward_ports, clock_timestamps=False):
        super().__init__(daemon=True)
        self.clock_timestamps = clock_timestamps
        self.stamps, self.arrivals = [], []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for opt in (getattr(socket, "SO_RCVBUFFORCE", 33), socket.SO_RCVBUF):
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, opt, BIG_BUFFER)
                break
            except OSError:
                continue
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind(("127.0.0.1", port))
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        self.forward_ports = forward_ports
        self.forward = [("127.0.0.1", p) for p in forward_ports]
        self.forward_limit = forward_queue_limit()
        self.forward_stalls = []
        self.payload = open(payload_path, "wb")
        self.stop_after_idle = None  # seconds of silence that end the receiver, once set
        self.datagrams = 0
        self.sizes = {}
        self.header_errors = []
        self.sequence_errors = 0
        self.timestamp_errors = 0
        self.sync_errors = 0
        self.first_seq = None
        self.prev = None
        self.last_arrival = time.monotonic()

    def note(self, text):
        if len(self.header_errors) < 5:
            self.header_errors.append(text)

    def run(self):
        buf = bytearray(65536)
        view = memoryview(buf)
        while True:
            ready, _, _ = select.select([self.sock], [], [], 0.05)
            if not ready:
                idle = self.stop_after_idle
                if idle is not None and time.monotonic() - self.last_arrival >= idle:
                    break
                continue
            n, ancillary, _, _ = self.sock.recvmsg_into([buf], socket.CMSG_SPACE(16))
            self.last_arrival = time.monotonic()
            self.arrivals.append(arrival_time(ancillary))
            datagram = bytes(view[:n])
            for dest in self.forward:
                self.out.sendto(datagram, dest)
            self.inspect(datagram)
            if self.forward and self.datagrams % FORWARD_CHECK_EVERY == 0:
                self.wait_for_forward_room()
        self.payload.close()

    def wait_for_forward_room(self):
        """The other receivers read at their own pace, and the kernel caps
        their socket buffers far below ours: forwarding faster than one of
        them reads (a loaded machine, the datagrams held until they started)
        would overflow its buffer. So the forwarding waits while a receiver
        has more than a safe share of its buffer queued; the module's
        datagrams wait in our own big buffer meanwhile."""
        for port in self.forward_ports:
            deadline = time.monotonic() + 20
            while queued_bytes(port) > self.forward_limit:
                if time.monotonic() > deadline:
                    self.forward_stalls.append(port)  # it stopped reading; its verdicts will tell
                    break
                time.sleep(0.002)

    def inspect(self, d):
        self.datagrams += 1
        self.sizes[len(d)] = self.sizes.get(len(d), 0) + 1
        if len(d) < RTP_HEADER:
            self.note(f"datagram {self.datagrams}: {len(d)} bytes, shorter than an RTP header")
            return
        b0, b1, seq, ts, ssrc = struct.unpack("!BBHII", d[:RTP_HEADER])
        if b0 != 0x80 or b1 != 0x21 or ssrc != 0:
            self.note(f"datagram {self.datagrams}: header {d[:RTP_HEADER].hex(' ')}")
        if self.prev is None:
            self.first_seq = seq
        else:
            pseq, pts = self.prev
            if seq != (pseq + 1) & 0xFFFF:
                self.sequence_errors += 1
            if not self.clock_timestamps and ts != (pts + 90) & 0xFFFFFFFF:
                self.timestamp_errors += 1
        self.prev = (seq, ts)
        self.stamps.append(ts)
        payload = d[RTP_HEADER:]
        if len(payload) % PACKET or any(payload[i] != 0x47 for i in range(0, len(payload), PACKET)):
            self.sync_errors += 1
        self.payload.write(payload)


# --- helpers ----------------------------------------------------------------

def read_table(path):
    with open(path) as f:
        return f.read()


def udp_sockets(port, read=read_table):
    """(bytes queued, datagrams dropped) of each UDP socket bound to the port,
    from Linux's /proc tables; `read` gives a table's text (another network
    namespace's, say)."""
    found = []
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            for line in read(table).splitlines()[1:]:
                fields = line.split()
                # local address:port, then tx_queue:rx_queue, all in hex; drops last
                if int(fields[1].rsplit(":", 1)[1], 16) == port:
                    found.append((int(fields[4].split(":")[1], 16), int(fields[-1])))
        except (OSError, IndexError, ValueError):
            pass
    return found


def queued_bytes(port, read=read_table):
    return sum(queued for queued, _ in udp_sockets(port, read))


def forward_queue_limit():
    """Bytes a forwarding receiver may have queued before we wait: a quarter
    of the smallest buffer it can have asked for (twice net.core.rmem_max,
    the cap for a plain SO_RCVBUF of 64 MiB), leaving room for a batch."""
    try:
        with open("/proc/sys/net/core/rmem_max") as f:
            rmem_max = int(f.read())
    except (OSError, ValueError):
        rmem_max = 212992  # Linux's default
    return min(rmem_max, BIG_BUFFER) // 2


def udp_port_bound(port, read=read_table):
    """True once some process has bound the UDP port."""
    return bool(udp_sockets(port, read))


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    log(f"stream_check: gave up waiting for {what}")
    return False


def write_sdp(path, port, connection="127.0.0.1"):
    # Payload type 33 is MPEG-2 transport stream on the 90 kHz RTP clock. The
    # connection address is where the datagrams go (a group as "GROUP/TTL").
    with open(path, "w") as f:
        f.write(f"v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=ts\r\nc=IN IP4 {connection}\r\nt=0 0\r\n"
                f"m=video {port} RTP/AVP 33\r\na=rtpmap:33 MP2T/90000\r\n")


def free_rtp_ports(count):
    """`count` even ports on 127.0.0.1, each with the odd one above it (RTCP's),
    that nothing has bound now. The system picks them (bind to port 0); all
    stay bound until every one is chosen, so that none is handed out twice."""
    held, ports = [], []
    try:
        while len(ports) < count:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            held.append(s)
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            if port % 2 or port + 1 > 65535:
                continue
            rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            held.append(rtcp)
            try:
                rtcp.bind(("127.0.0.1", port + 1))
            except OSError:
                continue
            ports.append(port)
        return ports
    finally:
        for s in held:
            s.close()


def free_port_block(span):
    """An even port P on 127.0.0.1 such that nothing has bound P .. P + span - 1
    now, for a tool that lays out several receivers at fixed offsets. P comes
    from the system (bind to port 0); the block is held while it is tried."""
    for _ in range(200):
        held = []
        try:
            first = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            held.append(first)
            first.bind(("127.0.0.1", 0))
            base = first.getsockname()[1]
            if base % 2 or base + span > 65536:
                continue
            for port in range(base + 1, base + span):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                held.append(s)
                s.bind(("127.0.0.1", port))
            return base
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError(f"no free block of {span} UDP ports on 127.0.0.1")


def remove_wine_prefix(path):
    """Ends the prefix's wineserver and removes the prefix, so that the next
    Wine program makes it afresh, as on a machine that never ran Wine."""
    if os.path.lexists(path):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=os.path.abspath(path)),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(path)
    if os.path.exists(path + ".lock"):
        os.remove(path + ".lock")


def start_xvfb():
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    with os.fdopen(r, "rb") as f:
        ready, _, _ = select.select([f], [], [], 20)
        if ready:
            number = f.readline().strip()
    if not number:
        proc.kill()
        sys.exit("stream_check: Xvfb did not start")
    return proc, ":" + number.decode()


def compare(path, expected, label, check, what="the file played"):
    with open(path, "rb") as f:
        got = f.read()
    same = got == expected
    detail = ""
    if not same:
        first = next((i for i in range(min(len(got), len(expected))) if got[i] != expected[i]),
                     min(len(got), len(expected)))
        detail = f" ({len(got)} bytes received, {len(expected)} sent, first difference at byte {first})"
    log(f"{label}: " + ("identical" if same else "DIFFERENT") + detail)
    return check(same, f"{label} is byte-identical to {what}")


def stop_process(proc, sig=signal.SIGINT, wait=15):
    if proc is not None and proc.poll() is None:
        proc.send_signal(sig)
    wait_process(proc, wait)


def wait_process(proc, wait):
    """Waits for `proc` to end, killing it after `wait` seconds. (A second
    SIGINT would make ffmpeg drop what it has not written yet.)"""
    if proc is None:
        return
    try:
        proc.wait(wait)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def ffprobe_summary(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "stream=index,codec_type,codec_name,width,height,sample_rate,channels:format=duration",
                          "-of", "compact=p=0", path], capture_output=True, text=True)
    # Streams show once inside their programme and once on their own.
    lines = []
    for line in out.stdout.splitlines():
        if line.strip() and line not in lines:
            lines.append(line)
    return lines, out.stderr.strip()


def ffprobe_programs(path):
    """{program_number: (service_name, {stream PID: codec name})} as ffprobe -show_programs sees them."""
    import json
    out = subprocess.run(["ffprobe", "-v", "error", "-show_programs", "-of", "json", path],
                         capture_output=True, text=True)
    try:
        found = json.loads(out.stdout or "{}").get("programs", [])
    except ValueError:
        return {}
    return {p["program_num"]: (p.get("tags", {}).get("service_name"),
                               {int(s["id"], 16): s.get("codec_name") for s in p.get("streams", [])})
            for p in found}


def check_program_cut(received, sample, selected, packets_per_datagram, check):
    """The received stream is the file cut to the programs `selected`."""
    src = ts_tables.packets(sample)
    got = ts_tables.packets(received)
    src_tsid, _, src_pat = ts_tables.parse_pat(ts_tables.table_sections(src, ts_tables.PAT_PID)[0][1])
    src_sdt = {}
    for _, section in ts_tables.table_sections(src, ts_tables.SDT_PID):
        if section[0] == 0x42:
            src_sdt.update(ts_tables.parse_sdt(section)[3])
    present = {n: src_pat[n] for n in selected if n in src_pat}
    log(f"programs chosen {sorted(selected)}, on the transponder {sorted(present)}")

    expected = ts_tables.expected_cut(src, selected)
    passed = [p for p in got if ts_tables.pid_of(p) not in ts_tables.TABLE_PIDS]
    n = packets_per_datagram or 7
    check(len(expected) - n < len(passed) <= len(expected) and passed == expected[:len(passed)],
          f"the passed PIDs' {len(passed)} packets equal the file's, in order "
          f"({len(expected)} in the file's cut, fewer than {n} may wait in the module)")
    allowed = {ts_tables.PAT_PID, ts_tables.SDT_PID, ts_tables.EIT_PID, ts_tables.TDT_PID}
    allowed |= {ts_tables.pid_of(p) for p in expected}
    stray = sorted({ts_tables.pid_of(p) for p in got} - allowed)
    check(not stray, "no PID beyond the chosen programs' and the tables'" + (f": {stray}" if stray else ""))

    pat_packets = [p for p in got if ts_tables.pid_of(p) == ts_tables.PAT_PID]
    pats = ts_tables.table_sections(got, ts_tables.PAT_PID)
    parsed = [ts_tables.parse_pat(s) for _, s in pats]
    check(len(pats) > 0 and len(pats) == len(pat_packets) and
          all(tsid == src_tsid and programs == present for tsid, _, programs in parsed),
          f"every PAT ({len(pats)} whole, CRC right, continuity unbroken, of {len(pat_packets)} packets) lists "
          f"exactly {present} with transport_stream_id {src_tsid}")
    sdts = ts_tables.table_sections(got, ts_tables.SDT_PID)
    sdt_services = [ts_tables.parse_sdt(s) for _, s in sdts]
    want_sdt = {sid: src_sdt[sid] for sid in present if sid in src_sdt}
    check(len(sdts) > 0 and all(t == 0x42 and services == want_sdt for t, _, _, services in sdt_services),
          f"every SDT ({len(sdts)}) is SDT actual with the services {want_sdt}")
    return present, src_sdt, expected


def check_probed_programs(path, present, names, expected, label, check):
    """ffprobe -show_programs shows exactly the chosen programs, their names
    and only their streams."""
    probed = ffprobe_programs(path)
    stream_pids = {ts_tables.pid_of(p) for p in expected} - set(present.values())
    log(f"ffprobe -show_programs of {label}: " +
        "; ".join(f"{n} \"{name}\" streams {sorted(hex(s) for s in pids)}" for n, (name, pids) in sorted(probed.items())))
    check(set(probed) == set(present), f"{label}: ffprobe shows programs {sorted(probed)}, chosen {sorted(present)}")
    check(all(probed[n][0] == names.get(n, (None, None))[1] for n in probed if n in present),
          f"{label}: ffprobe shows the service names of the file's SDT")
    check(all(probed[n][1] and set(probed[n][1]) <= stream_pids for n in probed),
          f"{label}: every program's streams are streams of the cut")


# --- the run ----------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description="Play a TS through the module and check what real receivers get.")
    ap.add_argument("--wine-run", required=True, help="the build's wine-run script")
    ap.add_argument("--host", required=True, help="tovrin-host.exe")
    ap.add_argument("--module", help="module file (default: the host's own default)")
    ap.add_argument("--sample", required=True, help="transport stream to play")
    ap.add_argument("--workdir", required=True, help="folder for the received files and logs")
    ap.add_argument("--port", type=int, default=0,
                    help="the module's destination port, received here (default: a free port)")
    ap.add_argument("--packets", type=int, help="packets per datagram to set in the INI (default: the module's)")
    ap.add_argument("--ffmpeg", action="store_true", help="ffmpeg decodes and copies the stream via SDP")
    ap.add_argument("--gstreamer", action="store_true", help="GStreamer rtpmp2tdepay writes the stream to a file")
    ap.add_argument("--screenshot", help="PNG of the dialog while streaming")
    ap.add_argument("--repeat-sample", type=int, default=1,
                    help="the host plays the file this many times (give it --repeat too)")
    ap.add_argument("--timeout", type=float, default=90, help="seconds the host may take")
    ap.add_argument("--programs", metavar="LIST",
                    help="the module's Programs key (e.g. 28106,28111): check the cut instead of byte identity")
    ap.add_argument("--cold-prefix", metavar="DIR",
                    help="run the host in Wine prefix DIR, removed first: a cold start as on a fresh machine")
    ap.add_argument("--clock-timestamps", action="store_true",
                    help="set RtpTimestamps=clock; the timestamps must follow the 90 kHz clock")
    ap.add_argument("host_args", nargs="*", help="more options for tovrin-host (after --)")
    args = ap.parse_args()

    os.makedirs(args.workdir, exist_ok=True)
    wd = lambda name: os.path.join(args.workdir, name)
    with open(args.sample, "rb") as f:
        sample = f.read() * args.repeat_sample
    check = Check()
    procs = []
    if args.cold_prefix:
        remove_wine_prefix(args.cold_prefix)

    xvfb, display = start_xvfb()
    procs.append(xvfb)
    env = dict(os.environ, DISPLAY=display)

    # The other receivers start only once the host streams: ffmpeg's SDP
    # reader gives up when no datagram comes within 10 s of its start, and
    # the host's start takes longer than that on a loaded machine or with a
    # Wine prefix that is made on first use. Until they listen, the
    # datagrams wait in our socket's buffer.
    # RTP ports are even; the odd one is RTCP's.
    ffmpeg_port = gst_port = None
    free = free_rtp_ports(int(args.ffmpeg) + int(args.gstreamer))
    if args.ffmpeg:
        ffmpeg_port = free.pop()
    if args.gstreamer:
        gst_port = free.pop()
    forward = [p for p in (ffmpeg_port, gst_port) if p is not None]
    ffmpeg = gst = None
    receivers_started = receivers_ok = False

    def start_receivers():
        nonlocal ffmpeg, gst, ffmpeg_err, receivers_started, receivers_ok
        receivers_started = True
        if ffmpeg_port is not None:
            sdp = wd("stream.sdp")
            write_sdp(sdp, ffmpeg_port)
            # One process, two outputs: every frame decoded (errors would show
            # at -v error), and the programme copied for ffprobe.
            ffmpeg_err = open(wd("ffmpeg-errors.txt"), "w")
            ffmpeg = subprocess.Popen(
                ["ffmpeg", "-nostdin", "-v", "error", "-y", "-protocol_whitelist", "file,udp,rtp",
                 "-buffer_size", str(BIG_BUFFER), "-i", sdp,
                 "-map", "0", "-c", "copy", "-f", "mpegts", wd("received-ffmpeg.ts"),
                 "-map", "0", "-f", "null", "-"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=ffmpeg_err)
            procs.append(ffmpeg)
        if gst_port is not None:
            gst = subprocess.Popen(
                ["gst-launch-1.0", "-q", "-e", "udpsrc", f"port={gst_port}", "address=127.0.0.1",
                 f"buffer-size={BIG_BUFFER}",
                 "caps=application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33",
                 "!", "rtpjitterbuffer", "!", "rtpmp2tdepay", "!", "filesink", f"location={wd('received-gstreamer.ts')}"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(wd("gstreamer.log"), "w"))
            procs.append(gst)
        for p in forward:
            if not wait_for(lambda: udp_port_bound(p), 20, f"a receiver on port {p}"):
                return False
        receiver.start()
        receivers_ok = True
        return True

    ffmpeg_err = None
    try:
        try:
            receiver = RtpReceiver(args.port, wd("received.ts"), forward, args.clock_timestamps)
        except OSError as e:
            log(f"stream_check: cannot receive on 127.0.0.1:{args.port}: {e}")
            return 1
        args.port = receiver.sock.getsockname()[1]

        cmd = [args.wine_run] + (["--prefix", args.cold_prefix] if args.cold_prefix else [])
        cmd += ["--gui", args.host, "--ini", wd("host.ini"), "--start", "--close-when-done",
               "--close-after", str(args.timeout), "--port", str(args.port), "--address", "127.0.0.1"]
        if args.packets is not None:
            cmd += ["--packets", str(args.packets)]
        if args.programs:
            cmd += ["--ini-key", f"Programs={args.programs}"]
        if args.module:
            cmd += ["--module", args.module]
        if args.clock_timestamps:
            cmd += ["--ini-key", "RtpTimestamps=clock"]
        cmd += args.host_args + [args.sample]
        if os.path.exists(wd("host.ini")):
            os.remove(wd("host.ini"))
        log("$ " + " ".join(cmd))
        launched = time.monotonic()
        host = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True)
        procs.append(host)
        # The host ends itself at --close-after; a host that hangs is killed a
        # little later, so that a broken module fails the run instead of stalling it.
        watchdog = threading.Timer(args.timeout + 30, host.kill)
        watchdog.daemon = True
        watchdog.start()

        dialog_rect = None
        streaming_since = None
        shot_taken = False
        host_lines = []
        with open(wd("host.log"), "w") as host_log:
            for line in host.stdout:
                line = line.rstrip("\r\n")
                host_lines.append(line)
                host_log.write(line + "\n")
                log("  | " + line)
                if line.startswith("host: dialog open at "):
                    pos, size = line[len("host: dialog open at "):].split(" size ")
                    x, y = (int(v) for v in pos.split(","))
                    w, h = (int(v) for v in size.split("x"))
                    dialog_rect = (max(x, 0), max(y, 0), w, h)
                if line.startswith("host: filter ") and "registered" in line and not receivers_started:
                    streaming_since = time.monotonic()
                    log(f"stream_check: the host streams {streaming_since - launched:.1f} s after its launch")
                    if not start_receivers():
                        host.kill()
                # The dialog shows Size and Time from the first timer tick on;
                # two ticks in, the picture shows a running stream.
                if args.screenshot and not shot_taken and streaming_since and dialog_rect:
                    shot_taken = True
                    threading.Thread(target=take_screenshot, daemon=True,
                                     args=(display, dialog_rect, args.screenshot, streaming_since + 3.2,
                                           check)).start()
            rc = host.wait()
        watchdog.cancel()
        if not receivers_started:
            start_receivers()
        if not receivers_ok:
            return 1

        # Everything the module sent is in the socket's buffer by now.
        receiver.stop_after_idle = 0.5
        receiver.join(30)
        # GStreamer's source stops reading at the end-of-stream signal, so
        # every receiver first takes in all that was forwarded to it.
        wait_for(lambda: all(queued_bytes(p) == 0 for p in forward), 30,
                 "the receivers to read every forwarded datagram")
        forward_drops = {p: sum(drops for _, drops in udp_sockets(p)) for p in forward}
        # ffmpeg acts on SIGINT only when its reader returns, which the SDP
        # demuxer does about 10 s after the last datagram: stop both now and
        # collect them after the other verdicts.
        for p in (ffmpeg, gst):
            if p is not None:
                p.send_signal(signal.SIGINT)

        log("")
        log("== verdicts")
        check(rc == 0, f"tovrin-host exited with {rc}")
        summary = next((l for l in host_lines if l.startswith("summary: ")), "")
        played = int(summary.split()[1]) if summary else -1
        check(played == len(sample) // PACKET,
              f"the host delivered {played} packets of the {len(sample) // PACKET} played")
        sizes = ", ".join(f"{n} x {size} bytes" for size, n in sorted(receiver.sizes.items()))
        log(f"received {receiver.datagrams} datagrams ({sizes}) on 127.0.0.1:{args.port}")
        if args.packets is not None:
            want = RTP_HEADER + args.packets * PACKET
            check(set(receiver.sizes) == {want}, f"every datagram is {want} bytes ({args.packets} packets)")
        check(receiver.datagrams > 0 and not receiver.header_errors,
              "every RTP header is 80 21 ... with SSRC 0" +
              ("" if not receiver.header_errors else ": " + "; ".join(receiver.header_errors)))
        if args.clock_timestamps:
            check(receiver.sequence_errors == 0, f"sequence numbers contiguous ({receiver.sequence_errors} breaks)")
            span, seconds, back = clock_timestamp_span(receiver.stamps, receiver.arrivals) \
                if receiver.datagrams > 1 else (0, 0, 0)
            check(receiver.datagrams > 1 and back == 0 and clock_span_matches(span, seconds),
                  f"timestamps on the 90 kHz clock: they span {span:.3f} s while the datagrams arrived over "
                  f"{seconds:.3f} s, {back} steps back")
        else:
            check(receiver.sequence_errors == 0 and receiver.timestamp_errors == 0,
                  f"sequence numbers contiguous ({receiver.sequence_errors} breaks), "
                  f"timestamps +90 each ({receiver.timestamp_errors} breaks)")
        check(receiver.sync_errors == 0, f"every payload is whole packets ({receiver.sync_errors} bad)")
        if args.programs:
            with open(wd("received.ts"), "rb") as f:
                received = f.read()
            selected = [int(x) for x in args.programs.replace(",", " ").split()]
            present, names, expected = check_program_cut(received, sample, selected, args.packets, check)
            check_probed_programs(wd("received.ts"), present, names, expected, "the received stream", check)
        else:
            compare(wd("received.ts"), sample, "transport stream recovered from the datagrams", check)
        for p in forward:
            # Not the module's doing: a receiver that lost datagrams fails
            # its own verdicts below; this says why.
            if forward_drops[p] or p in receiver.forward_stalls:
                log(f"stream_check: the receiver on port {p} dropped {forward_drops[p]} forwarded datagrams"
                    + (", and stopped reading for 20 s" if p in receiver.forward_stalls else ""))

        wait_process(ffmpeg, 30)
        wait_process(gst, 15)
        if ffmpeg:
            ffmpeg_err.close()
            with open(wd("ffmpeg-errors.txt")) as f:
                errors = f.read().strip()
            log("ffmpeg -v error (SDP, payload type 33) printed: " + (repr(errors[:500]) if errors else "nothing"))
            check(errors == "", "ffmpeg decoded the RTP stream without errors")
            lines, err = ffprobe_summary(wd("received-ffmpeg.ts"))
            log("ffprobe of what ffmpeg received:")
            for l in lines:
                log("    " + l)
            codecs = {l.split("codec_name=")[1].split("|")[0] for l in lines if "codec_name=" in l}
            want = {"h264", "aac"}
            if args.programs:  # the codecs of the chosen programs in the file
                want = {codec for n, (_, streams) in ffprobe_programs(args.sample).items() if n in present
                        for codec in streams.values()}
            check(want <= codecs, f"ffprobe finds {' and '.join(sorted(want))} (found {sorted(codecs)})")
        if gst:
            with open(wd("received.ts"), "rb") as f:
                arrived = f.read()
            # Without programs, that is the file; with them, the cut.
            compare(wd("received-gstreamer.ts"), arrived if args.programs else sample,
                    "transport stream from GStreamer rtpmp2tdepay", check,
                    "what arrived" if args.programs else "the file played")
        if args.screenshot:
            check(shot_taken and os.path.exists(args.screenshot) and os.path.getsize(args.screenshot) > 0,
                  f"screenshot of the dialog while streaming: {args.screenshot}")
    finally:
        for p in procs:
            stop_process(p, signal.SIGTERM, 5)
        if args.cold_prefix:
            remove_wine_prefix(args.cold_prefix)  # some 700 MB, made afresh by each run

    log("")
    log(f"stream_check: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


def take_screenshot(display, rect, path, at, check):
    time.sleep(max(0.0, at - time.monotonic()))
    x, y, w, h = rect
    w -= w % 2  # even sizes keep every pixel format happy
    h -= h % 2
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-draw_mouse", "0",
                        "-video_size", f"{w}x{h}", "-grab_x", str(x), "-grab_y", str(y), "-i", display,
                        "-frames:v", "1", path], capture_output=True, text=True)
    if r.returncode != 0:
        log("stream_check: screenshot failed: " + r.stderr.strip())
    else:
        log(f"stream_check: dialog screenshot saved to {path}")


if __name__ == "__main__":
    sys.exit(main())
