"""Transport-stream tables for the test tools: packets, section reassembly,
CRC-32/MPEG, readers for PAT, PMT and SDT, a section writer, and a reference
for what a one-program cut of a stream must carry.

Written for the tools' own checks, independently of the module's filter, so
that the two can be compared."""

import struct

PACKET = 188
SYNC = 0x47
PAT_PID = 0x0000
SDT_PID = 0x0011
EIT_PID = 0x0012
TDT_PID = 0x0014
NULL_PID = 0x1FFF
TABLE_PIDS = (PAT_PID, SDT_PID, EIT_PID)  # rewritten by the cut, not passed as they are


def _crc_table():
    table = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        table.append(c & 0xFFFFFFFF)
    return table


_CRC_TABLE = _crc_table()


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _CRC_TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc


def packets(data):
    return [data[i:i + PACKET] for i in range(0, len(data) - len(data) % PACKET, PACKET)]


def pid_of(pkt):
    return ((pkt[1] & 0x1F) << 8) | pkt[2]


def cc_of(pkt):
    return pkt[3] & 0x0F


def has_payload(pkt):
    return bool(pkt[3] & 0x10)


def payload_of(pkt):
    """The payload bytes, or b"" when there are none (or the adaptation field
    claims more than the packet has)."""
    if not has_payload(pkt):
        return b""
    start = 4
    if pkt[3] & 0x20:
        start = 5 + pkt[4]
    return pkt[start:] if start < PACKET else b""


class SectionReader:
    """Whole sections of one PID, as a receiver reassembles them: pointer
    field, several sections in a packet, a section across packets, stuffing;
    a continuity jump or a section longer than 4096 bytes drops the section
    being collected. Sections whose CRC is wrong are dropped too."""

    def __init__(self):
        self.buf = None
        self.last_cc = None

    def feed(self, pkt):
        out = []
        if pkt[0] != SYNC or not has_payload(pkt):
            return out
        cc = cc_of(pkt)
        if self.last_cc is not None and cc == self.last_cc:
            return out  # a repeated packet
        if self.last_cc is not None and cc != (self.last_cc + 1) & 0xF:
            self.buf = None
        self.last_cc = cc
        data = payload_of(pkt)
        if pkt[1] & 0x40:
            if not data:
                return out
            pointer = data[0]
            if 1 + pointer > len(data):
                self.buf = None
                return out
            if self.buf is not None:
                self.buf += data[1:1 + pointer]
                out += self._take()
            self.buf = bytearray(data[1 + pointer:])
            out += self._take()
        elif self.buf is not None:
            self.buf += data
            out += self._take()
        return out

    def _take(self):
        out = []
        while self.buf is not None and len(self.buf) >= 3:
            if self.buf[0] == 0xFF:
                self.buf = None  # stuffing to the end of the packet
                break
            length = 3 + (((self.buf[1] & 0x0F) << 8) | self.buf[2])
            if length > 4096:
                self.buf = None
                break
            if len(self.buf) < length:
                break
            section = bytes(self.buf[:length])
            self.buf = self.buf[length:]
            if crc32_mpeg(section) == 0:
                out.append(section)
        return out


def table_sections(pkts, pid):
    reader = SectionReader()
    out = []
    for index, pkt in enumerate(pkts):
        if pid_of(pkt) == pid:
            out += [(index, s) for s in reader.feed(pkt)]
    return out


def section_header(section):
    """(table_id, table_id_extension, version, current_next, section_number, last)"""
    return (section[0], (section[3] << 8) | section[4], (section[5] >> 1) & 0x1F, section[5] & 1,
            section[6], section[7])


def parse_pat(section):
    """(transport_stream_id, version, {program_number: pmt_pid}), NIT entry left out."""
    _, tsid, version, _, _, _ = section_header(section)
    programs = {}
    body = section[8:-4]
    for i in range(0, len(body) - 3, 4):
        number, pid = struct.unpack("!HH", body[i:i + 4])
        if number != 0:
            programs[number] = pid & 0x1FFF
    return tsid, version, programs


def _descriptors(data):
    i = 0
    while i + 2 <= len(data):
        tag, length = data[i], data[i + 1]
        yield tag, data[i + 2:i + 2 + length]
        i += 2 + length


def _ca_pids(descriptors):
    return {((d[2] & 0x1F) << 8) | d[3] for tag, d in _descriptors(descriptors) if tag == 0x09 and len(d) >= 4}


