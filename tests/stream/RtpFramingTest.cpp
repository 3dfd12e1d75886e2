// RTP framing of chunks: header bytes on the wire, counters that run on and
// wrap, failed sends, and chunks that cannot be framed.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "rtp/RtpFraming.h"

using Bytes = std::vector<unsigned char>;

namespace {

// Most cases are about the RTP framing, the module's default.
template <class Send>
long long SendChunksAsRtp(const unsigned char* data, int length, int chunkSize, uint16_t& sequence,
                          uint32_t& timestamp, Send&& send)
{
    return SendChunks(data, length, chunkSize, EDatagramFraming::Rtp, sequence, timestamp, send);
}

// Stands for the socket: keeps every datagram and accepts or refuses them in
// the order given (then accepts all).
struct Socket
{
    std::vector<bool> answers;
    std::vector<Bytes> datagrams;

    bool operator()(const unsigned char* datagram, int size)
    {
        datagrams.emplace_back(datagram, datagram + size);
        const size_t index = datagrams.size() - 1;
        return index < answers.size() ? answers[index] : true;
    }
};

Bytes Chunks(int count, int chunkSize)
{
    Bytes bytes(static_cast<size_t>(count) * static_cast<size_t>(chunkSize));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 13 + i / 251);
    for (size_t i = 0; i < bytes.size(); i += 188)
        bytes[i] = 0x47;
    return bytes;
}

Bytes Header(const Bytes& datagram)
{
    return Bytes(datagram.begin(), datagram.begin() + 12);
}

Bytes Payload(const Bytes& datagram)
{
    return Bytes(datagram.begin() + 12, datagram.end());
}

}  // namespace

