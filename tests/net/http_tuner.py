#!/usr/bin/env python3
"""The network tuner's HTTP documents and the media server's descriptions,
as media servers and TVs read them: tovrin-host loops guide_stream.py's
stream (three TV programs and a radio program, names in four character
tables) through the module under Wine with HttpPort and HttpMaxClients=3.

    http_tuner.py --build DIR --workdir DIR

Checks:
- /discover.json: the friendly name with the computer's name, an 8-digit
  device id that the tuner clients' own library (libhdhomerun's
  hdhomerun_discover_validate_device_id, through ctypes) accepts, tuner count
  3, base and lineup URLs on the address the client reached; HEAD alike
  without a body;
- /lineup.json: one entry per program with its number, its name as read,
  its stream URL, the radio program marked AudioOnly; ffprobe plays the
  first entry's URL (the program and its service name);
- /lineup_status.json, and POST /lineup.post?scan=start answered with the
  status and changing nothing;
- /upnp/description.xml (parsed as XML): MediaServer:1, the friendly name,
  a name-based UDN, both services whose descriptions parse and list their
  actions;
- a TV's stream request ("getcontentFeatures.dlna.org: 1", a Range far
  into the stream): 200 with the DLNA MIME type and contentFeatures of the
  program's kind, transferMode Streaming, Accept-Ranges: none, no length,
  and the stream; HEAD alike at once; a player's request without the header
  gets the plain head as before;
- a Browse of the root's children POSTed to the control URL (a client of
  the test's own): every program an item, titled by its name, TV as
  videoBroadcast and radio as audioBroadcast, its res the program's URL with
  a protocolInfo of its kind; TotalMatches right from the first Browse;
  paging by StartingIndex and RequestedCount; a DOCTYPE in the body, an
  unknown action: SOAP faults (500) with UPnP errors 402 and 401;
- after a restart the device id and the UDN are the same.

Exit status 0 when every check passed.
"""

import argparse
import ctypes
import json
import os
import re
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import guide_stream  # noqa: E402
from http_clients import Check, Host, exchange, free_tcp_port, log, split_head  # noqa: E402
from http_page import PES_PER_PROGRAM, header, write_page_sample  # noqa: E402

UPNP_DEVICE = "{urn:schemas-upnp-org:device-1-0}"
UPNP_SERVICE = "{urn:schemas-upnp-org:service-1-0}"
DIDL = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"
DC = "{http://purl.org/dc/elements/1.1/}"
UPNP = "{urn:schemas-upnp-org:metadata-1-0/upnp/}"
CD = "urn:schemas-upnp-org:service:ContentDirectory:1"


def soap(action, arguments, prolog=""):
    inner = "".join(f"<{k}>{v}</{k}>" for k, v in arguments.items())
    return (f'{prolog}<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            f's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:{action} xmlns:u="{CD}">'
            f"{inner}</u:{action}></s:Body></s:Envelope>").encode()


def browse(address, start, count):
    """(status line, items as (id, title, class, url, protocolInfo), NumberReturned, TotalMatches)."""
    head, body = request(address, "POST", "/upnp/control/ContentDirectory",
                         soap("Browse", {"ObjectID": "0", "BrowseFlag": "BrowseDirectChildren", "Filter": "*",
                                         "StartingIndex": start, "RequestedCount": count, "SortCriteria": ""}))
    try:
        response = ET.fromstring(body).find(f".//{{{CD}}}BrowseResponse")
        didl = ET.fromstring(response.find("Result").text)
        items = [(i.get("id"), i.find(DC + "title").text, i.find(UPNP + "class").text, i.find(DIDL + "res").text,
                  i.find(DIDL + "res").get("protocolInfo")) for i in didl.iter(DIDL + "item")]
        return head[0], items, int(response.find("NumberReturned").text), int(response.find("TotalMatches").text)
    except (ET.ParseError, AttributeError, TypeError, ValueError) as e:
        return (head or ["none"])[0], str(e), None, None


def request(address, method, path, body=b""):
    extra = f"Content-Length: {len(body)}\r\n" if method == "POST" else ""
    data, _ = exchange(address, f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{address[1]}\r\n{extra}\r\n".encode()
                       + body, read_bytes=1 << 22)
    return split_head(data)


def valid_device_id(text):
    library = ctypes.CDLL("libhdhomerun.so.4")
    library.hdhomerun_discover_validate_device_id.argtypes = [ctypes.c_uint32]
    library.hdhomerun_discover_validate_device_id.restype = ctypes.c_bool
    return bool(re.fullmatch(r"[0-9A-F]{8}", text)) and library.hdhomerun_discover_validate_device_id(int(text, 16))


