#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "http/StreamRing.h"

namespace {

// The byte at `position` of a numbered stream: packet n = position / 188
// starts with the sync byte, then carries n in every byte, so that a byte
// from another lap, another packet or another offset shows.
unsigned char StreamByte(uint64_t position)
{
    const uint64_t packet = position / kTsPacketSize;
    const int at = static_cast<int>(position % kTsPacketSize);
    if (at == 0)
        return kTsSyncByte;
    return static_cast<unsigned char>((packet >> (8 * (at % 4))) * 31 + static_cast<uint64_t>(at));
}

std::vector<unsigned char> MakePackets(uint64_t first, int count)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(count) * kTsPacketSize);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = StreamByte(first * kTsPacketSize + i);
    return bytes;
}

// Appends packets first .. first + count - 1 of the numbered stream.
void Append(CStreamRing& ring, uint64_t first, int count)
{
    const auto packets = MakePackets(first, count);
    ring.AppendPackets(packets.data(), count);
}

// Where `bytes`, read from `from` on, first differ from the stream; -1: nowhere.
long long FirstWrongByte(const unsigned char* bytes, size_t length, uint64_t from)
{
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != StreamByte(from + i))
            return static_cast<long long>(i);
    return -1;
}

// The memory is 8-byte words and a packet 23.5 of them: packets alternate
// between starting on a word and half-way into one, and appends of one or
// two start either way. Whatever the ring's size (an odd number of packets
// ends its memory half-way into a word) and the appends, every byte still in
// the ring reads back from any position.
TEST(StreamRing, EveryByteReadsBackWhereverItsWordIsShared)
{
    const int batches[] = {1, 2, 3, 1, 7, 1, 1, 4, 2, 5};
    for (size_t packets : {1u, 2u, 3u, 5u, 8u})
    {
        CStreamRing ring(packets);
        uint64_t next = 0;
        for (int count : batches)
        {
            Append(ring, next, count);
            next += static_cast<uint64_t>(count);
            const uint64_t written = ring.Written();
            const uint64_t oldest = written > ring.Capacity() ? written - ring.Capacity() : 0;
            std::vector<unsigned char> out(ring.Capacity());
            for (uint64_t from = oldest; from < written; ++from)
            {
                const size_t n = ring.CopyOut(from, out.data(), out.size());
                ASSERT_EQ(n, written - from) << packets << " packets, from " << from;
                ASSERT_EQ(FirstWrongByte(out.data(), n, from), -1) << packets << " packets, from " << from;
            }
        }
    }
}

TEST(StreamRing, ReadersAtTheirOwnPositionsReadAcrossTheEndOfTheMemory)
{
    CStreamRing ring(10);
    EXPECT_EQ(ring.Capacity(), 10u * kTsPacketSize);
    unsigned char out[20 * kTsPacketSize];
    EXPECT_EQ(ring.CopyOut(0, out, sizeof out), 0u) << "nothing written yet";
    Append(ring, 0, 7);
    const uint64_t late = ring.Written();  // a reader that joins here
    EXPECT_EQ(late, 7u * kTsPacketSize);
    Append(ring, 7, 7);                     // three before the end of the memory, four after it

    // The early reader takes its bytes in pieces of any size, the last
    // piece across the end of the memory.
    uint64_t early = 0;
    EXPECT_EQ(ring.CopyOut(early, out, 5), kRingLapped) << "7 packets were written over its first 4";
    early = 4 * kTsPacketSize;
    size_t n = ring.CopyOut(early, out, kTsPacketSize + 5);
    ASSERT_EQ(n, kTsPacketSize + 5);
    EXPECT_EQ(FirstWrongByte(out, n, early), -1);
    early += n;
    n = ring.CopyOut(early, out, sizeof out);
    ASSERT_EQ(n, 14u * kTsPacketSize - early);
    EXPECT_EQ(FirstWrongByte(out, n, early), -1);
    early += n;
    EXPECT_EQ(ring.CopyOut(early, out, sizeof out), 0u);

    // The late one, from its join, in one copy that wraps.
    n = ring.CopyOut(late, out, sizeof out);
    ASSERT_EQ(n, 7u * kTsPacketSize);
    EXPECT_EQ(FirstWrongByte(out, n, late), -1);
    EXPECT_EQ(ring.CopyOut(late, out, 0), 0u);
}

