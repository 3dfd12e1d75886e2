// The aligner: the exact deliveries for the host's 188-byte feed, the hard
// cases one by one, a seeded property run over many random streams and
// piece cuttings, and input that must never make it touch foreign memory.
//
// Deliveries are written as a short text, one word per ReceiveAlignedTraffic
// call: "piece@OFFSET:LENGTH" (the caller's bytes), "buffer@OFFSET:LENGTH"
// (m_Buffer) or "empty" (length 0, wherever it points).

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AlignerProbe.h"
#include "ByteStrings.h"
#include "ts/TsAligner.h"

using probe::Delivery;
using probe::ProbeAligner;
using probe::Source;
using bytes::Bytes;
using bytes::BaseSeed;
using bytes::Join;
using bytes::Slice;

namespace {

std::string Shape(const std::vector<Delivery>& calls)
{
    std::string text;
    for (const Delivery& call : calls)
    {
        if (!text.empty())
            text += ' ';
        if (call.length == 0)
            text += "empty";
        else
            text += std::string(probe::SourceName(call.source)) + "@" + std::to_string(call.offset) + ":" +
                    std::to_string(call.length);
    }
    return text;
}

// Packets whose payload never holds 0x47, so a sync byte is found only where
// a packet starts; `seed` makes the packets of one test tell apart.
Bytes Packets(int count, int seed)
{
    Bytes bytes;
    for (int p = 0; p < count; ++p)
    {
        bytes.push_back(0x47);
        for (int i = 1; i < kTsPacketSize; ++i)
            bytes.push_back(static_cast<unsigned char>((seed * 31 + p * 7 + i) % 0x40));
    }
    return bytes;
}

}  // namespace

TEST(TsAligner, StartsEmptyWithAChunkOfOnePacket)
{
    ProbeAligner aligner;
    EXPECT_EQ(aligner.ChunkSize(), 188);
    EXPECT_EQ(aligner.Buffered(), 0);
}

TEST(TsAligner, NewAlignerPassesOneInPhasePacketStraightFromTheCaller)
{
    ProbeAligner aligner;
    Bytes piece = Packets(1, 1);
    aligner.Feed(piece.data(), 188);
    EXPECT_EQ(Shape(aligner.calls), "piece@0:188");
    EXPECT_EQ(aligner.Buffered(), 0);
    EXPECT_EQ(aligner.delivered, piece);
}

// The host's feed, one packet per call, in phase: for N = 1 each packet goes
// out at once from the caller's memory; for N > 1 it is gathered and every
// N-th packet sends the buffer, each call ending with one empty delivery.
TEST(TsAligner, InPhasePacketFeedForEveryChunkSize)
{
    for (int n = 1; n <= 7; ++n)
    {
        SCOPED_TRACE("N " + std::to_string(n));
        ProbeAligner aligner;
        aligner.SetChunkSize(n * 188);
        const Bytes stream = Packets(2 * n + 1, n);
        for (int i = 0; i < 2 * n + 1; ++i)
        {
            SCOPED_TRACE("packet " + std::to_string(i + 1));
            Bytes piece = Slice(stream, static_cast<size_t>(i) * 188, 188);
            aligner.Feed(piece.data(), 188);
            std::string expected;
            if (n == 1)
                expected = "piece@0:188";
            else if ((i + 1) % n == 0)
                expected = "buffer@0:" + std::to_string(n * 188) + " empty";
            else
                expected = "empty";
            EXPECT_EQ(Shape(aligner.calls), expected);
            EXPECT_EQ(aligner.Buffered(), n == 1 ? 0 : ((i + 1) % n) * 188);
        }
        const int wholeChunks = (2 * n + 1) / n;
        EXPECT_EQ(aligner.delivered, Slice(stream, 0, static_cast<size_t>(wholeChunks * n) * 188));
    }
}

TEST(TsAligner, SevenPacketsFillTheBufferStepByStep)
{
    struct Step { int held; const char* calls; };
    const Step steps[] = {
        {188, "empty"}, {376, "empty"}, {564, "empty"}, {752, "empty"},
        {940, "empty"}, {1128, "empty"}, {0, "buffer@0:1316 empty"},
    };
    ProbeAligner aligner;
    aligner.SetChunkSize(1316);
    const Bytes stream = Packets(7, 3);
    for (int i = 0; i < 7; ++i)
    {
        Bytes piece = Slice(stream, static_cast<size_t>(i) * 188, 188);
        aligner.Feed(piece.data(), 188);
        EXPECT_EQ(Shape(aligner.calls), steps[i].calls) << "packet " << i + 1;
        EXPECT_EQ(aligner.Buffered(), steps[i].held) << "packet " << i + 1;
    }
    EXPECT_EQ(aligner.delivered, stream);
}

