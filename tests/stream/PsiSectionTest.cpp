// Sections out of packets and back: reassembly cases as a receiver meets
// them, the writer's packets, CRC-32, and the table layers' validation.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "psi/EitTable.h"
#include "ts/PacketSink.h"
#include "psi/PatTable.h"
#include "psi/PmtTable.h"
#include "psi/PsiSection.h"
#include "PsiTestStreams.h"
#include "psi/SdtTable.h"

using namespace psitest;

namespace {

constexpr uint16_t kPid = 0x0100;

// A section of `size` bytes in all (table 0x42, a body of counting bytes).
Bytes SectionOfSize(size_t size, uint8_t seed)
{
    Bytes body(size - 12);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(seed + i);
    return LongSection(0x42, seed, 0, body);
}

// A packet written byte by byte: header, optional adaptation field of
// `adaptation` bytes (after its length byte), then `payload`, then 0xFF.
Packet RawPacket(int counter, bool unitStart, const Bytes& payload, int adaptation = -1, bool error = false)
{
    Packet packet;
    packet.fill(0xFF);
    packet[0] = 0x47;
    packet[1] = static_cast<uint8_t>((error ? 0x80 : 0) | (unitStart ? 0x40 : 0) | (kPid >> 8));
    packet[2] = kPid & 0xFF;
    packet[3] = static_cast<uint8_t>((adaptation >= 0 ? 0x30 : 0x10) | (counter & 0x0F));
    size_t at = 4;
    if (adaptation >= 0)
    {
        packet[at++] = static_cast<uint8_t>(adaptation);
        for (int i = 0; i < adaptation; ++i)
            packet[at++] = i == 0 ? 0x00 : 0xFF;
    }
    for (size_t i = 0; i < payload.size() && at < 188; ++i)
        packet[at++] = payload[i];
    return packet;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Packet> Join(std::initializer_list<std::vector<Packet>> parts)
{
    std::vector<Packet> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Bytes> Assemble(const std::vector<Packet>& packets, int capacity)
{
    std::vector<unsigned char> buffer(static_cast<size_t>(capacity));
    CSectionAssembler assembler(buffer.data(), capacity);
    std::vector<Bytes> sections;
    for (const Packet& packet : packets)
    {
        assembler.Start(packet.data());
        int length = 0;
        while (const unsigned char* section = assembler.Next(length))
            sections.emplace_back(section, section + length);
    }
    return sections;
}

const Bytes A = SectionOfSize(40, 0xA0);
const Bytes B = SectionOfSize(500, 0xB0);  // three packets
const Bytes C = SectionOfSize(60, 0xC0);
const Bytes X = SectionOfSize(181, 0x10);  // leaves 2 bytes of a 183-byte first payload

struct AssemblyCase
{
    std::string name;
    std::function<std::vector<Packet>()> packets;
    std::vector<Bytes> expected;
    int capacity = kMaxPsiSectionSize;
};

std::vector<AssemblyCase> AssemblyCases()
{
    return {
        {"one section in one packet", [] { return PacketMaker().Sections(kPid, {A}); }, {A}},
        {"several sections in one packet", [] { return PacketMaker().Sections(kPid, {A, C, A}); }, {A, C, A}},
        {"a section across three packets", [] { return PacketMaker().Sections(kPid, {B}); }, {B}},
        {"sections running on with pointer_field", [] { return PacketMaker().Sections(kPid, {B, A, B, C}); },
         {B, A, B, C}},
        {"a section header split over two packets", [] { return PacketMaker().Sections(kPid, {X, A}); }, {X, A}},
        {"stuffing after the last section hides what follows",
         [] { return std::vector<Packet>{RawPacket(0, true, Concat({{0}, A, {0xFF}, C}))}; }, {A}},
        {"a pointer_field skips the tail of an unknown section",
         [] { return std::vector<Packet>{RawPacket(0, true, Concat({{3, 1, 2, 3}, A}))}; }, {A}},
        {"payload behind an adaptation field",
         [] { return std::vector<Packet>{RawPacket(0, true, Concat({{0}, A}), 10)}; }, {A}},
        {"a section too long for its table, then a good one",
         [] { return PacketMaker().Sections(kPid, {SectionOfSize(1100, 1), A}); }, {A}},
        {"the same under a larger buffer",
         [] { return PacketMaker().Sections(kPid, {SectionOfSize(1100, 1), A}); }, {SectionOfSize(1100, 1), A},
         kMaxSiSectionSize},
        {"a pointer_field past the packet end",
         [] {
             return std::vector<Packet>{RawPacket(0, true, Concat({{200}, A})), RawPacket(1, true, Concat({{0}, C}))};
         },
         {C}},
        {"a pointer_field past the end drops the section in progress",
         [] {
             auto packets = PacketMaker().Sections(kPid, {B});
             packets[1] = RawPacket(packets[1][3] & 0x0F, true, Concat({{190}, A}));
             packets.push_back(RawPacket((packets[2][3] + 1) & 0x0F, true, Concat({{0}, C})));
             return packets;
         },
         {C}},
        {"a continuity jump inside a section drops it",
         [] {
             PacketMaker maker;
             auto packets = maker.Sections(kPid, {B});
             packets.erase(packets.begin() + 1);
             return Join({packets, maker.Sections(kPid, {A})});
         },
         {A}},
        {"a duplicate packet is ignored",
         [] {
             auto packets = PacketMaker().Sections(kPid, {B});
             packets.insert(packets.begin() + 1, packets[1]);
             return packets;
         },
         {B}},
        {"a packet with the error flag drops the section",
         [] {
             PacketMaker maker;
             auto packets = maker.Sections(kPid, {B});
             packets[1][1] |= 0x80;
             return Join({packets, maker.Sections(kPid, {A})});
         },
         {A}},
        {"a packet without payload in between changes nothing",
         [] {
             auto packets = PacketMaker().Sections(kPid, {B});
             Packet adaptationOnly = packets[1];
             adaptationOnly[1] &= 0x1F;
             adaptationOnly[3] = static_cast<uint8_t>(0x20 | (packets[0][3] & 0x0F));
             adaptationOnly[4] = 183;
             packets.insert(packets.begin() + 1, adaptationOnly);
             return packets;
         },
         {B}},
        {"a section cut short by the next start",
         [] {
             auto packets = PacketMaker().Sections(kPid, {B});
             packets[1] = RawPacket(packets[1][3] & 0x0F, true, Concat({{0}, A}));
             packets.resize(2);
             return packets;
         },
         {A}},
        {"a counter stuck for three packets: the third is new",
         [] {
             const Packet packet = RawPacket(5, true, Concat({{0}, A}));
             return std::vector<Packet>{packet, packet, packet};
         },
         {A, A}},
        {"a continuation before any start is ignored",
         [] {
             auto packets = PacketMaker().Sections(kPid, {B, A});
             packets.erase(packets.begin());
             return packets;
         },
         {A}},
    };
}

TEST(SectionAssembly, CasesGiveTheExpectedSections)
{
    for (const AssemblyCase& test : AssemblyCases())
    {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(Assemble(test.packets(), test.capacity), test.expected);
    }
}

struct PacketList : IPacketSink
{
    std::vector<Packet> packets;
    void PutPacket(const unsigned char* packet) override
    {
        Packet copy;
        std::copy(packet, packet + 188, copy.begin());
        packets.push_back(copy);
    }
};

TEST(SectionWriter, PacketsReadBackWithRunningCounters)
{
    PacketList sink;
    CSectionWriter writer(kPid);
    for (const Bytes& section : {B, A, SectionOfSize(4096, 7), C})
        writer.Write(section.data(), static_cast<int>(section.size()), sink);
    const ReadBack read = ReadSections(sink.packets, kPid);
    EXPECT_EQ(read.Problems, 0);
    EXPECT_EQ(read.Sections, (std::vector<Bytes>{B, A, SectionOfSize(4096, 7), C}));
    ASSERT_EQ(sink.packets.size(), 3u + 1u + 23u + 1u);
    for (size_t i = 0; i < sink.packets.size(); ++i)
    {
        EXPECT_EQ(sink.packets[i][0], 0x47);
        EXPECT_EQ(sink.packets[i][3] & 0x0F, static_cast<int>(i % 16));
    }
    // Only a section's first packet says that one starts there.
    EXPECT_TRUE(sink.packets[0][1] & 0x40);
    EXPECT_FALSE(sink.packets[1][1] & 0x40);
    EXPECT_TRUE(sink.packets[3][1] & 0x40);
}

TEST(SectionCrc, KnownValuesAndTheWholeSectionRule)
{
    const unsigned char check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32Mpeg(check, 9), 0x0376E6E7u);
    EXPECT_EQ(Crc32Mpeg(A.data(), static_cast<int>(A.size())), 0u);
    EXPECT_TRUE(IsValidLongSection(A.data(), static_cast<int>(A.size())));
    Bytes broken = A;
    broken[20] ^= 0x01;
    EXPECT_FALSE(IsValidLongSection(broken.data(), static_cast<int>(broken.size())));
    EXPECT_FALSE(IsValidLongSection(A.data(), static_cast<int>(A.size()) - 1));
}

// The table layers refuse a section whose loops do not end at the CRC; the
// CRC is made right after the damage so only the structure is wrong.
Bytes WithLengthByte(Bytes section, size_t at, uint8_t value)
{
    section[at] = value;
    const size_t length = section.size() - 4;
    const uint32_t crc = ReferenceCrc(section.data(), length);
    for (int i = 0; i < 4; ++i)
        section[length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    return section;
}

TEST(TableLayers, ValidationAndFields)
{
    const Bytes pat = PatSection(7, 3, {{0, 0x10}, {28106, 0x1000}, {28107, 0x1001}});
    ASSERT_TRUE(IsValidPat(pat.data(), static_cast<int>(pat.size())));
    uint16_t pid = 0;
    EXPECT_TRUE(PatFindPmtPid(pat.data(), static_cast<int>(pat.size()), 28107, pid));
    EXPECT_EQ(pid, 0x1001);
    EXPECT_FALSE(PatFindPmtPid(pat.data(), static_cast<int>(pat.size()), 1, pid));

    const Bytes pmt = PmtSection(28106, 1, 0x1FF, {{0x1B, 0x100, CaDescriptor(0x0500, 0x600)}, {0x03, 0x101, {}}},
                                 CaDescriptor(0x0100, 0x601));
    ASSERT_TRUE(IsValidPmt(pmt.data(), static_cast<int>(pmt.size())));
    uint16_t pids[8];
    ASSERT_EQ(PmtCollectPids(pmt.data(), static_cast<int>(pmt.size()), pids, 8), 5);
    EXPECT_EQ((std::vector<uint16_t>(pids, pids + 5)), (std::vector<uint16_t>{0x1FF, 0x601, 0x100, 0x600, 0x101}));
    EXPECT_EQ(PmtCollectPids(pmt.data(), static_cast<int>(pmt.size()), pids, 2), 2);  // bounded
    // program_info_length running past the end, an ES_info_length past the end.
    const Bytes longInfo = WithLengthByte(pmt, 11, 0xF0);
    EXPECT_FALSE(IsValidPmt(longInfo.data(), static_cast<int>(longInfo.size())));
    const Bytes longEsInfo = WithLengthByte(pmt, 12 + 6 + 4, 0x40);
    EXPECT_FALSE(IsValidPmt(longEsInfo.data(), static_cast<int>(longEsInfo.size())));

    const Bytes sdt = SdtSection(0x42, 7, 1, 0, {{28106, "Prov", "One"}, {28107, "", "Two"}});
    ASSERT_TRUE(IsValidSdt(sdt.data(), static_cast<int>(sdt.size())));
    int offset = 0;
    SSdtService service;
    SServiceNames names;
    ASSERT_TRUE(SdtNextService(sdt.data(), static_cast<int>(sdt.size()), offset, service));
    ASSERT_TRUE(SdtServiceNames(service, names));
    EXPECT_EQ(std::string(names.Provider, names.Provider + names.ProviderLength), "Prov");
    EXPECT_EQ(std::string(names.Name, names.Name + names.NameLength), "One");
    ASSERT_TRUE(SdtNextService(sdt.data(), static_cast<int>(sdt.size()), offset, service));
    EXPECT_EQ(service.ServiceId, 28107);
    EXPECT_FALSE(SdtNextService(sdt.data(), static_cast<int>(sdt.size()), offset, service));
    ASSERT_TRUE(SdtFindServiceNames(sdt.data(), static_cast<int>(sdt.size()), 28107, names));
    EXPECT_EQ(names.ProviderLength, 0);
    EXPECT_EQ(std::string(names.Name, names.Name + names.NameLength), "Two");
    EXPECT_FALSE(SdtFindServiceNames(sdt.data(), static_cast<int>(sdt.size()), 28108, names));
    const Bytes longLoop = WithLengthByte(sdt, 14, 0xFF);
    EXPECT_FALSE(IsValidSdt(longLoop.data(), static_cast<int>(longLoop.size())));

    const Bytes eit = EitSection(0x4E, 28106, 7, 1, 0, 2);
    EXPECT_TRUE(IsValidEit(eit.data(), static_cast<int>(eit.size())));
    const Bytes longEvent = WithLengthByte(eit, 14 + 10, 0x8F);
    EXPECT_FALSE(IsValidEit(longEvent.data(), static_cast<int>(longEvent.size())));
}

} // namespace
