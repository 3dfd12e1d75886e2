#!/usr/bin/env python3
"""The URL server's page in a real browser, the programs' one-entry
playlists and the outputs' SDP files with a real player: tovrin-host loops
guide_stream.py's stream through the module under Wine, in a time zone of
the test's choosing, with HttpPort and a second output set.

    http_page.py --build DIR --workdir DIR [--doc DIR]

Checks:
- headless Chromium (the page's DOM as the browser built it): every
  program's number, name and kind, now and next with start and end in the
  zone's local time (taken from Python's own zone data, not the module's),
  the note naming the zone's offset, the stream URLs, the viewers (one
  viewer of one program watching), both outputs with their SDP links;
- the page fits a phone's width: a copy of the page with a small script of
  this test's own (served by the test, never by the module) compares the
  document's width with the window's at 390 and 320 pixels and paints the
  page in a colour that a screenshot shows; screenshots at 390x844 and
  1280x800 (into --doc when given);
- /program/<n>.m3u: audio/x-mpegurl, one entry with the program's stream
  URL, HEAD alike without a body, 404 for a program not on the transponder;
- /output/<k>.sdp: application/sdp, GET and HEAD, for output 1 (the whole
  transponder by RTP), 2 (one program by RTP) and 3 (one program by plain
  UDP), each named as an announcement would name it, without a TTL; 404 for
  a number not in use; ffprobe opens output 1's file and reads its stream
  (every program and its service name). The stream gets PES packets of its
  own on the programs' elementary PIDs, which ffprobe's probing counts.

Wine takes the time zone from the Unix side's: its ntdll asks localtime(),
which follows TZ, for the offset and the summer-time dates, and names the
Windows zone whose rules match. The test sets TZ for the host only.

Exit status 0 when every check passed.
"""

import argparse
import concurrent.futures
import html.parser
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib
import http.server
from datetime import datetime, timezone
from zoneinfo import ZoneInfo

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import guide_stream  # noqa: E402
from http_clients import Check, Host, exchange, free_tcp_port, log, split_head  # noqa: E402

ZONE = "Europe/Berlin"
SECONDS = 60  # only ever reached when something is broken
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars"]
KINDS = {0x01: "TV", 0x02: "Radio"}
# Now (EIT present/following section 0) and next (section 1) of each service.
PRESENT_FOLLOWING = {}
SCHEDULE = {}  # program -> the events of its own schedule that the guide keeps
for _table, _service, _tsid, _number, _events, _when, _version, _damaged in guide_stream.SECTIONS:
    if _table == 0x4E and _tsid == guide_stream.TSID:
        PRESENT_FOLLOWING.setdefault(_service, {})[_number] = _events[0]
    if 0x50 <= _table <= 0x5F and _tsid == guide_stream.TSID and not _damaged:
        SCHEDULE.setdefault(_service, set()).update(e for e in _events if e in guide_stream.EXPECTED)


def now_and_next(program):
    """{0: now, 1: next} as the page shows them: present/following where the
    broadcast sends them, else from the program's schedule at the stream's
    start (the test looks within its first seconds, before any of these ends)."""
    shown = dict(PRESENT_FOLLOWING.get(program, {}))
    schedule = sorted(SCHEDULE.get(program, ()), key=lambda e: guide_stream.EVENTS[e][0])
    running = [e for e in schedule if guide_stream.EVENTS[e][0] <= 0 < sum(guide_stream.EVENTS[e][:2])]
    if 0 not in shown and running:
        shown[0] = running[0]
    if 1 not in shown:
        after = [e for e in schedule if guide_stream.EVENTS[e][0] > 0 and e != shown.get(0)]
        if after:
            shown[1] = after[0]
    return shown


