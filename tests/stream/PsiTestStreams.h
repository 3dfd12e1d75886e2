#pragma once
// Transport streams with tables for the filter's tests, fuzz target and
// benchmark, the HTTP output's tests (PsiTestSections.h) and the module's
// Programs tests, built and read back here without the stream core's table code:
// a bitwise CRC, section builders, a packetizer and a reassembler of their
// own, so a fault in the code under test cannot hide behind the same fault
// in the check.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace psitest {

using Bytes = std::vector<uint8_t>;
using Packet = std::array<uint8_t, 188>;

// CRC-32/MPEG-2, one bit at a time.
inline uint32_t ReferenceCrc(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
    {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

inline void Put16(Bytes& out, unsigned value)
{
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

// A long section: header, `body`, CRC.
inline Bytes LongSection(uint8_t tableId, uint16_t extension, int version, const Bytes& body,
                         int number = 0, int last = 0, bool current = true)
{
    Bytes section{tableId, 0, 0};
    Put16(section, extension);
    section.push_back(static_cast<uint8_t>(0xC0 | ((version & 0x1F) << 1) | (current ? 1 : 0)));
    section.push_back(static_cast<uint8_t>(number));
    section.push_back(static_cast<uint8_t>(last));
    section.insert(section.end(), body.begin(), body.end());
    const size_t sectionLength = section.size() - 3 + 4;
    section[1] = static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(sectionLength & 0xFF);
    const uint32_t crc = ReferenceCrc(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<uint8_t>((crc >> shift) & 0xFF));
    return section;
}

using ProgramList = std::vector<std::pair<uint16_t, uint16_t>>;  // program number, PMT PID

inline Bytes PatSection(uint16_t tsid, int version, const ProgramList& programs, int number = 0, int last = 0)
{
    Bytes body;
    for (const auto& program : programs)
    {
        Put16(body, program.first);
        Put16(body, 0xE000u | program.second);
    }
    return LongSection(0x00, tsid, version, body, number, last);
}

inline Bytes CaDescriptor(uint16_t system, uint16_t pid)
{
    Bytes descriptor{0x09, 4};
    Put16(descriptor, system);
    Put16(descriptor, 0xE000u | pid);
    return descriptor;
}

struct TestStream
{
    uint8_t Type;
    uint16_t Pid;
    Bytes Descriptors;
};

inline Bytes PmtSection(uint16_t program, int version, uint16_t pcrPid, const std::vector<TestStream>& streams,
                        const Bytes& programDescriptors = {})
{
    Bytes body;
    Put16(body, 0xE000u | pcrPid);
    Put16(body, 0xF000u | programDescriptors.size());
    body.insert(body.end(), programDescriptors.begin(), programDescriptors.end());
    for (const TestStream& stream : streams)
    {
        body.push_back(stream.Type);
        Put16(body, 0xE000u | stream.Pid);
        Put16(body, 0xF000u | stream.Descriptors.size());
        body.insert(body.end(), stream.Descriptors.begin(), stream.Descriptors.end());
    }
    return LongSection(0x02, program, version, body);
}

struct TestService
{
    uint16_t Id;
    std::string Provider;
    std::string Name;
    uint8_t Type = 0x01;  // digital television
};

inline Bytes ServiceEntry(const TestService& service)
{
    Bytes descriptor{0x48, 0, service.Type, static_cast<uint8_t>(service.Provider.size())};
    descriptor.insert(descriptor.end(), service.Provider.begin(), service.Provider.end());
    descriptor.push_back(static_cast<uint8_t>(service.Name.size()));
    descriptor.insert(descriptor.end(), service.Name.begin(), service.Name.end());
    descriptor[1] = static_cast<uint8_t>(descriptor.size() - 2);
    Bytes entry;
    Put16(entry, service.Id);
    entry.push_back(0xFC);                     // reserved, no EIT flags
    Put16(entry, 0x8000u | descriptor.size()); // running, free
    entry.insert(entry.end(), descriptor.begin(), descriptor.end());
    return entry;
}

inline Bytes SdtSection(uint8_t tableId, uint16_t tsid, uint16_t onid, int version,
                        const std::vector<TestService>& services, int number = 0, int last = 0)
{
    Bytes body;
    Put16(body, onid);
    body.push_back(0xFF);
    for (const TestService& service : services)
    {
        const Bytes entry = ServiceEntry(service);
        body.insert(body.end(), entry.begin(), entry.end());
    }
    return LongSection(tableId, tsid, version, body, number, last);
}

// An EIT section of `events` events with a short event descriptor each.
inline Bytes EitSection(uint8_t tableId, uint16_t serviceId, uint16_t tsid, uint16_t onid, int version,
                        int events, int number = 0)
{
    Bytes body;
    Put16(body, tsid);
    Put16(body, onid);
    body.push_back(static_cast<uint8_t>(number));
    body.push_back(tableId);
    for (int event = 0; event < events; ++event)
    {
        Put16(body, static_cast<unsigned>(event + 1));
        for (uint8_t b : {0xE9, 0x1D, 0x12, 0x00, 0x00, 0x01, 0x30, 0x00})  // start and duration
            body.push_back(b);
        const Bytes descriptor{0x4D, 8, 'e', 'n', 'g', 3, 'N', 'e', 'w', 0};
        Put16(body, 0x8000u | descriptor.size());
        body.insert(body.end(), descriptor.begin(), descriptor.end());
    }
    return LongSection(tableId, serviceId, version, body, number, number);
}

// --- The guide's tables: events with their descriptors, and the time ------

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// 40 bits: Modified Julian Date, then hours, minutes, seconds in BCD.
inline void PutUtcTime(Bytes& out, int64_t unixSeconds)
{
    const int64_t days = unixSeconds / 86400, rest = unixSeconds % 86400;
    Put16(out, static_cast<unsigned>(days + 40587));
    for (int64_t field : {rest / 3600, rest / 60 % 60, rest % 60})
        out.push_back(static_cast<uint8_t>(field / 10 << 4 | field % 10));
}

// A negative duration is the undefined one (all ones) of a live event.
inline void PutBcdDuration(Bytes& out, int seconds)
{
    if (seconds < 0)
    {
        out.insert(out.end(), {0xFF, 0xFF, 0xFF});
        return;
    }
    for (int field : {seconds / 3600, seconds / 60 % 60, seconds % 60})
        out.push_back(static_cast<uint8_t>(field / 10 << 4 | field % 10));
}

// The three letters of a language or country code (g++ warns wrongly about
// inserting a string's range right after a braced list).
inline void PutCode(Bytes& out, const std::string& code)
{
    for (size_t i = 0; i < 3; ++i)
        out.push_back(static_cast<uint8_t>(i < code.size() ? code[i] : ' '));
}

inline Bytes ShortEventDescriptor(const std::string& language, const Bytes& name, const Bytes& text)
{
    Bytes d{0x4D, 0};
    PutCode(d, language);
    d.push_back(static_cast<uint8_t>(name.size()));
    d.insert(d.end(), name.begin(), name.end());
    d.push_back(static_cast<uint8_t>(text.size()));
    d.insert(d.end(), text.begin(), text.end());
    d[1] = static_cast<uint8_t>(d.size() - 2);
    return d;
}

// Extended event descriptors of one language, as a broadcaster cuts a long
// text: `items` in the first, the text in pieces of at most `piece` bytes,
// each later piece starting with the text's character-table bytes
// (`tablePrefix`) again; descriptor_number and last_descriptor_number set.
inline Bytes ExtendedEventDescriptors(const std::string& language,
                                      const std::vector<std::pair<Bytes, Bytes>>& items, const Bytes& text,
                                      size_t piece = 200, size_t tablePrefix = 0)
{
    std::vector<Bytes> pieces;
    const Bytes prefix(text.begin(), text.begin() + tablePrefix);
    size_t at = tablePrefix;
    do
    {
        const size_t n = text.size() - at < piece ? text.size() - at : piece;
        Bytes part = prefix;
        part.insert(part.end(), text.begin() + at, text.begin() + at + n);
        pieces.push_back(part);
        at += n;
    } while (at < text.size());
    Bytes all;
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        Bytes d{0x4E, 0, static_cast<uint8_t>(i << 4 | (pieces.size() - 1))};
        PutCode(d, language);
        Bytes itemBytes;
        if (i == 0)
            for (const auto& item : items)
            {
                itemBytes.push_back(static_cast<uint8_t>(item.first.size()));
                itemBytes.insert(itemBytes.end(), item.first.begin(), item.first.end());
                itemBytes.push_back(static_cast<uint8_t>(item.second.size()));
                itemBytes.insert(itemBytes.end(), item.second.begin(), item.second.end());
            }
        d.push_back(static_cast<uint8_t>(itemBytes.size()));
        d.insert(d.end(), itemBytes.begin(), itemBytes.end());
        d.push_back(static_cast<uint8_t>(pieces[i].size()));
        d.insert(d.end(), pieces[i].begin(), pieces[i].end());
        d[1] = static_cast<uint8_t>(d.size() - 2);
        all.insert(all.end(), d.begin(), d.end());
    }
    return all;
}

// Content nibbles (level 1 << 4 | level 2), user bytes 0.
inline Bytes ContentDescriptor(const std::vector<uint8_t>& genres)
{
    Bytes d{0x54, static_cast<uint8_t>(2 * genres.size())};
    for (uint8_t genre : genres)
    {
        d.push_back(genre);
        d.push_back(0);
    }
    return d;
}

inline Bytes ParentalRatingDescriptor(const std::string& country, uint8_t rating)
{
    Bytes d{0x55, 4};
    PutCode(d, country);
    d.push_back(rating);
    return d;
}

struct TestEvent
{
    uint16_t Id;
    int64_t Start;          // UTC seconds since 1970
    int Duration;           // seconds; negative: undefined
    Bytes Descriptors;
    int Running = 1;        // running_status
};

struct EitHeader
{
    uint8_t TableId;
    uint16_t Service;
    uint16_t Tsid;
    uint16_t Onid;
    int Version = 0;
    int Number = 0;
    int Last = 0;           // last_section_number
    int SegmentLast = -1;   // segment_last_section_number; -1: this section's number
    uint8_t LastTableId = 0; // 0: this table
};

inline Bytes EitEventsSection(const EitHeader& h, const std::vector<TestEvent>& events)
{
    Bytes body;
    Put16(body, h.Tsid);
    Put16(body, h.Onid);
    body.push_back(static_cast<uint8_t>(h.SegmentLast < 0 ? h.Number : h.SegmentLast));
    body.push_back(h.LastTableId != 0 ? h.LastTableId : h.TableId);
    for (const TestEvent& event : events)
    {
        Put16(body, event.Id);
        PutUtcTime(body, event.Start);
        PutBcdDuration(body, event.Duration);
        Put16(body, static_cast<unsigned>(event.Running) << 13 | event.Descriptors.size());
        body.insert(body.end(), event.Descriptors.begin(), event.Descriptors.end());
    }
    return LongSection(h.TableId, h.Service, h.Version, body, h.Number, h.Last);
}

// The time and date table: a short section of 8 bytes, no CRC.
inline Bytes TdtSection(int64_t unixSeconds)
{
    Bytes section{0x70, 0x70, 0x05};
    PutUtcTime(section, unixSeconds);
    return section;
}

// The time offset table: the time, an empty descriptor loop and a CRC.
inline Bytes TotSection(int64_t unixSeconds)
{
    Bytes section{0x73, 0x70, 0x0B};
    PutUtcTime(section, unixSeconds);
    Put16(section, 0xF000);
    const uint32_t crc = ReferenceCrc(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<uint8_t>((crc >> shift) & 0xFF));
    return section;
}

// Cuts sections into packets and makes packets of streams, a continuity
// counter per PID.
class PacketMaker
{
public:
    // Sections back to back in the payload of consecutive packets of `pid`;
    // a packet where a section starts carries a pointer_field; the last
    // packet is filled up with 0xFF.
    std::vector<Packet> Sections(uint16_t pid, const std::vector<Bytes>& sections)
    {
        std::vector<Packet> packets;
        Bytes payload;
        std::vector<size_t> starts;
        for (const Bytes& section : sections)
        {
            starts.push_back(payload.size());
            payload.insert(payload.end(), section.begin(), section.end());
        }
        size_t position = 0;
        size_t nextStart = 0;
        while (position < payload.size())
        {
            Packet packet = Header(pid, false);
            size_t at = 4;
            // The first section start within this packet's reach, if any.
            while (nextStart < starts.size() && starts[nextStart] < position)
                ++nextStart;
            size_t end = payload.size();
            if (nextStart < starts.size() && starts[nextStart] - position < 183)
            {
                packet[1] |= 0x40;
                packet[at++] = static_cast<uint8_t>(starts[nextStart] - position);
            }
            else if (nextStart < starts.size() && starts[nextStart] - position < 184)
                end = starts[nextStart];  // no room for a pointer: stuffing, the start goes to the next packet
            while (at < 188 && position < end)
                packet[at++] = payload[position++];
            while (at < 188)
                packet[at++] = 0xFF;
            packets.push_back(packet);
        }
        return packets;
    }

    // A packet of a stream, its payload filled with `fill`.
    Packet Stream(uint16_t pid, uint8_t fill, bool unitStart = false)
    {
        Packet packet = Header(pid, unitStart);
        for (size_t i = 4; i < 188; ++i)
            packet[i] = fill;
        return packet;
    }

    // The first packet of a PES packet of `streamId` (0xE0: video), with a
    // one-byte adaptation field whose flags are `flags` (0x40:
    // random_access_indicator, a key frame's start as muxers mark it).
    Packet PesStart(uint16_t pid, uint8_t streamId, uint8_t flags)
    {
        Packet packet = Stream(pid, 0xA5, true);
        packet[3] |= 0x20;
        packet[4] = 1;
        packet[5] = flags;
        const uint8_t start[] = {0x00, 0x00, 0x01, streamId};
        std::copy(start, start + 4, packet.begin() + 6);
        return packet;
    }

    // The next packet of `pid` carries `counter`: for callers that keep
    // their own continuity counter across several makers or calls.
    void SetCounter(uint16_t pid, uint8_t counter) { m_counters[pid] = counter; }

private:
    Packet Header(uint16_t pid, bool unitStart)
    {
        Packet packet{};
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | ((pid >> 8) & 0x1F));
        packet[2] = static_cast<uint8_t>(pid & 0xFF);
        packet[3] = static_cast<uint8_t>(0x10 | (m_counters[pid] & 0x0F));
        ++m_counters[pid];
        return packet;
    }

    std::array<uint8_t, 8192> m_counters{};
};

inline uint16_t PidOf(const uint8_t* packet) { return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]); }
inline uint16_t PidOf(const Packet& packet) { return PidOf(packet.data()); }

