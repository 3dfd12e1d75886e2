#pragma once
// PAT and PMT sections and the packets that carry them, built for tests with
// a CRC of the tests' own (bit by bit, checked against the standard's check
// value in PsiCacheTest).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "TsConstants.h"

namespace psi_test {

using Bytes = std::vector<unsigned char>;
using Packet = Bytes;

inline uint32_t Crc32Mpeg(const Bytes& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes)
        for (int bit = 7; bit >= 0; --bit)
        {
            const bool top = ((crc >> 31) ^ (b >> bit & 1u)) != 0;
            crc <<= 1;
            if (top)
                crc ^= 0x04C11DB7u;
        }
    return crc;
}

inline void PutCrc(Bytes& section, bool damage = false)
{
    const uint32_t crc = Crc32Mpeg(section) ^ (damage ? 1u : 0u);
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<unsigned char>(crc >> shift));
}

// A long-form section head: table_id, length (set by Finish), id, version,
// current_next, section_number, last_section_number.
inline Bytes SectionHead(unsigned char tableId, int id, int version, int number = 0, int last = 0)
{
    return {tableId, 0xB0, 0x00, static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id),
            static_cast<unsigned char>(0xC1 | version << 1), static_cast<unsigned char>(number),
            static_cast<unsigned char>(last)};
}

inline Bytes Finish(Bytes section, bool damage = false)
{
    const size_t length = section.size() + 4 - 3;
    section[1] = static_cast<unsigned char>(0xB0 | length >> 8);
    section[2] = static_cast<unsigned char>(length);
    PutCrc(section, damage);
    return section;
}

// programs: {program_number, PMT PID}
inline Bytes Pat(const std::vector<std::pair<int, int>>& programs, int version = 0, bool damage = false, int number = 0)
{
    Bytes section = SectionHead(0x00, 1, version, number, number);
    for (const auto& [program, pid] : programs)
        section.insert(section.end(), {static_cast<unsigned char>(program >> 8), static_cast<unsigned char>(program),
                                       static_cast<unsigned char>(0xE0 | pid >> 8), static_cast<unsigned char>(pid)});
    return Finish(section, damage);
}

// A PMT with `streams` elementary streams (padding it out to several packets).
inline Bytes Pmt(int program, int version, int streams = 2)
{
    Bytes section = SectionHead(0x02, program, version);
    section.insert(section.end(), {0xE1, 0x00, 0xF0, 0x00}); // PCR PID 0x100, no program info
    for (int i = 0; i < streams; ++i)
        section.insert(section.end(), {0x1B, static_cast<unsigned char>(0xE1), static_cast<unsigned char>(i), 0xF0, 0x00});
    return Finish(section);
}

// Packs a section into packets of `pid`, the first with a pointer_field of 0.
inline std::vector<Packet> Packetize(int pid, const Bytes& section, unsigned char& counter)
{
    std::vector<Packet> packets;
    size_t at = 0;
    while (at < section.size())
    {
        Packet packet(kTsPacketSize, 0xFF);
        const bool first = at == 0;
        packet[0] = kTsSyncByte;
        packet[1] = static_cast<unsigned char>((first ? 0x40 : 0) | pid >> 8);
        packet[2] = static_cast<unsigned char>(pid);
        packet[3] = static_cast<unsigned char>(0x10 | (counter++ & 0x0F));
        size_t offset = 4;
        if (first)
            packet[offset++] = 0;
        const size_t take = std::min(section.size() - at, kTsPacketSize - offset);
        std::memcpy(&packet[offset], &section[at], take);
        at += take;
        packets.push_back(packet);
    }
    return packets;
}

} // namespace psi_test
