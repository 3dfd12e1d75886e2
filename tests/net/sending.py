#!/usr/bin/env python3
"""The module sending beyond 127.0.0.1: tovrin-host plays the sample through
the module under Wine, in network namespaces that this test makes and
removes (netns.py), and real receivers there check what arrives. Nothing
leaves the namespaces.

    sending.py SCENARIO --build DIR --sample FILE --workdir DIR

Scenarios:
  unicast    to a host in another namespace: plain UDP (Protocol=udp, TTL=9)
             is the file byte for byte with TTL 9 on arrival, and ffprobe
             decodes it from udp://; RTP with no key arrives with the
             system's default TTL
  multicast  one PC with two interfaces, the group 239.255.42.42: RTP with
             LocalIPAddress naming the interface that is not the route's,
             TTL=5, received there only (and looped back to a player on the
             sending PC), GStreamer depayloads it byte for byte, ffmpeg
             decodes it; plain UDP with no interface key takes the route's
             interface and the multicast TTL 1, ffmpeg and GStreamer copy it
             byte for byte
  broadcast  the subnet's broadcast address and 255.255.255.255, received by
             a socket on the other host, byte for byte
  refused    LocalIPAddress of another host: Start is refused, the
             description says why, nothing arrives; the sender's own address:
             datagrams come from it

Exit status 0 when every check passed.
"""

import argparse
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import netns  # noqa: E402
from stream_check import (Check, compare, ffprobe_summary, log, queued_bytes, udp_port_bound,  # noqa: E402
                          wait_for, wait_process, write_sdp)

PACKET = 188
RTP_HEADER = 12
CHUNK = 7 * PACKET             # the module's default packets per datagram
BIG_BUFFER = 64 << 20          # receivers that never drop a burst
PORT = 43100                   # inside the namespaces, so no other test can meet it
GROUP = "239.255.42.42"        # administratively scoped: stays inside an organisation
RATE_MBITS = "16"              # about four times the sample's own rate
SO_RCVBUFFORCE = 33
IP_PKTINFO = 8                 # Linux: the interface a datagram came in on
IP_RECVTTL = 12                # Linux: the TTL it came with
IP_TTL_MESSAGE = 2
WAIT_SECONDS = 20              # only ever reached when something is broken


def wait_until(predicate, what):
    return wait_for(predicate, WAIT_SECONDS, what)


class Receiver(threading.Thread):
    """A UDP socket inside a namespace that keeps every datagram with the TTL
    it arrived with, the interface it came in on and its source; it can pass
    each one on unchanged to another receiver."""

    def __init__(self, ns, address, joins=(), forward_to=None):
        super().__init__(daemon=True)
        self.sock = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, BIG_BUFFER)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.sock.bind(address)
        for interface_address in joins:
            self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                                 socket.inet_aton(address[0]) + socket.inet_aton(interface_address))
        self.forward = None
        if forward_to is not None:
            self.forward = (ns.socket(socket.AF_INET, socket.SOCK_DGRAM), forward_to)
        self.datagrams = []    # (bytes, ttl, interface index, source address)
        self._idle = None
        self._last = time.monotonic()

    def run(self):
        while True:
            ready, _, _ = select.select([self.sock], [], [], 0.05)
            if not ready:
                if self._idle is not None and time.monotonic() - self._last >= self._idle:
                    break
                continue
            data, ancillary, _, source = self.sock.recvmsg(65536, 256)
            self._last = time.monotonic()
            if self.forward:
                self.forward[0].sendto(data, self.forward[1])
            ttl = index = None
            for level, kind, value in ancillary:
                if level == socket.IPPROTO_IP and kind == IP_TTL_MESSAGE:
                    ttl = struct.unpack("i", value[:4])[0]
                elif level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                    index = struct.unpack("i", value[:4])[0]
            self.datagrams.append((data, ttl, index, source[0]))

    def finish(self):
        """Waits until nothing has come for half a second: the sender is done
        by then, and what it sent is in the socket's queue."""
        self._idle = 0.5
        self.join(WAIT_SECONDS)
        self.sock.close()

    def on(self, index):
        return [d for d in self.datagrams if d[2] == index]