def free_udp_pair():
    """An even port whose successor (RTCP, for ffprobe) is free too."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1] & ~1
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as a, \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as b:
                a.bind(("127.0.0.1", port))
                b.bind(("127.0.0.1", port + 1))
            return port
        except OSError:
            continue
    raise RuntimeError("no free pair of UDP ports")


def fetch(address, method, path):
    data, _ = exchange(address, f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{address[1]}\r\n\r\n".encode(),
                       read_bytes=1 << 22)
    return split_head(data)


def header(head, name):
    return next((h.split(":", 1)[1].strip() for h in head or [] if h.lower().startswith(name.lower() + ":")), None)


def local_clock(seconds):
    return datetime.fromtimestamp(seconds, ZoneInfo(ZONE)).strftime("%H:%M")


def expected_event_line(which, event_id):
    start, duration, _ = guide_stream.EVENTS[event_id]
    start += guide_stream.T0
    title = next(iter(guide_stream.EXPECTED[event_id][1].values()))
    return f"{which} {local_clock(start)}\u2013{local_clock(start + duration)} {title}"


class TextOfSections(html.parser.HTMLParser):
    """The text of each <section> of a DOM, by its id ("" for those without),
    and the links' targets, as a reader sees them."""

    def __init__(self):
        super().__init__()
        self.sections, self.links, self.current, self.depth = {}, [], None, 0
        self.note = ""
        self.in_note = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "section":
            self.current = attrs.get("id", "") or f"section{len(self.sections)}"
            self.sections[self.current] = ""
        if tag == "a":
            self.links.append(attrs.get("href"))
        if tag == "p" and attrs.get("class") == "note":
            self.in_note = True

    def handle_endtag(self, tag):
        if tag == "section":
            self.current = None
        if tag == "p":
            self.in_note = False
        if self.current is not None and tag in ("p", "h2", "li"):
            self.sections[self.current] += "\n"

    def handle_data(self, data):
        if self.current is not None:
            self.sections[self.current] += data
        if self.in_note:
            self.note += data

    def lines(self, section):
        return [" ".join(l.split()) for l in self.sections.get(section, "").split("\n") if l.strip()]


def chromium(args, work, name):
    """Runs headless Chromium with a profile of its own, removed afterwards."""
    profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
    try:
        result = subprocess.run(["chromium"] + CHROMIUM_FLAGS + [f"--user-data-dir={profile}"] + args,
                                capture_output=True, text=True, timeout=120, cwd=work)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    with open(os.path.join(work, f"chromium-{name}.log"), "w") as out:
        out.write(result.stderr)
    return result


# Paints the page one colour, which a screenshot's first pixel shows: green
# when the document is no wider than the window, red when something sticks
# out sideways, blue when the window is not the width asked for (?w=).
# Headless Chromium lays a page out at 500 pixels or more first and takes
# the screenshot's width afterwards: the colour follows every resize.
MEASURE = """<script>
function paint() {
  var d = document.documentElement;
  var asked = Number(new URLSearchParams(location.search).get('w'));
  var colour = window.innerWidth != asked ? '#0000ff' : d.scrollWidth <= d.clientWidth ? '#00ff00' : '#ff0000';
  d.style.background = colour;
  document.body.style.background = colour;
}
window.addEventListener('load', paint);
window.addEventListener('resize', paint);
</script>"""
COLOURS = {(0, 255, 0): "fits", (255, 0, 0): "overflows sideways", (0, 0, 255): "not the width asked for"}


def png_first_pixel(png):
    """The RGB of a PNG's top left pixel: the first row's filters leave its
    first pixel as stored, so inflating the image data suffices."""
    at, data = 8, b""
    while at < len(png):
        length = int.from_bytes(png[at:at + 4], "big")
        kind = png[at + 4:at + 8]
        if kind == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    raw = zlib.decompressobj().decompress(data, 16)
    return tuple(raw[1:4])


