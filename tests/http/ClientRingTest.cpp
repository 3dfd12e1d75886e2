#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "http/ClientRing.h"

namespace {

// Packet `n` of a numbered stream: sync byte, then n in every other byte,
// so that a packet out of place or cut anywhere shows.
void MakePacket(uint32_t n, unsigned char* packet)
{
    packet[0] = kTsSyncByte;
    for (int i = 1; i < kTsPacketSize; ++i)
        packet[i] = static_cast<unsigned char>((n >> (8 * (i % 4))) + static_cast<uint32_t>(i));
}

std::vector<unsigned char> MakePackets(uint32_t first, int count)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(count) * kTsPacketSize);
    for (int i = 0; i < count; ++i)
        MakePacket(first + static_cast<uint32_t>(i), &bytes[static_cast<size_t>(i) * kTsPacketSize]);
    return bytes;
}

std::vector<unsigned char> TakeAll(CClientRing& ring)
{
    std::vector<unsigned char> taken;
    const unsigned char* data;
    while (size_t length = ring.Peek(data))
    {
        taken.insert(taken.end(), data, data + length);
        ring.Consume(length);
    }
    return taken;
}

TEST(ClientRing, WrapsAroundBetweenPackets)
{
    CClientRing ring(10);
    EXPECT_EQ(ring.Capacity(), 10u * kTsPacketSize);
    const auto first = MakePackets(0, 7);
    ASSERT_TRUE(ring.AppendPackets(first.data(), 7));
    EXPECT_EQ(TakeAll(ring), first);

    // Seven more: three fit before the end of the memory, four after it.
    const auto second = MakePackets(7, 7);
    ASSERT_TRUE(ring.AppendPackets(second.data(), 7));
    EXPECT_EQ(ring.Buffered(), 7u * kTsPacketSize);
    const unsigned char* data;
    EXPECT_EQ(ring.Peek(data), 3u * kTsPacketSize);
    EXPECT_EQ(std::memcmp(data, second.data(), 3 * kTsPacketSize), 0);
    ring.Consume(kTsPacketSize + 5); // a part of a packet: the rest stays
    EXPECT_EQ(ring.Peek(data), 2u * kTsPacketSize - 5);
    ring.Consume(2 * kTsPacketSize - 5);
    EXPECT_EQ(ring.Peek(data), 4u * kTsPacketSize);
    EXPECT_EQ(std::memcmp(data, &second[3 * kTsPacketSize], 4 * kTsPacketSize), 0);
    ring.Consume(1u << 30); // more than there is: only what there is
    EXPECT_EQ(ring.Buffered(), 0u);
    EXPECT_EQ(ring.Peek(data), 0u);
    EXPECT_FALSE(ring.Overflowed());
}

TEST(ClientRing, AWholeRingBehindOverflowsForGoodAndTakesNoPartOfABatch)
{
    CClientRing ring(10);
    const auto packets = MakePackets(0, 11);
    EXPECT_TRUE(ring.AppendPackets(packets.data(), 0));
    ASSERT_TRUE(ring.AppendPackets(packets.data(), 8));
    // Three do not fit beside eight: none of them is taken.
    EXPECT_FALSE(ring.AppendPackets(&packets[8 * kTsPacketSize], 3));
    EXPECT_TRUE(ring.Overflowed());
    EXPECT_EQ(ring.Buffered(), 8u * kTsPacketSize);
    // Room again does not undo it: the client has lost packets.
    EXPECT_EQ(TakeAll(ring), std::vector<unsigned char>(packets.begin(), packets.begin() + 8 * kTsPacketSize));
    EXPECT_FALSE(ring.AppendPackets(packets.data(), 1));
    EXPECT_EQ(ring.Buffered(), 0u);

    CClientRing exact(10);
    EXPECT_TRUE(exact.AppendPackets(packets.data(), 10));
    EXPECT_FALSE(exact.Overflowed());
    EXPECT_FALSE(exact.AppendPackets(packets.data(), 1));
    EXPECT_TRUE(exact.Overflowed());

    CClientRing tooMany(10);
    EXPECT_FALSE(tooMany.AppendPackets(packets.data(), 11));
    EXPECT_EQ(tooMany.Buffered(), 0u);
}

