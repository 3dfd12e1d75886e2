// The program stage of the traffic path: host blocks of any length give the
// same cut stream as blocks of whole packets, since a packet that one block
// cuts off is completed by the next.
//
//   host blocks (bytes)          | expected
//   whole packets, 7 at a time   | the reference output
//   1, 100, 187, 189, 1000, odd  | the same bytes, in the same order; the
//                                | whole-stream side sees every source packet
//   a Reset between two halves   | nothing of the first half's cut packet

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

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

// The cut stream; `source` gets what the whole-stream side saw.
std::vector<unsigned char> Cut(const std::vector<unsigned char>& stream, const std::vector<int>& blockSizes,
                               std::vector<unsigned char>* source = nullptr)
{
    auto feed = std::make_unique<CProgramFeed>();
    feed->Reset(Select({kFirstProgramNumber + 1, kFirstProgramNumber + 4}));
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
    EXPECT_EQ(present.load(), 2);
    return collector.bytes;
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
        std::vector<unsigned char> source;
        EXPECT_EQ(Cut(stream, sizes, &source), reference);
        EXPECT_TRUE(source == stream) << "the whole-stream side saw " << source.size() << " bytes of "
                                      << stream.size() << ", or not in order";
    }
}

TEST(ProgramFeed, ResetForgetsACutPacket)
{
    const std::vector<unsigned char> stream = MakeProgramStream(true);
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