def play(wine, args, name, address, keys=()):
    """tovrin-host with Start pressed plays the sample once through the module
    to address:PORT, with `keys` ("Key=value") in the INI section. Returns its
    exit status and its lines."""
    folder = os.path.join(args.workdir, name)
    os.makedirs(folder, exist_ok=True)
    ini = os.path.join(folder, "host.ini")
    if os.path.exists(ini):
        os.remove(ini)
    host_args = ["--module", os.path.join(args.build, "TovrinStreamer.module"), "--ini", ini, "--start",
                 "--close-when-done", "--close-after", "60", "--quiet", "--address", address, "--port", str(PORT),
                 "--rate", RATE_MBITS]
    for key in keys:
        host_args += ["--ini-key", key]
    host_args.append(args.sample)
    log(f"== {name}: to {address}:{PORT}" + (f" with {', '.join(keys)}" if keys else " with no sending key"))
    # Into a file: the prefix's services inherit the output and would hold a
    # pipe open for as long as the namespace's wineserver runs.
    output = os.path.join(folder, "host.log")
    with open(output, "w") as out:
        host = wine.popen("tovrin-host.exe", *host_args, gui=True, stdout=out, stderr=subprocess.STDOUT)
    try:
        host.wait(timeout=120)
    except subprocess.TimeoutExpired:
        log("sending: tovrin-host did not end; killed")
        os.killpg(host.pid, signal.SIGKILL)
        host.wait()
    with open(output) as f:
        lines = f.read().splitlines()
    for line in lines:
        log("  | " + line)
    return host.returncode, lines


def description(lines):
    return next((l[len("host: description: "):] for l in lines if l.startswith("host: description: ")), None)


def check_datagrams(check, args, name, datagrams, rtp):
    """RTP headers in order (or none at all), whole packets, and the payloads
    together the file that was played, byte for byte."""
    sample = open(args.sample, "rb").read()
    payloads = bytearray()
    bad = 0
    previous = None
    for data, *_ in datagrams:
        if len(data) < RTP_HEADER:
            bad += 1
            continue
        if rtp:
            b0, b1, sequence, timestamp, ssrc = struct.unpack("!BBHII", data[:RTP_HEADER])
            bad += (b0, b1, ssrc) != (0x80, 0x21, 0)
            if previous is not None:
                bad += sequence != (previous[0] + 1) & 0xFFFF or timestamp != (previous[1] + 90) & 0xFFFFFFFF
            previous = (sequence, timestamp)
            data = data[RTP_HEADER:]
        bad += len(data) != CHUNK or data[0] != 0x47
        payloads += data
    framing = "RTP headers in sequence" if rtp else "no RTP header"
    check(bool(datagrams) and bad == 0, f"{len(datagrams)} datagrams, each {framing} and {CHUNK} bytes of whole packets "
                                  f"({bad} not)")
    path = os.path.join(args.workdir, name, "received.ts")
    with open(path, "wb") as f:
        f.write(payloads)
    compare(path, sample, "what arrived", check)


def check_ttls(check, datagrams, expected, where):
    ttls = sorted({d[1] for d in datagrams})
    check(bool(datagrams) and ttls == [expected], f"TTL on arrival {where}: {ttls} (expected {expected})")


def default_ttl(ns):
    out = ns.run(["sysctl", "-n", "net.ipv4.ip_default_ttl"], capture_output=True, text=True, check=True)
    return int(out.stdout)


def tables_of(ns):
    """Reads a /proc table as the namespace's processes see it."""
    return lambda path: ns.run(["cat", path], capture_output=True, text=True).stdout


def group_members(ns, interface, group):
    """Sockets of the namespace joined to `group` on `interface` (/proc/net/igmp)."""
    wanted = "%08X" % struct.unpack("<I", socket.inet_aton(group))[0]
    current = None
    for line in ns.run(["cat", "/proc/net/igmp"], capture_output=True, text=True).stdout.splitlines()[1:]:
        if not line.startswith(("\t", " ")):
            current = line.split()[1].rstrip(":")
        elif current == interface and line.split()[0] == wanted:
            return int(line.split()[1])
    return 0


# --- scenarios ----------------------------------------------------------------

