// Column and row parity over the media datagrams: the FEC packets' header
// fields and payloads for a table of matrices, when each packet leaves,
// recovery of any one lost datagram per row or column by a plain XOR written
// here, and the completion of the last matrix at the end of a stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "rtp/FecEncoder.h"
#include "rtp/RtpTimestamps.h"

using Bytes = std::vector<unsigned char>;

namespace
{
// What left the sender, in order: media datagrams and FEC packets.
struct Wire
{
    struct Sent
    {
        int Port;  // 0 media, 2 columns, 4 rows
        Bytes Data;
    };
    std::vector<Sent> sent;

    std::vector<Bytes> Of(int port) const
    {
        std::vector<Bytes> out;
        for (const Sent& s : sent)
            if (s.Port == port)
                out.push_back(s.Data);
        return out;
    }
};

// Sends through SendChunks with the encoder hooked in, as the module does.
struct Sender
{
    CFecEncoder fec;
    Wire wire;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    CRtpTimestamps stamps;  // the counter unless a test begins the clock
    int chunkSize = kMaxChunkSize;

    bool Media(const unsigned char* d, int size)
    {
        wire.sent.push_back({0, Bytes(d, d + size)});
        return true;
    }
    void Fec(EFecDirection direction, const unsigned char* d, int size)
    {
        wire.sent.push_back({direction == EFecDirection::Column ? 2 : 4, Bytes(d, d + size)});
    }

    void Send(int datagrams, unsigned seed = 1)
    {
        Bytes chunks(static_cast<size_t>(datagrams) * static_cast<size_t>(chunkSize));
        uint32_t x = seed * 2654435761u;
        for (size_t i = 0; i < chunks.size(); ++i)
        {
            x = x * 1664525u + 1013904223u;
            chunks[i] = i % kTsPacketSize == 0 ? kTsSyncByte : static_cast<unsigned char>(x >> 24);
        }
        auto media = [this](const unsigned char* d, int size) { return Media(d, size); };
        auto fecSend = [this](EFecDirection dir, const unsigned char* d, int size) { Fec(dir, d, size); };
        SendChunks(chunks.data(), static_cast<int>(chunks.size()), chunkSize, EDatagramFraming::Rtp, sequence,
                   timestamp, stamps, ProtectedBy(fec, media, fecSend));
    }

