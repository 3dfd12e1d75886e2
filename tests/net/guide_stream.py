#!/usr/bin/env python3
"""A transport stream with a programme guide, for the guide's end-to-end
test: the test's own table of services and events written as PAT, PMT, SDT,
EIT and TDT, with null packets to a steady rate. Written here, apart from
the module's code, so that a fault there cannot hide behind the same fault
in the writer.

The stream lasts CYCLES seconds of content (at --rate 1 Mbit/s); each second
carries a TDT one second later than the last, then every table once. The
second half carries version 1 of service 101's schedule, whose segment 0
drops an event and adds another. Also in it: several segments and sections,
extended text across descriptors in two languages, ISO 8859-5/-7, UTF-8 and
UCS-2 names and titles, an event that ends while streaming, one that ended
before the stream's time (though not by the PC's clock), a damaged section,
and services of another transport stream to ignore.

    guide_stream.py OUT.ts       writes the stream
"""

import struct
import sys
import os

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from ts_tables import crc32_mpeg  # noqa: E402

PACKET = 188
T0 = 1796990400            # 2026-12-11 12:00:00 UTC: the stream's own time at its start
CYCLES = 20                # seconds of content
PACKETS_PER_CYCLE = 665    # 1 Mbit/s
TSID, ONID = 0x0001, 0xFF01
ENDS_WHILE_STREAMING = 12  # seconds after T0


def ucs2(text):
    return b"\x11" + text.encode("utf-16-be")


# program number: (service type, name as broadcast, name as it reads)
SERVICES = {
    101: (0x01, b"\x01" + "Первый".encode("iso8859_5"), "Первый"),
    102: (0x01, b"\x03" + "Ελληνικά".encode("iso8859_7"), "Ελληνικά"),
    103: (0x01, b"\x15" + "Café Ü".encode("utf-8"), "Café Ü"),
    104: (0x02, ucs2("Radio Ω"), "Radio Ω"),
}


def short_event(lang, name, text=b""):
    body = lang.encode() + bytes([len(name)]) + name + bytes([len(text)]) + text
    return bytes([0x4D, len(body)]) + body


def extended_events(lang, text, piece, items=()):
    """The text in pieces of `piece` bytes, each later piece repeating the
    text's one-byte table selection (when it has one)."""
    prefix = text[:1] if text[0] < 0x20 else b""
    rest = text[len(prefix):]
    pieces = [prefix + rest[i:i + piece] for i in range(0, len(rest), piece)]
    out = b""
    for n, part in enumerate(pieces):
        item_bytes = b"".join(bytes([len(a)]) + a + bytes([len(b)]) + b for a, b in items) if n == 0 else b""
        body = bytes([n << 4 | (len(pieces) - 1)]) + lang.encode() + bytes([len(item_bytes)]) + item_bytes + \
            bytes([len(part)]) + part
        out += bytes([0x4E, len(body)]) + body
    return out


def content(*genres):
    return bytes([0x54, 2 * len(genres)]) + b"".join(bytes([g, 0]) for g in genres)


def rating(country, value):
    return bytes([0x55, 4]) + country.encode() + bytes([value])


LONG_DEU = "Ein langer Text über den Film, der über mehrere Deskriptoren läuft. " * 6
LONG_ENG = "A long text about the film that runs across several descriptors. " * 4