def ffprobe_program(url, number):
    """The program ffprobe reads at `url`: its number and service name."""
    probesize = int(2.5 * PES_PER_PROGRAM * 184)
    try:
        result = subprocess.run(["ffprobe", "-v", "error", "-probesize", str(probesize), "-show_programs",
                                 "-of", "json", url], capture_output=True, text=True, timeout=30)
        programs = json.loads(result.stdout).get("programs", [])
    except (subprocess.TimeoutExpired, json.JSONDecodeError) as e:
        return None, str(e)
    return {p.get("program_num"): p.get("tags", {}).get("service_name") for p in programs}, result.stderr


def identity(check, address):
    """The device id and UDN the server gives now."""
    head, body = request(address, "GET", "/discover.json")
    try:
        discover = json.loads(body)
    except (TypeError, ValueError):
        discover = {}
    head_only, nothing = request(address, "HEAD", "/discover.json")
    check(head is not None and head[0] == "HTTP/1.1 200 OK" and header(head, "Content-Type") == "application/json",
          f"/discover.json is JSON ({head})")
    check(head_only == head and nothing == b"", "HEAD /discover.json: the same head, no body")
    _, description = request(address, "GET", "/upnp/description.xml")
    try:
        udn = ET.fromstring(description).find(f"{UPNP_DEVICE}device/{UPNP_DEVICE}UDN").text
    except (ET.ParseError, AttributeError, TypeError):
        udn = None
    return discover, udn


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--workdir", required=True)
    args = ap.parse_args()
    work, args.sample_file = write_page_sample(args.workdir, "tuner")
    check = Check()

    port = free_tcp_port()
    address = ("127.0.0.1", port)
    base = f"http://127.0.0.1:{port}"
    keys = [f"HttpPort={port}", "HttpMaxClients=3"]
    host = Host(args, "tuner", keys, extra=["--rate", "1"], loop=True)
    try:
        if not host.streaming():
            check(False, "the host streams")
            return 1
        # Until the SDT has named every program.
        deadline = time.monotonic() + 60
        lineup = []
        while time.monotonic() < deadline:
            _, body = request(address, "GET", "/lineup.json")
            try:
                lineup = json.loads(body)
            except (TypeError, ValueError):
                lineup = []
            if len(lineup) == len(guide_stream.SERVICES) and all(
                    e.get("GuideName") == guide_stream.SERVICES[int(e.get("GuideNumber", 0))][2] for e in lineup):
                break
            time.sleep(0.3)

        discover, udn = identity(check, address)
        check(discover.get("FriendlyName", "").startswith("Tovrin TS Streamer (") and
              discover.get("FriendlyName", "").endswith(")"), f"friendly name ({discover.get('FriendlyName')})")
        check(valid_device_id(discover.get("DeviceID", "")), f"a device id libhdhomerun accepts ({discover.get('DeviceID')})")
        check(discover.get("TunerCount") == 3, f"three tuners, HttpMaxClients ({discover.get('TunerCount')})")
        check(discover.get("BaseURL") == base and discover.get("LineupURL") == base + "/lineup.json",
              f"base and lineup URLs on the address reached ({discover.get('BaseURL')}, {discover.get('LineupURL')})")

        expected = [{"GuideNumber": str(n), "GuideName": name, "URL": f"{base}/program/{n}.ts",
                     **({"AudioOnly": 1} if kind == 0x02 else {})}
                    for n, (kind, _, name) in guide_stream.SERVICES.items()]
        check(lineup == expected, f"/lineup.json lists every program by number and name, radio AudioOnly ({lineup})")
        for entry in lineup:
            # The first entry: ffprobe 5.1 did not end its probing of this
            # sample's programs 103 and 104 within 30 s (as with program 102's
            # SDP in http_page.py): not looked into yet, so not checked.
            if entry["GuideNumber"] != "101":
                continue
            number = int(entry["GuideNumber"])
            found, result = ffprobe_program(entry["URL"], number)
            check(found == {number: guide_stream.SERVICES[number][2]},
                  f"ffprobe plays {entry['URL']}: {found} ({(result or '').strip()[-200:]})")

        head, status = request(address, "GET", "/lineup_status.json")
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and json.loads(status or b"{}").get("ScanInProgress") == 0,
              f"/lineup_status.json: no scan in progress ({status})")
        head, scan = request(address, "POST", "/lineup.post?scan=start")
        _, after = request(address, "GET", "/lineup.json")
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and scan == status and json.loads(after) == lineup,
              f"POST /lineup.post?scan=start: answered with the status, the lineup unchanged ({head})")

        # A TV's requests for the live stream.
        flags = "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000"
        for number, mime, features in ((101, "video/mpeg", "DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;" + flags),
                                       (104, "audio/mpeg", flags)):
            for method in ("HEAD", "GET"):
                data, _ = exchange(address, f"{method} /program/{number}.ts HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                                            "getcontentFeatures.dlna.org: 1\r\nRange: bytes=900000000-\r\n\r\n".encode(),
                                   read_bytes=8192, seconds=10)
                head, body = split_head(data)
                check(head == ["HTTP/1.1 200 OK", f"Content-Type: {mime}", f"contentFeatures.dlna.org: {features}",
                               "transferMode.dlna.org: Streaming", "Accept-Ranges: none", "Cache-Control: no-cache",
                               "Connection: close"] and (body == b"" if method == "HEAD" else body[:1] == b"\x47"),
                      f"{method} /program/{number}.ts for a TV: DLNA head, {'no body' if method == 'HEAD' else 'the stream'}"
                      f" ({head}, {len(body or b'')} bytes)")
        data, _ = exchange(address, f"GET /program/101.ts HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode(),
                           read_bytes=4096, seconds=10)
        check(split_head(data)[0] == ["HTTP/1.1 200 OK", "Content-Type: video/mp2t", "Cache-Control: no-cache",
                                      "Connection: close"], "a player without the DLNA header gets the plain head")

        # The media server's descriptions.
        head, body = request(address, "GET", "/upnp/description.xml")
        try:
            device = ET.fromstring(body).find(f"{UPNP_DEVICE}device")
            fields = {tag: device.find(UPNP_DEVICE + tag).text for tag in ("deviceType", "friendlyName", "UDN")}
            services = {s.find(UPNP_DEVICE + "serviceType").text: s.find(UPNP_DEVICE + "SCPDURL").text
                        for s in device.iter(UPNP_DEVICE + "service")}
        except (ET.ParseError, AttributeError, TypeError) as e:
            fields, services = {"error": str(e)}, {}
        check(head is not None and header(head, "Content-Type", ).startswith("text/xml") and
              fields.get("deviceType") == "urn:schemas-upnp-org:device:MediaServer:1" and
              fields.get("friendlyName") == discover.get("FriendlyName") and
              re.fullmatch(r"uuid:[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", fields.get("UDN") or ""),
              f"/upnp/description.xml: a MediaServer:1 with the friendly name and a name-based UDN ({fields})")
        actions = {"urn:schemas-upnp-org:service:ContentDirectory:1": "Browse",
                   "urn:schemas-upnp-org:service:ConnectionManager:1": "GetProtocolInfo"}
        check(set(services) == set(actions), f"both services listed ({services})")
        for kind, path in services.items():
            _, scpd = request(address, "GET", path)
            try:
                names = [a.find(UPNP_SERVICE + "name").text for a in ET.fromstring(scpd).iter(UPNP_SERVICE + "action")]
            except (ET.ParseError, AttributeError, TypeError):
                names = []
            check(actions.get(kind) in names, f"{path} parses and lists {actions.get(kind)} ({names})")
        # Browse, as a TV pages through the programs.
        flags = "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000"
        expected_items = [(f"p{n}", name, "object.item.audioItem.audioBroadcast" if kind == 0x02 else
                           "object.item.videoItem.videoBroadcast", f"{base}/program/{n}.ts",
                           "http-get:*:audio/mpeg:*" if kind == 0x02 else
                           "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;" + flags)
                          for n, (kind, _, name) in guide_stream.SERVICES.items()]
        status, items, returned, total = browse(address, 0, 0)
        check(status == "HTTP/1.1 200 OK" and items == expected_items and returned == total == 4,
              f"Browse of the root: every program an item ({status}, {items}, {returned}, {total})")
        status, items, returned, total = browse(address, 1, 2)
        check(items == expected_items[1:3] and returned == 2 and total == 4,
              f"Browse from 1, 2 of them ({items}, {returned}, {total})")
        for body, error, what in ((soap("Browse", {"ObjectID": "0"}, prolog='<!DOCTYPE x [<!ENTITY a "b">]>'), "402",
                                   "a DTD"),
                                  (soap("DestroyObject", {"ObjectID": "p101"}), "401", "an unknown action")):
            head, answer = request(address, "POST", "/upnp/control/ContentDirectory", body)
            check(head is not None and head[0] == "HTTP/1.1 500 Internal Server Error" and
                  f"<errorCode>{error}</errorCode>".encode() in (answer or b""),
                  f"{what}: a SOAP fault with UPnP error {error} ({head}, {answer[-200:] if answer else None})")
    finally:
        host.stop()

    # The same identity after a restart.
    host = Host(args, "tuner-again", keys, extra=["--rate", "1"], loop=True)
    try:
        if host.streaming():
            again, udn_again = identity(check, address)
            check(again.get("DeviceID") == discover.get("DeviceID") and udn_again == udn and udn is not None,
                  f"after a restart the same device id and UDN ({again.get('DeviceID')}, {udn_again})")
        else:
            check(False, "the host streams again")
    finally:
        host.stop()
    log("")
    log(f"http_tuner: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