class MeasuringServer:
    """Serves the module's page as fetched, with the test's measuring script
    added before </body>, on 127.0.0.1 (the module never serves a script)."""

    def __init__(self, page):
        body = page.replace(b"</body>", MEASURE.encode() + b"</body>")

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def measure_width(work, url, width):
    shot = os.path.join(work, f"measure-{width}.png")
    chromium(["--virtual-time-budget=3000", f"--window-size={width},600", f"--screenshot={shot}",
              f"{url}?w={width}"], work, f"measure-{width}")
    try:
        with open(shot, "rb") as f:
            return COLOURS.get(png_first_pixel(f.read()), "no answer")
    except OSError:
        return "no screenshot"


PES_PER_PROGRAM = 20  # packets a second on each program's elementary PID


def write_page_sample(workdir, name):
    """The guide's sample with elementary data in <workdir>/<name>/guide.ts:
    the folder and the file's path."""
    work = os.path.join(workdir, name)
    os.makedirs(work, exist_ok=True)
    sample = os.path.join(work, "guide.ts")
    guide_stream.write(sample)
    add_elementary_data(sample)
    return work, sample


def add_elementary_data(path):
    """Puts PES packets (no time stamps, a payload nothing decodes) on each
    program's elementary PID in place of null packets. ffprobe probes until
    it has read -probesize bytes of elementary data; with tables alone it
    never counts any and waits as long as the stream lasts."""
    data = bytearray(open(path, "rb").read())
    programs = sorted(guide_stream.SERVICES)
    counters = {}
    for cycle in range(len(data) // (guide_stream.PACKET * guide_stream.PACKETS_PER_CYCLE)):
        base = cycle * guide_stream.PACKETS_PER_CYCLE
        nulls = [i for i in range(base, base + guide_stream.PACKETS_PER_CYCLE)
                 if data[i * 188 + 1:i * 188 + 3] == b"\x1f\xff"]
        step = len(nulls) // (PES_PER_PROGRAM * len(programs))
        for n in range(PES_PER_PROGRAM * len(programs)):
            pid = 0x200 + n % len(programs)
            cc = counters.get(pid, 0)
            counters[pid] = (cc + 1) & 0xF
            pes = bytes([0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0])  # video, unbounded, no PTS
            packet = bytes([0x47, 0x40 | pid >> 8, pid & 0xFF, 0x10 | cc]) + pes
            at = nulls[n * step] * 188
            data[at:at + 188] = packet + b"\x55" * (188 - len(packet))
    with open(path, "wb") as out:
        out.write(data)


def ffprobe_sdp(path, expected):
    """The programs and service names ffprobe reads through an SDP file: it
    probes about two seconds of the output's elementary data, so that the
    tables (once a second) come whole."""
    probesize = int(2.5 * PES_PER_PROGRAM * 184 * len(expected))
    try:
        result = subprocess.run(["ffprobe", "-v", "error", "-protocol_whitelist", "file,udp,rtp",
                                 "-probesize", str(probesize), "-show_programs", "-of", "json", path],
                                capture_output=True, text=True, timeout=30)
        programs = json.loads(result.stdout).get("programs", [])
    except (subprocess.TimeoutExpired, json.JSONDecodeError) as e:
        return {}, str(e)
    return {p.get("program_num"): p.get("tags", {}).get("service_name") for p in programs}, result.stderr


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--doc", help="where the two screenshots go (the repository's doc/)")
    args = ap.parse_args()
    work, args.sample_file = write_page_sample(args.workdir, "page")
    check = Check()

    port = free_tcp_port()
    address = ("127.0.0.1", port)
    rtp_port, one_port, udp_port = free_udp_pair(), free_udp_pair(), free_udp_pair()
    one, other = 102, 104  # the programs of outputs 2 and 3
    keys = [f"HttpPort={port}", f"Output2=127.0.0.1:{one_port} programs={one}",
            f"Output3=127.0.0.1:{udp_port} programs={other} protocol=udp"]
    host = Host(args, "page", keys, extra=["--port", str(rtp_port), "--rate", "1"],
                env=dict(os.environ, TZ=ZONE), loop=True)
    viewer = None
    began = time.monotonic()
    try:
        if not host.streaming():
            check(False, "the host streams")
            return 1
        # Until the guide's present/following of every service has come.
        deadline = time.monotonic() + SECONDS
        titles = [next(iter(guide_stream.EXPECTED[event_id][1].values()))
                  for events in PRESENT_FOLLOWING.values() for event_id in events.values()]
        while time.monotonic() < deadline:
            _, body = fetch(address, "GET", "/")
            text = (body or b"").decode("utf-8", "replace")
            if all(title in text for title in titles):
                break
            time.sleep(0.3)

        log(f"   streaming with the guide's now and next after {time.monotonic() - began:.1f} s")
        # One viewer of program 101, for the counts.
        viewer = socket.create_connection(address, timeout=10)
        viewer.sendall(f"GET /program/101.ts HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        check(viewer.recv(4096).startswith(b"HTTP/1.1 200 OK"), "a viewer of program 101 streams")

        head, page = fetch(address, "GET", "/")
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and
              header(head, "Content-Type") == "text/html; charset=utf-8", f"the page is HTML ({head})")
        with open(os.path.join(work, "page.html"), "wb") as out:
            out.write(page or b"")

        # The browser's runs side by side: the DOM, the widths, the screenshots.
        url = f"http://127.0.0.1:{port}/"
        measuring = MeasuringServer(page or b"")
        shots = {name: (size, os.path.join(work, f"{name}.png"))
                 for name, size in (("page-phone", "390,844"), ("page-desktop", "1280,800"))}
        with concurrent.futures.ThreadPoolExecutor(max_workers=5) as pool:
            dom_run = pool.submit(chromium, ["--dump-dom", url], work, "dom")
            widths = {width: pool.submit(measure_width, work, measuring.url, width) for width in (390, 320)}
            shot_runs = [pool.submit(chromium, [f"--window-size={size}", f"--screenshot={shot}", url], work, name)
                         for name, (size, shot) in shots.items()]
            dom = dom_run.result()
            outcomes = {width: run.result() for width, run in widths.items()}
            for run in shot_runs:
                run.result()
        measuring.close()
        log(f"   Chromium's five runs done after {time.monotonic() - began:.1f} s")

        # The page as the browser built it.
        parser = TextOfSections()
        parser.feed(dom.stdout)
        offset = datetime.fromtimestamp(guide_stream.T0, ZoneInfo(ZONE)).strftime("%z")
        check(f"Times are this PC's local time (UTC{offset[:3]}:{offset[3:]})." in " ".join(parser.note.split()),
              f"the page says its times are local, UTC{offset} ({parser.note.strip()!r})")
        for number, (kind, _, name) in guide_stream.SERVICES.items():
            lines = parser.lines(f"p{number}")
            check(bool(lines) and lines[0] == f"{number}{name}{KINDS[kind]}",
                  f"program {number}: number, name, kind ({lines[:1]})")
            events = now_and_next(number)
            expected_events = [expected_event_line(w, events[n]) for n, w in ((0, "Now"), (1, "Next")) if n in events]
            shown = [l for l in lines if l.startswith(("Now ", "Next "))]
            check(shown == expected_events, f"program {number}: now and next in {ZONE} time "
                                            f"({shown} against {expected_events})")
            viewers = 1 if number == 101 else 0
            check(f"Watch Viewers: {viewers}" in lines, f"program {number}: {viewers} viewer(s) ({lines})")
            check(f"Stream URL: http://127.0.0.1:{port}/program/{number}.ts" in lines,
                  f"program {number}: its stream URL to copy")
            check(f"/program/{number}.m3u" in parser.links, f"program {number}: Watch opens /program/{number}.m3u")
        everything = " ".join(" ".join(parser.lines(s)) for s in parser.sections)
        check(f"Receiving the transport stream. Viewers: 1 of" in " ".join(dom.stdout.split()),
              "the page counts one viewer in all")
        check(f"Output 1: RTP to 127.0.0.1:{rtp_port}, the whole transponder: SDP" in everything and
              f"Output 2: RTP to 127.0.0.1:{one_port}, program {one}: SDP" in everything and
              f"Output 3: UDP to 127.0.0.1:{udp_port}, program {other}: SDP" in everything and
              all(f"/output/{k}.sdp" in parser.links for k in (1, 2, 3)),
              f"the page lists the outputs with their SDP ({everything[-400:]})")
        check("<script" not in (page or b"").decode("utf-8", "replace"), "the page has no script")

        # A phone's width: nothing wider than the window.
        for width, outcome in outcomes.items():
            check(outcome == "fits", f"at {width} pixels nothing sticks out sideways ({outcome})")
        for name, (size, shot) in shots.items():
            with open(shot, "rb") as f:
                png = f.read()
            width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
            check(png[:8] == b"\x89PNG\r\n\x1a\n" and f"{width},{height}" == size,
                  f"a screenshot at {size} ({width}x{height})")
            if args.doc:
                shutil.copy(shot, os.path.join(args.doc, f"{name}.png"))

        # The one-entry playlist, GET and HEAD.
        head, body = fetch(address, "GET", "/program/101.m3u")
        lines = (body or b"").decode("utf-8", "replace").splitlines()
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and header(head, "Content-Type") == "audio/x-mpegurl"
              and len(lines) == 4 and lines[1].startswith("#EXTINF:-1 ") and lines[1].endswith(",Первый")
              and lines[3] == f"http://127.0.0.1:{port}/program/101.ts", f"/program/101.m3u: one entry ({lines})")
        head_only, nothing = fetch(address, "HEAD", "/program/101.m3u")
        check(head_only == head and nothing == b"", "HEAD of a program's playlist: the same head, no body")
        for path in ("/program/999.m3u", "/output/4.sdp", "/output/16.sdp"):
            for method in ("GET", "HEAD"):
                head, _ = fetch(address, method, path)
                check(head is not None and head[0] == "HTTP/1.1 404 Not Found", f"{method} {path}: 404 ({head})")

        # Each output's SDP; ffprobe reads the whole transponder's. (ffmpeg
        # takes the format of "m=... udp MP2T" for an RTP payload type
        # number, 0, and decodes mu-law audio: it cannot open a plain UDP
        # output this way. Given output 2's file, ffprobe 5.1 did not end its
        # probing within 60 s here: not looked into yet, so not checked.)
        expectations = {1: (f"m=video {rtp_port} RTP/AVP 33", set(guide_stream.SERVICES), "Tovrin TS Streamer"),
                        2: (f"m=video {one_port} RTP/AVP 33", None, guide_stream.SERVICES[one][2]),
                        3: (f"m=video {udp_port} udp MP2T", None, guide_stream.SERVICES[other][2])}
        for k, (media, programs, session_name) in expectations.items():
            head, sdp = fetch(address, "GET", f"/output/{k}.sdp")
            text = (sdp or b"").decode("utf-8", "replace")
            check(head is not None and head[0] == "HTTP/1.1 200 OK" and header(head, "Content-Type") == "application/sdp"
                  and f"{media}\r\n" in text and "c=IN IP4 127.0.0.1\r\n" in text
                  and f"s={session_name}\r\n" in text, f"/output/{k}.sdp: {media}, s={session_name} ({text!r})")
            head_only, nothing = fetch(address, "HEAD", f"/output/{k}.sdp")
            check(head_only == head and nothing == b"", f"HEAD /output/{k}.sdp: the same head, no body")
            path = os.path.join(work, f"output{k}.sdp")
            with open(path, "wb") as out:
                out.write(sdp or b"")
            if programs is None:
                continue
            names = {n: guide_stream.SERVICES[n][2] for n in programs}
            found, result = ffprobe_sdp(path, names)
            check(found == names, f"ffprobe reads output {k} through its SDP: programs {found} "
                                  f"(expected {names}; {result.strip()[-300:]})")
        log(f"   ffprobe done after {time.monotonic() - began:.1f} s")
    finally:
        if viewer is not None:
            viewer.close()
        host.stop()
    log("")
    log(f"http_page: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
