#!/usr/bin/env python3
"""The URL server at the live rate under Wine: tovrin-host plays a stream at
60 Mbit/s through the module for SECONDS, once with no HTTP key (today's
module) and once with HttpPort and 4 viewers reading /stream.ts, alternating
ROUNDS times. Reports per run the RTP datagrams received against those the
delivered packets make, RTP sequence gaps, each viewer's bytes (whole
packets, continuing the source byte for byte after the PAT/PMT prefix), and
the engine thread's time inside the module per packet.

    bench/http_viewers.py --build build/windows --sample FILE [--seconds 20] [--rounds 2]

Run it under the shared lock (flock /tmp/tovrin-wine-tests.lock ...).
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "net"))
from stream_check import RtpReceiver, start_xvfb, stop_process, wait_for  # noqa: E402
from http_clients import check_stream_body, free_tcp_port, split_head  # noqa: E402

PACKET = 188
MBITS = 60


class Reader(threading.Thread):
    def __init__(self, port, path):
        super().__init__(daemon=True)
        self.path = path
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.sendall(b"GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.bytes = 0
        self.closed_by_server = False

    def run(self):
        with open(self.path, "wb") as out:
            try:
                while True:
                    chunk = self.sock.recv(1 << 20)
                    if not chunk:
                        self.closed_by_server = True
                        break
                    out.write(chunk)
                    self.bytes += len(chunk)
            except OSError:
                pass


def run(args, display, name, viewers):
    work = os.path.join(args.workdir, name)
    os.makedirs(work, exist_ok=True)
    rtp_port = free_tcp_port() & ~1
    http_port = free_tcp_port()
    receiver = RtpReceiver(rtp_port, os.path.join(work, "rtp.ts"), [])
    receiver.start()
    ini = os.path.join(work, "host.ini")
    if os.path.exists(ini):
        os.remove(ini)
    cmd = [os.path.join(args.build, "wine-run"), "--gui", os.path.join(args.build, "tovrin-host.exe"),
           "--module", os.path.join(args.build, "TovrinStreamer.module"), "--ini", ini, "--start", "--quiet",
           "--address", "127.0.0.1", "--port", str(rtp_port), "--rate", str(MBITS), "--loop",
           "--close-after", str(args.seconds)]
    if viewers:
        cmd += ["--ini-key", f"HttpPort={http_port}"]
    cmd.append(args.sample)
    host = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            env=dict(os.environ, DISPLAY=display))
    lines = []
    readers = []
    for line in host.stdout:
        lines.append(line.rstrip())
        if "registered" in line and viewers and not readers:
            readers = [Reader(http_port, os.path.join(work, f"viewer{i}.ts")) for i in range(viewers)]
            for r in readers:
                r.start()
    host.wait()
    for r in readers:
        r.join(30)
    receiver.stop_after_idle = 1.0
    receiver.join(60)
    summary = next(l for l in lines if l.startswith("summary: "))
    packets = int(summary.split()[1])
    in_module = float(re.search(r"([\d.]+) s inside the module", summary).group(1))
    seconds = float(re.search(r"bytes, ([\d.]+) s,", summary).group(1))
    result = {"name": name, "packets": packets, "seconds": seconds, "in_module_s": in_module,
              "ns_per_packet": in_module / packets * 1e9, "datagrams": receiver.datagrams,
              "delivered_datagrams": packets // 7, "rtp_gaps": receiver.sequence_errors, "viewers": []}
    sample = open(args.sample, "rb").read()
    for r in readers:
        data = open(r.path, "rb").read()
        _, body = split_head(data)
        verdicts = []
        check_stream_body(lambda ok, text: verdicts.append((ok, text)), body, sample, os.path.basename(r.path))
        result["viewers"].append({"bytes": len(body), "identical": all(ok for ok, _ in verdicts),
                                  "closed_by_server": r.closed_by_server, "verdict": verdicts[0][1]})
        os.remove(r.path)  # some 150 MB each
    os.remove(os.path.join(work, "rtp.ts"))
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "windows"))
    ap.add_argument("--sample", required=True)
    ap.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench-results", "http"))
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    xvfb, display = start_xvfb()
    try:
        for round_ in range(args.rounds):
            for name, viewers in (("today", 0), ("4-viewers", 4)):
                r = run(args, display, f"{name}-{round_ + 1}", viewers)
                print(f"{r['name']}: {r['packets']} packets in {r['seconds']:.1f} s "
                      f"({r['packets'] * PACKET * 8 / r['seconds'] / 1e6:.1f} Mbit/s); RTP {r['datagrams']} of "
                      f"{r['delivered_datagrams']} datagrams, {r['rtp_gaps']} gaps; inside the module "
                      f"{r['in_module_s']:.3f} s, {r['ns_per_packet']:.0f} ns a packet", flush=True)
                for i, v in enumerate(r["viewers"]):
                    print(f"  viewer {i + 1}: {v['bytes']} bytes, identical={v['identical']}, "
                          f"closed at the end={v['closed_by_server']}: {v['verdict']}", flush=True)
    finally:
        stop_process(xvfb)


if __name__ == "__main__":
    main()
