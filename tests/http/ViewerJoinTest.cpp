// Where a viewer's stream begins: at a video random access point that its
// stream marks, with the tables first; at the packet after a second when
// none comes. The time is a test clock, moved by the cases.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PsiTestStreams.h"
#include "http/ViewerFanOut.h"
#include "ts/RandomAccess.h"

namespace {

using psitest::Packet;
using Packets = std::vector<Packet>;

std::atomic<uint64_t> g_Now{0};
uint64_t TestClock() { return g_Now.load(); }

constexpr uint16_t kVideo1 = 0x101, kAudio1 = 0x102, kVideo2 = 0x201;

// A random access point and the packets that come close to one.
Packet Damaged(Packet packet, int byte, uint8_t value)
{
    packet[static_cast<size_t>(byte)] = value;
    return packet;
}

TEST(RandomAccess, OnlyAVideoPesStartWithTheFlagInAnIntactAdaptationField)
{
    psitest::PacketMaker maker;
    const Packet key = maker.PesStart(kVideo1, 0xE0, 0x40);
    Packet headerBeyondThePacket = Damaged(key, 4, 180);  // 3 bytes left: no room for a PES start
    headerBeyondThePacket[185] = 0x00;
    headerBeyondThePacket[186] = 0x00;
    headerBeyondThePacket[187] = 0x01;
    const struct
    {
        const char* Name;
        Packet Bytes;
        bool Key;
    } cases[] = {
        {"video PES start, random_access_indicator", key, true},
        {"the last video stream_id", Damaged(key, 9, 0xEF), true},
        {"other flags beside it (PCR, discontinuity)", Damaged(key, 5, 0xD0), true},
        {"without random_access_indicator", maker.PesStart(kVideo1, 0xE0, 0x00), false},
        {"an audio PES start", maker.PesStart(kAudio1, 0xC0, 0x40), false},
        {"private stream 1 (AC-3, subtitles)", maker.PesStart(kAudio1, 0xBD, 0x40), false},
        {"no payload_unit_start_indicator", Damaged(key, 1, key[1] & ~0x40), false},
        {"transport_error_indicator", Damaged(key, 1, key[1] | 0x80), false},
        {"scrambled", Damaged(key, 3, key[3] | 0x80), false},
        {"adaptation field only", Damaged(key, 3, (key[3] & 0xCF) | 0x20), false},
        {"payload only: byte 5 is payload", Damaged(key, 3, (key[3] & 0xCF) | 0x10), false},
        {"adaptation_field_control reserved", Damaged(key, 3, key[3] & 0xCF), false},
        {"adaptation_field_length 0: no flags", Damaged(key, 4, 0), false},
        {"adaptation_field_length 183 with a payload", Damaged(key, 4, 183), false},
        {"adaptation_field_length 255", Damaged(key, 4, 255), false},
        {"PES start code cut short", headerBeyondThePacket, false},
        {"no PES start code where the payload begins", Damaged(key, 8, 0x02), false},
        {"no sync byte", Damaged(key, 0, 0x46), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StartsVideoRandomAccess(c.Bytes.data()), c.Key) << c.Name;
}

// The stream of the join cases: programs 1 (PMT 0x100, video 0x101, audio
// 0x102) and 2 (PMT 0x200, video 0x201), one packet a letter:
//   T  PAT, PMT 1, PMT 2       v a w  video 1, audio 1, video 2 going on
//   K  video 1 key frame       W      video 2 key frame
//   p  video 1 PES start without random_access_indicator
//   A  audio 1 PES start with random_access_indicator
//   d  video 1 key frame whose adaptation_field_length runs past the packet
//   |  where the viewer's stream should begin (no packet)
struct SJoinStream
{
    psitest::PacketMaker Maker;
    Packets Tables;

    SJoinStream()
    {
        using namespace psitest;
        auto add = [&](const Packets& packets) { Tables.insert(Tables.end(), packets.begin(), packets.end()); };
        add(Maker.Sections(0, {PatSection(1, 0, {{1, 0x100}, {2, 0x200}})}));
        add(Maker.Sections(0x100, {PmtSection(1, 0, kVideo1, {{0x1B, kVideo1, {}}, {0x0F, kAudio1, {}}})}));
        add(Maker.Sections(0x200, {PmtSection(2, 0, kVideo2, {{0x1B, kVideo2, {}}})}));
    }

    // The packets of `letters`; `marker` is set to the index (from `base`)
    // of the packet after a '|'.
    Packets Make(const std::string& letters, size_t base, long& marker)
    {
        Packets packets;
        for (char letter : letters)
            switch (letter)
            {
            case 'T': packets.insert(packets.end(), Tables.begin(), Tables.end()); break;
            case 'v': packets.push_back(Maker.Stream(kVideo1, 1)); break;
            case 'a': packets.push_back(Maker.Stream(kAudio1, 2)); break;
            case 'w': packets.push_back(Maker.Stream(kVideo2, 3)); break;
            case 'K': packets.push_back(Maker.PesStart(kVideo1, 0xE0, 0x40)); break;
            case 'W': packets.push_back(Maker.PesStart(kVideo2, 0xE0, 0x40)); break;
            case 'p': packets.push_back(Maker.PesStart(kVideo1, 0xE0, 0x00)); break;
            case 'A': packets.push_back(Maker.PesStart(kAudio1, 0xC0, 0x40)); break;
            case 'd': packets.push_back(Damaged(Maker.PesStart(kVideo1, 0xE0, 0x40), 4, 183)); break;
            case '|': marker = static_cast<long>(base + packets.size()); break;
            default: ADD_FAILURE() << "no such letter: " << letter;
            }
        return packets;
    }
};

struct SStep
{
    uint64_t AtMs;        // the clock when these packets arrive
    const char* Packets;  // one hand-over
};

void Feed(CViewerFanOut& fanOut, const Packets& packets)
{
    psitest::Bytes bytes;
    for (const Packet& packet : packets)
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    if (!packets.empty())
        fanOut.PutPackets(bytes.data(), static_cast<int>(packets.size()));
}

Packets Received(CViewerFanOut& fanOut, int viewer)
{
    Packets got;
    unsigned char piece[kTsPacketSize * 5];
    for (size_t n; (n = fanOut.CopyNext(viewer, piece, sizeof piece)) != 0;)
    {
        EXPECT_NE(n, kViewerBehind);
        if (n == kViewerBehind)
            break;
        EXPECT_EQ(n % kTsPacketSize, 0u);
        for (size_t at = 0; at + kTsPacketSize <= n; at += kTsPacketSize)
        {
            Packet packet;
            std::copy(piece + at, piece + at + kTsPacketSize, packet.begin());
            got.push_back(packet);
        }
        fanOut.Consume(viewer, n);
    }
    return got;
}

// What a viewer of `program` (0: all) sees of the source from `first` on:
// the cut passes its program's elementary packets as they are.
Packets ViewFrom(const Packets& source, size_t first, uint16_t program)
{
    Packets view;
    for (size_t p = first; p < source.size(); ++p)
    {
        const uint16_t pid = psitest::PidOf(source[p]);
        if (program == 0 || pid == kVideo1 || pid == kAudio1)
            view.push_back(source[p]);
    }
    return view;
}

std::unique_ptr<CViewerFanOut> FanOutOnTestClock()
{
    g_Now = 0;
    std::unique_ptr<CViewerFanOut> fanOut(new CViewerFanOut);
    fanOut->UseClock(TestClock);
    return fanOut;
}

// A viewer attaches at 0 ms; the steps follow. It gets the tables of what it
// watches, then its stream from the '|' on; nothing at all without a '|'.
TEST(ViewerJoin, AViewerStartsAtARandomAccessPointOrAfterASecondWithTheTablesFirst)
{
    const struct
    {
        const char* Name;
        uint16_t Program;
        std::vector<SStep> Steps;
    } cases[] = {
        {"a key frame in the second hand-over", 0, {{0, "Tvva"}, {40, "va|Kva"}}},
        {"the first of two key frames", 0, {{0, "T|Kv"}, {40, "Kva"}}},
        {"none within a second: at the hand-over after it", 0, {{0, "Tvva"}, {500, "pvav"}, {999, "vv"}, {1000, "|vaK"}}},
        {"a key frame after the second is too late", 0, {{0, "Tv"}, {1200, "|vKv"}}},
        {"audio's flag and a PES start without it are no key frame", 0, {{0, "TAp"}, {10, "va|Kv"}}},
        {"a damaged adaptation field is no key frame", 0, {{0, "Tdv"}, {10, "v|K"}}},
        {"any program's key frame starts the whole stream", 0, {{0, "Tv"}, {10, "a|Wv"}}},
        {"nothing before a second without a key frame", 0, {{0, "Tvvv"}, {999, "vvwp"}}},
        {"a program's viewer: its own key frame", 1, {{0, "Tv"}, {10, "a|Ka"}}},
        {"a program's viewer: another program's key frame is not its", 1, {{0, "TWw"}, {10, "wv|Ka"}}},
        {"a program's viewer: none within a second", 1, {{0, "Tvv"}, {1000, "|vaW"}}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        auto fanOut = FanOutOnTestClock();
        EViewerAttach outcome;
        const int viewer = fanOut->Attach(c.Program, outcome, 1000);
        ASSERT_GE(viewer, 0);
        SJoinStream stream;
        Packets source;
        long marker = -1;
        for (const SStep& step : c.Steps)
        {
            g_Now = step.AtMs;
            const Packets packets = stream.Make(step.Packets, source.size(), marker);
            Feed(*fanOut, packets);
            source.insert(source.end(), packets.begin(), packets.end());
        }
        const Packets got = Received(*fanOut, viewer);
        if (marker < 0)
        {
            EXPECT_TRUE(got.empty()) << got.size() << " packets";
            EXPECT_FALSE(fanOut->HasNext(viewer));
            continue;
        }
        const Packets view = ViewFrom(source, static_cast<size_t>(marker), c.Program);
        const size_t tables = c.Program == 0 ? 3 : 2;
        ASSERT_EQ(got.size(), tables + view.size());
        if (c.Program == 0)
            EXPECT_TRUE(std::equal(stream.Tables.begin(), stream.Tables.end(), got.begin())) << "PAT, PMT 1, PMT 2";
        else
        {
            EXPECT_EQ(psitest::PidOf(got[0]), 0) << "the cut's PAT";
            EXPECT_EQ(psitest::PidOf(got[1]), 0x100) << "the program's PMT";
        }
        EXPECT_TRUE(std::equal(view.begin(), view.end(), got.begin() + static_cast<long>(tables)));
    }
}

// A slot freed while its viewer waited and taken by a viewer of a program:
// the whole stream's key frame starts the whole stream's other viewer, never
// the program's, which starts at its own.
TEST(ViewerJoin, AReusedSlotWaitsForItsOwnStreamsRandomAccessPoint)
{
    auto fanOut = FanOutOnTestClock();
    SJoinStream stream;
    EViewerAttach outcome;
    const int left = fanOut->Attach(0, outcome, 1000);
    const int whole = fanOut->Attach(0, outcome, 1000);
    long marker = -1;
    Feed(*fanOut, stream.Make("Tv", 0, marker));
    fanOut->Detach(left);
    const int program = fanOut->Attach(1, outcome, 1000);
    ASSERT_EQ(program, left) << "the freed slot";
    Feed(*fanOut, stream.Make("T", 0, marker));
    const Packets other = stream.Make("W", 0, marker);
    Feed(*fanOut, other);
    EXPECT_EQ(Received(*fanOut, program).size(), 0u) << "still waiting";
    const Packets own = stream.Make("wv|Ka", 0, marker);
    Feed(*fanOut, own);

    const Packets gotWhole = Received(*fanOut, whole);
    ASSERT_EQ(gotWhole.size(), 3 + 1 + own.size());
    EXPECT_EQ(gotWhole[3], other[0]);
    const Packets gotProgram = Received(*fanOut, program);
    ASSERT_EQ(gotProgram.size(), 2u + 2u);
    EXPECT_EQ(gotProgram[2], own[2]) << "its own program's key frame";
}

}  // namespace