# Each event: id, start (minutes from T0, or seconds with "s"), duration in
# seconds, descriptors, and what the guide shows: channel, titles {lang: text}.
EVENTS = {
    1001: (-30 * 60, 3600, short_event("rus", b"\x01" + "Новости".encode("iso8859_5"), b"\x01" + "Сегодня".encode("iso8859_5"))),
    1002: (30 * 60, 1800, short_event("rus", b"\x01" + "Погода".encode("iso8859_5"))),
    1003: (60 * 60, 1800, short_event("eng", b"Old")),
    1004: (60 * 60, 2700, short_event("eng", b"Replacement")),
    1005: (120 * 60, 3600, short_event("deu", b"Der Film", b"Kurz.") + short_event("eng", b"The Film") +
           extended_events("deu", b"\x05" + LONG_DEU.encode("iso8859_9"), 180,
                           [(b"Regie", b"Jane Doe"), (b"Episode title", b"Teil 2")]) +
           extended_events("eng", LONG_ENG.encode(), 150) + content(0x10, 0x14) + rating("DEU", 9)),
    1006: (200 * 60, 3600, short_event("eng", b"Evening")),
    1007: (4 * 86400 + 10 * 3600, 5400, short_event("eng", b"Day five")),
    1008: (-10 * 60, 10 * 60 + ENDS_WHILE_STREAMING, short_event("eng", b"Ends while streaming")),
    1009: (-120 * 60, 3600, short_event("eng", b"Ended before the stream's time")),
    2001: (-5 * 60, 1800, short_event("ell", b"\x03" + "Ειδήσεις".encode("iso8859_7"))),
    2002: (25 * 60, 1800, short_event("ell", b"\x03" + "Ταινία".encode("iso8859_7"))),
    3001: (0, 600, short_event("deu", b"\x15" + "Käse & <Brot>".encode(), b"\x15\"Zitat\" 'x'") +
           short_event("eng", b"Cheese")),
    4001: (-15 * 60, 3600, short_event("eng", ucs2("Музыка Ω"))),
    9001: (0, 600, short_event("eng", b"Other stream")),
    9002: (0, 600, short_event("eng", b"Same number, other stream")),
    9003: (0, 600, short_event("eng", b"Damaged")),
}

# The sections: table id, service, transport stream, section number, events,
# which halves carry it ("both", "first", "second"), version, damaged.
SECTIONS = [
    (0x4E, 101, TSID, 0, [1001], "both", 0, False),
    (0x4E, 101, TSID, 1, [1002], "both", 0, False),
    (0x50, 101, TSID, 0, [1009, 1008, 1001, 1002, 1003], "first", 0, False),
    (0x50, 101, TSID, 0, [1009, 1008, 1001, 1002, 1004], "second", 1, False),
    (0x50, 101, TSID, 1, [1005], "first", 0, False),
    (0x50, 101, TSID, 1, [1005], "second", 1, False),
    (0x50, 101, TSID, 8, [1006], "first", 0, False),
    (0x50, 101, TSID, 8, [1006], "second", 1, False),
    (0x51, 101, TSID, 0, [1007], "both", 0, False),
    (0x4E, 102, TSID, 0, [2001], "both", 0, False),
    (0x50, 102, TSID, 0, [2001, 2002], "both", 0, False),
    (0x50, 102, TSID, 1, [9003], "both", 0, True),
    (0x50, 103, TSID, 0, [3001], "both", 0, False),
    (0x4E, 104, TSID, 0, [4001], "both", 0, False),
    (0x60, 900, 0x0002, 0, [9001], "both", 0, False),
    (0x4F, 102, 0x0002, 0, [9002], "both", 0, False),
]

# What the guide holds at the end: event id -> (program, start, stop, titles by language).
EXPECTED = {
    1001: (101, {"rus": "Новости"}), 1002: (101, {"rus": "Погода"}), 1004: (101, {"eng": "Replacement"}),
    1005: (101, {"deu": "Der Film", "eng": "The Film"}), 1006: (101, {"eng": "Evening"}),
    1007: (101, {"eng": "Day five"}), 2001: (102, {"ell": "Ειδήσεις"}), 2002: (102, {"ell": "Ταινία"}),
    3001: (103, {"deu": "Käse & <Brot>", "eng": "Cheese"}), 4001: (104, {"eng": "Музыка Ω"}),
}
LONG_DEU_TEXT = LONG_DEU  # the description of 1005 in German carries it whole


def expected_programmes():
    """(channel id, start, stop, titles) of every programme the guide must hold, UTC."""
    out = set()
    for event_id, (program, titles) in EXPECTED.items():
        start, duration, _ = EVENTS[event_id]
        out.add((channel_id(program), xmltv_time(T0 + start), xmltv_time(T0 + start + duration),
                 tuple(sorted(titles.items()))))
    return out


def channel_id(program):
    return f"{program}.{TSID:x}.{ONID:x}.dvb"


def xmltv_time(seconds):
    import time
    return time.strftime("%Y%m%d%H%M%S +0000", time.gmtime(seconds))