// The sections of `pid` in `packets`, reassembled without any shortcut the
// filter's writer would allow: pointer_field honoured, several sections per
// packet, stuffing. `problems` counts continuity jumps, sections cut short
// and bytes that make no sense.
struct ReadBack
{
    std::vector<Bytes> Sections;
    int Problems = 0;
};

inline ReadBack ReadSections(const std::vector<Packet>& packets, uint16_t pid)
{
    ReadBack result;
    Bytes pending;      // bytes of the section in progress
    bool collecting = false;
    int lastCounter = -1;
    auto take = [&](const uint8_t* data, size_t size, bool mayStart) {
        size_t i = 0;
        while (i < size)
        {
            if (!collecting)
            {
                if (!mayStart || data[i] == 0xFF)
                    return;
                collecting = true;
                pending.clear();
            }
            pending.push_back(data[i++]);
            if (pending.size() >= 3)
            {
                const size_t total = 3 + (((pending[1] & 0x0F) << 8) | pending[2]);
                if (pending.size() == total)
                {
                    result.Sections.push_back(pending);
                    collecting = false;
                }
            }
        }
    };
    for (const Packet& packet : packets)
    {
        if (PidOf(packet) != pid)
            continue;
        const int counter = packet[3] & 0x0F;
        if (lastCounter >= 0 && counter != ((lastCounter + 1) & 0x0F))
            ++result.Problems;
        lastCounter = counter;
        if ((packet[3] & 0x30) != 0x10)
        {
            ++result.Problems;  // the filter writes payload-only table packets
            continue;
        }
        if (packet[1] & 0x40)
        {
            const size_t pointer = packet[4];
            if (5 + pointer > 188)
            {
                ++result.Problems;
                continue;
            }
            take(packet.data() + 5, pointer, false);
            if (collecting)
            {
                ++result.Problems;
                collecting = false;
            }
            take(packet.data() + 5 + pointer, 188 - 5 - pointer, true);
        }
        else
            take(packet.data() + 4, 184, false);
    }
    if (collecting)
        ++result.Problems;
    return result;
}

