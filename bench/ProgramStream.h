#pragma once
// A multi-program transponder made in memory for the program filter's
// benchmark and allocation test: 10 programs (numbers 1001-1010, PMT PIDs
// 0x1000 + i, video 0x100 + 16 i carrying the PCR, audio 0x101 + 16 i), null
// packets, and a tenth of a second of tables at a rate well above a real
// multiplex's: a PAT, every PMT, an SDT of all ten services, EIT
// present/following of every service, a TDT. At 60 Mbit/s a tenth of a second
// is 4000 packets (752 KB, second-level cache size, as a tuner's fresh block).

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "PsiTestStreams.h"

constexpr int kProgramStreamPackets = 4000;
constexpr int kProgramStreamPrograms = 10;
constexpr uint16_t kFirstProgramNumber = 1001;

// `withTables` false leaves the table packets out (the streams and null
// packets only, the same count): the filter's cost without any table work.
inline std::vector<unsigned char> MakeProgramStream(bool withTables)
{
    using namespace psitest;
    PacketMaker maker;
    std::vector<Packet> tables;
    auto add = [&](const std::vector<Packet>& packets) { tables.insert(tables.end(), packets.begin(), packets.end()); };
    ProgramList programs{{0, 0x0010}};
    std::vector<TestService> services;
    for (int i = 0; i < kProgramStreamPrograms; ++i)
    {
        const uint16_t number = static_cast<uint16_t>(kFirstProgramNumber + i);
        programs.emplace_back(number, static_cast<uint16_t>(0x1000 + i));
        services.push_back({number, "Provider", "Channel " + std::to_string(i + 1)});
    }
    add(maker.Sections(0x0000, {PatSection(1, 0, programs)}));
    for (int i = 0; i < kProgramStreamPrograms; ++i)
    {
        const uint16_t video = static_cast<uint16_t>(0x100 + 16 * i);
        add(maker.Sections(static_cast<uint16_t>(0x1000 + i),
                           {PmtSection(static_cast<uint16_t>(kFirstProgramNumber + i), 0, video,
                                       {{0x1B, video, {}}, {0x0F, static_cast<uint16_t>(video + 1), {}}})}));
    }
    add(maker.Sections(0x0011, {SdtSection(0x42, 1, 1, 0, services)}));
    for (int i = 0; i < kProgramStreamPrograms; ++i)
        add(maker.Sections(0x0012, {EitSection(0x4E, static_cast<uint16_t>(kFirstProgramNumber + i), 1, 1, 0, 2)}));
    add({maker.Stream(0x0014, 0)});

    // Spread the tables evenly; between them video (85 %), audio (10 %) and
    // null packets (5 %), the programs taking turns.
    std::vector<unsigned char> stream(static_cast<size_t>(kProgramStreamPackets) * 188);
    const size_t spacing = kProgramStreamPackets / tables.size();
    size_t nextTable = 0;
    uint32_t noise = 0x2545F491u;
    for (int p = 0; p < kProgramStreamPackets; ++p)
    {
        noise = noise * 1664525u + 1013904223u;
        Packet packet;
        if (withTables && nextTable < tables.size() && static_cast<size_t>(p) == nextTable * spacing)
            packet = tables[nextTable++];
        else
        {
            const int program = p % kProgramStreamPrograms;
            const int kind = static_cast<int>((noise >> 16) % 100);
            const uint16_t pid = kind < 5 ? 0x1FFF : static_cast<uint16_t>(0x100 + 16 * program + (kind < 15 ? 1 : 0));
            packet = maker.Stream(pid, static_cast<uint8_t>(noise >> 24));
        }
        std::memcpy(stream.data() + static_cast<size_t>(p) * 188, packet.data(), 188);
    }
    return stream;
}