// A reader may be exactly a whole ring behind and still read every byte;
// one packet more and the first of its bytes is gone: it is told so, before
// and after a copy, and stays told.
TEST(StreamRing, AReaderAWholeRingBehindIsLappedByTheNextPacketNotBefore)
{
    CStreamRing ring(10);
    Append(ring, 0, 3);
    const uint64_t reader = ring.Written();
    Append(ring, 3, 6);
    Append(ring, 9, 4);  // 10 packets beyond the reader: the ring is full of its bytes
    EXPECT_FALSE(ring.Lapped(reader));
    unsigned char out[10 * kTsPacketSize];
    ASSERT_EQ(ring.CopyOut(reader, out, sizeof out), sizeof out);
    EXPECT_EQ(FirstWrongByte(out, sizeof out, reader), -1);

    Append(ring, 13, 1);
    EXPECT_TRUE(ring.Lapped(reader));
    EXPECT_EQ(ring.CopyOut(reader, out, 1), kRingLapped);
    EXPECT_FALSE(ring.Lapped(reader + kTsPacketSize)) << "a reader one packet further is still whole";
    Append(ring, 14, 100);
    EXPECT_TRUE(ring.Lapped(reader));

    // A batch longer than the ring leaves its last ring's worth.
    const uint64_t before = ring.Written();
    Append(ring, 114, 23);
    EXPECT_EQ(ring.Written(), before + 23u * kTsPacketSize);
    const uint64_t oldest = ring.Written() - ring.Capacity();
    ASSERT_EQ(ring.CopyOut(oldest, out, sizeof out), sizeof out);
    EXPECT_EQ(FirstWrongByte(out, sizeof out, oldest), -1);
}

// The race at the boundary: the writer laps the reader while it copies (here
// made to happen, in the middle of the copy). The bytes copied are then torn
// and must be refused, although the reader was whole when the copy began.
TEST(StreamRing, AWriterLappingTheReaderDuringTheCopyIsCaughtAfterIt)
{
    struct SCase
    {
        const char* name;
        int writtenBehind;  // packets the reader has unread when it starts
        int lapBy;          // packets the writer appends during the copy
        bool lapped;
    };
    const SCase cases[] = {
        {"the writer fills the ring up to the reader", 6, 4, false},
        {"one packet over the reader's first byte", 6, 5, true},
        {"far over it", 2, 30, true},
        {"a reader with the ring full, one packet", 10, 1, true},
    };
    for (const SCase& c : cases)
    {
        CStreamRing ring(10);
        Append(ring, 0, 5);
        const uint64_t reader = ring.Written();
        Append(ring, 5, c.writtenBehind);
        uint64_t next = 5 + static_cast<uint64_t>(c.writtenBehind);
        std::vector<unsigned char> out(ring.Capacity());
        bool wrote = false;
        const size_t n = ring.CopyOutWith(reader, out.size(), [&](size_t at, size_t offset, size_t length) {
            // Half of the first piece, then the writer, then the rest.
            const size_t half = wrote ? 0 : length / 2;
            ring.ReadBytes(offset, &out[at], half);
            if (!wrote)
            {
                Append(ring, next, c.lapBy);
                next += static_cast<uint64_t>(c.lapBy);
                wrote = true;
            }
            ring.ReadBytes(offset + half, &out[at + half], length - half);
        });
        EXPECT_TRUE(wrote) << c.name;
        if (c.lapped)
        {
            EXPECT_EQ(n, kRingLapped) << c.name;
            EXPECT_TRUE(ring.Lapped(reader)) << c.name;
        }
        else
        {
            ASSERT_EQ(n, static_cast<size_t>(c.writtenBehind) * kTsPacketSize) << c.name;
            EXPECT_EQ(FirstWrongByte(out.data(), n, reader), -1) << c.name;
        }
    }
}

