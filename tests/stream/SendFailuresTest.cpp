// When sending counts as failing and when as succeeding again: the rules that
// decide what the dialog and the host's log are told, on a clock of the
// test's own. Each datagram takes one millisecond unless a case says
// otherwise.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "rtp/SendFailures.h"

namespace {

constexpr int kNetUnreachable = 10051;

// Sends datagrams through a CSendFailures as the sender does, and records the
// changes it reports and how often it read the clock.
class Sender
{
public:
    uint32_t now = 5000;
    uint32_t step = 1;       // ms per datagram
    int clockReads = 0;
    CSendFailures failures;
    struct Change
    {
        bool failing;
        uint32_t at;
        uint64_t refusedInEpisode;
    };
    std::vector<Change> changes;

    void Send(bool accepted, int error = kNetUnreachable)
    {
        now += step;
        if (accepted)
            failures.Accepted([this] {
                ++clockReads;
                return now;
            });
        else
            failures.Refused(error);
        if (failures.TakeChange())
            changes.push_back({failures.Failing(), now, failures.RefusedInEpisode()});
    }

    void SendMany(int count, bool accepted)
    {
        for (int i = 0; i < count; ++i)
            Send(accepted);
    }
};

}  // namespace

TEST(SendFailures, CountsRefusalsAndKeepsTheLastError)
{
    Sender s;
    s.SendMany(10, true);
    EXPECT_EQ(s.failures.Refused(), 0u);
    EXPECT_FALSE(s.failures.Failing());
    EXPECT_TRUE(s.changes.empty());
    EXPECT_EQ(s.clockReads, 0) << "no clock while everything is accepted";

    s.Send(false, 10065);
    s.Send(false, kNetUnreachable);
    s.Send(true);
    s.Send(false, 10013);
    EXPECT_EQ(s.failures.Refused(), 3u);
    EXPECT_EQ(s.failures.LastError(), 10013);
    EXPECT_TRUE(s.failures.Failing());
    ASSERT_EQ(s.changes.size(), 1u);
    EXPECT_TRUE(s.changes[0].failing);

    s.failures.Reset();
    EXPECT_EQ(s.failures.Refused(), 0u);
    EXPECT_EQ(s.failures.LastError(), 0);
    EXPECT_FALSE(s.failures.Failing());
    EXPECT_FALSE(s.failures.TakeChange());
}

// An outage: one change when the first datagram is refused, one when a clean
// second has passed, none in between however long either lasts.
TEST(SendFailures, AnOutageIsOneEpisode)
{
    Sender s;
    s.SendMany(100, true);
    s.SendMany(4000, false);  // 4 s without a link
    ASSERT_EQ(s.changes.size(), 1u);
    EXPECT_TRUE(s.changes[0].failing);
    EXPECT_EQ(s.changes[0].at, 5000u + 101u);
    EXPECT_EQ(s.clockReads, 0) << "a refused datagram never reads the clock";

    s.SendMany(999, true);
    EXPECT_TRUE(s.failures.Failing()) << "less than a clean second";
    s.SendMany(100, true);
    ASSERT_EQ(s.changes.size(), 2u);
    EXPECT_FALSE(s.changes[1].failing);
    EXPECT_EQ(s.changes[1].refusedInEpisode, 4000u);
    // The clean run began 1 ms after the last refusal; it is checked every
    // 32 datagrams, so it ends at the first check a second or more later.
    const uint32_t cleanSince = 5000u + 4100u + 1u;
    EXPECT_GE(s.changes[1].at - cleanSince, CSendFailures::kCleanRunMs);
    EXPECT_LT(s.changes[1].at - cleanSince, CSendFailures::kCleanRunMs + CSendFailures::kCleanRunDatagrams);
    // One read when the run began, one per 32 datagrams of it.
    EXPECT_LE(s.clockReads, 1 + 1100 / static_cast<int>(CSendFailures::kCleanRunDatagrams));

    s.SendMany(5000, true);
    EXPECT_EQ(s.changes.size(), 2u);
    EXPECT_EQ(s.failures.Refused(), 4000u) << "the count runs from the start, not per episode";
}

// A link that drops every other datagram, or one in ten, never has a clean
// run: it fails once and stays failing; the log is not written per datagram.
TEST(SendFailures, FlappingStaysOneEpisode)
{
    for (int every : {2, 3, 10, 31})
    {
        SCOPED_TRACE("one refused in " + std::to_string(every));
        Sender s;
        for (int i = 0; i < 60000; ++i)  // a minute
            s.Send(i % every != 0);
        ASSERT_EQ(s.changes.size(), 1u);
        EXPECT_TRUE(s.changes[0].failing);
        EXPECT_TRUE(s.failures.Failing());
        EXPECT_EQ(s.failures.Refused(), static_cast<uint64_t>((60000 + every - 1) / every));
    }
}

// Many accepted datagrams within a short time are no clean second, and a
// second with few datagrams is no clean run.
TEST(SendFailures, ACleanRunNeedsBothItsDatagramsAndItsSecond)
{
    Sender fast;
    fast.step = 0;  // a burst: the clock stands still
    fast.Send(false);
    fast.SendMany(100000, true);
    EXPECT_TRUE(fast.failures.Failing());

    Sender slow;
    slow.step = 100;  // ten datagrams a second
    slow.Send(false);
    slow.SendMany(CSendFailures::kCleanRunDatagrams - 1, true);  // 3.1 s
    EXPECT_TRUE(slow.failures.Failing());
    slow.Send(true);
    EXPECT_FALSE(slow.failures.Failing());
    ASSERT_EQ(slow.changes.size(), 2u);
}

TEST(SendFailures, TheClockMayWrap)
{
    Sender s;
    s.now = 0xFFFFFF00u;
    s.Send(false);
    s.SendMany(2000, true);
    ASSERT_EQ(s.changes.size(), 2u);
    EXPECT_FALSE(s.changes[1].failing);
    EXPECT_LT(s.changes[1].at, 0x1000u);
}

// Whatever the pattern of refusals: the reported changes alternate, each end
// of an episode comes a clean second after its last refusal, so there are
// never more than two changes in any second.
TEST(SendFailures, ChangesNeverComeFasterThanTwiceASecond)
{
    std::mt19937 random(20261210);
    for (int pattern = 0; pattern < 200; ++pattern)
    {
        Sender s;
        s.step = 1 + random() % 3;
        const int burst = 1 + static_cast<int>(random() % 2000);
        uint32_t lastRefusal = 0;
        bool refusedYet = false;
        for (int i = 0; i < 20000; ++i)
        {
            const bool accepted = (i / burst) % 2 == 0 || random() % 4 == 0;
            s.Send(accepted);
            if (!accepted)
            {
                lastRefusal = s.now;
                refusedYet = true;
            }
            if (!s.changes.empty() && s.changes.back().at == s.now && !s.changes.back().failing)
            {
                ASSERT_TRUE(refusedYet);
                ASSERT_GE(s.now - lastRefusal, CSendFailures::kCleanRunMs) << "pattern " << pattern;
            }
        }
        for (size_t i = 1; i < s.changes.size(); ++i)
            ASSERT_NE(s.changes[i].failing, s.changes[i - 1].failing) << "pattern " << pattern;
        for (size_t i = 2; i < s.changes.size(); ++i)
            ASSERT_GE(s.changes[i].at - s.changes[i - 2].at, CSendFailures::kCleanRunMs) << "pattern " << pattern;
    }
}