// The traffic thread appends batches of 1..7 packets; the server thread takes
// pieces of any size. Everything arrives, in order, through many wraps.
TEST(ClientRing, ProducerAndConsumerThreadsPassEveryPacketInOrder)
{
    constexpr uint32_t kPackets = 200000;
    CClientRing ring(61); // a prime count: batches end at every offset
    std::thread producer([&] {
        unsigned char batch[7 * kTsPacketSize];
        uint32_t next = 0;
        int size = 1;
        while (next < kPackets)
        {
            const int count = static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(size), kPackets - next));
            // The test's producer waits for room, so that nothing overflows;
            // the module's drops the client instead.
            while (ring.Capacity() - ring.Buffered() < static_cast<size_t>(count) * kTsPacketSize)
                std::this_thread::yield();
            for (int i = 0; i < count; ++i)
                MakePacket(next + static_cast<uint32_t>(i), batch + i * kTsPacketSize);
            ASSERT_TRUE(ring.AppendPackets(batch, count));
            next += static_cast<uint32_t>(count);
            size = size % 7 + 1;
        }
    });

    std::vector<unsigned char> packet(kTsPacketSize);
    unsigned char expected[kTsPacketSize];
    uint64_t received = 0;
    size_t piece = 1;
    while (received < uint64_t{kPackets} * kTsPacketSize)
    {
        const unsigned char* data;
        size_t length = ring.Peek(data);
        if (length == 0)
        {
            std::this_thread::yield();
            continue;
        }
        length = std::min(length, piece);
        piece = piece * 7 % 1999 + 1;
        for (size_t i = 0; i < length; ++i, ++received)
        {
            const size_t at = static_cast<size_t>(received % kTsPacketSize);
            if (at == 0)
                MakePacket(static_cast<uint32_t>(received / kTsPacketSize), expected);
            ASSERT_EQ(data[i], expected[at]) << "byte " << received;
        }
        ring.Consume(length);
    }
    producer.join();
    EXPECT_FALSE(ring.Overflowed());
    EXPECT_EQ(ring.Buffered(), 0u);
}

// A consumer that stops taking: the producer never waits, the ring overflows,
// and what the consumer then reads is an unbroken start of the stream.
TEST(ClientRing, AStalledConsumerOverflowsTheRingWithoutBlockingTheProducer)
{
    CClientRing ring(100);
    std::thread producer([&] {
        unsigned char batch[7 * kTsPacketSize];
        for (uint32_t next = 0; next < 7000; next += 7)
        {
            for (int i = 0; i < 7; ++i)
                MakePacket(next + static_cast<uint32_t>(i), batch + i * kTsPacketSize);
            ring.AppendPackets(batch, 7);
        }
    });
    // Take a little while the producer runs, then nothing.
    std::vector<unsigned char> taken;
    const unsigned char* data;
    for (int i = 0; i < 3; ++i)
    {
        const size_t length = std::min<size_t>(ring.Peek(data), 500);
        taken.insert(taken.end(), data, data + length);
        ring.Consume(length);
    }
    producer.join();
    EXPECT_TRUE(ring.Overflowed());
    const auto rest = TakeAll(ring);
    taken.insert(taken.end(), rest.begin(), rest.end());
    ASSERT_EQ(taken.size() % kTsPacketSize, 0u);
    EXPECT_EQ(taken, MakePackets(0, static_cast<int>(taken.size() / kTsPacketSize)));
    EXPECT_LE(taken.size(), 7000u * kTsPacketSize);
}

// A ring the system has no memory for: no exception (it would end the host
// from the server thread), only a capacity of 0 that the server refuses.
// (Natively the sanitizer is told to return null rather than stop:
// allocator_may_return_null, set for this test program.)
TEST(ClientRing, NoMemoryGivesARingOfNoCapacityInsteadOfAnException)
{
    const size_t impossible[] = {SIZE_MAX / kTsPacketSize, SIZE_MAX / kTsPacketSize + 1, SIZE_MAX};
    for (size_t packets : impossible)
    {
        CClientRing ring(packets);
        EXPECT_EQ(ring.Capacity(), 0u) << packets;
    }
}

} // namespace