// N = 3, the first sync byte at position 10 of the first piece: the aligner
// drops 10 bytes, then follows the new packet boundaries.
TEST(TsAligner, LeadingBytesAreDroppedAndTheNewPhaseFollowed)
{
    const Bytes garbage(10, 0x11);
    const Bytes stream = Join({garbage, Packets(4, 5)});
    struct Step { const char* calls; int held; };
    const Step steps[] = {
        {"empty", 178},
        {"empty", 366},
        {"empty", 554},
        {"buffer@0:564 empty", 178},  // 10 bytes complete the chunk, the rest begins with 0x47
    };
    ProbeAligner aligner;
    aligner.SetChunkSize(564);
    for (int i = 0; i < 4; ++i)
    {
        Bytes piece = Slice(stream, static_cast<size_t>(i) * 188, 188);
        aligner.Feed(piece.data(), 188);
        EXPECT_EQ(Shape(aligner.calls), steps[i].calls) << "piece " << i + 1;
        EXPECT_EQ(aligner.Buffered(), steps[i].held) << "piece " << i + 1;
    }
    EXPECT_EQ(aligner.delivered, Slice(stream, 10, 564));
    EXPECT_EQ(Bytes(aligner.Buffer(), aligner.Buffer() + 178), Slice(stream, 574, 178));
}

TEST(TsAligner, PieceWithoutSyncByteIsDroppedWhole)
{
    for (int n : {1, 3, 7})
    {
        ProbeAligner aligner;
        aligner.SetChunkSize(n * 188);
        Bytes piece(188, 0x46);
        aligner.Feed(piece.data(), 188);
        EXPECT_EQ(Shape(aligner.calls), "empty") << "N " << n;
        EXPECT_EQ(aligner.Buffered(), 0) << "N " << n;
        EXPECT_TRUE(aligner.delivered.empty()) << "N " << n;
    }
}

// A 0x47 in the payload, reached by the sync search, starts a packet; the
// following bytes complete the chunk unexamined.
TEST(TsAligner, PayloadByteOfSyncValueIsTakenAsPacketStart)
{
    ProbeAligner aligner;  // one packet per chunk
    Bytes first(188, 0x20);
    first[5] = 0x47;
    aligner.Feed(first.data(), 188);
    EXPECT_EQ(Shape(aligner.calls), "empty");
    EXPECT_EQ(aligner.Buffered(), 183);

    Bytes second = Packets(1, 9);
    aligner.Feed(second.data(), 188);
    EXPECT_EQ(Shape(aligner.calls), "buffer@0:188 empty");
    EXPECT_EQ(aligner.delivered, Join({Slice(first, 5, 183), Slice(second, 0, 5)}));
    EXPECT_EQ(aligner.Buffered(), 0);  // byte 5 of the packet is not 0x47: the rest is dropped
}

TEST(TsAligner, HeldChunkCompletedByForeignBytesIsDeliveredUnchanged)
{
    ProbeAligner aligner;
    aligner.SetChunkSize(376);
    Bytes packet = Packets(1, 2);
    aligner.Feed(packet.data(), 188);
    Bytes foreign(188, 0x00);
    aligner.Feed(foreign.data(), 188);
    EXPECT_EQ(Shape(aligner.calls), "buffer@0:376 empty");
    EXPECT_EQ(aligner.delivered, Join({packet, foreign}));
}

