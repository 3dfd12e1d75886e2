#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "http/PsiCache.h"
#include "PsiTestSections.h"

namespace {

using namespace psi_test;

Packet OtherPacket(int pid)
{
    Packet packet(kTsPacketSize, 0x55);
    packet[0] = kTsSyncByte;
    packet[1] = static_cast<unsigned char>(pid >> 8);
    packet[2] = static_cast<unsigned char>(pid);
    packet[3] = 0x10;
    return packet;
}

void Feed(CPsiCache& cache, const std::vector<Packet>& packets)
{
    for (const Packet& packet : packets)
        cache.Observe(packet.data());
}

Bytes Join(const std::vector<std::vector<Packet>>& groups)
{
    Bytes bytes;
    for (const auto& group : groups)
        for (const Packet& packet : group)
            bytes.insert(bytes.end(), packet.begin(), packet.end());
    return bytes;
}

Bytes Prefix(const CPsiCache& cache)
{
    Bytes bytes(static_cast<size_t>(cache.PrefixPackets()) * kTsPacketSize);
    const int copied = cache.CopyPrefix(bytes.data(), cache.PrefixPackets());
    EXPECT_EQ(copied, cache.PrefixPackets());
    bytes.resize(static_cast<size_t>(copied) * kTsPacketSize);
    return bytes;
}

class PsiCacheTest : public ::testing::Test
{
protected:
    std::unique_ptr<CPsiCache> m_Cache = std::make_unique<CPsiCache>();
    unsigned char m_Counter = 0;
    std::vector<Packet> Section(int pid, const Bytes& section) { return Packetize(pid, section, m_Counter); }
};

TEST_F(PsiCacheTest, TheChecksumOfTheTestsIsCrc32Mpeg2)
{
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32Mpeg(check), 0x0376E6E7u);
}

TEST_F(PsiCacheTest, KeepsTheLatestPatAndItsPmtsInPatOrder)
{
    CPsiCache& cache = *m_Cache;
    const auto pat = Section(0, Pat({{0, 0x10}, {101, 0x1000}, {102, 0x1001}}));
    const auto pmt101 = Section(0x1000, Pmt(101, 0));
    const auto pmt102 = Section(0x1001, Pmt(102, 0, 60)); // two packets
    ASSERT_EQ(pmt102.size(), 2u);

    // PMTs before any PAT are not known as PMTs yet.
    Feed(cache, pmt101);
    Feed(cache, {OtherPacket(0x100)});
    EXPECT_EQ(cache.PrefixPackets(), 0);
    Feed(cache, pat);
    EXPECT_EQ(Prefix(cache), Join({pat}));
    Feed(cache, {OtherPacket(0x100)});
    Feed(cache, pmt102);
    Feed(cache, {OtherPacket(0x101), OtherPacket(0x10)});
    Feed(cache, pmt101);
    EXPECT_EQ(cache.PrefixPackets(), 4);
    EXPECT_EQ(Prefix(cache), Join({pat, pmt101, pmt102}));

    // A new version replaces the old one.
    const auto pmt101v1 = Section(0x1000, Pmt(101, 1, 3));
    Feed(cache, pmt101v1);
    EXPECT_EQ(Prefix(cache), Join({pat, pmt101v1, pmt102}));

    // A small buffer gets whole sections only.
    Bytes two(3 * kTsPacketSize);
    EXPECT_EQ(cache.CopyPrefix(two.data(), 3), 2);
    EXPECT_EQ(Bytes(two.begin(), two.begin() + 2 * kTsPacketSize), Join({pat, pmt101v1}));
    EXPECT_EQ(cache.CopyPrefix(two.data(), 0), 0);

    cache.Reset();
    EXPECT_EQ(cache.PrefixPackets(), 0);
    Feed(cache, pmt101);
    EXPECT_EQ(cache.PrefixPackets(), 0); // no PAT, no PMT PIDs
}

TEST_F(PsiCacheTest, DamagedOrForeignSectionsAreNotKept)
{
    CPsiCache& cache = *m_Cache;
    const auto pat = Section(0, Pat({{1, 0x100}}));
    Feed(cache, pat);
    const Bytes good = Prefix(cache);

    auto damaged = Section(0, Pat({{1, 0x200}}, 1, true));
    auto later = Section(0, Pat({{1, 0x200}}, 1, false, 1)); // section 1 of 1
    auto errored = Section(0, Pat({{1, 0x200}}, 1));
    errored[0][1] |= 0x80; // transport_error_indicator
    auto lostSync = Section(0, Pat({{1, 0x200}}, 1));
    lostSync[0][0] = 0x46;
    auto otherTable = Section(0, Pat({{1, 0x200}}, 1));
    otherTable[0][5] = 0x42; // an SDT's table_id on PID 0
    auto tooLong = Section(0, Pat({{1, 0x200}}, 1));
    tooLong[0][6] = 0x0F; // section_length 0xF..: more than 1021
    for (const auto& packets : {damaged, later, errored, lostSync, otherTable, tooLong})
    {
        Feed(cache, packets);
        EXPECT_EQ(Prefix(cache), good);
    }
    // A PMT cut short (its end never comes) is not kept either.
    auto pmt = Section(0x100, Pmt(1, 0, 60));
    Feed(cache, {pmt[0], OtherPacket(0x100)});
    EXPECT_EQ(Prefix(cache), good);
}