inline bool CrcIsRight(const Bytes& section) { return ReferenceCrc(section.data(), section.size()) == 0; }

struct ParsedPat
{
    bool Valid = false;  // syntax, length, CRC
    uint16_t Tsid = 0;
    int Version = -1;
    ProgramList Programs;
};

inline ParsedPat ParsePat(const Bytes& section)
{
    ParsedPat pat;
    if (section.size() < 12 || section[0] != 0x00 || !(section[1] & 0x80) || !CrcIsRight(section) ||
        (section.size() - 12) % 4 != 0 || section[6] != 0 || section[7] != 0 || !(section[5] & 1))
        return pat;
    pat.Valid = true;
    pat.Tsid = static_cast<uint16_t>((section[3] << 8) | section[4]);
    pat.Version = (section[5] >> 1) & 0x1F;
    for (size_t at = 8; at + 4 < section.size(); at += 4)
        pat.Programs.emplace_back(static_cast<uint16_t>((section[at] << 8) | section[at + 1]),
                                  static_cast<uint16_t>(((section[at + 2] & 0x1F) << 8) | section[at + 3]));
    return pat;
}

struct ParsedSdt
{
    bool Valid = false;  // syntax, loops, CRC
    uint8_t TableId = 0;
    uint16_t Tsid = 0;
    uint16_t Onid = 0;
    int Version = -1;
    int Number = -1;
    int Last = -1;
    std::vector<TestService> Services;
};

