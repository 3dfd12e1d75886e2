#!/usr/bin/env python3
"""Several outputs from one play, to receivers in network namespaces.

tovrin-host plays the three-program sample once through the module under
Wine (its wineserver in namespace tx) with four outputs:

  output 1   the whole TS by RTP           to rx:PORT
  Output2    program A by RTP, FEC 5x5     to rx:PORT+10 (+12, +14)
  Output3    program B by plain UDP, 3 packets per datagram  to rx:PORT+20
  Output4    the whole TS by RTP           to rx2:PORT over a link of its own

Output 1 arrives byte for byte as the file. Output 2 goes through a relay in
rx that loses media datagrams by a fixed pattern on their way into
GStreamer's SMPTE 2022-1 decoder, which must repair every loss; what the
module sent is the file cut to program A (the program checks of
tools/stream_check.py). Output 3 is the file cut to program B. Output 4's link
goes down for a while as its datagrams flow: its receiver sees a gap in the
sequence numbers and the stream again afterwards, and the other outputs lose
nothing. Then an Output key that does not parse refuses the start with the
output named, and nothing is sent.

With "announce", Announce=1 and three multicast outputs (two programs by
name, one of them plain UDP, and the whole TS with FEC in another scope) and
a unicast one: a listener in rx receives a SAP announcement for each
multicast output, its SDP naming the program's service (or the module for
the whole TS) with group, TTL, port, framing and FEC ports, none for the
unicast output, and a deletion of each at Stop; ffprobe sap:// in rx finds
an announced output and reads its stream. VLC in rx, as an ordinary user with
its SAP services discovery, lists exactly the announced outputs by name,
and plays one of them.

Exit status 0 when every check passed. Needs root (namespaces).
"""

import argparse
import os
import random
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import netns  # noqa: E402
import sending  # noqa: E402
import ts_tables  # noqa: E402
from sending import (BIG_BUFFER, PORT, RTP_HEADER, SO_RCVBUFFORCE, Receiver, description, play,  # noqa: E402
                     wait_until)
from stream_check import Check, check_program_cut, compare, log, stop_process, udp_port_bound  # noqa: E402

PACKET = 188
PROGRAM_A, PROGRAM_B = 28106, 28107
FEC_PORTS = (2, 4)
MEDIA_CAPS = "application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33"
FEC_CAPS = "application/x-rtp,media=application,clock-rate=90000,encoding-name=parityfec,payload=96"
DECODER_PORT = 45000           # the decoder's, on rx's own loopback
RATE = "4"                     # Mbit/s: 3 s of play, the link down and up and a clean second after


def tables_of(ns):
    return lambda path: ns.run(["cat", path], capture_output=True, text=True).stdout


class LossyRelay(threading.Thread):
    """Owns output 2's three ports in rx; keeps what arrives and forwards it
    to the decoder, losing every media datagram whose index (from the first)
    is in `drops`."""

    def __init__(self, ns, address, port, drops):
        super().__init__(daemon=True)
        self.socks = {}
        for offset in (0,) + FEC_PORTS:
            s = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, BIG_BUFFER)
            s.bind((address, port + offset))
            self.socks[s] = offset
        self.out = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.drops = drops
        self.sent = {0: [], 2: [], 4: []}
        self.first = None
        self.idle = None
        self.last = time.monotonic()

    def run(self):
        while True:
            ready, _, _ = select.select(list(self.socks), [], [], 0.05)
            if not ready:
                if self.idle is not None and time.monotonic() - self.last >= self.idle:
                    return
                continue
            self.last = time.monotonic()
            for s in ready:
                d = s.recv(65536)
                offset = self.socks[s]
                self.sent[offset].append(d)
                if offset == 0:
                    seq = struct.unpack("!H", d[2:4])[0]
                    self.first = seq if self.first is None else self.first
                    if (seq - self.first) & 0xFFFF in self.drops:
                        continue
                self.out.sendto(d, ("127.0.0.1", DECODER_PORT + offset))
                # The decoder reads at its own pace: a burst must not overflow it.
                time.sleep(0.0002)

    def media(self):
        by_index = {}
        for d in self.sent[0]:
            by_index[(struct.unpack("!H", d[2:4])[0] - self.first) & 0xFFFF] = d[RTP_HEADER:]
        return [by_index[i] for i in sorted(by_index)], sorted(by_index)