// Against a model, one thread, seeded: a writer appending batches of 1..7
// packets and readers at speeds far apart (some of them stalling), each
// joining at the written end, copying pieces of any size, now and then with
// the writer lapping it mid-copy. Every reader must get exactly the stream
// from its join on, and be told it is lapped exactly when the writer has
// claimed more than a ring beyond its position; a lapped reader joins again.
TEST(StreamRing, ManyReadersAtRandomSpeedsMatchTheModel)
{
    for (uint32_t seed = 1; seed <= 20; ++seed)
    {
        std::mt19937 random(seed);
        const size_t packets = 3 + random() % 40;
        CStreamRing ring(packets);
        struct SReader
        {
            uint64_t Position;
            uint32_t Speed;  // out of 1000: chance of a copy when picked (the first reader nearly stalls)
            uint64_t Taken = 0;
            int Laps = 0;
        };
        std::vector<SReader> readers;
        for (int r = 0; r < 12; ++r)
            readers.push_back({0, static_cast<uint32_t>(r == 0 ? 20 : 1 + random() % 999)});
        uint64_t nextPacket = 0;
        uint64_t claimed = 0;  // the model's: packets written or being written, in bytes
        std::vector<unsigned char> out(ring.Capacity() + 7 * kTsPacketSize);
        for (int step = 0; step < 4000; ++step)
        {
            if (random() % 3 == 0)
            {
                const int count = 1 + static_cast<int>(random() % 7);
                Append(ring, nextPacket, count);
                nextPacket += static_cast<uint64_t>(count);
                claimed = nextPacket * kTsPacketSize;
                ASSERT_EQ(ring.Written(), claimed);
            }
            SReader& reader = readers[random() % readers.size()];
            if (random() % 1000 >= reader.Speed)
                continue;
            const size_t room = 1 + random() % out.size();
            const bool lapMidway = random() % 8 == 0;
            const uint64_t writtenAtStart = ring.Written();
            uint64_t claimedAtEnd = claimed;
            bool wroteMidway = false;
            const size_t n = ring.CopyOutWith(reader.Position, room, [&](size_t at, size_t offset, size_t length) {
                ring.ReadBytes(offset, &out[at], length);
                if (lapMidway && !wroteMidway)
                {
                    const int count = 1 + static_cast<int>(random() % 7);
                    Append(ring, nextPacket, count);
                    nextPacket += static_cast<uint64_t>(count);
                    claimedAtEnd = nextPacket * kTsPacketSize;
                    wroteMidway = true;
                }
            });
            claimed = claimedAtEnd;
            const bool modelLapped = claimed - reader.Position > ring.Capacity();
            ASSERT_EQ(n == kRingLapped, modelLapped) << "seed " << seed << " step " << step;
            if (n == kRingLapped)
            {
                reader.Position = ring.Written();  // dropped; a new viewer joins at the written end
                ++reader.Laps;
                continue;
            }
            ASSERT_LE(reader.Position + n, writtenAtStart) << "only what was published, seed " << seed;
            ASSERT_EQ(FirstWrongByte(out.data(), n, reader.Position), -1) << "seed " << seed << " step " << step;
            reader.Position += n;
            reader.Taken += n;
        }
        EXPECT_GT(readers[0].Laps, 0) << "the nearly stalled reader is lapped, seed " << seed;
        uint64_t taken = 0;
        for (const SReader& reader : readers)
            taken += reader.Taken;
        EXPECT_GT(taken, 0u) << "seed " << seed;
    }
}

// The same with real threads: a writer that never waits, a ring of a few
// packets so that it laps the readers all the time, and readers on threads
// of their own at speeds far apart. No copy that CopyOut accepts may hold a
// byte of another lap, and none it refuses may have been whole.
TEST(StreamRing, ConcurrentReadersNeverAcceptOverwrittenBytes)
{
    CStreamRing ring(5);
    constexpr uint64_t kPackets = 150000;
    std::atomic<bool> done{false};
    std::atomic<long long> wrong{0};
    std::atomic<long long> falseLaps{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> laps{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
    {
        readers.emplace_back([&, r] {
            std::mt19937 random(static_cast<uint32_t>(r + 1));
            std::vector<unsigned char> out(ring.Capacity());
            uint64_t position = ring.Written();
            while (!done.load(std::memory_order_relaxed))
            {
                const size_t n = ring.CopyOut(position, out.data(), 1 + random() % out.size());
                if (n == kRingLapped)
                {
                    if (!ring.Lapped(position))
                        ++falseLaps;
                    ++laps;
                    position = ring.Written();
                    continue;
                }
                if (FirstWrongByte(out.data(), n, position) >= 0)
                    ++wrong;
                position += n;
                accepted += n;
                for (uint32_t pause = random() % (r * 200 + 1); pause > 0; --pause)
                    std::atomic_signal_fence(std::memory_order_seq_cst);
            }
        });
    }
    std::vector<unsigned char> batch(7 * kTsPacketSize);
    for (uint64_t next = 0; next < kPackets;)
    {
        const int count = static_cast<int>(1 + next % 7);
        for (size_t i = 0; i < static_cast<size_t>(count) * kTsPacketSize; ++i)
            batch[i] = StreamByte(next * kTsPacketSize + i);
        ring.AppendPackets(batch.data(), count);
        next += static_cast<uint64_t>(count);
    }
    done = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(wrong.load(), 0) << "copies with bytes of another lap were accepted";
    EXPECT_EQ(falseLaps.load(), 0);
    EXPECT_GT(accepted.load() + laps.load(), 0u);
}

// A ring the system has no memory for: no exception (it would end the host
// from the server thread), only a capacity of 0 that the server refuses.
// (Natively the sanitizer is told to return null rather than stop:
// allocator_may_return_null, set for this test program.)
TEST(StreamRing, NoMemoryGivesARingOfNoCapacityInsteadOfAnException)
{
    const size_t impossible[] = {SIZE_MAX / kTsPacketSize, SIZE_MAX / kTsPacketSize + 1, SIZE_MAX};
    for (size_t packets : impossible)
    {
        CStreamRing ring(packets);
        EXPECT_EQ(ring.Capacity(), 0u) << packets;
        Append(ring, 0, 1);  // refused quietly
        EXPECT_EQ(ring.Written(), 0u);
    }
}

} // namespace
