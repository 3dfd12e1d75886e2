#!/usr/bin/env python3
"""The module's URL server with real players: tovrin-host plays the sample in
a loop through the module under Wine with HttpPort set, and real clients
fetch from it.

    http_clients.py SCENARIO --build DIR --sample FILE --workdir DIR

Scenarios:
  players  on 127.0.0.1: curl (GET and HEAD: the exact head), ffprobe and
           ffmpeg (decode it), GStreamer souphttpsrc and VLC as an ordinary
           user (byte for byte after the PAT/PMT prefix), the page, the
           playlist and a program URL (ffprobe decodes it), a table of malformed requests over raw sockets,
           HttpMaxClients + 1 gets 503, and 50 viewers coming and going
           while the host's handle count stays where it was
  slow     on 127.0.0.1 at 40 Mbit/s: three viewers, one reading 20 kB/s:
           that one is dropped ("a whole buffer behind"), the two others
           and the RTP stream receive every byte
  restart  on 127.0.0.1: Stop and Start again half a second later, five
           times, with viewers that stopped reading: each Start listens
           again, the RTP stream goes on, each viewer is reset
  allow    in network namespaces, HttpAllow of one /32 and one /24: clients
           from both, from a private address outside both and from a public
           address, each to the server's private and public address: only
           the listed stream, every other (and 127.0.0.1) gets 403 and a
           line in the host's log

Exit status 0 when every check passed.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from stream_check import Check, RtpReceiver, log, start_xvfb, stop_process, wait_for  # noqa: E402

PACKET = 188
WAIT_SECONDS = 30     # only ever reached when something is broken
STREAM_HEAD = ["HTTP/1.1 200 OK", "Content-Type: video/mp2t", "Cache-Control: no-cache", "Connection: close"]


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Host:
    """tovrin-host looping the sample (or playing it once) with Start
    pressed; its lines (the module's log among them, "module: ...") are kept
    as they come."""

    def __init__(self, args, name, keys, extra=(), command=None, env=None, loop=True):
        self.folder = os.path.join(args.workdir, name)
        os.makedirs(self.folder, exist_ok=True)
        ini = os.path.join(self.folder, "host.ini")
        if os.path.exists(ini):
            os.remove(ini)
        host_args = ["--module", os.path.join(args.build, "TovrinStreamer.module"), "--ini", ini, "--start"] + \
            (["--loop"] if loop else []) + ["--close-after", "600", "--quiet"] + list(extra)
        for key in keys:
            host_args += ["--ini-key", key]
        host_args.append(getattr(args, "sample_file", None) or args.sample)
        if command is None:
            command = [os.path.join(args.build, "wine-run"), "--gui", os.path.join(args.build, "tovrin-host.exe")]
        self.lines = []
        log(f"== {name}: tovrin-host with {', '.join(keys)}")
        self.proc = subprocess.Popen(command + host_args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, env=env, start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        with open(os.path.join(self.folder, "host.log"), "w") as out:
            for line in self.proc.stdout:
                line = line.rstrip("\r\n")
                self.lines.append(line)
                out.write(line + "\n")
                out.flush()

    def streaming(self):
        return wait_for(lambda: any("registered" in l for l in self.lines), 120, "the host to start streaming")

    def module_lines(self):
        return [l[len("module: "):] for l in self.lines if l.startswith("module: ")]

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGINT)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.reader.join(10)


# --- HTTP over raw sockets ------------------------------------------------------

def split_head(data):
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None, data
    return data[:end].decode("latin-1").split("\r\n"), data[end + 4:]


def answer_complete(request, data):
    """Whether `data` holds the whole answer to `request`, as a client sees
    it: the head, and as much body as its Content-Length gives (none for
    HEAD). The server leaves the closing to the client then."""
    head, body = split_head(bytes(data))
    if head is None:
        return False
    if request.startswith(b"HEAD "):
        return True
    length = next((int(h.split(":", 1)[1]) for h in head if h.lower().startswith("content-length:")), None)
    return length is not None and len(body) >= length


def exchange(address, request, read_bytes=1 << 16, seconds=WAIT_SECONDS, make_socket=None, source=None):
    """Sends `request` and reads until `read_bytes` came, the answer is
    complete (then the client closes, as players do), the server closed, or
    `seconds` passed. Returns (bytes, ended): ended when the answer was
    complete or the server closed the connection. `source`: the address to
    connect from."""
    data, ended, _ = fetch(address, request, read_bytes, seconds, make_socket, source)
    return data, ended


def fetch(address, request, read_bytes=1 << 16, seconds=WAIT_SECONDS, make_socket=None, source=None):
    """exchange(), also returning the client's own port."""
    s = make_socket() if make_socket else socket.socket()
    s.settimeout(seconds)
    data = bytearray()
    ended = False
    port = None
    try:
        if source:
            s.bind((source, 0))
        s.connect(address)
        port = s.getsockname()[1]
        s.sendall(request)
        deadline = time.monotonic() + seconds
        while len(data) < read_bytes and time.monotonic() < deadline:
            chunk = s.recv(min(1 << 16, read_bytes - len(data)))
            if not chunk:
                ended = True
                break
            data += chunk
            if answer_complete(request, data):
                ended = True
                break
    except socket.timeout:
        pass
    except ConnectionResetError:
        ended = True
    finally:
        s.close()
    return bytes(data), ended, port


def pid_of(packet):
    return (packet[1] & 0x1F) << 8 | packet[2]


def check_stream_body(check, body, sample, who):
    """Whole packets: a prefix that begins with the PAT, then the looped
    sample from some packet on, byte for byte."""
    body = body[:len(body) - len(body) % PACKET]
    packets = len(body) // PACKET
    if packets < 20:
        check(False, f"{who}: only {packets} whole packets arrived")
        return
    looped = memoryview(sample * (len(body) // len(sample) + 3))
    body = memoryview(body)
    # The prefix is a copy of the source's latest PAT and PMT packets: a
    # viewer who joins just after the source carried them gets a body that
    # also reads as the source from that PAT on. Longer prefixes are tried
    # first so that such a body counts as what it is.
    for prefix in [*range(2, 12), 0, 1]:
        first = bytes(body[prefix * PACKET:(prefix + 1) * PACKET])
        rest = body[prefix * PACKET:]
        at = sample.find(first)
        while at >= 0:
            if at % PACKET == 0 and looped[at:at + len(rest)] == rest:
                pids = [pid_of(body[i * PACKET:]) for i in range(prefix)]
                check(prefix >= 2 and pids[0] == 0,
                      f"{who}: {packets} packets, a prefix of {prefix} (PIDs {pids}), then the source "
                      f"from its packet {at // PACKET} on, byte for byte")
                return
            at = sample.find(first, at + 1)
    check(False, f"{who}: {packets} packets, but after no prefix of 0..11 packets do they continue the source")


def check_head(check, head, expected, who):
    check(head == expected, f"{who}: the head is {expected} (got {head})")


# --- players --------------------------------------------------------------------

def run_tool(argv, seconds, **kwargs):
    """Runs a client for about `seconds` (SIGINT then, as a user would end it)."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    try:
        out, err = proc.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGINT)
        try:
            out, err = proc.communicate(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
    return proc.returncode, out, err


def malformed_table(check, address):
    """Each line: what a hostile or broken client sends, and the status it
    gets (None: the connection is closed without an answer)."""
    cases = [
        ("garbage (a TLS hello)", b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + b"\xaa" * 40, 400),
        ("a 10 KB header", b"GET / HTTP/1.1\r\nHost: a\r\nX-Long: " + b"a" * 10240 + b"\r\n\r\n", 431),
        ("a NUL byte", b"GET /\x00 HTTP/1.1\r\nHost: a\r\n\r\n", 400),
        ("'..' in the path", b"GET /../stream.ts HTTP/1.1\r\nHost: a\r\n\r\n", 400),
        ("'..' encoded", b"GET /%2e%2e/stream.ts HTTP/1.1\r\nHost: a\r\n\r\n", 400),
        ("an absolute-form URL", b"GET http://127.0.0.1/stream.ts HTTP/1.1\r\nHost: a\r\n\r\n", 400),
        ("an unknown method", b"BREW /stream.ts HTTP/1.1\r\nHost: a\r\n\r\n", 405),
        ("POST", b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", 405),
        ("the HTTP/2 preface", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 505),
        ("HTTP/1.1 without Host", b"GET /stream.ts HTTP/1.1\r\n\r\n", 400),
        ("an obs-fold header", b"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", 400),
        ("an unknown path", b"GET /etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n", 404),
        ("half a request, then silence", b"GET /stream.ts HTT", None),
    ]
    for name, request, status in cases:
        data, closed = exchange(address, request, seconds=20)
        head, _ = split_head(data)
        if status is None:
            check(closed and not data, f"malformed: {name}: closed without an answer (got {data[:40]!r})")
            continue
        got = head[0] if head else repr(data[:40])
        ok = head is not None and head[0].startswith(f"HTTP/1.1 {status} ") and closed
        if status == 405:
            ok = ok and "Allow: GET, HEAD" in head
        if status == 503:
            ok = ok and any(h.startswith("Retry-After: ") for h in head)
        check(ok, f"malformed: {name}: {status}, the whole answer (got {got})")
    data, _ = exchange(address, b"GET / HTTP/1.0\r\n\r\n")
    check(data.startswith(b"HTTP/1.1 200 OK\r\n"), "the server answers as before after the malformed requests")


def handles_now(host):
    """The handle count of the host's latest sample line, after waiting for
    a new one."""
    count = len(host.lines)
    wait_for(lambda: any(l.startswith("sample: ") for l in host.lines[count:]), 10, "a sample line")
    for line in reversed(host.lines):
        m = re.match(r"sample: .*\bhandles=(-?\d+) handles_listed=(-?\d+)", line)
        if m:
            return int(m.group(1)), int(m.group(2))
    return None


def scenario_players(args, check):
    sample = open(args.sample, "rb").read()
    port = free_tcp_port()
    url = f"http://127.0.0.1:{port}"
    address = ("127.0.0.1", port)
    host = Host(args, "players", [f"HttpPort={port}", "HttpMaxClients=3"],
                extra=["--port", str(free_tcp_port()), "--rate", "6", "--sample-every", "1"])
    try:
        if not host.streaming():
            check(False, "the host streams")
            return
        work = os.path.join(args.workdir, "players")

        # curl, HEAD and GET.
        rc, out, _ = run_tool(["curl", "-sS", "-I", "-m", "10", f"{url}/stream.ts"], 30)
        check_head(check, out.decode("latin-1").rstrip("\r\n").split("\r\n"), STREAM_HEAD, "curl -I /stream.ts")
        head_file, body_file = os.path.join(work, "curl.head"), os.path.join(work, "curl.ts")
        rc, _, _ = run_tool(["curl", "-sS", "-H", "Range: bytes=0-", "-D", head_file, "-o", body_file, "-m", "3",
                             f"{url}/stream.ts"], 30)
        check(rc == 28, f"curl read until its own time limit (exit {rc}, 28 expected)")
        check_head(check, open(head_file, "rb").read().decode("latin-1").rstrip("\r\n").split("\r\n"), STREAM_HEAD,
                   "curl GET /stream.ts with Range: bytes=0-")
        check_stream_body(check, open(body_file, "rb").read(), sample, "curl")

        # The page and the playlist.
        data, _ = exchange(address, b"GET / HTTP/1.1\r\nHost: tv.local:8001\r\n\r\n")
        head, body = split_head(data)
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and "Content-Type: text/html; charset=utf-8" in head
              and b'href="/stream.ts"' in body and b'href="/playlist.m3u"' in body and b"<script" not in body,
              "the page: HTML with links to the stream and the playlist, no script")
        data, _ = exchange(address, b"GET /playlist.m3u HTTP/1.1\r\nHost: tv.local:8001\r\n\r\n")
        head, body = split_head(data)
        check(head is not None and "Content-Type: audio/x-mpegurl" in head and body.startswith(
                  b'#EXTM3U url-tvg="http://tv.local:8001/epg.xml" x-tvg-url="http://tv.local:8001/epg.xml"\n'),
              f"the playlist: audio/x-mpegurl beginning #EXTM3U with the guide's URL (got {head})")
        entries = re.findall(rb'#EXTINF:-1 tvg-id="(\d+)\.[0-9a-f]+\.[0-9a-f]+\.dvb" tvg-chno="\1",[^\r\n]*\r?\n#KODIPROP:mimetype=video/mp2t\r?\n'
                             rb'http://tv\.local:8001/program/(\d+)\.ts', body or b"")
        check(bool(entries) and all(a == b for a, b in entries),
              f"the playlist has an entry per program with its absolute URL ({entries})")
        if entries:
            # One program through its own filter: a PAT of its own first, and
            # ffprobe finds the program's streams in it.
            number = entries[0][0].decode()
            data, _ = exchange(address, f"GET /program/{number}.ts HTTP/1.0\r\n\r\n".encode(), read_bytes=300000)
            head, body = split_head(data)
            check_head(check, head, STREAM_HEAD, f"/program/{number}.ts")
            body = body[:len(body) - len(body) % PACKET]  # the read stopped where it stopped
            check(len(body) >= PACKET and all(body[i] == 0x47 for i in range(0, len(body), PACKET))
                  and pid_of(body) == 0, f"/program/{number}.ts: {len(body) // PACKET} packets, the first a PAT "
                                         f"(PID {pid_of(body) if body else None})")
            rc, out, err = run_tool(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of",
                                     "csv=p=0", f"{url}/program/{number}.ts"], 60)
            codecs = set(out.decode().split())
            check({"h264", "aac"} <= codecs, f"ffprobe finds H.264 and AAC in /program/{number}.ts ({sorted(codecs)})")
        data, _ = exchange(address, b"GET /program/65000.ts HTTP/1.0\r\n\r\n")
        check(data.startswith(b"HTTP/1.1 404 "), "a program the PAT does not list: 404")
        data, _ = exchange(address, b"HEAD /playlist.m3u HTTP/1.1\r\nHost: tv.local\r\n\r\n")
        head, body = split_head(data)
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and body == b"", "HEAD of the playlist: no body")

        # ffprobe and ffmpeg read it as players do.
        rc, out, err = run_tool(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                                 f"{url}/stream.ts"], 60)
        codecs = set(out.decode().split())
        check({"h264", "aac"} <= codecs, f"ffprobe finds H.264 and AAC (found {sorted(codecs)}, {err[:200]!r})")
        # A live join lands inside a group of pictures: the decoder complains
        # until the next key frame, as with any broadcast; then it decodes.
        rc, out, err = run_tool(["ffmpeg", "-nostdin", "-v", "error", "-t", "3", "-i", f"{url}/stream.ts",
                                 "-map", "0:v", "-f", "framemd5", "-"], 60)
        frames = sum(1 for l in out.decode().splitlines() if l and not l.startswith("#"))
        check(rc == 0 and frames >= 25, f"ffmpeg decodes {frames} video frames of 3 s (exit {rc})")

        # GStreamer's HTTP source, byte-transparent into a file.
        gst_file = os.path.join(work, "gstreamer.ts")
        run_tool(["gst-launch-1.0", "-q", "-e", "souphttpsrc", f"location={url}/stream.ts", "!", "filesink",
                  f"location={gst_file}"], 4)
        check_stream_body(check, open(gst_file, "rb").read() if os.path.exists(gst_file) else b"", sample,
                          "GStreamer souphttpsrc")

        # VLC refuses root: it runs as nobody, dumping what it reads.
        vlc_dir = tempfile.mkdtemp(prefix="tovrin-vlc-")
        os.chmod(vlc_dir, 0o777)
        try:
            vlc_file = os.path.join(vlc_dir, "vlc.ts")
            # timeout(1) inside: runuser does not pass a signal on to VLC.
            rc, _, err = run_tool(["runuser", "-u", "nobody", "--", "timeout", "-s", "INT", "-k", "10", "4",
                                   "cvlc", "-I", "dummy", "--no-loop", "--demux", "dump", "--demuxdump-file",
                                   vlc_file, f"{url}/stream.ts"], 30, env=dict(os.environ, HOME=vlc_dir))
            data = open(vlc_file, "rb").read() if os.path.exists(vlc_file) else b""
            shutil.copy(vlc_file, os.path.join(work, "vlc.ts")) if data else None
            check_stream_body(check, data, sample, "VLC (as nobody)")
        finally:
            shutil.rmtree(vlc_dir, ignore_errors=True)

        malformed_table(check, address)

        # HttpMaxClients=3: the fourth viewer gets 503 with Retry-After.
        viewers = []
        for _ in range(3):
            s = socket.create_connection(address, timeout=WAIT_SECONDS)
            s.sendall(b"GET /stream.ts HTTP/1.0\r\n\r\n")
            viewers.append(s)
        heads = [split_head(s.recv(4096))[0] for s in viewers]
        check(all(h and h[0] == "HTTP/1.1 200 OK" for h in heads), "three viewers at once get 200")
        data, closed = exchange(address, b"GET /stream.ts HTTP/1.0\r\n\r\n")
        head, _ = split_head(data)
        check(head is not None and head[0].startswith("HTTP/1.1 503 ") and closed
              and any(h.startswith("Retry-After: ") for h in head),
              f"the fourth gets 503 with Retry-After (got {head})")
        for s in viewers:
            s.close()

        # 50 viewers coming and going: the host holds no more handles after.
        wait_for(lambda: not any("connected" in l for l in host.module_lines()[-1:]), 5, "a quiet moment")
        before = handles_now(host)
        for i in range(50):
            data, _ = exchange(address, b"GET /stream.ts HTTP/1.0\r\n\r\n", read_bytes=20000)
            if not data.startswith(b"HTTP/1.1 200 OK\r\n"):
                check(False, f"cycle {i}: no stream ({data[:40]!r})")
                break
        time.sleep(2)  # the server notices the last one leave at its next send; not a timing check
        after = handles_now(host)
        check(before is not None and after is not None and after[0] <= before[0] + 2 and after[1] <= before[1] + 2,
              f"50 viewers came and went: handles {before} before, {after} after")
        lines = host.module_lines()
        joined = sum(1 for l in lines if "connected: GET /stream.ts" in l)
        left = sum(1 for l in lines if "disconnected:" in l and "(/stream.ts)" in l)
        check(joined >= 50 and left >= 50, f"the log has a line per viewer coming ({joined}) and going ({left})")
    finally:
        host.stop()


# --- slow ----------------------------------------------------------------------

class Viewer(threading.Thread):
    """Reads /stream.ts, at most `rate` bytes a second when given; keeps what
    it read and whether the server closed."""

    def __init__(self, address, rate=None, receive_buffer=None):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(WAIT_SECONDS)
        self.sock.connect(address)
        self.sock_port = self.sock.getsockname()[1]
        self.sock.sendall(b"GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.rate = rate
        self.data = bytearray()
        self.closed = False
        self.stop = False

    def run(self):
        started = time.monotonic()
        try:
            while not self.stop:
                if self.rate and len(self.data) > self.rate * (time.monotonic() - started):
                    time.sleep(0.05)
                    continue
                if self.rate:
                    self.sock.settimeout(1)  # so that `stop` is seen while nothing comes
                chunk = self.sock.recv(4096 if self.rate else 1 << 20)
                if not chunk:
                    self.closed = True
                    break
                self.data += chunk
        except (socket.timeout, ConnectionResetError):
            self.closed = True
        self.sock.close()


def scenario_slow(args, check):
    sample = open(args.sample, "rb").read()
    port = free_tcp_port()
    rtp_port = free_tcp_port() & ~1
    xvfb, display = start_xvfb()
    try:
        receiver = RtpReceiver(rtp_port, os.path.join(args.workdir, "slow-rtp.ts"), [])
        receiver.start()
        host = Host(args, "slow", [f"HttpPort={port}"], extra=["--port", str(rtp_port), "--address", "127.0.0.1",
                                                               "--rate", "40", "--block", "7-100"],
                    env=dict(os.environ, DISPLAY=display))
        try:
            if not host.streaming():
                check(False, "the host streams")
                return
            address = ("127.0.0.1", port)
            fast = [Viewer(address), Viewer(address)]
            slow = Viewer(address, rate=20000, receive_buffer=4096)
            for v in fast + [slow]:
                v.start()
            # 40 Mbit/s fills the slow viewer's 8 MiB and the kernel's buffers
            # in seconds. The viewer itself sees the end only once it has read
            # what the kernel still holds for it, minutes at its pace.
            wait_for(lambda: any("a whole buffer behind" in l for l in host.module_lines()), 90,
                     "the slow viewer to be dropped")
            time.sleep(2)
            slow.stop = True
            for v in fast:
                v.stop = True
            host.stop()
            for v in fast + [slow]:
                v.join(WAIT_SECONDS)
        finally:
            host.stop()
        lines = host.module_lines()
        dropped = [l for l in lines if "disconnected: a whole buffer behind" in l]
        check(len(dropped) == 1 and f":{slow.sock_port} " in dropped[0],
              "the slow viewer, and only it, was dropped: " + "; ".join(l for l in lines if "disconnected" in l))
        for i, v in enumerate(fast):
            _, body = split_head(bytes(v.data))
            check_stream_body(check, body, sample, f"fast viewer {i + 1} (beside the slow one)")
        receiver.stop_after_idle = 0.5
        receiver.join(WAIT_SECONDS)
        check(receiver.datagrams > 0 and receiver.sequence_errors == 0,
              f"the RTP stream beside them: {receiver.datagrams} datagrams, {receiver.sequence_errors} gaps")
        rtp = open(os.path.join(args.workdir, "slow-rtp.ts"), "rb").read()
        looped = sample * (len(rtp) // len(sample) + 1)
        check(len(rtp) > 0 and rtp == looped[:len(rtp)], f"the RTP stream carries the looped source, byte for byte "
                                                          f"({len(rtp)} bytes)")
    finally:
        stop_process(xvfb, signal.SIGTERM, 5)


# --- restart -------------------------------------------------------------------

def scenario_restart(args, check):
    """Stop and Start again half a second later, five times, each time with
    viewers that stopped reading (their windows full, stream queued for
    them): each Start takes the port again and the RTP stream goes on, and
    each viewer's connection ends with a reset, never a FIN behind stream
    that would keep it (and on Windows the port) alive."""
    cycles = 5
    port = free_tcp_port()
    rtp_port = free_tcp_port() & ~1
    xvfb, display = start_xvfb()
    try:
        receiver = RtpReceiver(rtp_port, os.path.join(args.workdir, "restart-rtp.ts"), [])
        receiver.start()
        host = Host(args, "restart", [f"HttpPort={port}"],
                    extra=["--port", str(rtp_port), "--address", "127.0.0.1", "--rate", "6", "--restart-every", "1.5"],
                    env=dict(os.environ, DISPLAY=display))
        try:
            if not host.streaming():
                check(False, "the host streams")
                return
            registered = lambda: sum(1 for l in host.lines if "registered" in l)
            for cycle in range(cycles):
                viewers = []
                for _ in range(2):
                    v = socket.socket()
                    v.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    v.settimeout(WAIT_SECONDS)
                    v.connect(("127.0.0.1", port))
                    v.sendall(b"GET /stream.ts HTTP/1.0\r\n\r\n")
                    viewers.append(v)
                starts = registered()
                if not wait_for(lambda: registered() > starts, 30, "the Start after the next Stop"):
                    check(False, f"cycle {cycle + 1}: Start after Stop registered the filter again")
                    return
                ends = []
                for v in viewers:
                    try:
                        while v.recv(1 << 16):
                            pass
                        ends.append("closed (FIN)")
                    except ConnectionResetError:
                        ends.append("reset")
                    except socket.timeout:
                        ends.append("still open")
                    v.close()
                check(ends == ["reset", "reset"], f"cycle {cycle + 1}: Start again after Stop; the viewers that "
                                                  f"stopped reading were {ends}")
            datagrams = receiver.datagrams
            wait_for(lambda: receiver.datagrams > datagrams, 10, "RTP after the last restart")
            check(receiver.datagrams > datagrams, f"the RTP stream goes on after {cycles} restarts "
                                                  f"({receiver.datagrams} datagrams)")
        finally:
            host.stop()
        check(not any("did not register" in l or "Cannot listen" in l for l in host.lines),
              "no Start was refused: " + "; ".join(l for l in host.lines if "Cannot" in l or "did not" in l))
        receiver.stop_after_idle = 0.5
        receiver.join(WAIT_SECONDS)
        check(receiver.sequence_errors == 0, f"the RTP stream has no gap ({receiver.sequence_errors})")
    finally:
        stop_process(xvfb, signal.SIGTERM, 5)


# --- allow ---------------------------------------------------------------------

def scenario_allow(args, check):
    """HttpAllow as a user narrows it: one PC (/32) and one room's network
    (/24). The server's PC has a private and a public address; clients from
    the /32, from the /24, from a private address outside both (on the
    server's own network) and from a public address each connect to both.
    Only the listed ones get the stream, whichever address they reached;
    every other gets 403 and a log line, and so does 127.0.0.1, which the
    list leaves out. A server that ignored the key (the default lets private
    networks in) or judged its own address instead of the client's fails."""
    import netns
    sample = open(args.sample, "rb").read()
    port = 8001
    private, public = "192.168.77.1", "203.0.113.1"  # TEST-NET-3: a public address that belongs to nobody
    with netns.Namespace("httpsrv") as server, netns.Namespace("home") as home, \
            netns.Namespace("outside") as outside:
        server.veth("h0", f"{private}/24", "h1", "192.168.77.10/24", home)
        home.ip("addr", "add", "192.168.77.20/24", "dev", "h1")
        home.ip("addr", "add", "10.55.3.7/24", "dev", "h1")
        server.ip("route", "add", "10.55.3.0/24", "via", "192.168.77.10")
        home.ip("route", "add", "203.0.113.0/24", "via", private)
        server.veth("o0", f"{public}/24", "o1", "203.0.113.2/24", outside)
        outside.ip("route", "add", "192.168.77.0/24", "via", public)
        clients = [  # who, namespace, address, allowed
            ("the /32", home, "192.168.77.10", True),
            ("the /24", home, "10.55.3.7", True),
            ("a private address outside both", home, "192.168.77.20", False),
            ("a public address", outside, "203.0.113.2", False),
        ]
        wine = server.wine(args.build)
        try:
            host = Host(args, "allow", [f"HttpPort={port}", "HttpAllow=192.168.77.10/32, 10.55.3.0/24"],
                        extra=["--port", "43100", "--rate", "6"],
                        command=server.command(wine.command("tovrin-host.exe", gui=True)), env=wine.env)
            try:
                if not host.streaming():
                    check(False, "the host streams")
                    return
                # The dialog names the address of this PC on a private
                # network, not the public one.
                # The host prints the line once Start has returned, which
                # may be after the filter was registered.
                wait_for(lambda: any(l.startswith("host: description: ") for l in host.lines), 30,
                         "the dialog's line")
                described = next((l for l in host.lines if l.startswith("host: description: ")), "")
                check(f"http://{private}:{port}/" in described, f"the dialog's line: {described}")
                cases = [(who, ns, source, allowed, target) for target in (private, public)
                         for who, ns, source, allowed in clients]
                cases.append(("loopback, left out of the list", server, "127.0.0.1", False, "127.0.0.1"))
                for who, ns, source, allowed, target in cases:
                    what = f"from {source} ({who}) to {target}"
                    data, ended, client_port = fetch(
                        (target, port), b"GET /stream.ts HTTP/1.0\r\n\r\n", read_bytes=150000,
                        make_socket=lambda ns=ns: ns.socket(socket.AF_INET, socket.SOCK_STREAM), source=source)
                    head, body = split_head(data)
                    if allowed:
                        check(head == STREAM_HEAD, f"{what}: 200 (got {head})")
                        check_stream_body(check, body, sample, what)
                        continue
                    check(head is not None and head[0] == "HTTP/1.1 403 Forbidden" and ended,
                          f"{what}: 403, the whole answer (got {head})")
                    # A line a second at most: this one's may come a second later.
                    logged = wait_for(lambda: any(f"HTTP {source}:{client_port} refused (403)" in l
                                                  for l in host.module_lines()), 10, f"the log line {what}")
                    check(logged, f"{what}: the host's log names the refused client")
            finally:
                host.stop()
        finally:
            wine.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scenario", choices=["players", "slow", "restart", "allow"])
    ap.add_argument("--build", required=True)
    ap.add_argument("--sample", required=True)
    ap.add_argument("--workdir", required=True)
    args = ap.parse_args()
    os.makedirs(os.path.join(args.workdir, args.scenario), exist_ok=True)
    check = Check()
    {"players": scenario_players, "slow": scenario_slow, "restart": scenario_restart,
     "allow": scenario_allow}[args.scenario](args, check)
    log("")
    log(f"http_clients {args.scenario}: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