TEST_F(PsiCacheTest, SectionsAreFoundAfterAdaptationFieldsAndPointerFields)
{
    CPsiCache& cache = *m_Cache;
    // The PAT behind an adaptation field of 7 bytes.
    auto pat = Section(0, Pat({{5, 0x300}}));
    Packet& packet = pat[0];
    std::memmove(&packet[4 + 8], &packet[4], kTsPacketSize - 4 - 8);
    packet[3] = static_cast<unsigned char>(0x30 | (packet[3] & 0x0F));
    packet[4] = 7;
    std::memset(&packet[5], 0, 7);
    Feed(cache, pat);
    ASSERT_EQ(cache.PrefixPackets(), 1);

    // Joined in the middle of a PMT: its end alone is not a section.
    const Bytes first = Pmt(5, 0, 60);
    auto firstPackets = Section(0x300, first);
    ASSERT_EQ(firstPackets.size(), 2u);
    Feed(cache, {firstPackets[1]});
    EXPECT_EQ(cache.PrefixPackets(), 1);
    Feed(cache, firstPackets);
    EXPECT_EQ(Prefix(cache), Join({pat, firstPackets}));

    // The next version starts in the packet that ends the one before it: the
    // pointer_field skips the tail, and that packet belongs to both sections.
    const Bytes second = Pmt(5, 1, 60);
    const size_t tail = first.size() - (kTsPacketSize - 5);
    auto joined = Section(0x300, first);
    Packet& shared = joined[1];
    std::memmove(&shared[5], &shared[4], tail);
    shared[1] |= 0x40;
    shared[4] = static_cast<unsigned char>(tail);
    size_t at = kTsPacketSize - 5 - tail;
    std::memcpy(&shared[5 + tail], second.data(), at);
    std::vector<Packet> rest;
    while (at < second.size())
    {
        Packet packet = OtherPacket(0x300);
        std::memset(&packet[4], 0xFF, kTsPacketSize - 4);
        const size_t take = std::min(second.size() - at, static_cast<size_t>(kTsPacketSize - 4));
        std::memcpy(&packet[4], &second[at], take);
        at += take;
        rest.push_back(packet);
    }
    ASSERT_EQ(rest.size(), 2u);
    Feed(cache, joined);
    EXPECT_EQ(Prefix(cache), Join({pat, joined}));
    Feed(cache, {rest[0]});
    EXPECT_EQ(Prefix(cache), Join({pat, joined}));
    Feed(cache, {rest[1]});
    EXPECT_EQ(Prefix(cache), Join({pat, {shared}, rest}));
}

TEST_F(PsiCacheTest, ANewPatTakesOtherPmts)
{
    CPsiCache& cache = *m_Cache;
    const auto pat = Section(0, Pat({{1, 0x100}, {2, 0x200}}));
    const auto pmt1 = Section(0x100, Pmt(1, 0));
    const auto pmt2 = Section(0x200, Pmt(2, 0));
    Feed(cache, pat);
    Feed(cache, pmt1);
    Feed(cache, pmt2);
    EXPECT_EQ(cache.PrefixPackets(), 3);

    // The same programs in a new version: the PMTs stay.
    const auto samePat = Section(0, Pat({{1, 0x100}, {2, 0x200}}, 1));
    Feed(cache, samePat);
    EXPECT_EQ(Prefix(cache), Join({samePat, pmt1, pmt2}));

    const auto newPat = Section(0, Pat({{3, 0x300}, {2, 0x200}}, 2));
    Feed(cache, newPat);
    EXPECT_EQ(Prefix(cache), Join({newPat}));
    Feed(cache, pmt1); // no longer a PMT PID
    const auto pmt3 = Section(0x300, Pmt(3, 0));
    Feed(cache, pmt3);
    Feed(cache, pmt2);
    EXPECT_EQ(Prefix(cache), Join({newPat, pmt3, pmt2}));

    // More programs than PMTs remembered: the first ones are kept.
    std::vector<std::pair<int, int>> many;
    for (int i = 0; i < kPsiCacheMaxPmts + 10; ++i)
        many.push_back({i + 1, 0x1000 + i});
    Feed(cache, Section(0, Pat(many, 3)));
    const auto last = Section(0x1000 + kPsiCacheMaxPmts - 1, Pmt(kPsiCacheMaxPmts, 0));
    const auto beyond = Section(0x1000 + kPsiCacheMaxPmts, Pmt(kPsiCacheMaxPmts + 1, 0));
    Feed(cache, last);
    Feed(cache, beyond);
    EXPECT_EQ(cache.PrefixPackets(), 2 + 1);
}

} // namespace
