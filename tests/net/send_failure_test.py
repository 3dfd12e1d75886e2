#!/usr/bin/env python3
"""The module beyond loopback, in network namespaces of this test's own.

    send_failure_test.py outage      BUILD_DIR HOST_EXE MODULE
    send_failure_test.py bad-address BUILD_DIR HOST_EXE MODULE
    send_failure_test.py adapters    BUILD_DIR HOST_EXE MODULE

The sender's namespace holds the Wine prefix (its wineserver runs inside) and
one end of a veth pair; the receiver's namespace holds the other end. The
Windows side is dialog_test_host in a mode of its own: it drives the module's
dialog and checks what it and the host's log say; this side owns the link and
the receiver and says what arrived.

outage: the module streams to the far end; the link goes down while it
streams (every datagram is refused: WSAENETUNREACH) and comes back. The
dialog and the log must tell of it, the stream must resume by itself, and
the sequence numbers must show the gap.

bad-address: stored and typed addresses that are no IPv4 address; each Start
is refused, and nothing arrives on either end of the link although the
engine's traffic flows.

adapters: the sender's adapter has a second address; the second dialog's
send-from list names both (by the adapter's name, from the system's list),
and choosing the second writes LocalIPAddress.

Every wait here is bounded; none of them decides a result by its length.
"""

import os
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns import Namespace, can_make_namespaces  # noqa: E402

SENDER = "10.231.7.1"
RECEIVER = "10.231.7.2"
PORT = 43100
WAIT_S = 60  # bounds a hang only

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


class Receiver:
    """Takes every datagram on a socket made in a namespace, in a thread."""

    def __init__(self, ns, address, port):
        self.sock = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 64 << 20)  # as root
        self.sock.bind((address, port))
        self.sock.settimeout(0.2)
        self.datagrams = []
        self.lock = threading.Lock()
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            with self.lock:
                self.datagrams.append(data)

    def count(self):
        with self.lock:
            return len(self.datagrams)

    def wait_for(self, count):
        deadline = time.monotonic() + WAIT_S
        while self.count() < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.count() >= count

    def close(self):
        self.stop = True
        self.thread.join()
        self.sock.close()
        return list(self.datagrams)


def host_session(wine, args, script):
    """Runs the Windows host; `script` answers each "NET <state>" line it
    prints. Returns the host's exit code."""
    proc = wine.popen(args[0], *args[1:], gui=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                      bufsize=1)
    timer = threading.Timer(WAIT_S * 2, proc.kill)
    timer.start()
    try:
        # Wine's own background processes inherit the pipe and may outlive the
        # host: the summary line, not the end of the pipe, ends the reading.
        for line in proc.stdout:
            line = line.rstrip("\r\n")
            if line.startswith(("FAIL", "--", "PASS")) or "checks passed" in line:
                print("  | " + line, flush=True)
            if line.startswith("NET "):
                answer = script(line[4:].split())
                proc.stdin.write(answer + "\n")
                proc.stdin.flush()
            if "checks passed" in line:
                break
        return proc.wait()
    finally:
        timer.cancel()


def outage(build_dir, host, module):
    with Namespace("tx") as tx, Namespace("rx") as rx:
        tx.veth("tx0", SENDER + "/24", "rx0", RECEIVER + "/24", peer=rx)
        receiver = Receiver(rx, RECEIVER, PORT)
        wine = tx.wine(build_dir)
        marks = {}

        def script(words):
            if words[0] == "streaming":
                check(receiver.wait_for(20), "datagrams arrive at the far end of the link")
                marks["down"] = receiver.count()
                tx.link("tx0", False)
                return "down"
            if words[0] == "failing":
                marks["refused"] = int(words[1])
                marks["during"] = receiver.count() - marks["down"]
                tx.link("tx0", True)
                return "up"
            if words[0] == "recovered":
                marks["not sent"] = int(words[1])
                check(receiver.wait_for(receiver.count() + 20), "datagrams arrive again, without Stop and Start")
                return "done"
            return "?"

        code = host_session(wine, [host, module, "--outage", RECEIVER, str(PORT)], script)
        datagrams = receiver.close()
        check(code == 0, f"the Windows side's checks passed (exit code {code})")

        sequences = [struct.unpack(">H", d[2:4])[0] for d in datagrams if len(d) >= 12]
        check(all(len(d) == 12 + 7 * 188 and d[0] == 0x80 and d[1] == 0x21 for d in datagrams),
              f"every datagram is RTP with 7 packets ({len(datagrams)} datagrams)")
        gaps = [(a, b) for a, b in zip(sequences, sequences[1:]) if (b - a) & 0xFFFF != 1]
        check(len(gaps) == 1, f"the sequence numbers run on but for one gap ({len(gaps)} gaps: {gaps[:5]})")
        if len(gaps) == 1 and "not sent" in marks:
            missing = ((gaps[0][1] - gaps[0][0]) & 0xFFFF) - 1
            check(missing >= marks["not sent"],
                  f"the gap ({missing} missing) holds the {marks['not sent']} datagrams the link refused")
            after = len(sequences) - 1 - sequences.index(gaps[0][0])
            check(after >= 20, f"{after} datagrams arrived after the gap")


def bad_address(build_dir, host, module):
    with Namespace("tx") as tx, Namespace("rx") as rx:
        tx.veth("tx0", SENDER + "/24", "rx0", RECEIVER + "/24", peer=rx)
        # Whatever a wrong start might send to: the far end (unicast or
        # broadcast) and this machine's own end ("any", loopback).
        far = Receiver(rx, "", PORT)
        near = Receiver(tx, "", PORT)
        wine = tx.wine(build_dir)
        code = host_session(wine, [host, module, "--bad-address", str(PORT)], lambda words: "?")
        check(code == 0, f"the Windows side's checks passed (exit code {code})")
        check(not far.close(), "nothing arrived at the far end of the link")
        check(not near.close(), "nothing arrived at the sender's end")


def adapters(build_dir, host, module):
    second = "10.231.8.1"
    with Namespace("tx") as tx, Namespace("rx") as rx:
        tx.veth("tx0", SENDER + "/24", "rx0", RECEIVER + "/24", peer=rx)
        tx.ip("addr", "add", second + "/24", "dev", "tx0")
        wine = tx.wine(build_dir)
        code = host_session(wine, [host, module, "--adapters", SENDER, second], lambda words: "?")
        check(code == 0, f"the Windows side's checks passed (exit code {code})")


def main():
    modes = {"outage": outage, "bad-address": bad_address, "adapters": adapters}
    if len(sys.argv) != 5 or sys.argv[1] not in modes:
        print(__doc__)
        return 2
    if not can_make_namespaces():
        print("FAIL  this test makes network namespaces: it needs root and iproute2")
        return 1
    mode, build_dir, host, module = sys.argv[1:]
    modes[mode](build_dir, host, module)
    print(f"{mode}: {'passed' if not failures else 'FAILED'}")
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