def unicast(args, check):
    with netns.Namespace("send-tx") as tx, netns.Namespace("send-rx") as rx:
        tx.veth("tx0", "10.201.1.1/24", "rx0", "10.201.1.2/24", peer=rx)
        wine = tx.wine(args.build)

        # ffprobe listens on the other host's loopback; the receiver passes it
        # every datagram unchanged. Its timeout counts from its own start,
        # before Wine's: on a loaded machine the first datagram can come
        # several seconds later, so it waits as long as the play may take.
        probe = rx.popen(["ffprobe", "-v", "error", "-analyzeduration", "1000000",
                          "-show_entries", "stream=codec_name", "-of", "compact=p=0",
                          f"udp://127.0.0.1:{PORT + 2}?timeout={WAIT_SECONDS * 1000000}&buffer_size={BIG_BUFFER}"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if not wait_until(lambda: udp_port_bound(PORT + 2, tables_of(rx)), "ffprobe's socket"):
            return check(False, "ffprobe listens")
        receiver = Receiver(rx, ("10.201.1.2", PORT), forward_to=("127.0.0.1", PORT + 2))
        receiver.start()
        rc, lines = play(wine, args, "plain-udp", "10.201.1.2", ["Protocol=udp", "TTL=9"])
        receiver.finish()
        check(rc == 0, f"tovrin-host exited with {rc}")
        shown = description(lines)
        check(shown == f"This module sends complete TS without RTP to udp://10.201.1.2:{PORT} with 7xTS chunks",
              f"the description names plain UDP: {shown!r}")
        check_datagrams(check, args, "plain-udp", receiver.datagrams, rtp=False)
        check_ttls(check, receiver.datagrams, 9, "with TTL=9")
        out, err = probe.communicate(timeout=2 * WAIT_SECONDS)
        codecs = {l.split("codec_name=")[1] for l in out.splitlines() if "codec_name=" in l}
        check({"h264", "aac"} <= codecs, f"ffprobe on udp:// finds H.264 and AAC (found {sorted(codecs)}; "
                                         f"it said {err.strip()[:200]!r})")

        receiver = Receiver(rx, ("10.201.1.2", PORT))
        receiver.start()
        rc, lines = play(wine, args, "rtp-no-key", "10.201.1.2")
        receiver.finish()
        check(rc == 0, f"tovrin-host exited with {rc}")
        check_datagrams(check, args, "rtp-no-key", receiver.datagrams, rtp=True)
        check_ttls(check, receiver.datagrams, default_ttl(tx), "with no TTL key (the system's default)")


def multicast(args, check):
    # A PC with two interfaces, each wired to a network of its own with a
    # receiving host on it; groups go through tx0 unless the sender says
    # otherwise.
    with netns.Namespace("send-mc") as pc, netns.Namespace("send-mc0") as net0, \
            netns.Namespace("send-mc1") as net1:
        pc.veth("tx0", "10.202.1.1/24", "rx0", "10.202.1.2/24", peer=net0)
        pc.veth("tx1", "10.202.2.1/24", "rx1", "10.202.2.2/24", peer=net1)
        pc.ip("route", "add", "239.0.0.0/8", "dev", "tx0")
        run = MulticastRun(args, check, pc, pc.wine(args.build), {
            "tx0": "10.202.1.1", "tx1": "10.202.2.1", "rx0": (net0, "10.202.1.2"), "rx1": (net1, "10.202.2.2")})

        # LocalIPAddress names tx1, against the route: only the network
        # behind tx1 gets the group.
        run("rtp-through-tx1", ["LocalIPAddress=10.202.2.1", "TTL=5"], sending="tx1", receiving="rx1", ttl=5,
            rtp=True)
        # No interface or TTL key: the route's interface and the system's
        # multicast TTL.
        run("udp-by-route", ["Protocol=UDP"], sending="tx0", receiving="rx0", ttl=1, rtp=False)


class MulticastRun:
    """One play to GROUP: a socket on each receiving host tells which network
    carried it, GStreamer and ffmpeg take it on the expected one, and a
    player on the sending PC itself gets it through multicast loopback."""

    def __init__(self, args, check, pc, wine, hosts):
        self.args, self.check, self.pc, self.wine, self.hosts = args, check, pc, wine, hosts
        self.sample = open(args.sample, "rb").read()

    def __call__(self, name, keys, sending, receiving, ttl, rtp):
        args, check = self.args, self.check
        folder = os.path.join(args.workdir, name)
        os.makedirs(folder, exist_ok=True)
        ns, here = self.hosts[receiving]
        sockets = {n: Receiver(self.hosts[n][0], (GROUP, PORT), joins=[self.hosts[n][1]]) for n in ("rx0", "rx1")}
        sockets["sending PC"] = Receiver(self.pc, (GROUP, PORT), joins=[self.hosts[sending]])
        gst, gst_file = self.gstreamer(ns, folder, receiving, rtp)
        ffmpeg, ffmpeg_file = self.ffmpeg(ns, folder, here, rtp)
        # The test's socket, GStreamer and ffmpeg (RTP and RTCP sockets).
        members = 3 + (1 if rtp else 0)
        if not wait_until(lambda: group_members(ns, receiving, GROUP) >= members, f"{members} members on {receiving}"):
            return check(False, "the receivers joined the group")
        for receiver in sockets.values():
            receiver.start()
        rc, _ = play(self.wine, args, name, GROUP, keys)
        for receiver in sockets.values():
            receiver.finish()
        check(rc == 0, f"tovrin-host exited with {rc}")

        snmp = ns.run(["cat", "/proc/net/snmp"], capture_output=True, text=True).stdout.splitlines()
        udp = [l.split() for l in snmp if l.startswith("Udp:")]
        log("receiving host's UDP counters: " + str(dict(zip(udp[0][1:], udp[1][1:]))))
        counts = {n: len(r.datagrams) for n, r in sockets.items()}
        log(f"datagrams received: {counts}")
        wire = sockets[receiving].datagrams
        check_datagrams(check, args, name, wire, rtp)
        check_ttls(check, wire, ttl, f"on {receiving}")
        other = "rx1" if receiving == "rx0" else "rx0"
        check(counts[other] == 0, f"nothing came in on {other}: the group left through {sending} only")
        check(counts["sending PC"] == len(wire), f"a player on the sending PC (joined on {sending}) got all "
                                                 f"{len(wire)} as well: multicast loopback stays on")

        # The players have had what the test's socket had; once they have
        # taken it all in, they are told to end.
        size = len(self.sample)
        wait_until(lambda: os.path.exists(gst_file) and os.path.getsize(gst_file) >= size, "GStreamer's file")
        gst.send_signal(signal.SIGINT)
        if rtp:
            # The SDP demuxer reads its socket itself: once that is empty,
            # ffmpeg has read every datagram. (It holds the last second or so
            # until a stream ends, which a live one never does: its copy is
            # checked for what it decoded, the bytes are GStreamer's to prove.)
            wait_until(lambda: queued_bytes(PORT, tables_of(ns)) == 0, "ffmpeg's socket to empty")
        else:
            # Raw bytes are written as they come.
            wait_until(lambda: os.path.exists(ffmpeg_file) and os.path.getsize(ffmpeg_file) >= size, "ffmpeg's file")
        # A reader waiting for more heeds only a second signal.
        ffmpeg.send_signal(signal.SIGINT)
        time.sleep(0.1)
        ffmpeg.send_signal(signal.SIGINT)
        wait_process(gst, WAIT_SECONDS)
        wait_process(ffmpeg, WAIT_SECONDS)

        compare(gst_file, self.sample, f"GStreamer joined on {receiving}" + (" (rtpmp2tdepay)" if rtp else ""), check)
        with open(os.path.join(folder, "ffmpeg-errors.txt")) as f:
            # How the second signal ends the reading is not a fault.
            errors = [l for l in f.read().splitlines() if l.strip() and "Immediate exit requested" not in l]
        check(not errors, f"ffmpeg joined on {receiving} reported nothing: {errors[:3]}")
        if rtp:
            found, _ = ffprobe_summary(ffmpeg_file)
            codecs = {l.split("codec_name=")[1].split("|")[0] for l in found if "codec_name=" in l}
            check({"h264", "aac"} <= codecs,
                  f"ffmpeg decoded the RTP stream: H.264 and AAC in its copy (found {sorted(codecs)})")
        else:
            compare(ffmpeg_file, self.sample, f"ffmpeg joined on {receiving} (-f data)", check)

    def gstreamer(self, ns, folder, interface, rtp):
        path = os.path.join(folder, "gstreamer.ts")
        source = ["udpsrc", f"address={GROUP}", f"port={PORT}", f"multicast-iface={interface}",
                  f"buffer-size={BIG_BUFFER}"]
        if rtp:
            source += ["caps=application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33",
                       "!", "rtpjitterbuffer", "!", "rtpmp2tdepay"]
        proc = ns.popen(["gst-launch-1.0", "-q", "-e", *source, "!", "filesink", "buffer-mode=unbuffered",
                              f"location={path}"],
                             stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "gstreamer.log"), "w"))
        return proc, path

    def ffmpeg(self, ns, folder, interface_address, rtp):
        path = os.path.join(folder, "ffmpeg.ts")
        options = f"localaddr={interface_address}&timeout=30000000&buffer_size={BIG_BUFFER}"
        if rtp:
            # Payload type 33 on the 90 kHz clock, from the group; every frame
            # is decoded, and the programme copied for ffprobe.
            sdp = os.path.join(folder, "stream.sdp")
            write_sdp(sdp, PORT, f"{GROUP}/255")
            io = ["-protocol_whitelist", "file,udp,rtp", "-localaddr", interface_address,
                  "-buffer_size", str(BIG_BUFFER), "-i", sdp, "-map", "0", "-c", "copy", "-f", "mpegts", path,
                  "-map", "0", "-f", "null", "-"]
        else:
            # The data format passes the datagrams' bytes through untouched,
            # a packet at a time, each written at once.
            io = ["-f", "data", "-raw_packet_size", str(PACKET), "-i", f"udp://{GROUP}:{PORT}?{options}",
                  "-map", "0", "-c", "copy", "-flush_packets", "1", "-f", "data", path]
        proc = ns.popen(["ffmpeg", "-nostdin", "-v", "error", "-y", *io],
                             stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "ffmpeg-errors.txt"), "w"))
        return proc, path


