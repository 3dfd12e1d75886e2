// An SRT output's sender thread against a link of the test's own: the
// caller's retries (1 s doubling to 10 s), the stream from a packet boundary
// with the tables first in messages of whole packets, a lost connection
// tried again, a far end that cannot keep up losing a ring's worth (counted)
// while another connection loses nothing, and a listener serving eight
// callers and closing the ninth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ProgramStream.h"
#include "http/StreamRing.h"
#include "http/ViewerFanOut.h"
#include "srt/SrtSession.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kChunk = 7;  // packets per hand-over, as the aligner passes them on

const Bytes& Source()
{
    static const Bytes stream = MakeProgramStream(true);
    return stream;
}

struct FakeLink final : ISrtLink
{
    // Caller: what each attempt gives, in order (-1: refused); then refusals.
    std::vector<int> Connects;
    std::vector<uint64_t> Attempts;
    uint64_t Now = 0;
    std::vector<int> Waiting;  // listener: callers in the order they arrive
    std::map<int, ESrtSend> Answer;  // per connection; Sent when not named
    std::map<int, Bytes> Received;
    std::set<int> Closed;
    size_t LargestMessage = 0;
    bool WholePackets = true;

    int Connect(SrtReasonText& why) override
    {
        Attempts.push_back(Now);
        const size_t n = Attempts.size() - 1;
        if (n < Connects.size() && Connects[n] >= 0)
            return Connects[n];
        std::snprintf(why, sizeof why, "%s", "the listener refused: wrong passphrase");
        return -1;
    }
    int Accept() override
    {
        if (Waiting.empty())
            return -1;
        const int link = Waiting.front();
        Waiting.erase(Waiting.begin());
        return link;
    }
    ESrtSend Send(int connection, const unsigned char* data, int length) override
    {
        const auto answer = Answer.find(connection);
        if (answer != Answer.end() && answer->second != ESrtSend::Sent)
            return answer->second;
        LargestMessage = std::max(LargestMessage, static_cast<size_t>(length));
        WholePackets = WholePackets && length % kTsPacketSize == 0;
        Bytes& into = Received[connection];
        into.insert(into.end(), data, data + length);
        return ESrtSend::Sent;
    }
    void Close(int connection) override { Closed.insert(connection); }
};

// The traffic thread and the sender thread taking turns: `packets` packets
// of the source (round and round) in chunks of 7, a turn after each chunk.
struct Rig
{
    explicit Rig(bool listener, int packets = 7) : Session(FanOut, Link, listener, packets)
    {
        FanOut.CollectGuide(false);
        FanOut.WaitForRandomAccess(0);  // connections join at once: this stream marks no random access points
    }

    void Feed(size_t packets)
    {
        const size_t total = Source().size() / kTsPacketSize;
        for (size_t sent = 0; sent < packets; sent += kChunk)
        {
            const size_t at = Fed % total;
            const size_t count = std::min<size_t>(kChunk, total - at);
            FanOut.PutPackets(&Source()[at * kTsPacketSize], static_cast<int>(count));
            Fed += count;
            Turn();
        }
    }
    int Turn()
    {
        const int wait = Session.Step(Link.Now);
        Link.Now += 1;
        return wait;
    }

    CViewerFanOut FanOut;
    FakeLink Link;
    CSrtSession Session;
    size_t Fed = 0;  // packets handed over
};

