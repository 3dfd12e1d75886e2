#!/usr/bin/env python3
"""The programme guide end to end: tovrin-host plays guide_stream.py's
stream once, in real time, through the module under Wine with HttpPort
set; the guide is fetched while it plays and after.

    http_guide.py --build DIR --workdir DIR

Checks: /epg.xml is application/xml, validates with the XMLTV tools
(tv_validate_file, offline, no error or warning) and holds exactly the
table's programmes (channel, UTC start and stop, titles per language), the
replaced segment's new events only, the long German text whole, categories
and rating; the event that ends while streaming is there at first and gone
at the end; the playlist names the guide and uses its channel ids.

Exit status 0 when every check passed.
"""

import argparse
import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import guide_stream  # noqa: E402
from http_clients import Check, Host, exchange, free_tcp_port, log, split_head  # noqa: E402

SECONDS = 90  # only ever reached when something is broken


def fetch(address, path):
    data, _ = exchange(address, f"GET {path} HTTP/1.1\r\nHost: tv.local:8001\r\n\r\n".encode(), read_bytes=1 << 24)
    return split_head(data)


def programmes(body):
    """(channel, start, stop, titles) of every programme, and the elements by event title."""
    root = ElementTree.fromstring(body)
    found, by_title = set(), {}
    for p in root.iter("programme"):
        titles = tuple(sorted((t.get("lang"), t.text) for t in p.findall("title")))
        found.add((p.get("channel"), p.get("start"), p.get("stop"), titles))
        by_title[titles[0][1]] = p
    return root, found, by_title


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--workdir", required=True)
    args = ap.parse_args()
    work = os.path.join(args.workdir, "guide")
    os.makedirs(work, exist_ok=True)
    args.sample_file = os.path.join(work, "guide.ts")
    guide_stream.write(args.sample_file)
    check = Check()

    port = free_tcp_port()
    address = ("127.0.0.1", port)
    host = Host(args, "guide", [f"HttpPort={port}"], extra=["--port", str(free_tcp_port()), "--rate", "1"],
                loop=False)
    try:
        if not host.streaming():
            check(False, "the host streams")
            return 1
        # While it plays: the event that ends while streaming is there at first.
        seen_ending = False
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline and not seen_ending:
            head, body = fetch(address, "/epg.xml")
            if body and b"Ends while streaming" in body:
                seen_ending = True
            time.sleep(0.3)
        check(seen_ending, "the event that ends while streaming is in the guide before its end")

        # After the stream's 20 s: the second half's tables.
        expected = guide_stream.expected_programmes()
        found = set()
        while time.monotonic() < deadline:
            head, body = fetch(address, "/epg.xml")
            try:
                _, found, _ = programmes(body)
            except ElementTree.ParseError:
                found = set()
            if found == expected:
                break
            time.sleep(1)
        check(head is not None and head[0] == "HTTP/1.1 200 OK" and
              "Content-Type: application/xml; charset=utf-8" in head, f"/epg.xml is XML ({head})")
        check(found == expected, "the guide holds exactly the table's programmes at their UTC times "
                                 f"(missing {sorted(expected - found)}, not expected {sorted(found - expected)})")
        path = os.path.join(work, "epg.xml")
        with open(path, "wb") as out:
            out.write(body or b"")
        env = dict(os.environ, XMLTV_SUPPLEMENT="/usr/share/xmltv")
        result = subprocess.run(["tv_validate_file", path], capture_output=True, text=True, env=env, timeout=120)
        check(result.returncode == 0 and result.stdout.strip() == "Validated ok." and not result.stderr.strip(),
              f"tv_validate_file passes without a word (exit {result.returncode}: {result.stdout} {result.stderr})")

        root, _, by_title = programmes(body)
        names = {c.get("id"): c.findtext("display-name") for c in root.iter("channel")}
        check(names == {guide_stream.channel_id(p): s[2] for p, s in guide_stream.SERVICES.items()},
              f"a channel per program with the SDT's names ({names})")
        film = by_title.get("Der Film")
        descs = {d.get("lang"): d.text for d in film.findall("desc")} if film is not None else {}
        check(film is not None and guide_stream.LONG_DEU_TEXT.strip() in (descs.get("deu") or "")
              and "Regie: Jane Doe" in (descs.get("deu") or "") and film.findtext("sub-title") == "Teil 2"
              and [c.text for c in film.findall("category")] == ["Movie/Drama", "Comedy"]
              and film.find("rating") is not None and film.find("rating").get("system") == "DEU"
              and film.findtext("rating/value") == "12",
              "the film: German text whole across its descriptors, items, sub-title, genres, rating")
        cheese = by_title.get("Käse & <Brot>")
        check(cheese is not None and cheese.findtext("desc") == "\"Zitat\" 'x'",
              "markup characters come through escaped and back")

        head, body = fetch(address, "/playlist.m3u")
        lines = (body or b"").decode("utf-8", "replace").splitlines()
        check(bool(lines) and lines[0] == '#EXTM3U url-tvg="http://tv.local:8001/epg.xml" '
                                          'x-tvg-url="http://tv.local:8001/epg.xml"', f"the playlist names the guide "
                                                                                       f"({lines[:1]})")
        ids = sorted(l.split('tvg-id="')[1].split('"')[0] for l in lines if l.startswith("#EXTINF"))
        check(ids == sorted(names), f"the playlist's tvg-ids are the guide's channel ids ({ids})")
    finally:
        host.stop()
    log("")
    log(f"http_guide: {'passed' if not check.failed else 'FAILED: ' + '; '.join(check.failed)}")
    return 0 if not check.failed else 1


if __name__ == "__main__":
    sys.exit(main())