TEST(RtpFraming, FirstTwoDatagramsOfANewStream)
{
    const Bytes data = Chunks(2, 1316);
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    Socket socket;
    EXPECT_EQ(SendChunksAsRtp(data.data(), 2632, 1316, sequence, timestamp, socket), 2632);

    ASSERT_EQ(socket.datagrams.size(), 2u);
    EXPECT_EQ(socket.datagrams[0].size(), 1328u);
    EXPECT_EQ(Header(socket.datagrams[0]), (Bytes{0x80, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5A, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Header(socket.datagrams[1]), (Bytes{0x80, 0x21, 0x00, 0x01, 0x00, 0x00, 0x00, 0xB4, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sequence, 2);
    EXPECT_EQ(timestamp, 180u);
}

TEST(RtpFraming, DatagramIsHeaderAndOneChunkForEveryChunkSize)
{
    for (int n = 1; n <= 7; ++n)
    {
        const Bytes data = Chunks(1, n * 188);
        uint16_t sequence = 7;
        uint32_t timestamp = 0;
        Socket socket;
        EXPECT_EQ(SendChunksAsRtp(data.data(), n * 188, n * 188, sequence, timestamp, socket), n * 188);
        ASSERT_EQ(socket.datagrams.size(), 1u) << "N " << n;
        EXPECT_EQ(socket.datagrams[0].size(), static_cast<size_t>(12 + n * 188)) << "N " << n;  // 200 .. 1328
        EXPECT_EQ(Payload(socket.datagrams[0]), data) << "N " << n;
    }
}

TEST(RtpFraming, ThreeChunksInOneCallGoOutInMemoryOrder)
{
    const Bytes data = Chunks(3, 376);
    uint16_t sequence = 41;
    uint32_t timestamp = 1000;
    Socket socket;
    EXPECT_EQ(SendChunksAsRtp(data.data(), 1128, 376, sequence, timestamp, socket), 1128);

    ASSERT_EQ(socket.datagrams.size(), 3u);
    const Bytes headers[] = {
        {0x80, 0x21, 0x00, 41, 0x00, 0x00, 0x04, 0x42, 0, 0, 0, 0},  // 1090
        {0x80, 0x21, 0x00, 42, 0x00, 0x00, 0x04, 0x9C, 0, 0, 0, 0},  // 1180
        {0x80, 0x21, 0x00, 43, 0x00, 0x00, 0x04, 0xF6, 0, 0, 0, 0},  // 1270
    };
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(Header(socket.datagrams[i]), headers[i]) << "datagram " << i;
        EXPECT_EQ(Payload(socket.datagrams[i]), Bytes(data.begin() + static_cast<long>(i) * 376,
                                                      data.begin() + static_cast<long>(i + 1) * 376))
            << "datagram " << i;
    }
    EXPECT_EQ(sequence, 44);
    EXPECT_EQ(timestamp, 1270u);
}

// Sequence wraps at 2^16 and the timestamp at 2^32, each on its own.
TEST(RtpFraming, CountersWrapAround)
{
    struct Case
    {
        uint16_t sequence;
        uint32_t timestamp;
        int chunks;
        std::vector<uint16_t> sequences;
        std::vector<uint32_t> timestamps;
    };
    const Case cases[] = {
        {65534, 0xFFFFFFA6u, 3, {65534, 65535, 0}, {0u, 90u, 180u}},
        {65535, 0xFFFFFFFFu, 2, {65535, 0}, {89u, 179u}},
        {65535, 0, 1, {65535}, {90u}},
        {0, 0xFFFFFF00u, 2, {0, 1}, {0xFFFFFF5Au, 0xFFFFFFB4u}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("from sequence " + std::to_string(c.sequence) + " timestamp " + std::to_string(c.timestamp));
        const Bytes data = Chunks(c.chunks, 188);
        uint16_t sequence = c.sequence;
        uint32_t timestamp = c.timestamp;
        Socket socket;
        SendChunksAsRtp(data.data(), c.chunks * 188, 188, sequence, timestamp, socket);
        ASSERT_EQ(socket.datagrams.size(), c.sequences.size());
        for (size_t i = 0; i < c.sequences.size(); ++i)
        {
            const Bytes& d = socket.datagrams[i];
            EXPECT_EQ((d[2] << 8) | d[3], c.sequences[i]) << "datagram " << i;
            EXPECT_EQ((uint32_t{d[4]} << 24) | (uint32_t{d[5]} << 16) | (uint32_t{d[6]} << 8) | d[7], c.timestamps[i])
                << "datagram " << i;
        }
        EXPECT_EQ(sequence, static_cast<uint16_t>(c.sequences.back() + 1));
        EXPECT_EQ(timestamp, c.timestamps.back());
    }
}

// A refused datagram is lost: its numbers are used up, its bytes not counted.
TEST(RtpFraming, RefusedSendsAdvanceTheCountersButAreNotCounted)
{
    struct Case { std::vector<bool> answers; long long accepted; };
    const Case cases[] = {
        {{true, false, true}, 2 * 564},
        {{false, false, false}, 0},
        {{false, true, true}, 2 * 564},
        {{true, true, true}, 3 * 564},
    };
    for (const Case& c : cases)
    {
        const Bytes data = Chunks(3, 564);
        uint16_t sequence = 100;
        uint32_t timestamp = 9000;
        Socket socket{c.answers, {}};
        EXPECT_EQ(SendChunksAsRtp(data.data(), 1692, 564, sequence, timestamp, socket), c.accepted);
        ASSERT_EQ(socket.datagrams.size(), 3u);
        EXPECT_EQ(socket.datagrams[2][3], 102);  // a refused datagram leaves a gap in the numbers
        EXPECT_EQ(sequence, 103);
        EXPECT_EQ(timestamp, 9270u);
    }
}

TEST(RtpFraming, LessThanAChunkSendsNothing)
{
    struct Case { int length; int chunkSize; };
    const Case cases[] = {{0, 188}, {1, 188}, {187, 188}, {0, 1316}, {1315, 1316}, {-1, 188}, {INT_MIN, 188}};
    const Bytes data = Chunks(1, 1316);
    for (const Case& c : cases)
    {
        uint16_t sequence = 5;
        uint32_t timestamp = 450;
        Socket socket;
        EXPECT_EQ(SendChunksAsRtp(data.data(), c.length, c.chunkSize, sequence, timestamp, socket), 0)
            << "length " << c.length << " chunk " << c.chunkSize;
        EXPECT_TRUE(socket.datagrams.empty());
        EXPECT_EQ(sequence, 5);
        EXPECT_EQ(timestamp, 450u);
    }
}

// Only whole chunks are framed: a part behind them is never read (the data
// sits in an allocation of its exact size, so a read beyond shows).
TEST(RtpFraming, PartOfAChunkBehindWholeOnesIsNotRead)
{
    const Bytes whole = Chunks(2, 376);
    Bytes data = whole;
    data.resize(whole.size() + 100, 0x55);
    data.shrink_to_fit();
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    Socket socket;
    EXPECT_EQ(SendChunksAsRtp(data.data(), static_cast<int>(data.size()), 376, sequence, timestamp, socket), 752);
    ASSERT_EQ(socket.datagrams.size(), 2u);
    EXPECT_EQ(Payload(socket.datagrams[1]), Bytes(whole.begin() + 376, whole.end()));
}

// Chunk sizes the datagram buffer cannot hold, and no data at all.
TEST(RtpFraming, UnframableChunksSendNothing)
{
    struct Case { int chunkSize; bool nullData; };
    const Case cases[] = {{0, false}, {-1, false}, {-188, false}, {1317, false}, {1504, false},
                          {INT_MAX, false}, {INT_MIN, false}, {188, true}, {1316, true}};
    const Bytes data = Chunks(8, 376);
    for (const Case& c : cases)
    {
        uint16_t sequence = 1;
        uint32_t timestamp = 2;
        Socket socket;
        EXPECT_EQ(SendChunksAsRtp(c.nullData ? nullptr : data.data(), static_cast<int>(data.size()), c.chunkSize,
                                  sequence, timestamp, socket),
                  0)
            << "chunk " << c.chunkSize;
        EXPECT_TRUE(socket.datagrams.empty()) << "chunk " << c.chunkSize;
        EXPECT_EQ(sequence, 1);
        EXPECT_EQ(timestamp, 2u);
    }
}

// The byte total after k chunks of N packets is k x N x 188, headers not
// counted, however the chunks were grouped into calls.
TEST(RtpFraming, AcceptedBytesAddUpToWholeChunks)
{
    for (int n = 1; n <= 7; ++n)
    {
        const int chunk = n * 188;
        const Bytes data = Chunks(6, chunk);
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        Socket socket;
        long long total = 0;
        size_t at = 0;
        for (int chunks : {1, 2, 3})  // 6 chunks in three calls
        {
            total += SendChunksAsRtp(data.data() + at, chunks * chunk, chunk, sequence, timestamp, socket);
            at += static_cast<size_t>(chunks * chunk);
        }
        EXPECT_EQ(total, 6LL * n * 188) << "N " << n;
        EXPECT_EQ(socket.datagrams.size(), 6u);
        EXPECT_EQ(sequence, 6);
        EXPECT_EQ(timestamp, 540u);
        Bytes payloads;
        for (const Bytes& datagram : socket.datagrams)
        {
            const Bytes payload = Payload(datagram);
            payloads.insert(payloads.end(), payload.begin(), payload.end());
        }
        EXPECT_EQ(payloads, data) << "N " << n;
    }
}

TEST(RtpFraming, HeaderFieldsAreWrittenHighByteFirst)
{
    unsigned char header[12];
    std::fill(header, header + 12, 0xEE);
    WriteRtpFixedHeader(header);
    WriteRtpCounters(header, 0x1234, 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(header, header + 12),
              (Bytes{0x80, 0x21, 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x00, 0x00, 0x00}));
}

// ---------------------------------------------------------------------------
// Plain UDP: each datagram is the chunk alone, sent from where it lies.

// Also keeps where each datagram was, to tell a chunk sent in place from a copy.
struct PlacedSocket : Socket
{
    std::vector<const unsigned char*> places;

    bool operator()(const unsigned char* datagram, int size)
    {
        places.push_back(datagram);
        return Socket::operator()(datagram, size);
    }
};

TEST(PlainUdpFraming, EachDatagramIsOneChunkInPlaceForEveryChunkSize)
{
    for (int n = 1; n <= 7; ++n)
    {
        SCOPED_TRACE("N " + std::to_string(n));
        const int chunk = n * 188;
        const Bytes data = Chunks(3, chunk);
        uint16_t sequence = 7;
        uint32_t timestamp = 630;
        PlacedSocket socket;
        EXPECT_EQ(SendChunks(data.data(), 3 * chunk, chunk, EDatagramFraming::Udp, sequence, timestamp, socket),
                  3 * chunk);
        ASSERT_EQ(socket.datagrams.size(), 3u);
        for (size_t i = 0; i < 3; ++i)
        {
            EXPECT_EQ(socket.datagrams[i], Bytes(data.begin() + static_cast<long>(i) * chunk,
                                                 data.begin() + static_cast<long>(i + 1) * chunk));
            EXPECT_EQ(socket.places[i], data.data() + i * static_cast<size_t>(chunk));
        }
        // The counters run on as in RTP framing: a switch between the two
        // never reuses a number.
        EXPECT_EQ(sequence, 10);
        EXPECT_EQ(timestamp, 900u);
    }
}

TEST(PlainUdpFraming, RefusedSendsCountersAndUnframableChunksAsInRtp)
{
    struct Case { std::vector<bool> answers; long long accepted; };
    const Case cases[] = {
        {{true, false, true}, 2 * 564},
        {{false, false, false}, 0},
        {{true, true, true}, 3 * 564},
    };
    for (const Case& c : cases)
    {
        const Bytes data = Chunks(3, 564);
        uint16_t sequence = 65535;
        uint32_t timestamp = 0xFFFFFFFFu;
        Socket socket{c.answers, {}};
        EXPECT_EQ(SendChunks(data.data(), 1692, 564, EDatagramFraming::Udp, sequence, timestamp, socket), c.accepted);
        EXPECT_EQ(socket.datagrams.size(), 3u);
        EXPECT_EQ(sequence, 2);
        EXPECT_EQ(timestamp, 269u);
    }

    const Bytes data = Chunks(8, 376);
    struct Bad { const unsigned char* data; int length; int chunkSize; };
    const Bad bad[] = {{data.data(), 187, 188}, {data.data(), 0, 188}, {data.data(), -1, 188},
                       {data.data(), 3008, 0}, {data.data(), 3008, 1317}, {nullptr, 3008, 188}};
    for (const Bad& b : bad)
    {
        uint16_t sequence = 1;
        uint32_t timestamp = 2;
        Socket socket;
        EXPECT_EQ(SendChunks(b.data, b.length, b.chunkSize, EDatagramFraming::Udp, sequence, timestamp, socket), 0);
        EXPECT_TRUE(socket.datagrams.empty()) << "length " << b.length << " chunk " << b.chunkSize;
        EXPECT_EQ(sequence, 1);
        EXPECT_EQ(timestamp, 2u);
    }
}