uint16_t Pid(const unsigned char* packet)
{
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

// Whether `got` from packet `first` on is the looped source from packet
// `from` to `last`.
bool Looped(const Bytes& got, size_t first, size_t from, size_t last)
{
    const size_t total = Source().size() / kTsPacketSize;
    if (got.size() != (first + last - from) * kTsPacketSize)
        return false;
    for (size_t p = from; p < last; ++p)
        if (std::memcmp(&got[(first + p - from) * kTsPacketSize], &Source()[(p % total) * kTsPacketSize],
                        kTsPacketSize) != 0)
            return false;
    return true;
}

// Tables first (`tablesAtLeast` packets or more, the first a PAT), then the
// looped source from `from` to `last`.
void ExpectTablesThenLooped(const Bytes& got, size_t from, size_t last, size_t tablesAtLeast)
{
    ASSERT_EQ(got.size() % kTsPacketSize, 0u);
    const size_t packets = got.size() / kTsPacketSize;
    ASSERT_GE(packets, last - from + tablesAtLeast);
    EXPECT_EQ(Pid(got.data()), 0) << "the first packet is the PAT";
    EXPECT_TRUE(Looped(got, packets - (last - from), from, last)) << "the stream from packet " << from;
}

TEST(SrtSession, ACallerTriesAgainAfterOneSecondDoublingToTen)
{
    Rig rig(false);
    for (int turn = 0; turn < 8; ++turn)
    {
        const int wait = rig.Session.Step(rig.Link.Now);
        rig.Link.Now += static_cast<uint64_t>(wait);
    }
    const std::vector<uint64_t> expected = {0, 1000, 3000, 7000, 15000, 25000, 35000, 45000};
    EXPECT_EQ(rig.Link.Attempts, expected);
    EXPECT_EQ(rig.Session.State(), ESrtState::Connecting);
    EXPECT_STREQ(rig.Session.Reason(), "the listener refused: wrong passphrase");
    // A turn before the attempt is due does not connect.
    rig.Link.Now -= 1;
    rig.Session.Step(rig.Link.Now);
    EXPECT_EQ(rig.Link.Attempts.size(), expected.size());
}

TEST(SrtSession, ACallerSendsTablesFirstThenTheStreamInMessagesOfItsPackets)
{
    Rig rig(false, 3);
    rig.Link.Connects = {41};
    rig.Feed(700);  // the connection is made at the first turn, after chunk 1
    EXPECT_EQ(rig.Session.State(), ESrtState::Connected);
    EXPECT_EQ(rig.Session.Connections(), 1);
    for (int i = 0; i < 10; ++i)
        rig.Turn();
    ExpectTablesThenLooped(rig.Link.Received[41], kChunk, rig.Fed, 1);
    EXPECT_EQ(rig.Link.LargestMessage, 3u * kTsPacketSize);
    EXPECT_TRUE(rig.Link.WholePackets);
    EXPECT_EQ(rig.Session.Drops(), 0u);
}

TEST(SrtSession, ALostConnectionIsTriedAgainAfterOneSecondTablesFirst)
{
    Rig rig(false);
    rig.Link.Connects = {1, -1, 2};
    rig.Feed(140);
    rig.Link.Answer[1] = ESrtSend::Lost;
    rig.Feed(kChunk);
    EXPECT_EQ(rig.Session.State(), ESrtState::Connecting);
    EXPECT_STREQ(rig.Session.Reason(), "the connection was lost");
    EXPECT_EQ(rig.Link.Closed, std::set<int>{1});
    EXPECT_EQ(rig.Session.Connections(), 0);
    // Refused at 1 s, connected 2 s later.
    const uint64_t lost = rig.Link.Now - 1;
    while (rig.Link.Attempts.size() < 3)
        rig.Feed(kChunk);
    EXPECT_EQ(rig.Link.Attempts[1], lost + 1000);
    EXPECT_EQ(rig.Link.Attempts[2], lost + 3000);
    const size_t join = rig.Fed;
    rig.Feed(70);
    rig.Turn();
    ExpectTablesThenLooped(rig.Link.Received[2], join, rig.Fed, 1);
}

// One far end stops reading for longer than the ring holds: it loses what
// was written over, once counted, and goes on from a packet boundary with
// its tables; the listener's other caller gets every byte.
TEST(SrtSession, AFarEndThatCannotKeepUpDropsAndTheOthersLoseNothing)
{
    Rig rig(true);
    rig.Link.Waiting = {7, 8};
    rig.Link.Answer[8] = ESrtSend::Full;
    rig.Feed(kStreamRingPackets + 7000);
    EXPECT_EQ(rig.Session.Connections(), 2);
    rig.Link.Answer[8] = ESrtSend::Sent;
    rig.Feed(700);
    rig.Turn();
    EXPECT_EQ(rig.Session.Drops(), 1u);
    EXPECT_EQ(rig.Link.Closed.size(), 0u);
    // The fast one: its tables, then every packet handed over since it
    // joined at the second chunk, in order.
    ExpectTablesThenLooped(rig.Link.Received[7], kChunk, rig.Fed, 1);
    // The slow one got nothing before its drop: its tables, then the stream
    // from where it joined again to the end, without a gap.
    const Bytes& slow = rig.Link.Received[8];
    const size_t packets = slow.size() / kTsPacketSize;
    ASSERT_GT(packets, 0u);
    bool found = false;
    for (size_t tables = 1; tables < 40 && tables < packets && !found; ++tables)
        found = Looped(slow, tables, rig.Fed - (packets - tables), rig.Fed);
    EXPECT_TRUE(found) << "tables, then the stream without a gap to the last packet";
    EXPECT_EQ(Pid(slow.data()), 0);
}

TEST(SrtSession, AListenerServesEightCallersAndClosesTheNinth)
{
    Rig rig(true, 7);
    rig.Link.Waiting = {10, 11, 12, 13, 14, 15, 16, 17, 18};
    rig.Feed(350);
    EXPECT_EQ(rig.Session.Connections(), kMaxSrtCallers);
    EXPECT_EQ(rig.Session.Refused(), 1u);
    EXPECT_EQ(rig.Link.Closed, std::set<int>{18});
    rig.Turn();
    for (int link = 10; link < 18; ++link)
        ExpectTablesThenLooped(rig.Link.Received[link], kChunk, rig.Fed, 1);
    // One goes: its slot takes the next caller.
    rig.Link.Answer[12] = ESrtSend::Lost;
    rig.Feed(kChunk);
    rig.Link.Waiting = {19};
    rig.Feed(kChunk);
    EXPECT_EQ(rig.Session.Connections(), kMaxSrtCallers);
    EXPECT_EQ(rig.Session.Refused(), 1u);
    EXPECT_EQ(rig.Session.State(), ESrtState::Listening);

    rig.Session.CloseAll();
    EXPECT_EQ(rig.Session.Connections(), 0);
    for (int link = 10; link < 20; ++link)
        EXPECT_EQ(rig.Link.Closed.count(link), 1u) << link;
}

}  // namespace
