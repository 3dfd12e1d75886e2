#!/usr/bin/env python3
"""The process's memory with many URL-server viewers, under Wine: tovrin-host
plays a stream at RATE Mbit/s in a loop through the module with HttpPort and
HttpMaxClients=64; after SETTLE seconds with nobody watching, VIEWERS clients
open /stream.ts and read everything (one thread, select), and the host
process is measured again after HOLD seconds with them all connected.

Memory as two views of the same process: the host's own count of its
committed private pages (VirtualQuery; its "sample:" lines) and Linux's
RssAnon of the Wine process that runs tovrin-host.exe.

    bench/http_viewers_memory.py --build build/windows --sample FILE [--viewers 64]

Run it under the shared lock (flock /tmp/tovrin-wine-tests.lock ...).
"""

import argparse
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "net"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from stream_check import start_xvfb, stop_process  # noqa: E402
from http_clients import free_tcp_port  # noqa: E402
from soak import host_process, linux_view  # noqa: E402

MIB = 1024 * 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "windows"))
    ap.add_argument("--sample", required=True)
    ap.add_argument("--viewers", type=int, default=64)
    ap.add_argument("--rate", type=float, default=8, help="Mbit/s (every viewer reads all of it)")
    ap.add_argument("--settle", type=float, default=6)
    ap.add_argument("--hold", type=float, default=10)
    ap.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench-results", "http-memory"))
    args = ap.parse_args()
    os.makedirs(args.workdir, exist_ok=True)
    ini = os.path.join(args.workdir, "host.ini")
    if os.path.exists(ini):
        os.remove(ini)
    http_port = free_tcp_port()
    seconds = args.settle + args.hold + 20
    xvfb, display = start_xvfb()
    host = None
    try:
        cmd = [os.path.join(args.build, "wine-run"), "--gui", os.path.join(args.build, "tovrin-host.exe"),
               "--module", os.path.join(args.build, "TovrinStreamer.module"), "--ini", ini, "--start", "--quiet",
               "--address", "127.0.0.1", "--port", str(free_tcp_port() & ~1), "--rate", str(args.rate), "--loop",
               "--sample-every", "1", "--close-after", str(seconds),
               "--ini-key", f"HttpPort={http_port}", "--ini-key", "HttpMaxClients=64", args.sample]
        host = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=dict(os.environ, DISPLAY=display))
        lines = []
        registered = threading.Event()

        def pump():
            for line in host.stdout:
                lines.append(line.rstrip())
                if "registered" in line:
                    registered.set()
        threading.Thread(target=pump, daemon=True).start()
        if not registered.wait(120):
            print("the host did not start streaming:\n" + "\n".join(lines[-20:]))
            return 1

        def measure():
            pid = host_process(host.pid)
            view = linux_view(pid) if pid else None
            committed = None
            for line in reversed(lines):
                m = re.search(r"private_committed_bytes=(\d+)", line)
                if m:
                    committed = int(m.group(1))
                    break
            return (view or {}).get("RssAnon"), committed

        time.sleep(args.settle)
        idle = measure()

        sockets = []
        received = {}
        for _ in range(args.viewers):
            # One at a time, each once its answer begins: the server takes at
            # most 16 requests waiting at once.
            s = socket.create_connection(("127.0.0.1", http_port), timeout=30)
            s.sendall(b"GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            received[s] = len(s.recv(65536))
            s.setblocking(False)
            sockets.append(s)
        closed = set()
        buf = bytearray(1 << 20)
        end = time.monotonic() + args.hold
        peak = (0, 0)
        next_look = time.monotonic() + 1
        while time.monotonic() < end:
            ready, _, _ = select.select([s for s in sockets if s not in closed], [], [], 0.2)
            for s in ready:
                try:
                    n = s.recv_into(buf)
                except OSError:
                    n = 0
                if n == 0:
                    closed.add(s)
                received[s] += n
            if time.monotonic() >= next_look:
                rss, committed = measure()
                peak = (max(peak[0], rss or 0), max(peak[1], committed or 0))
                next_look += 1
        watching = measure()
        before_close = list(lines)
        for s in sockets:
            s.close()
        counts = sorted(received.values())
        print(f"{args.viewers} viewers of /stream.ts at {args.rate} Mbit/s, {args.hold:.0f} s; "
              f"load {os.getloadavg()[0]:.2f}")
        print(f"  nobody watching: RssAnon {idle[0] / MIB:.1f} MiB, committed private {idle[1] / MIB:.1f} MiB")
        print(f"  {args.viewers} watching:    RssAnon {watching[0] / MIB:.1f} MiB, committed private "
              f"{watching[1] / MIB:.1f} MiB (peak {peak[0] / MIB:.1f} / {peak[1] / MIB:.1f} MiB)")
        print(f"  difference:      RssAnon {(watching[0] - idle[0]) / MIB:+.1f} MiB, committed private "
              f"{(watching[1] - idle[1]) / MIB:+.1f} MiB")
        print(f"  bytes per viewer: {counts[0]} .. {counts[-1]}; closed by the server: {len(closed)}")
        dropped = [l for l in before_close if "disconnected" in l or "refused" in l]
        print(f"  module lines about viewers leaving or refused: {len(dropped)}" +
              (f" (first: {dropped[0]})" if dropped else ""))
        return 0
    finally:
        stop_process(host)
        stop_process(xvfb)


if __name__ == "__main__":
    sys.exit(main())