def start_decoder(ns, path, log_path):
    media = ["udpsrc", f"port={DECODER_PORT}", "address=127.0.0.1", f"buffer-size={BIG_BUFFER}", f"caps={MEDIA_CAPS}"]
    cmd = ["rtpst2022-1-fecdec", "name=dec", "size-time=1000000000", "!", "rtpjitterbuffer", "latency=1000", "!",
           "rtpmp2tdepay", "!", "filesink", f"location={path}"]
    cmd += media + ["!", "dec.sink"]
    for pad, offset in enumerate(FEC_PORTS):
        cmd += ["udpsrc", f"port={DECODER_PORT + offset}", "address=127.0.0.1", f"buffer-size={BIG_BUFFER}",
                f"caps={FEC_CAPS}", "!", f"dec.fec_{pad}"]
    return ns.popen(["gst-launch-1.0", "-q", "-e"] + cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=open(log_path, "w"))


def sequence_gaps(datagrams):
    seqs = [struct.unpack("!H", d[0][2:4])[0] for d in datagrams]
    return sum(1 for a, b in zip(seqs, seqs[1:]) if (b - a) & 0xFFFF != 1), seqs


def payload_file(datagrams, header, path):
    with open(path, "wb") as f:
        for data, *_ in datagrams:
            f.write(data[header:])
    return path