inline ParsedSdt ParseSdt(const Bytes& section)
{
    ParsedSdt sdt;
    if (section.size() < 15 || !(section[1] & 0x80) || !CrcIsRight(section))
        return sdt;
    sdt.TableId = section[0];
    sdt.Tsid = static_cast<uint16_t>((section[3] << 8) | section[4]);
    sdt.Version = (section[5] >> 1) & 0x1F;
    sdt.Number = section[6];
    sdt.Last = section[7];
    sdt.Onid = static_cast<uint16_t>((section[8] << 8) | section[9]);
    const size_t end = section.size() - 4;
    size_t at = 11;
    while (at < end)
    {
        if (end - at < 5)
            return sdt;
        TestService service{static_cast<uint16_t>((section[at] << 8) | section[at + 1]), {}, {}};
        const size_t loop = ((section[at + 3] & 0x0F) << 8) | section[at + 4];
        size_t d = at + 5;
        const size_t dEnd = d + loop;
        if (dEnd > end)
            return sdt;
        while (d + 2 <= dEnd && d + 2 + section[d + 1] <= dEnd)
        {
            if (section[d] == 0x48 && section[d + 1] >= 3)
            {
                const size_t p = d + 3;
                const size_t pl = section[p];
                if (p + 1 + pl < d + 2 + section[d + 1])
                {
                    service.Provider.assign(section.begin() + p + 1, section.begin() + p + 1 + pl);
                    const size_t nl = section[p + 1 + pl];
                    if (p + 2 + pl + nl <= d + 2 + section[d + 1])
                        service.Name.assign(section.begin() + p + 2 + pl, section.begin() + p + 2 + pl + nl);
                }
            }
            d += 2 + section[d + 1];
        }
        sdt.Services.push_back(service);
        at = dEnd;
    }
    sdt.Valid = at == end;
    return sdt;
}

} // namespace psitest