    void Stop()
    {
        auto media = [this](const unsigned char* d, int size) { return Media(d, size); };
        auto fecSend = [this](EFecDirection dir, const unsigned char* d, int size) { Fec(dir, d, size); };
        CompleteFecMatrix(fec, chunkSize, sequence, timestamp, stamps, ProtectedBy(fec, media, fecSend), fecSend);
        fec.End();
    }
};

uint16_t U16(const Bytes& b, int at)
{
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

uint32_t U32(const Bytes& b, int at)
{
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The FEC header as a receiver reads it (offsets after the 12-byte RTP header).
struct FecFields
{
    uint16_t SnBase, LengthRecovery;
    int E, PtRecovery;
    uint32_t Mask, TsRecovery;
    int X, D, Type, Index, Offset, Na, SnBaseExt;
};

FecFields Parse(const Bytes& p)
{
    FecFields f;
    f.SnBase = U16(p, 12);
    f.LengthRecovery = U16(p, 14);
    f.E = p[16] >> 7;
    f.PtRecovery = p[16] & 0x7F;
    f.Mask = static_cast<uint32_t>(p[17] << 16 | p[18] << 8 | p[19]);
    f.TsRecovery = U32(p, 20);
    f.X = p[24] >> 7;
    f.D = (p[24] >> 6) & 1;
    f.Type = (p[24] >> 3) & 7;
    f.Index = p[24] & 7;
    f.Offset = p[25];
    f.Na = p[26];
    f.SnBaseExt = p[27];
    return f;
}

// Rebuilds the datagram of sequence `lost` from a FEC packet and the other
// datagrams it protects, by the receiver's rule: XOR of everything present.
Bytes Recover(const Bytes& fecPacket, const std::map<uint16_t, Bytes>& media, uint16_t lost)
{
    const FecFields f = Parse(fecPacket);
    uint16_t length = f.LengthRecovery;
    int pt = f.PtRecovery;
    uint32_t ts = f.TsRecovery;
    Bytes payload(fecPacket.begin() + 28, fecPacket.end());
    for (int k = 0; k < f.Na; ++k)
    {
        const uint16_t seq = static_cast<uint16_t>(f.SnBase + k * f.Offset);
        if (seq == lost)
            continue;
        const Bytes& d = media.at(seq);
        length = static_cast<uint16_t>(length ^ (d.size() - 12));
        pt ^= d[1] & 0x7F;
        ts ^= U32(d, 4);
        for (size_t i = 12; i < d.size(); ++i)
            payload[i - 12] ^= d[i];
    }
    Bytes out(12 + static_cast<size_t>(length), 0);
    out[0] = 0x80;
    out[1] = static_cast<unsigned char>(pt);
    out[2] = static_cast<unsigned char>(lost >> 8);
    out[3] = static_cast<unsigned char>(lost);
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<unsigned char>(ts >> (24 - 8 * i));
    std::copy(payload.begin(), payload.begin() + length, out.begin() + 12);
    return out;
}

std::map<uint16_t, Bytes> BySequence(const std::vector<Bytes>& media)
{
    std::map<uint16_t, Bytes> m;
    for (const Bytes& d : media)
        m[U16(d, 2)] = d;
    return m;
}

// Every media datagram is rebuilt from its row packet and from its column
// packet with the others of its row / column present.
void ExpectEveryDatagramRecoverable(const Wire& wire, int L, int D)
{
    const std::vector<Bytes> media = wire.Of(0);
    const std::map<uint16_t, Bytes> bySeq = BySequence(media);
    std::map<uint16_t, Bytes> rowOf, columnOf;
    for (int port : {2, 4})
        for (const Bytes& p : wire.Of(port))
        {
            const FecFields f = Parse(p);
            for (int k = 0; k < f.Na; ++k)
                (port == 2 ? columnOf : rowOf)[static_cast<uint16_t>(f.SnBase + k * f.Offset)] = p;
        }
    ASSERT_EQ(media.size() % static_cast<size_t>(L * D), 0u);
    for (const Bytes& d : media)
    {
        const uint16_t seq = U16(d, 2);
        ASSERT_TRUE(rowOf.count(seq)) << seq;
        ASSERT_TRUE(columnOf.count(seq)) << seq;
        EXPECT_EQ(Recover(rowOf[seq], bySeq, seq), d) << "row, seq " << seq;
        EXPECT_EQ(Recover(columnOf[seq], bySeq, seq), d) << "column, seq " << seq;
    }
}

struct MatrixCase
{
    int L, D, packets;
    uint16_t firstSeq;
};

std::ostream& operator<<(std::ostream& os, const MatrixCase& c)
{
    return os << c.L << "x" << c.D << " N=" << c.packets << " from seq " << c.firstSeq;
}

class FecMatrices : public ::testing::TestWithParam<MatrixCase>
{
};
}  // namespace

TEST(FecMatrix, ValidDimensions)
{
    EXPECT_TRUE(IsValidFecMatrix(4, 4));
    EXPECT_TRUE(IsValidFecMatrix(10, 10));
    EXPECT_TRUE(IsValidFecMatrix(20, 5));
    EXPECT_TRUE(IsValidFecMatrix(5, 20));
    EXPECT_FALSE(IsValidFecMatrix(3, 10));
    EXPECT_FALSE(IsValidFecMatrix(10, 3));
    EXPECT_FALSE(IsValidFecMatrix(21, 4));
    EXPECT_FALSE(IsValidFecMatrix(11, 10));  // 110 cells
    EXPECT_FALSE(IsValidFecMatrix(0, 0));
}

// Three whole matrices: header fields, payloads, and where each packet leaves.
TEST_P(FecMatrices, HeadersPayloadsAndTiming)
{
    const MatrixCase c = GetParam();
    Sender s;
    s.chunkSize = c.packets * kTsPacketSize;
    s.sequence = c.firstSeq;
    s.timestamp = 0xFFFFFF00u;
    s.fec.SetSequences(0xFFFE, 7);
    s.fec.Begin({c.L, c.D});
    const int perMatrix = c.L * c.D;
    s.Send(3 * perMatrix);

    const std::vector<Bytes> media = s.wire.Of(0);
    const std::vector<Bytes> columns = s.wire.Of(2);
    const std::vector<Bytes> rows = s.wire.Of(4);
    ASSERT_EQ(media.size(), static_cast<size_t>(3 * perMatrix));
    ASSERT_EQ(rows.size(), static_cast<size_t>(3 * c.D));
    ASSERT_EQ(columns.size(), static_cast<size_t>(2 * c.L));  // the third matrix's wait for a fourth

    const int payload = c.packets * kTsPacketSize;
    for (size_t i = 0; i < rows.size(); ++i)
    {
        const Bytes& p = rows[i];
        ASSERT_EQ(p.size(), static_cast<size_t>(28 + payload));
        EXPECT_EQ(p[0], 0x80);
        EXPECT_EQ(p[1], 96);
        EXPECT_EQ(U16(p, 2), static_cast<uint16_t>(7 + i));
        EXPECT_EQ(U32(p, 8), 0u);
        const FecFields f = Parse(p);
        const size_t first = i * static_cast<size_t>(c.L);
        EXPECT_EQ(f.SnBase, static_cast<uint16_t>(c.firstSeq + first));
        EXPECT_EQ(f.LengthRecovery, c.L % 2 ? payload : 0);
        EXPECT_EQ(f.E, 1);
        EXPECT_EQ(f.PtRecovery, c.L % 2 ? 33 : 0);
        EXPECT_EQ(f.Mask, 0u);
        uint32_t ts = 0;
        Bytes xored(static_cast<size_t>(payload), 0);
        for (int k = 0; k < c.L; ++k)
        {
            ts ^= U32(media[first + k], 4);
            for (int b = 0; b < payload; ++b)
                xored[b] ^= media[first + k][12 + b];
        }
        EXPECT_EQ(f.TsRecovery, ts);
        EXPECT_EQ(Bytes(p.begin() + 28, p.end()), xored);
        EXPECT_EQ(U32(p, 4), U32(media[first + c.L - 1], 4));
        EXPECT_EQ(f.X, 0);
        EXPECT_EQ(f.D, 1);
        EXPECT_EQ(f.Type, 0);
        EXPECT_EQ(f.Index, 0);
        EXPECT_EQ(f.Offset, 1);
        EXPECT_EQ(f.Na, c.L);
        EXPECT_EQ(f.SnBaseExt, 0);
    }
    for (size_t i = 0; i < columns.size(); ++i)
    {
        const Bytes& p = columns[i];
        EXPECT_EQ(p[1], 96);
        EXPECT_EQ(U16(p, 2), static_cast<uint16_t>(0xFFFE + i));
        const FecFields f = Parse(p);
        const size_t matrix = i / c.L;
        const size_t first = matrix * perMatrix + i % c.L;
        EXPECT_EQ(f.SnBase, static_cast<uint16_t>(c.firstSeq + first));
        EXPECT_EQ(f.LengthRecovery, c.D % 2 ? payload : 0);
        EXPECT_EQ(f.E, 1);
        EXPECT_EQ(f.PtRecovery, c.D % 2 ? 33 : 0);
        uint32_t ts = 0;
        Bytes xored(static_cast<size_t>(payload), 0);
        for (int k = 0; k < c.D; ++k)
        {
            const Bytes& d = media[first + static_cast<size_t>(k * c.L)];
            ts ^= U32(d, 4);
            for (int b = 0; b < payload; ++b)
                xored[b] ^= d[12 + b];
        }
        EXPECT_EQ(f.TsRecovery, ts);
        EXPECT_EQ(Bytes(p.begin() + 28, p.end()), xored);
        EXPECT_EQ(f.D, 0);
        EXPECT_EQ(f.Type, 0);
        EXPECT_EQ(f.Offset, c.L);
        EXPECT_EQ(f.Na, c.D);
        EXPECT_EQ(U32(p, 4), U32(media[first + static_cast<size_t>((c.D - 1) * c.L)], 4))
            << "a column's packet carries its newest datagram's timestamp";
    }

    // The order on the wire: a row's packet right after its L-th datagram;
    // column j of a matrix after the (j+1)·D-th datagram of the next one.
    std::string order;
    for (const Wire::Sent& sent : s.wire.sent)
        order += sent.Port == 0 ? 'm' : sent.Port == 2 ? 'c' : 'r';
    std::string expected;
    for (int m = 0; m < 3; ++m)
        for (int i = 1; i <= perMatrix; ++i)
        {
            expected += 'm';
            if (i % c.L == 0)
                expected += 'r';
            if (m > 0 && i % c.D == 0)
                expected += 'c';
        }
    EXPECT_EQ(order, expected);

    // The third matrix's columns wait; the end of the stream sends them.
    s.Stop();
    ASSERT_EQ(s.wire.Of(0).size(), media.size());
    ExpectEveryDatagramRecoverable(s.wire, c.L, c.D);
}

INSTANTIATE_TEST_SUITE_P(Table, FecMatrices,
                         ::testing::Values(MatrixCase{4, 4, 7, 0}, MatrixCase{5, 5, 7, 65500},
                                           MatrixCase{10, 10, 7, 65480}, MatrixCase{20, 5, 1, 3},
                                           MatrixCase{4, 20, 3, 65535}, MatrixCase{7, 13, 2, 100}));

// The end of a stream in the middle of a matrix: null-packet datagrams fill
// it, and the previous matrix's pending columns go out too.
TEST(FecCompletion, FillsTheLastMatrixWithNullPackets)
{
    struct StopCase
    {
        int L, D, datagrams;
    };
    for (const StopCase c : {StopCase{5, 5, 25 + 7}, StopCase{10, 10, 1}, StopCase{4, 6, 24 + 23},
                             StopCase{5, 4, 20 + 20}, StopCase{4, 4, 16}})
    {
        SCOPED_TRACE(std::to_string(c.L) + "x" + std::to_string(c.D) + " after " + std::to_string(c.datagrams));
        Sender s;
        s.sequence = 65530;
        s.fec.Begin({c.L, c.D});
        s.Send(c.datagrams);
        const size_t before = s.wire.Of(0).size();
        const uint16_t nextSeq = s.sequence;
        const uint32_t nextTs = s.timestamp + 90;
        s.Stop();

        const std::vector<Bytes> media = s.wire.Of(0);
        const int perMatrix = c.L * c.D;
        const int matrices = (c.datagrams + perMatrix - 1) / perMatrix;
        ASSERT_EQ(media.size(), static_cast<size_t>(matrices * perMatrix));
        EXPECT_EQ(s.wire.Of(4).size(), static_cast<size_t>(matrices * c.D));
        EXPECT_EQ(s.wire.Of(2).size(), static_cast<size_t>(matrices * c.L));
        for (size_t i = before; i < media.size(); ++i)
        {
            const Bytes& d = media[i];
            EXPECT_EQ(U16(d, 2), static_cast<uint16_t>(nextSeq + (i - before)));
            EXPECT_EQ(U32(d, 4), static_cast<uint32_t>(nextTs + 90 * (i - before)));
            for (size_t p = 12; p < d.size(); p += kTsPacketSize)
            {
                EXPECT_EQ(d[p], 0x47);
                EXPECT_EQ(((d[p + 1] & 0x1F) << 8) | d[p + 2], 0x1FFF);
                EXPECT_EQ(d[p + 3] & 0x30, 0x10);  // payload, no adaptation field
            }
        }
        EXPECT_EQ(s.wire.sent.back().Port, 2) << "the last matrix's columns come last";
        ExpectEveryDatagramRecoverable(s.wire, c.L, c.D);
        EXPECT_EQ(s.wire.Of(2).size() + s.wire.Of(4).size(), static_cast<size_t>(matrices * (c.L + c.D)));
    }
}

namespace
{
// A counter that moves on by a fixed step at every reading, as time passes
// between datagrams.
uint64_t g_counterNow = 0;
uint64_t g_counterStep = 0;
uint64_t SteppingCounter()
{
    const uint64_t now = g_counterNow;
    g_counterNow += g_counterStep;
    return now;
}
}  // namespace

// On the clock, the datagrams that complete the last matrix are stamped like
// the media before them (the time they leave), and every FEC packet carries
// the timestamp of the newest datagram it protects.
TEST(FecCompletion, OnTheClockTheCompletionFollowsTheMedia)
{
    Sender s;
    s.timestamp = 0xFFFFFFF0u;  // wraps within the run
    g_counterNow = 1000;
    g_counterStep = 2500;  // 2.5 ms of a 1 MHz counter between readings: 225 ticks
    s.stamps.Begin(ERtpTimestamps::Clock, 1000000, SteppingCounter);
    s.fec.Begin({4, 5});
    s.Send(13);
    s.Stop();

    const std::vector<Bytes> media = s.wire.Of(0);
    ASSERT_EQ(media.size(), 20u);
    for (size_t i = 0; i < media.size(); ++i)
        EXPECT_EQ(U32(media[i], 4), static_cast<uint32_t>(0xFFFFFFF0u + 225 * (i + 1)))
            << "datagram " << i << (i < 13 ? "" : ", completing the matrix");
    for (const int port : {2, 4})
        for (const Bytes& p : s.wire.Of(port))
        {
            const FecFields f = Parse(p);
            const size_t newest = f.SnBase + static_cast<size_t>(port == 2 ? 4 * 4 : 3);
            EXPECT_EQ(U32(p, 4), U32(media[newest], 4)) << "port + " << port << ", SNBase " << f.SnBase;
        }
    ExpectEveryDatagramRecoverable(s.wire, 4, 5);
}

// Off: the same datagrams as without the hook, and nothing at the end. The
// FEC sequence numbers run on from one run to the next.
TEST(FecCompletion, OffSendsNothingAndSequencesRunOn)
{
    Sender off;
    off.fec.Begin({3, 40});
    EXPECT_FALSE(off.fec.Active());
    off.Send(30);
    off.Stop();
    EXPECT_EQ(off.wire.sent.size(), 30u);
    EXPECT_TRUE(off.wire.Of(2).empty());
    EXPECT_TRUE(off.wire.Of(4).empty());

    Sender idle;
    idle.fec.Begin({5, 5});
    idle.Stop();
    EXPECT_TRUE(idle.wire.sent.empty()) << "no datagram, nothing to protect";

    Sender s;
    s.fec.Begin({4, 4});
    s.Send(5);
    s.Stop();
    s.fec.Begin({5, 4});
    s.Send(3);
    s.Stop();
    const std::vector<Bytes> columns = s.wire.Of(2);
    const std::vector<Bytes> rows = s.wire.Of(4);
    ASSERT_EQ(columns.size(), 4u + 5u);
    ASSERT_EQ(rows.size(), 4u + 4u);
    for (size_t i = 0; i < columns.size(); ++i)
        EXPECT_EQ(U16(columns[i], 2), i);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(U16(rows[i], 2), i);
    EXPECT_EQ(Parse(rows.back()).Na, 5);
    EXPECT_EQ(Parse(columns.back()).Offset, 5);
    EXPECT_EQ(Parse(columns[4]).SnBase, 16) << "the second run's matrix starts at its first datagram";
}