def several(args, check):
    with netns.Namespace("out-tx") as tx, netns.Namespace("out-rx") as rx, \
            netns.Namespace("out-rx2") as rx2:
        tx.veth("tx0", "10.205.1.1/24", "rx0", "10.205.1.2/24", peer=rx)
        tx.veth("tx1", "10.205.2.1/24", "rx1", "10.205.2.2/24", peer=rx2)
        wine = tx.wine(args.build)
        sample = open(args.sample, "rb").read()

        chunks_a = None
        folder = os.path.join(args.workdir, "several")
        os.makedirs(folder, exist_ok=True)
        # Losses from the third 5x5 matrix on, one in ~40 at random (fixed
        # seed), never two in one row or column of a matrix.
        rng = random.Random(24)
        drops = set()
        for matrix in range(2, 400):
            cell = rng.randrange(25)
            if rng.random() < 0.6:
                drops.add(matrix * 25 + cell)
        decoded = os.path.join(folder, "program-a-decoded.ts")
        decoder = start_decoder(rx, decoded, os.path.join(folder, "decoder.log"))
        for offset in (0,) + FEC_PORTS:
            if not wait_until(lambda: udp_port_bound(DECODER_PORT + offset, tables_of(rx)), "the decoder's sockets"):
                return check(False, "the decoder listens")
        relay = LossyRelay(rx, "10.205.1.2", PORT + 10, drops)
        relay.start()
        whole = Receiver(rx, ("10.205.1.2", PORT))
        program_b = Receiver(rx, ("10.205.1.2", PORT + 20))
        far = Receiver(rx2, ("10.205.2.2", PORT))
        for r in (whole, program_b, far):
            r.start()

        # Output 4's link goes down once datagrams flow, and up again.
        outage = {}

        def cut_link():
            if not wait_until(lambda: len(far.datagrams) >= 30, "output 4's first datagrams"):
                return
            tx.ip("link", "set", "tx1", "down")
            outage["down"] = len(far.datagrams)
            time.sleep(0.5)
            tx.ip("link", "set", "tx1", "up")
            outage["up"] = True
        cutter = threading.Thread(target=cut_link, daemon=True)
        cutter.start()

        keys = [f"Output2=10.205.1.2:{PORT + 10} programs={PROGRAM_A} fec=5x5",
                f"Output3=10.205.1.2:{PORT + 20} programs={PROGRAM_B} protocol=udp packets=3",
                f"Output4=10.205.2.2:{PORT}"]
        sending.RATE_MBITS = RATE
        rc, lines = play(wine, args, "several", "10.205.1.2", keys)
        cutter.join(30)
        for r in (whole, program_b, far):
            r.finish()
        relay.idle = 0.5
        relay.join(30)
        time.sleep(1.5)  # the decoder's jitterbuffer lets the last packets go at end-of-stream
        stop_process(decoder, wait=20)

        check(rc == 0, f"tovrin-host exited with {rc}")
        shown = description(lines)
        check(shown == "Sends to 4 outputs: 2 programs, 2 complete TS", f"the dialog's line counts the outputs: {shown!r}")

        # Output 1: the file, byte for byte, in sequence.
        gaps, _ = sequence_gaps(whole.datagrams)
        check(bool(whole.datagrams) and gaps == 0, f"output 1: {len(whole.datagrams)} datagrams, {gaps} sequence gaps")
        # Fewer than 7 packets at the end may wait in the module for a chunk to fill.
        whole_chunks = sample[:len(sample) // (7 * PACKET) * (7 * PACKET)]
        compare(payload_file(whole.datagrams, RTP_HEADER, os.path.join(folder, "whole.ts")), whole_chunks,
                "output 1", check, "the file's whole chunks")

        # Output 2: program A as the module sent it, and through the losses repaired.
        log("== output 2: program A by RTP with FEC 5x5 through a lossy relay")
        chunks_a, indexes = relay.media()
        check(indexes == list(range(len(indexes))) and len(indexes) > 50,
              f"output 2: {len(indexes)} media datagrams without a gap")
        # The null packets that complete the last matrix at Stop are no program's.
        cut = [p for p in ts_tables.packets(b"".join(chunks_a)) if ts_tables.pid_of(p) != 0x1FFF]
        with open(os.path.join(folder, "program-a-sent.ts"), "wb") as f:
            f.write(b"".join(cut))
        check_program_cut(b"".join(cut), sample, [PROGRAM_A], 7, check)
        lost = sorted(i for i in drops if i < len(indexes))
        decoded_bytes = open(decoded, "rb").read() if os.path.exists(decoded) else b""
        check(len(lost) > 3 and decoded_bytes == b"".join(chunks_a),
              f"output 2: {len(lost)} media datagrams lost on the way, the decoder's file is what the module sent "
              f"({len(decoded_bytes)} of {len(b''.join(chunks_a))} bytes)")
        matrices = len(indexes) // 25
        check(len(relay.sent[2]) == 5 * matrices and len(relay.sent[4]) == 5 * matrices,
              f"output 2: {len(relay.sent[2])} column and {len(relay.sent[4])} row FEC packets for {matrices} matrices")

        # Output 3: program B, plain UDP, 3 packets per datagram.
        log("== output 3: program B by plain UDP")
        sizes = sorted({len(d[0]) for d in program_b.datagrams})
        check(sizes == [3 * PACKET], f"output 3: every datagram is 3 packets without a header ({sizes})")
        payload_file(program_b.datagrams, 0, os.path.join(folder, "program-b.ts"))
        check_program_cut(b"".join(d[0] for d in program_b.datagrams), sample, [PROGRAM_B], 3, check)

        # Output 4: a gap where its link was down, the stream before and after.
        log("== output 4: its link down for 0.5 s")
        gaps, seqs = sequence_gaps(far.datagrams)
        check(outage.get("up") is True, "output 4's link went down and up while the stream ran")
        check(gaps >= 1 and len(far.datagrams) > outage.get("down", 1 << 30),
              f"output 4: {len(far.datagrams)} datagrams, {gaps} gap(s) in the sequence, the stream back after the link")
        ordered = all((b - a) & 0xFFFF >= 1 for a, b in zip(seqs, seqs[1:]))
        check(ordered, "output 4: sequence numbers only go forward")
        logged = [l for l in lines if "Tovrin TS Streamer: Output4: sending to 10.205.2.2" in l]
        check(len(logged) == 2 and "fails" in logged[0] and "succeeds again" in logged[1],
              f"the host's log names output 4 when its sends fail and when they succeed again ({logged})")
        others = [l for l in lines if "sending to" in l and "Output4" not in l]
        check(not others, f"no other output's sends failed ({others})")

        # A bad Output key: nothing sent anywhere, the output named.
        listener = Receiver(rx, ("10.205.1.2", PORT))
        listener.start()
        rc, lines = play(wine, args, "bad-key", "10.205.1.2", ["Output3=239.255.1:5000"])
        listener.finish()
        shown = description(lines)
        check(shown == 'Output3: not an IPv4 address: "239.255.1"', f"a bad key refuses the start: {shown!r}")
        check(not listener.datagrams, f"nothing sent after the refusal ({len(listener.datagrams)} datagrams)")


def sap_messages(receiver):
    """(deletion, hash, {field: [values]}) of every SAP message received."""
    out = []
    for data, *_ in receiver.datagrams:
        if len(data) < 24 or data[0] & 0xE0 != 0x20:
            continue
        deletion = bool(data[0] & 0x04)
        hash_ = struct.unpack("!H", data[2:4])[0]
        body = data[8 + data[1] * 4:]
        if body.startswith(b"application/sdp\0"):
            body = body[len(b"application/sdp\0"):]
        fields = {}
        for line in body.decode("utf-8", "replace").split("\r\n"):
            if len(line) > 2 and line[1] == "=":
                fields.setdefault(line[0], []).append(line[2:])
        out.append((deletion, hash_, fields))
    return out


class VlcSapDiscovery(threading.Thread):
    """VLC in a namespace as user nobody (it refuses root), with its SAP
    services discovery ("Network streams (SAP)") and the Lua command line
    interface on stdin. VLC prints discovered sessions nowhere by itself:
    the interface's `playlist` command lists the discovery's node with an id
    for each item, and `goto <id>` plays one, as a user double-clicking it in
    VLC's playlist; `stats` then shows what VLC read and decoded.

    The thread asks for the list every 0.2 s. Once `play` is listed it plays
    that item and asks for its statistics until VLC has decoded video; after
    `finish` it quits VLC. VLC 3 ignores SAP deletions (a third party could
    forge them): it drops a session once no announcement has come for ten of
    its intervals, or after --sap-timeout, so a list after Stop still holds
    the outputs."""

    NODE = "Network streams (SAP)"
    # "|   4 - Tovrin One", the item playing marked "|  *4 - Tovrin One [played 1 time]".
    ITEM = re.compile(r"^\|( *\*?)(\d+) - (.*?)(?: \(\d+:\d\d:\d\d\))?(?: \[played \d+ times?\])?$")

    def __init__(self, ns, folder, play):
        super().__init__(daemon=True)
        # VLC runs as nobody: its home and its output live in a folder nobody may write.
        self.home = tempfile.mkdtemp(prefix="tovrin-vlc-sap-")
        os.chmod(self.home, 0o777)
        self.out_path = os.path.join(folder, "vlc.out")
        self.err_path = os.path.join(folder, "vlc.err")
        self.play = play
        self.listings = []         # every list VLC gave: [(id, name)]
        self.played = None         # the id played
        self.decoded = 0           # video blocks VLC decoded from it
        self.read_kib = 0          # KiB VLC's demultiplexer read from it
        self.ready = threading.Event()
        self.finishing = threading.Event()
        self.offset = 0
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            # timeout(1) inside: runuser passes no signal on to VLC. Niced: its
            # start-up and decoding must not starve ffprobe, which reads the
            # same announcements at the same moment with a small socket buffer.
            self.proc = ns.popen(["runuser", "-u", "nobody", "--", "env", f"HOME={self.home}",
                                  "timeout", "-k", "5", "90", "nice", "-n", "10", "cvlc", "-I", "cli", "--services-discovery", "sap",
                                  "--vout", "dummy", "--aout", "dummy", "--network-caching", "300"],
                                 stdin=subprocess.PIPE, stdout=out, stderr=err)

    def command(self, line):
        try:
            self.proc.stdin.write((line + "\n").encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def read(self):
        """What VLC printed since the last read."""
        with open(self.out_path, errors="replace") as f:
            f.seek(self.offset)
            text = f.read()
        self.offset += len(text)
        return text

    def node_items(self, listing):
        """The items under the SAP node of one `playlist` answer."""
        items, depth = [], None
        for line in listing.splitlines():
            m = self.ITEM.match(line.lstrip("> "))
            if not m:
                continue
            indent, item, name = len(m.group(1)), int(m.group(2)), m.group(3)
            if depth is None:
                depth = indent if name == self.NODE else None
            elif indent > depth:
                items.append((item, name))
            else:
                break
        return items

    def ask(self, command, until, seconds=1.0):
        """Sends `command` and returns what VLC printed up to the line `until`
        (or what came within `seconds`)."""
        self.command(command)
        text, deadline = "", time.monotonic() + seconds
        while until not in text and time.monotonic() < deadline and self.proc.poll() is None:
            time.sleep(0.05)
            text += self.read()
        return text

    def run(self):
        deadline = time.monotonic() + 30
        while "Command Line Interface initialized" not in self.read() and time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return
            time.sleep(0.1)
        self.ready.set()
        while self.proc.poll() is None and not self.finishing.is_set():
            items = self.node_items(self.ask("playlist", "End of playlist"))
            self.listings.append(items)
            if self.played is None:
                self.played = next((i for i, name in items if name == self.play), None)
                if self.played is not None:
                    self.ask(f"goto {self.played}", "\n", 0.3)
            elif not self.decoded:
                stats = self.ask("stats", "end of statistical info")
                decoded = re.search(r"video decoded\s*:\s*(\d+)", stats)
                read = re.search(r"demux bytes read\s*:\s*(\d+)", stats)
                self.decoded = int(decoded.group(1)) if decoded else 0
                self.read_kib = int(read.group(1)) if read else 0
            time.sleep(0.2)
        self.command("quit")

    def finish(self):
        self.finishing.set()
        self.join(20)
        stop_process(self.proc, wait=10)
        shutil.rmtree(self.home, ignore_errors=True)


def announce(args, check):
    with netns.Namespace("sap-tx") as tx, netns.Namespace("sap-rx") as rx:
        tx.veth("tx0", "10.206.1.1/24", "rx0", "10.206.1.2/24", peer=rx)
        tx.ip("route", "add", "224.0.0.0/4", "dev", "tx0")
        rx.ip("route", "add", "224.0.0.0/4", "dev", "rx0")
        wine = tx.wine(args.build)
        local = Receiver(rx, ("239.255.255.255", 9875), joins=("10.206.1.2",))
        other = Receiver(rx, ("224.2.127.254", 9875), joins=("10.206.1.2",))
        for r in (local, other):
            r.start()
        folder = os.path.join(args.workdir, "announce")
        os.makedirs(folder, exist_ok=True)
        probe_out = open(os.path.join(folder, "ffprobe.out"), "w")
        probe_err = open(os.path.join(folder, "ffprobe.err"), "w")
        # Two seconds: the sample has a key frame (with the H.264 parameter
        # sets) every second, and one second of analysis from wherever ffprobe
        # joins may hold none.
        probe = rx.popen(["ffprobe", "-v", "error", "-analyzeduration", "2000000", "-show_entries",
                          "stream=codec_name", "-of", "compact=p=0", "sap://239.255.255.255"],
                         stdout=probe_out, stderr=probe_err)
        vlc = VlcSapDiscovery(rx, folder, play="Tovrin One")
        vlc.start()
        check(vlc.ready.wait(30), "VLC's command line interface is up")
        sending.RATE_MBITS = "3"
        keys = [f"Programs={PROGRAM_A}", "TTL=3", "Announce=1",
                f"Output2=239.255.1.2:{PORT} programs={PROGRAM_B} protocol=udp ttl=2",
                f"Output3=10.206.1.2:{PORT + 30}",
                f"Output4=239.1.2.3:{PORT + 40} fec=5x5 ttl=5"]
        rc, lines = play(wine, args, "announce", "239.255.1.1", keys)
        for r in (local, other):
            r.finish()
        vlc.finish()
        try:
            probe.wait(timeout=20)
        except subprocess.TimeoutExpired:
            stop_process(probe)
        probe_out.close()
        probe_err.close()
        check(rc == 0, f"tovrin-host exited with {rc}")

        messages = sap_messages(local) + sap_messages(other)
        for deletion, hash_, fields in messages:
            log(f"  SAP {'deletion' if deletion else 'announcement'} {hash_:04x}: " +
                "; ".join(f"{k}={v}" for k, vs in fields.items() for v in vs))
        announced = {}
        for deletion, hash_, fields in messages:
            if not deletion:
                announced.setdefault(fields.get("m", [""])[0], (hash_, fields))
        want = {
            f"video {PORT} RTP/AVP 33": ("Tovrin One", "239.255.1.1/3", local),
            f"video {PORT} udp MP2T": ("Tovrin Two", "239.255.1.2/2", local),
            f"video {PORT + 40} RTP/AVP 33": ("Tovrin TS Streamer", "239.1.2.3/5", other),
        }
        for media, (name, connection, where) in want.items():
            got = announced.get(media)
            check(got is not None and got[1].get("s") == [name] and got[1].get("c") == [f"IN IP4 {connection}"],
                  f"announced: m={media} as s={name}, c=IN IP4 {connection}"
                  + ("" if got is None else f" (got s={got[1].get('s')}, c={got[1].get('c')})"))
        check(f"video {PORT + 30} RTP/AVP 33" not in announced, "the unicast output is not announced")
        fec = announced.get(f"video {PORT + 40} RTP/AVP 33", (0, {}))[1].get("a", [])
        check(f"x-fec-column-port:{PORT + 42}" in fec and f"x-fec-row-port:{PORT + 44}" in fec,
              f"the FEC output's ports in its a= lines ({fec})")
        named = announced.get(f"video {PORT} RTP/AVP 33", (0, {}))[1]
        check(named.get("i") == ["FFmpeg"] and named.get("a", [None])[-1] == "rtpmap:33 MP2T/90000",
              f"the program's provider and the payload type ({named.get('i')}, {named.get('a')})")
        deleted = {(h, tuple(f.get("m", []))) for d, h, f in messages if d}
        check(all((h, tuple(f.get("m", []))) in deleted for h, f in announced.values()),
              f"a deletion of each announcement at Stop ({len(deleted)} deletions)")
        out = open(os.path.join(folder, "ffprobe.out")).read()
        err = open(os.path.join(folder, "ffprobe.err")).read()
        codecs = {l.split("codec_name=")[1] for l in out.splitlines() if "codec_name=" in l}
        check("h264" in codecs, f"ffprobe sap://239.255.255.255 reads an announced stream (codecs {sorted(codecs)}; "
                                f"it said {err.strip()[:200]!r})")

        # VLC lists the multicast outputs by the names the announcements give,
        # the one-program outputs by their service names and the whole TS by
        # the module's; nothing for the unicast output.
        names = [sorted(name for _, name in items) for items in vlc.listings]
        fullest = max(names, key=len, default=[])
        log(f"  VLC's lists under \"{VlcSapDiscovery.NODE}\": {len(names)}, the fullest {fullest}")
        check(fullest == ["Tovrin One", "Tovrin TS Streamer", "Tovrin Two"],
              f"VLC (as nobody, SAP discovery) lists the outputs by name: {fullest}")
        check(all(set(n) <= set(fullest) for n in names), "VLC never lists anything else")
        check(vlc.played is not None and vlc.decoded > 0,
              f"VLC plays \"Tovrin One\" from its list: {vlc.read_kib} KiB demultiplexed, {vlc.decoded} video "
              f"blocks decoded")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("scenario", choices=["several", "announce"])
    ap.add_argument("--build", required=True, help="the Windows build folder (wine-run, the module, tovrin-host)")
    ap.add_argument("--sample", required=True, help="the three-program transport stream to play")
    ap.add_argument("--workdir", required=True, help="folder for the received files and logs")
    args = ap.parse_args()
    args.build, args.sample, args.workdir = (os.path.abspath(p) for p in (args.build, args.sample, args.workdir))
    if not netns.can_make_namespaces():
        print("outputs: network namespaces need root and iproute2; this test cannot run here", file=sys.stderr)
        return 1
    os.makedirs(args.workdir, exist_ok=True)
    check = Check()
    {"several": several, "announce": announce}[args.scenario](args, check)
    log("")
    log(f"outputs {args.scenario}: " + ("passed" if not check.failed else "FAILED: " + "; ".join(check.failed)))
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