def parse_pmt(section):
    """(program_number, version, pcr_pid, [(stream_type, pid)], ecm_pids)"""
    _, number, version, _, _, _ = section_header(section)
    pcr_pid = ((section[8] & 0x1F) << 8) | section[9]
    info_length = ((section[10] & 0x0F) << 8) | section[11]
    ecm = _ca_pids(section[12:12 + info_length])
    streams = []
    i = 12 + info_length
    end = len(section) - 4
    while i + 5 <= end:
        stype = section[i]
        pid = ((section[i + 1] & 0x1F) << 8) | section[i + 2]
        es_length = ((section[i + 3] & 0x0F) << 8) | section[i + 4]
        streams.append((stype, pid))
        ecm |= _ca_pids(section[i + 5:i + 5 + es_length])
        i += 5 + es_length
    return number, version, pcr_pid, streams, ecm


def parse_sdt(section):
    """(table_id, transport_stream_id, version, {service_id: (provider, name)})"""
    table_id, tsid, version, _, _, _ = section_header(section)
    services = {}
    i = 11
    end = len(section) - 4
    while i + 5 <= end:
        sid = (section[i] << 8) | section[i + 1]
        loop_length = ((section[i + 3] & 0x0F) << 8) | section[i + 4]
        provider = name = b""
        for tag, d in _descriptors(section[i + 5:i + 5 + loop_length]):
            if tag == 0x48 and len(d) >= 2:
                provider = d[2:2 + d[1]]
                name = d[3 + d[1]:3 + d[1] + d[2 + d[1]]]
        services[sid] = (provider.decode("latin-1"), name.decode("latin-1"))
        i += 5 + loop_length
    return table_id, tsid, version, services


def build_section(table_id, extension, version, body, private_bits=0x30):
    """A long-form section with syntax indicator, current_next 1, section 0 of 0."""
    length = 5 + len(body) + 4
    head = bytes([table_id, 0x80 | private_bits | ((length >> 8) & 0x0F), length & 0xFF,
                  extension >> 8, extension & 0xFF, 0xC0 | ((version & 0x1F) << 1) | 1, 0, 0])
    section = head + body
    return section + struct.pack("!I", crc32_mpeg(section))


def pmt_body(pcr_pid, streams, program_info=b""):
    body = struct.pack("!HH", 0xE000 | pcr_pid, 0xF000 | len(program_info)) + program_info
    for stype, pid in streams:
        body += bytes([stype]) + struct.pack("!HH", 0xE000 | pid, 0xF000)
    return body


def section_packet(pid, cc, section):
    """One packet carrying `section` whole (it must fit), stuffed with 0xFF."""
    payload = bytes([0]) + section
    if len(payload) > PACKET - 4:
        raise ValueError("section does not fit one packet")
    return bytes([SYNC, 0x40 | (pid >> 8), pid & 0xFF, 0x10 | (cc & 0xF)]) + payload + \
        b"\xff" * (PACKET - 4 - len(payload))


class ProgramCut:
    """What a cut to the programs `selected` must pass unchanged: the PMT
    PIDs of the selected programs the latest PAT lists, and the elementary,
    PCR and ECM PIDs their latest PMTs name. A table takes effect from the
    packet after the one that completes it."""

    def __init__(self, selected):
        self.selected = set(selected)
        self.pat = {}          # program -> PMT PID, of the latest PAT
        self.pmt = {}          # program -> set of PIDs its latest PMT names
        self.readers = {PAT_PID: SectionReader()}
        self.pmt_readers = {}  # PMT PID -> SectionReader

    def passed_pids(self):
        pids = set()
        for number in self.selected & set(self.pat):
            pids.add(self.pat[number])
            pids |= self.pmt.get(number, set())
        pids.discard(NULL_PID)  # a PCR_PID of 0x1FFF means no PCR
        return pids

    def feed(self, pkt):
        """True when the packet goes out unchanged; then the tables it
        completes are taken in."""
        pid = pid_of(pkt)
        passed = pid in self.passed_pids() and pid not in TABLE_PIDS
        if pid == PAT_PID:
            for section in self.readers[PAT_PID].feed(pkt):
                if section[0] == 0x00:
                    _, _, self.pat = parse_pat(section)
                    self.pmt = {n: p for n, p in self.pmt.items() if n in self.pat}
        elif pid in {self.pat[n] for n in self.selected & set(self.pat)}:
            reader = self.pmt_readers.setdefault(pid, SectionReader())
            for section in reader.feed(pkt):
                if section[0] == 0x02:
                    number, _, pcr, streams, ecm = parse_pmt(section)
                    if number in self.selected and self.pat.get(number) == pid:
                        self.pmt[number] = {p for _, p in streams} | {pcr} | ecm
        return passed


def expected_cut(pkts, selected):
    """The source packets a cut to `selected` passes unchanged, in order."""
    cut = ProgramCut(selected)
    return [pkt for pkt in pkts if cut.feed(pkt)]
