#pragma once
// PAT and PMT sections and the packets that carry them for the HTTP output's
// tests, in the shapes those tests call for, built with the stream tests'
// CRC, section builders and packetizer (PsiTestStreams.h) so that there is
// one reference for them all.

#include <cstdint>
#include <utility>
#include <vector>

#include "PsiTestStreams.h"
#include "ts/TsConstants.h"

namespace psi_test {

using Bytes = psitest::Bytes;
using Packet = Bytes;

inline uint32_t Crc32Mpeg(const Bytes& bytes) { return psitest::ReferenceCrc(bytes.data(), bytes.size()); }

// programs: {program_number, PMT PID}; transport_stream_id 1, section
// `number` of `number`. `damage` flips the lowest bit of the CRC.
inline Bytes Pat(const std::vector<std::pair<int, int>>& programs, int version = 0, bool damage = false, int number = 0)
{
    psitest::ProgramList list;
    for (const auto& [program, pid] : programs)
        list.emplace_back(static_cast<uint16_t>(program), static_cast<uint16_t>(pid));
    Bytes section = psitest::PatSection(1, version, list, number, number);
    if (damage)
        section.back() ^= 1;
    return section;
}

// A PMT with `streams` elementary streams (padding it out to several
// packets): PCR PID 0x100, H.264 streams on PIDs 0x100 on.
inline Bytes Pmt(int program, int version, int streams = 2)
{
    std::vector<psitest::TestStream> list;
    for (int i = 0; i < streams; ++i)
        list.push_back({0x1B, static_cast<uint16_t>(0x100 + i), {}});
    return psitest::PmtSection(static_cast<uint16_t>(program), version, 0x100, list);
}

// Packs a section into packets of `pid`, the first with a pointer_field of 0;
// `counter` is one continuity counter for every PID, run on across calls.
inline std::vector<Packet> Packetize(int pid, const Bytes& section, unsigned char& counter)
{
    psitest::PacketMaker maker;
    maker.SetCounter(static_cast<uint16_t>(pid), counter);
    std::vector<Packet> packets;
    for (const psitest::Packet& packet : maker.Sections(static_cast<uint16_t>(pid), {section}))
        packets.emplace_back(packet.begin(), packet.end());
    counter = static_cast<unsigned char>(counter + packets.size());
    return packets;
}

} // namespace psi_test
