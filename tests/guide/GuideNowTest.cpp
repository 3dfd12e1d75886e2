#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PsiTestStreams.h"
#include "guide/GuideNow.h"

using namespace psitest;

namespace
{
constexpr int64_t kNow = 1796990400;  // 2026-12-11 12:00:00 UTC, the transponder's time
constexpr uint16_t kTsid = 1;
constexpr uint16_t kOnid = 0xFF01;

class GuideNow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        clock.PcUtc = kNow - 3600;
        clock.MonotonicMs = 1000;
        Put(kPatPid, PatSection(kTsid, 0, {{101, 0x100}, {102, 0x200}, {103, 0x300}, {104, 0x400}}));
        Put(kSdtPid, SdtSection(0x42, kTsid, kOnid, 0, {{101, "P", "One"}}));
        Put(kTdtPid, TdtSection(kNow));
    }
    void Put(uint16_t pid, const Bytes& section)
    {
        for (const Packet& packet : maker.Sections(pid, {section}))
            collector->PutPacket(packet.data(), clock);
    }
    void PutEit(uint8_t tableId, uint16_t service, int number, const std::vector<TestEvent>& events)
    {
        Put(kEitPid, EitEventsSection({tableId, service, kTsid, kOnid, 0, number, number}, events));
    }
    std::string Title(int slot)
    {
        char title[kGuideNowTitleCapacity];
        GuideEventTitle(collector->Pool(), slot, scratch.data(), title, sizeof title);
        return title;
    }

    std::unique_ptr<CGuideCollector> collector{new CGuideCollector};
    std::vector<char> scratch = std::vector<char>(kGuideEventTextCapacity);
    PacketMaker maker;
    SGuideClock clock;
};

TestEvent Event(uint16_t id, int64_t start, int duration, const std::string& title, const std::string& language = "eng")
{
    return {id, start, duration, ShortEventDescriptor(language, Text(title), Text("text"))};
}

// Service 101 sends present/following and a schedule that disagrees (the
// p/f wins); 102 only a schedule (the event covering now, the first after
// it); 103 only a schedule that has a gap now; 104 nothing.
TEST_F(GuideNow, PresentFollowingFirstThenTheSchedule)
{
    PutEit(0x50, 101, 0, {Event(1, kNow - 1800, 3600, "Scheduled"), Event(2, kNow + 1800, 3600, "Scheduled next")});
    PutEit(0x4E, 101, 0, {Event(7, kNow - 600, 3600, "Running late")});
    PutEit(0x4E, 101, 1, {Event(8, kNow + 3000, 1800, "After it")});
    PutEit(0x50, 102, 0, {Event(3, kNow + 7200, 600, "Later"), Event(4, kNow - 60, 600, "On"),
                          Event(5, kNow + 540, 600, "Soon")});
    PutEit(0x50, 103, 0, {Event(6, kNow + 600, 600, "After the gap")});

    struct Case
    {
        int index, which;
        const char* title;  // nullptr: none
    } cases[] = {
        {0, 0, "Running late"}, {0, 1, "After it"}, {1, 0, "On"},     {1, 1, "Soon"},
        {2, 0, nullptr},        {2, 1, "After the gap"}, {3, 0, nullptr}, {3, 1, nullptr},
    };
    for (const Case& c : cases)
    {
        const int slot = GuideEventAt(*collector, c.index, c.which, kNow);
        SCOPED_TRACE(std::to_string(c.index) + "/" + std::to_string(c.which));
        if (c.title == nullptr)
        {
            EXPECT_EQ(slot, -1);
            continue;
        }
        EXPECT_GE(slot, 0);
        if (slot >= 0)
        {
            EXPECT_EQ(Title(slot), c.title);
        }
    }

    SGuideNowList list;
    ListEventsNow(*collector, kNow, scratch.data(), list);
    ASSERT_EQ(list.Count, 4);
    EXPECT_EQ(list.Services[0].ProgramNumber, 101);
    EXPECT_TRUE(list.Services[0].Known);
    EXPECT_EQ(list.Services[0].Start, kNow - 600);
    EXPECT_EQ(list.Services[0].End, kNow + 3000);
    EXPECT_STREQ(list.Services[0].Title, "Running late");
    EXPECT_STREQ(list.Services[1].Title, "On");
    EXPECT_FALSE(list.Services[2].Known);
    EXPECT_STREQ(list.Services[2].Title, "");
    EXPECT_EQ(list.Services[3].ProgramNumber, 104);
    EXPECT_FALSE(list.Services[3].Known);

    // An hour on, the p/f event has ended: pruned, the schedule answers.
    clock.MonotonicMs += 3600 * 1000;
    collector->Tick(clock);
    const int slot = GuideEventAt(*collector, 0, 0, kNow + 3600);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(Title(slot), "Scheduled next");
}

// The title of the first language that has one; a long one cut whole
// characters short of the capacity.
TEST_F(GuideNow, TitleOfTheFirstLanguageWithOneCutAtACharacter)
{
    Bytes descriptors = ShortEventDescriptor("deu", Text(""), Text("nur Text"));
    const Bytes second = ShortEventDescriptor("eng", Text("English title"), Text(""));
    descriptors.insert(descriptors.end(), second.begin(), second.end());
    PutEit(0x4E, 101, 0, {{1, kNow - 60, 600, descriptors}});
    // 200 times U+00E9 in UTF-8 (the text starts with the UTF-8 table byte).
    Bytes accented{0x15};
    for (int i = 0; i < 120; ++i)
        accented.insert(accented.end(), {0xC3, 0xA9});
    PutEit(0x4E, 102, 0, {{2, kNow - 60, 600, ShortEventDescriptor("fra", accented, Text(""))}});

    EXPECT_EQ(Title(GuideEventAt(*collector, 0, 0, kNow)), "English title");
    char title[9];
    GuideEventTitle(collector->Pool(), GuideEventAt(*collector, 1, 0, kNow), scratch.data(), title, sizeof title);
    EXPECT_STREQ(title, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");  // 8 bytes: four whole characters
    char odd[8];
    GuideEventTitle(collector->Pool(), GuideEventAt(*collector, 1, 0, kNow), scratch.data(), odd, sizeof odd);
    EXPECT_STREQ(odd, "\xC3\xA9\xC3\xA9\xC3\xA9");  // 7 would cut the fourth: three
}

// A live event without a duration (all ones) is on until the following one
// starts; the dialog's column shows no end while none is known.
TEST_F(GuideNow, ALiveEventWithoutADurationRunsUntilTheFollowing)
{
    PutEit(0x4E, 101, 0, {Event(7, kNow - 600, -1, "Live")});
    SGuideNowList list;
    ListEventsNow(*collector, kNow, scratch.data(), list);
    EXPECT_TRUE(list.Services[0].Known);
    EXPECT_STREQ(list.Services[0].Title, "Live");
    EXPECT_EQ(list.Services[0].Start, kNow - 600);
    EXPECT_EQ(list.Services[0].End, -1);

    PutEit(0x4E, 101, 1, {Event(8, kNow + 900, 1800, "After it")});
    ListEventsNow(*collector, kNow, scratch.data(), list);
    EXPECT_EQ(list.Services[0].End, kNow + 900);
    EXPECT_STREQ(list.Services[0].Title, "Live");
}
}  // namespace