def broadcast(args, check):
    with netns.Namespace("send-btx") as tx, netns.Namespace("send-brx") as rx:
        tx.veth("tx0", "10.203.1.1/24", "rx0", "10.203.1.2/24", peer=rx)
        # 255.255.255.255 leaves by the default route: this namespace's own.
        tx.ip("route", "add", "default", "dev", "tx0")
        wine = tx.wine(args.build)
        for name, address in (("subnet-broadcast", "10.203.1.255"), ("limited-broadcast", "255.255.255.255")):
            receiver = Receiver(rx, ("0.0.0.0", PORT))
            receiver.start()
            rc, lines = play(wine, args, name, address)
            receiver.finish()
            check(rc == 0, f"tovrin-host exited with {rc}")
            check_datagrams(check, args, name, receiver.datagrams, rtp=True)


def refused(args, check):
    with netns.Namespace("send-stx") as tx, netns.Namespace("send-srx") as rx:
        tx.veth("tx0", "10.204.1.1/24", "rx0", "10.204.1.2/24", peer=rx)
        wine = tx.wine(args.build)

        # The receiver's address belongs to the other host, not to this one.
        receiver = Receiver(rx, ("10.204.1.2", PORT))
        receiver.start()
        rc, lines = play(wine, args, "foreign-source", "10.204.1.2", ["LocalIPAddress=10.204.1.2"])
        receiver.finish()
        check(rc == 6, f"tovrin-host exited with {rc}: Start did not start (6)")
        shown = description(lines)
        check(shown == "Cannot send from 10.204.1.2: no interface of this PC has it",
              f"the description says why: {shown!r}")
        check(not receiver.datagrams, f"nothing arrived ({len(receiver.datagrams)} datagrams)")

        receiver = Receiver(rx, ("10.204.1.2", PORT))
        receiver.start()
        rc, lines = play(wine, args, "own-source", "10.204.1.2", ["LocalIPAddress=10.204.1.1"])
        receiver.finish()
        check(rc == 0, f"tovrin-host exited with {rc}")
        check_datagrams(check, args, "own-source", receiver.datagrams, rtp=True)
        sources = sorted({d[3] for d in receiver.datagrams})
        check(sources == ["10.204.1.1"], f"every datagram came from 10.204.1.1 ({sources})")


SCENARIOS = {"unicast": unicast, "multicast": multicast, "broadcast": broadcast, "refused": refused}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("scenario", choices=sorted(SCENARIOS))
    ap.add_argument("--build", required=True, help="the Windows build folder (wine-run, the module, tovrin-host)")
    ap.add_argument("--sample", required=True, help="transport stream to play")
    ap.add_argument("--workdir", required=True, help="folder for the received files and logs")
    args = ap.parse_args()
    args.build, args.sample, args.workdir = (os.path.abspath(p) for p in (args.build, args.sample, args.workdir))
    if not netns.can_make_namespaces():
        print("sending: network namespaces need root and iproute2; this test cannot run here", file=sys.stderr)
        return 1
    os.makedirs(args.workdir, exist_ok=True)
    check = Check()
    SCENARIOS[args.scenario](args, check)
    log("")
    log(f"sending {args.scenario}: " + ("passed" if not check.failed else "FAILED: " + "; ".join(check.failed)))
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