def bcd(value):
    return (value // 10) << 4 | value % 10


def utc_time(seconds):
    days, rest = divmod(seconds, 86400)
    return struct.pack("!H", days + 40587) + bytes([bcd(rest // 3600), bcd(rest // 60 % 60), bcd(rest % 60)])


def duration(seconds):
    return bytes([bcd(seconds // 3600), bcd(seconds // 60 % 60), bcd(seconds % 60)])


def long_section(table_id, extension, version, body, number=0, last=0):
    length = 5 + len(body) + 4
    head = bytes([table_id, 0xF0 | (length >> 8), length & 0xFF, extension >> 8, extension & 0xFF,
                  0xC1 | (version << 1), number, last])
    section = head + body
    return section + struct.pack("!I", crc32_mpeg(section))


def eit_section(table_id, service, tsid, number, event_ids, version, damaged):
    body = struct.pack("!HHBB", tsid, ONID, number | 7 if table_id >= 0x50 else 1, table_id)
    for event_id in event_ids:
        start, length, descriptors = EVENTS[event_id]
        running = 4 if table_id in (0x4E, 0x4F) and number == 0 else 1
        body += struct.pack("!H", event_id) + utc_time(T0 + start) + duration(length) + \
            struct.pack("!H", running << 13 | len(descriptors)) + descriptors
    section = long_section(table_id, service, version, body, number, number if table_id < 0x50 else 8)
    if damaged:
        section = section[:20] + bytes([section[20] ^ 0x08]) + section[21:]
    return section


class Packetizer:
    def __init__(self):
        self.counters = {}

    def sections(self, pid, sections):
        out = []
        for section in sections:
            data = bytes([0]) + section
            first = True
            while data:
                cc = self.counters.get(pid, 0)
                self.counters[pid] = (cc + 1) & 0xF
                chunk = data[:PACKET - 4]
                data = data[PACKET - 4:]
                header = bytes([0x47, (0x40 if first else 0) | pid >> 8, pid & 0xFF, 0x10 | cc])
                out.append(header + chunk + b"\xff" * (PACKET - 4 - len(chunk)))
                first = False
        return out


def write(path):
    maker = Packetizer()
    programs = sorted(SERVICES)
    pat = long_section(0x00, TSID, 0, b"".join(struct.pack("!HH", p, 0xE000 | (0x100 + i))
                                              for i, p in enumerate(programs)))
    pmts = []
    for i, p in enumerate(programs):
        stream_type = 0x03 if SERVICES[p][0] == 0x02 else 0x02
        body = struct.pack("!HH", 0xE000 | (0x200 + i), 0xF000) + bytes([stream_type]) + \
            struct.pack("!HH", 0xE000 | (0x200 + i), 0xF000)
        pmts.append((0x100 + i, long_section(0x02, p, 0, body)))
    sdt_body = struct.pack("!HB", ONID, 0xFF)
    for p in programs:
        kind, name, _ = SERVICES[p]
        descriptor = bytes([0x48, 3 + 8 + len(name), kind, 8]) + b"Provider" + bytes([len(name)]) + name
        sdt_body += struct.pack("!HBH", p, 0xFF, 0x8000 | len(descriptor)) + descriptor
    sdt = long_section(0x42, TSID, 0, sdt_body)
    null = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * 184

    with open(path, "wb") as out:
        for cycle in range(CYCLES):
            half = "first" if cycle < CYCLES // 2 else "second"
            packets = maker.sections(0x14, [bytes([0x70, 0x70, 0x05]) + utc_time(T0 + cycle)])
            packets += maker.sections(0x00, [pat])
            for pid, pmt in pmts:
                packets += maker.sections(pid, [pmt])
            packets += maker.sections(0x11, [sdt])
            eits = [eit_section(t, s, ts, n, ids, v, d) for t, s, ts, n, ids, when, v, d in SECTIONS
                    if when in ("both", half)]
            packets += maker.sections(0x12, eits)
            packets += [null] * (PACKETS_PER_CYCLE - len(packets))
            out.write(b"".join(packets))


if __name__ == "__main__":
    write(sys.argv[1])
