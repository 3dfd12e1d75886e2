#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "PsiTestStreams.h"
#include "guide/GuideCollector.h"

using namespace psitest;

namespace
{
constexpr int64_t kNow = 1796990400;  // 2026-12-11 12:00:00 UTC, the transponder's time
constexpr uint16_t kTsid = 1;
constexpr uint16_t kOnid = 0xFF01;

using EventKey = std::tuple<uint16_t, uint16_t, int64_t, std::string>;  // program, event id, start, title

TestEvent Event(uint16_t id, int64_t start, int duration, const std::string& title)
{
    return {id, start, duration, ShortEventDescriptor("eng", Text(title), Text(""))};
}

class GuideCollector : public ::testing::Test
{
protected:
    void SetUp() override
    {
        clock.PcUtc = kNow - 3600;  // the PC is an hour off until the transponder says the time
        PutServices();
        Put(kTdtPid, TdtSection(kNow));
    }

    void PutServices()
    {
        clock.MonotonicMs = 1000;
        Put(kPatPid, PatSection(kTsid, 0, {{101, 0x100}, {102, 0x200}, {103, 0x300}}));
        Put(kSdtPid, SdtSection(0x42, kTsid, kOnid, 0, {{101, "P", "One"}}));
    }

    // Time passes on both of the PC's clocks.
    void Wait(int64_t seconds)
    {
        clock.PcUtc += seconds;
        clock.MonotonicMs += seconds * 1000;
    }

    void Put(uint16_t pid, const Bytes& section)
    {
        for (const Packet& packet : maker.Sections(pid, {section}))
            collector->PutPacket(packet.data(), clock);
    }

    void PutEit(uint8_t tableId, uint16_t service, int version, int number, const std::vector<TestEvent>& events,
                uint16_t tsid = kTsid)
    {
        Put(kEitPid, EitEventsSection({tableId, service, tsid, kOnid, version, number, number}, events));
    }

    std::set<EventKey> Events() const
    {
        std::set<EventKey> events;
        const CGuidePool& pool = collector->Pool();
        for (int i = 0; i < kGuideMaxEvents; ++i)
        {
            const SGuideEvent& e = pool.Event(i);
            if (!e.InUse || e.IsPresentFollowing())
                continue;
            std::string text(kGuideEventTextCapacity, '\0');
            text.resize(pool.ReadText(i, &text[0], text.size()));
            uint16_t number = 0;
            for (int s = 0; s < collector->ServiceCount(); ++s)
                if (collector->ServiceSlotAt(s) == e.Service)
                    number = collector->ServiceAt(s).ProgramNumber;
            events.emplace(number, e.EventId, e.Start, text.substr(0, e.Languages[0].TitleLength));
        }
        return events;
    }

    // The event ids present/following names now, -1 for none.
    std::pair<int, int> NowAndNext(int index) const
    {
        const int present = collector->PresentFollowing(index, 0);
        const int following = collector->PresentFollowing(index, 1);
        return {present < 0 ? -1 : collector->Pool().Event(present).EventId,
                following < 0 ? -1 : collector->Pool().Event(following).EventId};
    }

    std::unique_ptr<CGuideCollector> collector{new CGuideCollector};
    PacketMaker maker;
    SGuideClock clock;
};

// A transponder's guide as it is sent over and over: present/following of
// 102 (now 10, next 11) and two schedule segments of 101, one with an event
// that has ended by kNow.
class BroadcastGuide : public GuideCollector
{
protected:
    void SetUp() override { clock.PcUtc = kNow; }

    void PutGuide()
    {
        PutEit(0x4E, 102, 0, 0, {Event(10, kNow - 600, 1800, "Now")});
        PutEit(0x4E, 102, 0, 1, {Event(11, kNow + 1200, 1800, "Next")});
        PutEit(0x50, 101, 0, 0, {Event(1, kNow - 7200, 1800, "ended"), Event(2, kNow - 60, 3600, "on")});
        PutEit(0x50, 101, 0, 8, {Event(3, kNow + 3 * 3600, 3600, "later")});
    }

