#!/usr/bin/env python3
"""Discovery with clients others wrote, in network namespaces of the test's own.

A server namespace runs the discovery stand-in (the same portable pieces the
URL server uses) on 10.203.9.1; a client namespace on 10.203.9.2, joined by a
veth pair with a multicast route on each side, runs the clients:

  gssdp-discover (gupnp-tools)  lists the five notification types with LOCATION
  hdhomerun_config discover     finds the tuner's id at the server's address
  a search of the test's own    answers carry CACHE-CONTROL: max-age=1800 exactly
  a flood of searches           at most the answer budget a second comes back
  a searcher not allowed        gets no answer, to SSDP nor to the tuner discovery
  the end                       five byebyes arrive on the group

Usage: discovery_clients.py RESPONDER   (needs root)
"""

import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "net"))
from netns import Namespace, can_make_namespaces  # noqa: E402

SERVER, CLIENT = "10.203.9.1", "10.203.9.2"
GROUP = ("239.255.255.250", 1900)
ANSWERS_PER_SECOND = 20  # kAnswersPerSecond
TYPES = ["upnp:rootdevice", None, "urn:schemas-upnp-org:device:MediaServer:1",
         "urn:schemas-upnp-org:service:ContentDirectory:1", "urn:schemas-upnp-org:service:ConnectionManager:1"]

failures = []


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message)
    if not condition:
        failures.append(message)


def start_responder(ns, responder, allow=None):
    argv = [responder, SERVER, "8001", "LIVINGROOM"] + ([allow] if allow else [])
    proc = ns.popen(argv, stdout=subprocess.PIPE, text=True)
    ready = proc.stdout.readline().split()
    assert ready and ready[0] == "ready", ready
    return proc, ready[1], ready[2]


def search(sock, target, mx=1):
    sock.sendto((f"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                 f"MX: {mx}\r\nST: {target}\r\n\r\n").encode(), GROUP)


def collect(sock, seconds):
    answers = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            answers.append(sock.recv(4096).decode("latin-1"))
        except socket.timeout:
            break
    return answers


def headers(text):
    fields = {}
    for line in text.split("\r\n")[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            fields[name.strip().upper()] = value.strip()
    return fields


def tuner_request():
    payload = bytes([1, 4]) + struct.pack(">I", 1) + bytes([2, 4]) + struct.pack(">I", 0xFFFFFFFF)
    packet = struct.pack(">HH", 2, len(payload)) + payload
    return packet + struct.pack("<I", zlib.crc32(packet))


def client_socket(cli):
    sock = cli.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(CLIENT))
    sock.bind((CLIENT, 0))
    return sock


def main():
    responder = sys.argv[1]
    if not can_make_namespaces():
        print("FAIL needs root and iproute2 to make network namespaces")
        return 1
    with Namespace("dsrv") as srv, Namespace("dcli") as cli:
        srv.veth("s0", SERVER + "/24", "c0", CLIENT + "/24", peer=cli)
        srv.ip("route", "add", "224.0.0.0/4", "dev", "s0")
        cli.ip("route", "add", "224.0.0.0/4", "dev", "c0")

        # A listener on the group before the start sees the alive announcements.
        group = cli.socket(socket.AF_INET, socket.SOCK_DGRAM)
        group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        group.bind(("", 1900))
        group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton(GROUP[0]) + socket.inet_aton(CLIENT))
        proc, uuid, device_id = start_responder(srv, responder)
        usns = [uuid + ("" if t is None else "::" + t) for t in TYPES]
        alive = [m for m in collect(group, 1.5) if "NTS: ssdp:alive" in m]
        check({headers(m)["USN"] for m in alive} == set(usns),
              f"alive announcements at the start for all five types ({len(alive)} datagrams)")

        out = cli.run(["timeout", "20", "gssdp-discover", "-i", "c0", "-n", "3"],
                      capture_output=True, text=True).stdout
        found = re.findall(r"USN:\s+(\S+)\s+Location:\s+(\S+)", out)
        location = f"http://{SERVER}:8001/upnp/description.xml"
        check(set(found) == {(usn, location) for usn in usns}, "gssdp-discover lists the five types with LOCATION")
        out = cli.run(["timeout", "20", "gssdp-discover", "-i", "c0", "-n", "3", "-t", TYPES[2]],
                      capture_output=True, text=True).stdout
        check(re.findall(r"USN:\s+(\S+)", out) == [usns[2]], "gssdp-discover for MediaServer:1 finds just that")

        out = cli.run(["timeout", "20", "hdhomerun_config", "discover"], capture_output=True, text=True).stdout
        check(out.strip() == f"hdhomerun device {device_id} found at {SERVER}", f"hdhomerun_config discover: {out.strip()}")

        sock = client_socket(cli)
        search(sock, "ssdp:all")
        answers = collect(sock, 2)
        fields = [headers(a) for a in answers]
        check(len(answers) == 5 and all(a.startswith("HTTP/1.1 200 OK\r\n") for a in answers),
              f"five answers to ssdp:all ({len(answers)})")
        check(all(f.get("CACHE-CONTROL") == "max-age=1800" and f.get("LOCATION") == location and "EXT" in f
                  for f in fields), "answers carry max-age=1800 exactly, LOCATION and EXT")
        check({(f.get("ST"), f.get("USN")) for f in fields} ==
              {(t or uuid, usn) for t, usn in zip(TYPES, usns)}, "each answer's ST and USN belong together")

        # A flood of searches and tuner requests for two seconds.
        start = time.monotonic()
        tuner = client_socket(cli)
        tuner.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sent = 0
        while time.monotonic() - start < 2:
            search(sock, "ssdp:all")
            tuner.sendto(tuner_request(), (SERVER, 65001))
            sent += 2
            time.sleep(0.002)
        answers = collect(sock, 2.5) + collect(tuner, 0.5)
        elapsed = time.monotonic() - start
        limit = ANSWERS_PER_SECOND * (int(elapsed) + 2)
        check(0 < len(answers) <= limit,
              f"a flood of {sent} requests in 2 s got {len(answers)} answers in {elapsed:.1f} s (limit {limit})")

        # At the end: byebye for every type.
        collect(group, 0.2)
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=10)
        byebye = [m for m in collect(group, 1.5) if "NTS: ssdp:byebye" in m]
        check(sorted(headers(m)["USN"] for m in byebye) == sorted(usns), "byebye for all five types at the end")

        # A searcher the allowed networks do not admit gets nothing.
        proc, uuid, device_id = start_responder(srv, responder, allow="10.203.9.99/32")
        collect(sock, 0.5)
        search(sock, "ssdp:all")
        tuner.sendto(tuner_request(), (SERVER, 65001))
        check(collect(sock, 1.5) + collect(tuner, 0.2) == [], "no answer to a searcher outside the allowed networks")
        out = cli.run(["timeout", "20", "hdhomerun_config", "discover"], capture_output=True, text=True).stdout
        check(device_id not in out, "hdhomerun_config outside the allowed networks finds nothing")
    print("discovery clients:", "FAILED " + "; ".join(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