TEST(TsAligner, ResetDropsHeldBytesAndTheNextPieceIsSyncedAfresh)
{
    ProbeAligner aligner;
    aligner.SetChunkSize(564);
    Bytes old = Packets(2, 4);
    aligner.Feed(old.data(), 376);
    ASSERT_EQ(aligner.Buffered(), 376);

    aligner.Reset();
    EXPECT_EQ(aligner.Buffered(), 0);
    EXPECT_EQ(aligner.ChunkSize(), 564);

    // Were the old bytes still held, this piece would complete them unexamined.
    const Bytes fresh = Join({Bytes(20, 0x33), Packets(4, 6)});
    Bytes piece = Slice(fresh, 0, 188);
    aligner.Feed(piece.data(), 188);
    EXPECT_EQ(Shape(aligner.calls), "empty");
    EXPECT_EQ(aligner.Buffered(), 168);

    for (size_t at = 188; at + 188 <= fresh.size(); at += 188)
    {
        Bytes next = Slice(fresh, at, 188);
        aligner.Feed(next.data(), 188);
    }
    EXPECT_EQ(aligner.delivered, Slice(fresh, 20, 564));
}

// Calls that bring no bytes: the held count stays, one empty delivery.
TEST(TsAligner, CallsWithoutBytesKeepWhatIsHeld)
{
    Bytes some = Packets(1, 7);
    struct Case { const char* name; unsigned char* data; int length; };
    const Case cases[] = {
        {"length 0", some.data(), 0},
        {"null pointer, length 0", nullptr, 0},
        {"length -1", some.data(), -1},
        {"length INT_MIN", some.data(), INT_MIN},
        {"null pointer, length -188", nullptr, -188},
    };
    for (const Case& c : cases)
    {
        for (int held : {0, 188})
        {
            SCOPED_TRACE(std::string(c.name) + ", holding " + std::to_string(held));
            ProbeAligner aligner;
            aligner.SetChunkSize(376);
            if (held)
                aligner.Feed(some.data(), held);
            aligner.delivered.clear();
            aligner.Feed(c.data, c.length);
            EXPECT_EQ(Shape(aligner.calls), "empty");
            EXPECT_EQ(aligner.Buffered(), held);
            EXPECT_TRUE(aligner.delivered.empty());
            EXPECT_TRUE(aligner.violation.empty()) << aligner.violation;
        }
    }
}

TEST(TsAligner, InputLongerThanAChunkGoesOutInOneCallFromTheCaller)
{
    ProbeAligner aligner;
    aligner.SetChunkSize(376);
    Bytes input(1000);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = i == 0 ? 0x47 : static_cast<unsigned char>(i % 0x40);
    aligner.Feed(input.data(), 1000);
    EXPECT_EQ(Shape(aligner.calls), "piece@0:752");
    EXPECT_EQ(aligner.Buffered(), 248);
    EXPECT_EQ(Bytes(aligner.Buffer(), aligner.Buffer() + 248), Slice(input, 752, 248));
}

TEST(TsAligner, CompletionAndMoreInOneCall)
{
    ProbeAligner aligner;
    aligner.SetChunkSize(376);
    Bytes held = Packets(1, 8);
    aligner.Feed(held.data(), 188);
    ASSERT_EQ(aligner.Buffered(), 188);

    Bytes input(1000);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<unsigned char>(i % 0x40);
    input[0] = 0x47;    // completion bytes are not examined, even a sync value
    input[188] = 0x47;  // the 189th byte starts the next chunk
    aligner.delivered.clear();
    aligner.Feed(input.data(), 1000);
    EXPECT_EQ(Shape(aligner.calls), "buffer@0:376 piece@188:752");
    EXPECT_EQ(aligner.Buffered(), 60);
    EXPECT_EQ(aligner.delivered, Join({held, Slice(input, 0, 188), Slice(input, 188, 752)}));
    EXPECT_EQ(Bytes(aligner.Buffer(), aligner.Buffer() + 60), Slice(input, 940, 60));
}

