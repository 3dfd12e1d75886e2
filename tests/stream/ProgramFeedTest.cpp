// The program stage of the traffic path: host blocks of any length give the
// same cut stream as blocks of whole packets, since a packet that one block
// cuts off is completed by the next; and where the bytes lose the packet
// boundary, the stage finds it again exactly as the aligner does (a chunk of
// one packet, walked in packet steps as the module walks a host block).
//
//   host blocks (bytes)          | expected
//   whole packets, 7 at a time   | the reference output
//   1, 100, 187, 189, 1000, odd  | the same bytes, in the same order; the
//                                | whole-stream side sees every source packet
//   a stray byte, a lost byte,   | the whole-stream side sees the packets the
//   a first block from byte 100, | aligner finds, the cut is the filter's cut
//   each in blocks of 7 packets, | of them: the damaged packets are lost, the
//   1, 187 and mixed bytes       | rest goes on
//   random damage, random blocks | the same, over many seeds
//   no sync byte for a while     | the stage says that it searches, and
//                                | counts what it dropped
//   a Reset between two halves   | nothing of the first half's cut packet

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AlignerProbe.h"
#include "ByteStrings.h"
#include "programs/ProgramFeed.h"
#include "ProgramStream.h"

namespace
{

// Keeps every chunk the aligner hands over, one packet per chunk.
class CCollector final : public CTsAligner
{
public:
    CCollector() { m_nChunkSize = kTsPacketSize; }
    std::vector<unsigned char> bytes;

protected:
    void ReceiveAlignedTraffic(unsigned char* data, int length) override { bytes.insert(bytes.end(), data, data + length); }
};

SProgramSelection Select(std::initializer_list<uint16_t> numbers)
{
    SProgramSelection selection{};
    for (uint16_t n : numbers)
        selection.Numbers[selection.Count++] = n;
    return selection;
}

using bytes::Bytes;
using bytes::BaseSeed;
using bytes::Join;
using bytes::Slice;

const SProgramSelection kSelection = Select({kFirstProgramNumber + 1, kFirstProgramNumber + 4});

// The cut stream; `source` gets what the whole-stream side saw.
Bytes Cut(const Bytes& stream, const std::vector<int>& blockSizes, Bytes* source = nullptr,
          bool expectPrograms = true)
{
    auto feed = std::make_unique<CProgramFeed>();
    feed->Reset(kSelection);
    CCollector collector;
    std::atomic<int32_t> present{-1};
    size_t offset = 0;
    for (size_t i = 0; offset < stream.size(); ++i)
    {
        const size_t size = std::min(stream.size() - offset, static_cast<size_t>(blockSizes[i % blockSizes.size()]));
        feed->Feed(collector, stream.data() + offset, static_cast<int>(size), present,
                   [&](const unsigned char* packets, int count) {
                       if (source != nullptr)
                           source->insert(source->end(), packets, packets + count * kTsPacketSize);
                   });
        offset += size;
    }
    if (expectPrograms)
    {
        EXPECT_EQ(present.load(), 2);
    }
    return collector.bytes;
}

// The packets the aligner finds in `stream` with a chunk of one packet, fed
// in packet steps as the module feeds it a host block.
Bytes AlignerPackets(const Bytes& stream)
{
    auto aligner = std::make_unique<probe::ProbeAligner>();
    aligner->SetChunkSize(kTsPacketSize);
    Bytes block = stream;
    aligner->SetPiece(block.data(), static_cast<long>(block.size()));
    FeedInPacketSteps(*aligner, block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(aligner->violation, "");
    return aligner->delivered;
}

// The filter's cut of whole packets, each fed as it is.
Bytes FilterOf(const Bytes& packets)
{
    struct Sink final : IPacketSink
    {
        Bytes bytes;
        void PutPacket(const unsigned char* packet) override { bytes.insert(bytes.end(), packet, packet + kTsPacketSize); }
    } sink;
    auto filter = std::make_unique<CProgramFilter>();
    filter->Reset(kSelection);
    for (size_t offset = 0; offset + kTsPacketSize <= packets.size(); offset += kTsPacketSize)
        filter->Feed(packets.data() + offset, sink);
    return sink.bytes;
}

TEST(ProgramFeed, BlocksOfAnyLengthGiveTheSameCut)
{
    const std::vector<unsigned char> stream = MakeProgramStream(true);
    const std::vector<unsigned char> reference = Cut(stream, {7 * kTsPacketSize});
    ASSERT_GT(reference.size(), 20u * kTsPacketSize) << "the selection passes too little to show anything";
    ASSERT_LT(reference.size(), stream.size() / 2);
    const std::vector<std::vector<int>> cases = {{1}, {100}, {187}, {189}, {1000}, {5, 188, 371, 2, 900}};
    for (const auto& sizes : cases)
    {
        SCOPED_TRACE(testing::Message() << "first block " << sizes[0] << " bytes");
        Bytes source;
        EXPECT_EQ(Cut(stream, sizes, &source), reference);
        EXPECT_TRUE(source == stream) << "the whole-stream side saw " << source.size() << " bytes of "
                                      << stream.size() << ", or not in order";
    }
}

// The aligner's resync cases through the cut path and the whole-stream side.
// The damage lies in packet k, which (like packet k + 1) belongs to no chosen
// program and has no 0x47 behind its sync byte, so that what is lost is known
// exactly: a stray byte costs packet k (it goes on to the whole-stream side
// with the stray byte in it), a lost byte packets k and k + 1, a first block
// that begins at byte 100 of such a packet the rest of it. None of these is
// the cut's, so the cut is the undamaged stream's.
TEST(ProgramFeed, FindsThePacketBoundaryAgainAsTheAlignerDoes)
{
    const Bytes stream = MakeProgramStream(true);
    const size_t packets = stream.size() / kTsPacketSize;
    auto quiet = [&](size_t p) {
        const unsigned char* packet = stream.data() + p * kTsPacketSize;
        const uint16_t pid = psitest::PidOf(packet);
        const bool chosen = pid == 0x110 || pid == 0x111 || pid == 0x140 || pid == 0x141;
        const bool elementary = pid == 0x1FFF || (pid >= 0x100 && pid < 0x200);
        return elementary && !chosen &&
               std::find(packet + 1, packet + kTsPacketSize, kTsSyncByte) == packet + kTsPacketSize;
    };
    size_t k = packets / 2;
    while (k + 2 < packets && !(quiet(k) && quiet(k + 1)))
        ++k;
    ASSERT_LT(k + 2, packets) << "no packet to damage";
    const size_t at = k * kTsPacketSize;  // where packet k begins
    const size_t rest = stream.size() - at;

    struct Case
    {
        const char* name;
        Bytes damaged;
        Bytes source;  // what the whole-stream side must see
    };
    const Case cases[] = {
        {"a stray byte in packet k",
         Join({Slice(stream, 0, at + 50), {0x00}, Slice(stream, at + 50, rest - 50)}),
         Join({Slice(stream, 0, at + 50), {0x00}, Slice(stream, at + 50, 187 - 50),
               Slice(stream, at + kTsPacketSize, rest - kTsPacketSize)})},
        {"a lost byte in packet k",
         Join({Slice(stream, 0, at + 50), Slice(stream, at + 51, rest - 51)}),
         Join({Slice(stream, 0, at + 50), Slice(stream, at + 51, 137), Slice(stream, at + kTsPacketSize, 1),
               Slice(stream, at + 2 * kTsPacketSize, rest - 2 * kTsPacketSize)})},
        {"a first block that begins at byte 100 of packet k", Join({Slice(stream, at + 100, 88), stream}), stream},
    };
    const Bytes reference = Cut(stream, {7 * kTsPacketSize});
    const std::vector<std::vector<int>> blocks = {{7 * kTsPacketSize}, {1}, {187}, {100, 1000, 5, 371}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(AlignerPackets(c.damaged) == c.source) << "the aligner's rule finds these packets";
        ASSERT_TRUE(FilterOf(c.source) == reference);
        for (const std::vector<int>& sizes : blocks)
        {
            SCOPED_TRACE(testing::Message() << "blocks of " << sizes[0] << (sizes.size() > 1 ? ", ... bytes" : " bytes"));
            Bytes source;
            const Bytes cut = Cut(c.damaged, sizes, &source);
            EXPECT_TRUE(source == c.source) << "the whole-stream side saw " << source.size() << " bytes of "
                                            << c.source.size() << ", or others";
            EXPECT_TRUE(cut == reference) << "the cut holds " << cut.size() << " bytes of " << reference.size()
                                          << ", or others";
        }
    }
}

// Damage anywhere (stray bytes, lost bytes, runs of garbage with and without
// sync values, a stream that begins inside a packet), cut into blocks of
// random lengths: the whole-stream side sees exactly the packets the aligner
// finds, and the cut is the filter's cut of them.
TEST(ProgramFeed, PropertyDamagedStreamsAreCutAsTheAlignerFindsThem)
{
    // The first 1200 packets: the tables and the streams of every program.
    const Bytes clean = Slice(MakeProgramStream(true), 0, 1200 * kTsPacketSize);
    const unsigned base = BaseSeed(20261211u);
    int cutSome = 0;
    for (unsigned c = 0; c < 40; ++c)
    {
        const unsigned seed = base + c;
        std::mt19937 rng(seed);
        auto below = [&rng](unsigned limit) { return static_cast<size_t>(rng() % limit); };
        // A third of them begin inside a packet: the tail of packet 500.
        const size_t tail = below(3) == 0 ? 1 + below(187) : 0;
        Bytes damaged = Join({Slice(clean, 501 * kTsPacketSize - tail, tail), clean});
        for (int d = static_cast<int>(below(12)); d > 0; --d)
        {
            const size_t where = below(static_cast<unsigned>(damaged.size()));
            switch (below(4))
            {
            case 0: damaged.insert(damaged.begin() + static_cast<long>(where), static_cast<unsigned char>(rng())); break;
            case 1: damaged.erase(damaged.begin() + static_cast<long>(where)); break;
            case 2:
            {
                Bytes garbage(1 + below(600));
                for (unsigned char& byte : garbage)
                    byte = static_cast<unsigned char>(below(8) == 0 ? kTsSyncByte : rng());
                damaged.insert(damaged.begin() + static_cast<long>(where), garbage.begin(), garbage.end());
                break;
            }
            default:
            {
                const size_t lost = std::min(damaged.size() - where, 1 + below(500));
                damaged.erase(damaged.begin() + static_cast<long>(where), damaged.begin() + static_cast<long>(where + lost));
                break;
            }
            }
        }
        std::vector<int> sizes(1 + below(6));
        for (int& size : sizes)
            size = below(3) == 0 ? kTsPacketSize * static_cast<int>(1 + below(100)) : static_cast<int>(1 + below(3000));

        const Bytes found = AlignerPackets(damaged);
        Bytes source;
        const Bytes cut = Cut(damaged, sizes, &source, false);
        ASSERT_TRUE(source == found) << "seed " << seed << " (TOVRIN_TEST_SEED=" << seed
                                     << " replays it first): the whole-stream side saw " << source.size()
                                     << " bytes, the aligner found " << found.size();
        ASSERT_TRUE(cut == FilterOf(found)) << "seed " << seed << ": the cut differs from the filter's cut of "
                                            << "the packets the aligner found";
        cutSome += cut.size() > 100 * kTsPacketSize;
    }
    EXPECT_GT(cutSome, 30) << "the damage left too little of the cut to show anything";
}

// What the dialog reads while the stream runs: the search is on from a block
// that ends without a sync byte until the next sync byte, and every byte
// dropped in front of one counts, until Reset.
TEST(ProgramFeed, SaysWhileItSearchesAndCountsWhatItDropped)
{
    const Bytes stream = MakeProgramStream(true);
    const Bytes noSync(300, 0x46);
    struct Step
    {
        const char* name;
        Bytes block;
        bool searching;
        uint64_t dropped;
    };
    const Step steps[] = {
        {"ten packets in phase", Slice(stream, 0, 10 * kTsPacketSize), false, 0},
        {"188 bytes without a sync byte", Slice(noSync, 0, 188), true, 188},
        {"100 more", Slice(noSync, 0, 100), true, 288},
        {"a packet", Slice(stream, 10 * kTsPacketSize, kTsPacketSize), false, 288},
        {"30 bytes, then packets", Join({Slice(noSync, 0, 30), Slice(stream, 11 * kTsPacketSize, 5 * kTsPacketSize)}),
         false, 318},
        {"a packet and half of the next", Slice(stream, 16 * kTsPacketSize, 282), false, 318},
        {"the other half with a stray byte in it",
         Join({Slice(stream, 17 * kTsPacketSize + 94, 40), {0x00}, Slice(stream, 17 * kTsPacketSize + 134, 148)}),
         false, 319},
        {"the rest of the packet and 5 bytes of the next", Slice(stream, 18 * kTsPacketSize + 94, 99), false, 319},
        {"183 bytes that complete it unexamined, 117 without a sync byte", Slice(noSync, 0, 300), true, 319 + 117},
    };
    auto feed = std::make_unique<CProgramFeed>();
    feed->Reset(kSelection);
    CCollector collector;
    std::atomic<int32_t> present{-1};
    for (const Step& step : steps)
    {
        feed->Feed(collector, step.block.data(), static_cast<int>(step.block.size()), present);
        EXPECT_EQ(feed->Searching(), step.searching) << step.name;
        EXPECT_EQ(feed->BytesDropped(), step.dropped) << step.name;
    }
    feed->Reset(kSelection);
    EXPECT_FALSE(feed->Searching());
    EXPECT_EQ(feed->BytesDropped(), 0u);
}

TEST(ProgramFeed, ResetForgetsACutPacket)
{
    const Bytes stream = MakeProgramStream(true);
    auto feed = std::make_unique<CProgramFeed>();
    const SProgramSelection selection = Select({kFirstProgramNumber});
    std::atomic<int32_t> present{-1};

    CCollector whole;
    feed->Reset(selection);
    feed->Feed(whole, stream.data(), static_cast<int>(stream.size()), present);

    // Half a packet, then a new run over the whole stream: the new run's
    // output is the same as a fresh one's, with no byte of the half packet.
    CCollector restarted;
    feed->Reset(selection);
    feed->Feed(restarted, stream.data() + 5 * kTsPacketSize, kTsPacketSize / 2, present);
    restarted.bytes.clear();
    feed->Reset(selection);
    feed->Feed(restarted, stream.data(), static_cast<int>(stream.size()), present);
    EXPECT_EQ(restarted.bytes, whole.bytes);
}

}  // namespace