    // What the guide must hold at kNow.
    void ExpectWholeGuide()
    {
        const std::set<EventKey> expected = {{101, 2, kNow - 60, "on"}, {101, 3, kNow + 3 * 3600, "later"}};
        EXPECT_EQ(Events(), expected);
        EXPECT_EQ(NowAndNext(1), std::make_pair(10, 11));
    }
};

TEST_F(GuideCollector, ServicesAndIdsFromPatAndSdt)
{
    ASSERT_EQ(collector->ServiceCount(), 3);
    EXPECT_EQ(collector->ServiceAt(0).ProgramNumber, 101);
    EXPECT_EQ(collector->ServiceAt(2).ProgramNumber, 103);
    EXPECT_TRUE(collector->HasTransportStreamId());
    EXPECT_EQ(collector->TransportStreamId(), kTsid);
    EXPECT_TRUE(collector->HasOriginalNetworkId());
    EXPECT_EQ(collector->OriginalNetworkId(), kOnid);
}

TEST_F(GuideCollector, ScheduleOfPatServicesOnly)
{
    PutEit(0x50, 101, 0, 0, {Event(1, kNow, 1800, "A"), Event(2, kNow + 1800, 1800, "B")});
    PutEit(0x50, 101, 0, 8, {Event(3, kNow + 3 * 3600, 3600, "C")});  // the next segment
    PutEit(0x51, 102, 0, 0, {Event(9, kNow + 86400 * 4, 600, "D")});  // day 5
    PutEit(0x60, 200, 0, 0, {Event(5, kNow, 600, "other service")});  // not in this PAT
    PutEit(0x60, 102, 0, 0, {Event(6, kNow, 600, "same number, other stream")}, 2);
    const std::set<EventKey> expected = {{101, 1, kNow, "A"},
                                         {101, 2, kNow + 1800, "B"},
                                         {101, 3, kNow + 3 * 3600, "C"},
                                         {102, 9, kNow + 86400 * 4, "D"}};
    EXPECT_EQ(Events(), expected);
    EXPECT_EQ(collector->Counters().Ignored, 2u);
    EXPECT_EQ(collector->Counters().Sections, 3u);
}

TEST_F(GuideCollector, RepeatsAreSkippedAndANewVersionReplacesItsSegment)
{
    PutEit(0x50, 101, 3, 0, {Event(1, kNow, 1800, "A"), Event(2, kNow + 1800, 1800, "B")});
    PutEit(0x50, 101, 3, 1, {Event(4, kNow + 3600, 1800, "D")});
    PutEit(0x50, 101, 3, 8, {Event(3, kNow + 3 * 3600, 3600, "C")});
    PutEit(0x50, 101, 3, 0, {Event(1, kNow, 1800, "A"), Event(2, kNow + 1800, 1800, "B")});
    EXPECT_EQ(collector->Counters().Repeats, 1u);

    // Version 4 of segment 0 drops B and D and renames A; segment 1 stays.
    PutEit(0x50, 101, 4, 0, {Event(1, kNow, 1800, "A2")});
    const std::set<EventKey> expected = {{101, 1, kNow, "A2"}, {101, 3, kNow + 3 * 3600, "C"}};
    EXPECT_EQ(Events(), expected);
}

TEST_F(GuideCollector, PresentAndFollowing)
{
    PutEit(0x4E, 102, 0, 0, {Event(10, kNow - 600, 1800, "Now")});
    PutEit(0x4E, 102, 0, 1, {Event(11, kNow + 1200, 1800, "Next")});
    const int present = collector->PresentFollowing(1, 0);
    const int following = collector->PresentFollowing(1, 1);
    ASSERT_GE(present, 0);
    ASSERT_GE(following, 0);
    EXPECT_EQ(collector->Pool().Event(present).EventId, 10);
    EXPECT_EQ(collector->Pool().Event(following).EventId, 11);
    EXPECT_EQ(collector->PresentFollowing(0, 0), -1);

    // The next event starts: a new version names it present.
    PutEit(0x4E, 102, 1, 0, {Event(11, kNow + 1200, 1800, "Next")});
    EXPECT_EQ(collector->Pool().Event(collector->PresentFollowing(1, 0)).EventId, 11);
    EXPECT_EQ(collector->PresentFollowing(1, 1), -1);  // until section 1 of the new version comes
}

TEST_F(GuideCollector, TransponderTimeAndPruning)
{
    EXPECT_TRUE(collector->HasBroadcastTime());
    EXPECT_EQ(collector->Now(clock), kNow);
    PutEit(0x50, 101, 0, 0,
           {Event(1, kNow - 7200, 1800, "ended"), Event(2, kNow - 60, 120, "ends soon"),
            Event(3, kNow + 3600, 600, "later")});
    // Ended by the transponder's time: never stored.
    EXPECT_EQ(Events().size(), 2u);
    // An event that ends while streaming goes within a second of its end.
    clock.MonotonicMs += 61000;
    collector->Tick(clock);
    const std::set<EventKey> expected = {{101, 3, kNow + 3600, "later"}};
    EXPECT_EQ(Events(), expected);
    EXPECT_EQ(collector->Counters().Pruned, 1u);
}

TEST_F(GuideCollector, PcClockUntilTheFirstTime)
{
    std::unique_ptr<CGuideCollector> fresh(new CGuideCollector);
    EXPECT_FALSE(fresh->HasBroadcastTime());
    EXPECT_EQ(fresh->Now(clock), clock.PcUtc);
    // A TOT sets it as a TDT does; a damaged one does not.
    Bytes tot = TotSection(kNow + 5);
    tot[5] ^= 1;
    for (const Packet& packet : maker.Sections(kTdtPid, {tot}))
        fresh->PutPacket(packet.data(), clock);
    EXPECT_FALSE(fresh->HasBroadcastTime());
    EXPECT_EQ(fresh->Counters().Damaged, 1u);
    for (const Packet& packet : maker.Sections(kTdtPid, {TotSection(kNow + 5)}))
        fresh->PutPacket(packet.data(), clock);
    EXPECT_EQ(fresh->Now(clock), kNow + 5);
}

TEST_F(GuideCollector, DamagedSectionsAreCountedAndLeftOut)
{
    Bytes section = EitEventsSection({0x50, 101, kTsid, kOnid, 0, 0, 0}, {Event(1, kNow, 600, "A")});
    section[20] ^= 0x40;  // a bit of the event flips: the CRC no longer holds
    Put(kEitPid, section);
    EXPECT_EQ(collector->Counters().Damaged, 1u);
    EXPECT_TRUE(Events().empty());
    // The right one afterwards is read: the damaged one was not marked seen.
    PutEit(0x50, 101, 0, 0, {Event(1, kNow, 600, "A")});
    EXPECT_EQ(Events().size(), 1u);
}

TEST_F(GuideCollector, AServiceThePatDropsTakesItsEvents)
{
    PutEit(0x50, 101, 0, 0, {Event(1, kNow, 600, "A")});
    PutEit(0x50, 102, 0, 0, {Event(2, kNow, 600, "B")});
    Put(kPatPid, PatSection(kTsid, 1, {{102, 0x200}}));
    const std::set<EventKey> expected = {{102, 2, kNow, "B"}};
    EXPECT_EQ(Events(), expected);
    // Another transport stream: everything goes.
    Put(kPatPid, PatSection(7, 0, {{102, 0x200}}));
    EXPECT_TRUE(Events().empty());
}

// Present/following comes every 2 s, the TDT every 30 s at most: the guide
// often comes first. Until the broadcast's time is known, nothing is judged
// ended by the PC's clock, whichever way it is off.
TEST_F(BroadcastGuide, EitBeforeTheFirstTimeWhateverThePcClockSays)
{
    const struct
    {
        const char* Name;
        int64_t PcOffset;
    } cases[] = {
        {"3 hours ahead (a clock set to local time)", 3 * 3600},
        {"2 years ahead (a recording of 2024 played now)", 2 * 365 * 86400},
        {"3 hours behind", -3 * 3600},
        {"2 years behind", -2 * 365 * 86400},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        collector.reset(new CGuideCollector);
        clock.PcUtc = kNow + c.PcOffset;
        PutServices();
        PutGuide();
        EXPECT_FALSE(collector->HasBroadcastTime());
        EXPECT_EQ(NowAndNext(1), std::make_pair(10, 11));
        Wait(2);
        collector->Tick(clock);  // nothing is pruned by the PC's clock
        EXPECT_EQ(Events().size(), 3u);
        // The time comes: what ended by it goes at once, the rest stays.
        Put(kTdtPid, TdtSection(kNow + 2));
        ExpectWholeGuide();
        // And the repeats after it change nothing.
        Wait(2);
        PutGuide();
        ExpectWholeGuide();
    }
}

// The TDT has no CRC: one wrong time prunes what has not ended. The
// sections of what went are read again, so the repeats after the right time
// bring every event back.
TEST_F(BroadcastGuide, ATimeThatJumpsForwardThenBackLosesNothing)
{
    PutServices();
    Put(kTdtPid, TdtSection(kNow));
    PutGuide();
    ExpectWholeGuide();

    Put(kTdtPid, TdtSection(kNow + 86400));
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(NowAndNext(1), std::make_pair(-1, -1));
    PutGuide();  // repeats while the time is wrong: all ended by it
    EXPECT_TRUE(Events().empty());

    Wait(1);
    Put(kTdtPid, TdtSection(kNow + 1));
    PutGuide();
    ExpectWholeGuide();
    // Once all is back, a repeat is skipped again; only the section whose
    // ended event is left out is read again (its times only).
    const uint64_t repeats = collector->Counters().Repeats;
    PutGuide();
    EXPECT_EQ(collector->Counters().Repeats, repeats + 3);
}

// A live event may have no announced duration (all ones): it runs until the
// following one starts.
TEST_F(GuideCollector, ALivePresentEventRunsUntilTheFollowingStarts)
{
    PutEit(0x4E, 102, 0, 0, {Event(10, kNow - 600, -1, "Live")});
    const int present = collector->PresentFollowing(1, 0);
    ASSERT_GE(present, 0);
    EXPECT_EQ(collector->EventEnd(present), kGuideOpenEnd);
    // Undefined outside present/following: no place in a schedule.
    PutEit(0x50, 101, 0, 0, {Event(1, kNow, -1, "no end")});
    EXPECT_TRUE(Events().empty());

    PutEit(0x4E, 102, 0, 1, {Event(11, kNow + 600, 1800, "Next")});
    EXPECT_EQ(collector->EventEnd(present), kNow + 600);
    clock.MonotonicMs += 599 * 1000;
    collector->Tick(clock);
    EXPECT_EQ(NowAndNext(1), std::make_pair(10, 11));
    clock.MonotonicMs += 1000;
    collector->Tick(clock);
    EXPECT_EQ(NowAndNext(1), std::make_pair(-1, 11));
}

// A full pool refuses an event farther than all it holds; the section is not
// marked seen, so the event comes with a repeat once there is room.
TEST_F(GuideCollector, AnEventRefusedForRoomComesBackWithARepeat)
{
    // Events of two minutes from day 2 to 30, 80 a section: the pool full.
    constexpr int kPerSection = 80;
    constexpr int sections = kGuideMaxEvents / kPerSection;
    static_assert(sections * kPerSection == kGuideMaxEvents, "");
    for (int n = 0; n < sections; ++n)
    {
        std::vector<TestEvent> events;
        for (int i = 0; i < kPerSection; ++i)
        {
            const int id = n * kPerSection + i;
            events.push_back({static_cast<uint16_t>(id), kNow + 86400 + 120 * id, 120, {}});
        }
        PutEit(static_cast<uint8_t>(0x51 + n / 256), 103, 0, n % 256, events);
    }
    ASSERT_EQ(collector->Pool().Count(), kGuideMaxEvents);
    EXPECT_EQ(collector->Pool().Refused(), 0u);
    PutEit(0x5F, 101, 0, 0, {Event(1, kNow + 60 * 86400, 600, "far")});
    EXPECT_EQ(collector->Pool().Refused(), 1u);
    EXPECT_TRUE(Events().count({101, 1, kNow + 60 * 86400, "far"}) == 0);

    // A new version empties the first segment of 103: room for it now.
    PutEit(0x51, 103, 1, 0, {});
    PutEit(0x5F, 101, 0, 0, {Event(1, kNow + 60 * 86400, 600, "far")});
    EXPECT_TRUE(Events().count({101, 1, kNow + 60 * 86400, "far"}) == 1);
}
}  // namespace