// The module's walk over a host block: 188 bytes a step, and a trailing
// partial packet passes only the bytes that are there.
TEST(TsAligner, FeedInPacketStepsWalksTheBlockInPackets)
{
    const Bytes stream = Packets(3, 10);
    struct Case { const char* name; int length; bool null; const char* calls; int held; };
    const Case cases[] = {
        {"one packet", 188, false, "piece@0:188", 0},
        {"two packets", 376, false, "piece@0:188 piece@188:188", 0},
        {"two packets and a part", 400, false, "piece@0:188 piece@188:188 empty", 24},
        {"a part only", 100, false, "empty", 100},
        {"empty block", 0, false, "", 0},
        {"negative length", -188, false, "", 0},
        {"null block", 188, true, "", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ProbeAligner aligner;
        Bytes block = Slice(stream, 0, static_cast<size_t>(c.length > 0 ? c.length : 0));
        aligner.SetPiece(block.data(), static_cast<long>(block.size()));
        FeedInPacketSteps(aligner, c.null ? nullptr : block.data(), c.length);
        EXPECT_EQ(Shape(aligner.calls), c.calls);
        EXPECT_EQ(aligner.Buffered(), c.held);
        EXPECT_TRUE(aligner.violation.empty()) << aligner.violation;
    }
}

// Random valid streams behind random garbage, cut into random pieces (empty
// ones included) and fed for every N, directly and through the packet walk.
TEST(TsAligner, PropertyWholeChunksOfTheStreamLeaveInOrder)
{
    const unsigned base = BaseSeed(20240601u);
    for (unsigned c = 0; c < 400; ++c)
    {
        const unsigned seed = base + c;
        std::mt19937 rng(seed);
        auto below = [&rng](unsigned limit) { return static_cast<int>(rng() % limit); };

        Bytes garbage(static_cast<size_t>(below(3) == 0 ? 0 : below(700)));
        for (unsigned char& byte : garbage)
            byte = static_cast<unsigned char>(rng());
        Bytes payload(static_cast<size_t>(1 + below(600)));
        for (unsigned char& byte : payload)
            byte = static_cast<unsigned char>(below(4) == 0 ? 0x47 : rng());
        const Bytes stream = probe::BuildStream(garbage.data(), garbage.size(), payload.data(), payload.size(),
                                                static_cast<size_t>(below(40)));

        std::vector<int> lengths(static_cast<size_t>(1 + below(8)));
        for (int& length : lengths)
        {
            switch (below(5))
            {
            case 0: length = 0; break;
            case 1: length = 1 + below(187); break;
            case 2: length = 188 * (1 + below(7)); break;
            case 3: length = 188 * (1 + below(7)) + below(3) - 1; break;
            default: length = 1 + below(4000); break;
            }
        }
        if (std::all_of(lengths.begin(), lengths.end(), [](int length) { return length == 0; }))
            lengths.push_back(1 + below(400));

        for (int n = 1; n <= 7; ++n)
            for (bool packetSteps : {false, true})
            {
                const std::string failure = probe::CheckStreamProperty(stream, n, lengths, packetSteps);
                ASSERT_EQ(failure, "") << "seed " << seed << " (TOVRIN_TEST_SEED=" << seed
                                       << " replays it first), N " << n
                                       << (packetSteps ? ", packet walk" : ", direct");
            }
    }
}

// Arbitrary bytes, sync values dense, any chunk size 1..1316 (not only whole
// packets): every delivery must match the step-by-step model.
TEST(TsAligner, ArbitraryBytesFollowTheStepByStepModel)
{
    const unsigned base = BaseSeed(20240601u) + 1000000u;
    const int sizes[] = {1, 2, 100, 187, 188, 189, 376, 564, 752, 940, 1128, 1315, 1316};
    for (unsigned c = 0; c < 150; ++c)
    {
        const unsigned seed = base + c;
        std::mt19937 rng(seed);
        std::vector<Bytes> pieces(static_cast<size_t>(1 + rng() % 30));
        for (Bytes& piece : pieces)
        {
            piece.resize(rng() % 4 == 0 ? 0 : rng() % 3000);
            for (unsigned char& byte : piece)
                byte = rng() % 16 == 0 ? 0x47 : static_cast<unsigned char>(rng());
        }
        for (int size : sizes)
        {
            const std::string failure = probe::CheckAgainstModel(pieces, size);
            ASSERT_EQ(failure, "") << "seed " << seed << " (TOVRIN_TEST_SEED=" << seed - 1000000u
                                   << " replays it first), chunk " << size;
        }
    }
}

// A chunk size the buffer cannot hold must never get as far as m_Buffer's
// end. The probe lives on the heap so that a write past the whole object is
// caught by AddressSanitizer, and its guard word catches one inside it.
TEST(TsAligner, ChunkSizesOutsideTheBufferNeverOverrunIt)
{
    const int sizes[] = {0, -1, -188, 1317, 1504, 1 << 20, INT_MAX, INT_MIN};
    const Bytes stream = Join({Bytes(33, 0x10), Packets(30, 11)});
    const int lengths[] = {188, 0, 1317, 5, 2000, 188, 1316, 700, 188};
    for (int size : sizes)
    {
        SCOPED_TRACE("chunk size " + std::to_string(size));
        auto aligner = std::make_unique<ProbeAligner>();
        aligner->SetChunkSize(size);
        size_t at = 0;
        for (size_t i = 0; at < stream.size(); ++i)
        {
            const size_t take = std::min(static_cast<size_t>(lengths[i % 9]), stream.size() - at);
            Bytes piece = Slice(stream, at, take);
            aligner->Feed(piece.data(), static_cast<int>(take));
            at += take;
            ASSERT_TRUE(aligner->violation.empty()) << aligner->violation;
            for (const Delivery& call : aligner->calls)
            {
                EXPECT_GE(call.length, 0);
                if (size <= 0)
                {
                    EXPECT_EQ(call.length, 0);
                }
                else
                {
                    EXPECT_EQ(call.length % size, 0);
                }
                if (call.source == Source::Buffer)
                {
                    EXPECT_LE(call.offset + call.length, kMaxChunkSize);
                }
            }
            EXPECT_GE(aligner->Buffered(), 0);
            EXPECT_LE(aligner->Buffered(), kMaxChunkSize);
            EXPECT_TRUE(aligner->GuardIntact());
            EXPECT_EQ(aligner->ChunkSize(), size);
        }
    }
}

// The owner must not change the chunk size while bytes are held; if it ever
// does, what was held under the larger size must not be completed past the
// new one.
TEST(TsAligner, ChunkSizeLoweredWhileHoldingStaysInBounds)
{
    struct Case { int fromPackets; int heldPackets; int toSize; };
    const Case cases[] = {{7, 6, 188}, {7, 6, 376}, {7, 6, 1128}, {7, 3, 564}, {3, 2, 1}, {7, 6, 100}, {7, 1, 376}};
    const Bytes stream = Packets(20, 12);
    for (const Case& c : cases)
    {
        SCOPED_TRACE("from N " + std::to_string(c.fromPackets) + " holding " + std::to_string(c.heldPackets) +
                     " packets to chunk " + std::to_string(c.toSize));
        auto aligner = std::make_unique<ProbeAligner>();
        aligner->SetChunkSize(c.fromPackets * 188);
        for (int p = 0; p < c.heldPackets; ++p)
        {
            Bytes piece = Slice(stream, static_cast<size_t>(p) * 188, 188);
            aligner->Feed(piece.data(), 188);
        }
        ASSERT_EQ(aligner->Buffered(), c.heldPackets * 188);
        aligner->SetChunkSize(c.toSize);
        for (size_t at = static_cast<size_t>(c.heldPackets) * 188; at < stream.size(); at += 188)
        {
            Bytes piece = Slice(stream, at, 188);
            aligner->Feed(piece.data(), 188);
            ASSERT_TRUE(aligner->violation.empty()) << aligner->violation;
            EXPECT_EQ(probe::CheckCallShape(aligner->calls, c.toSize), "");
            EXPECT_GE(aligner->Buffered(), 0);
            EXPECT_LT(aligner->Buffered(), c.toSize);
            EXPECT_TRUE(aligner->GuardIntact());
        }
    }
}

// A held count that only a faulty owner could leave (below 0, at or beyond
// the chunk size) must not steer a copy outside m_Buffer.
TEST(TsAligner, CorruptHeldCountNeverSteersACopyOutOfTheBuffer)
{
    const int counts[] = {-1, -5000, 1316, 1317, 5000, INT_MAX, INT_MIN};
    for (int count : counts)
    {
        SCOPED_TRACE("held count " + std::to_string(count));
        auto aligner = std::make_unique<ProbeAligner>();
        aligner->SetChunkSize(1316);
        aligner->SetBuffered(count);
        Bytes piece = Packets(8, 13);
        aligner->Feed(piece.data(), static_cast<int>(piece.size()));
        EXPECT_TRUE(aligner->violation.empty()) << aligner->violation;
        EXPECT_EQ(probe::CheckCallShape(aligner->calls, 1316), "");
        EXPECT_GE(aligner->Buffered(), 0);
        EXPECT_LT(aligner->Buffered(), 1316);
        EXPECT_TRUE(aligner->GuardIntact());
    }
}
