#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "guide/GuidePool.h"

namespace
{
constexpr int64_t kStart = 1796990400;  // 2026-12-11 12:00:00 UTC

std::unique_ptr<SDecodedEvent> MakeEvent(uint16_t id, int64_t start, const std::string& title,
                                         const std::string& desc = "")
{
    std::unique_ptr<SDecodedEvent> e(new SDecodedEvent);
    e->EventId = id;
    e->Start = start;
    e->Duration = 1800;
    e->nLanguages = 1;
    std::memcpy(e->Languages[0].Code, "eng", 4);
    e->Languages[0].TitleLength = title.size();
    std::memcpy(e->Languages[0].Title, title.data(), title.size());
    e->Languages[0].DescLength = desc.size();
    std::memcpy(e->Languages[0].Desc, desc.data(), desc.size());
    return e;
}

std::string TextOf(const CGuidePool& pool, int slot)
{
    std::string text(kGuideEventTextCapacity, '\0');
    text.resize(pool.ReadText(slot, &text[0], text.size()));
    return text;
}

class GuidePool : public ::testing::Test
{
protected:
    std::unique_ptr<CGuidePool> pool{new CGuidePool};
};

TEST_F(GuidePool, StoresFindsReplacesAndRemoves)
{
    const std::string desc(1000, 'd');  // across several blocks
    auto event = MakeEvent(7, kStart, "Title", desc);
    const int slot = pool->Add(*event, 3, 0x50, 0);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(pool->Find(3, 7, false), slot);
    EXPECT_EQ(pool->Find(3, 7, true), -1);   // present/following are kept apart from the schedule
    EXPECT_EQ(pool->Find(4, 7, false), -1);
    EXPECT_EQ(TextOf(*pool, slot), "Title" + desc);
    EXPECT_EQ(pool->Event(slot).Languages[0].TitleLength, 5);
    EXPECT_EQ(pool->BlocksInUse(), 8);  // 1005 bytes

    // The same event from present/following is a second record.
    const int pf = pool->Add(*event, 3, 0x4E, 0);
    ASSERT_GE(pf, 0);
    EXPECT_NE(pf, slot);
    EXPECT_EQ(pool->Count(), 2);

    // Sent again (another segment, a new text): replaced, not doubled.
    auto changed = MakeEvent(7, kStart + 60, "New");
    const int again = pool->Add(*changed, 3, 0x51, 9);
    ASSERT_GE(again, 0);
    EXPECT_EQ(pool->Count(), 2);
    EXPECT_EQ(pool->Find(3, 7, false), again);
    EXPECT_EQ(TextOf(*pool, again), "New");
    EXPECT_EQ(pool->Event(again).Start, kStart + 60);
    EXPECT_EQ(pool->BlocksInUse(), 8 + 1);

    pool->Remove(again);
    pool->Remove(pf);
    EXPECT_EQ(pool->Count(), 0);
    EXPECT_EQ(pool->BlocksInUse(), 0);
    EXPECT_EQ(pool->Find(3, 7, false), -1);
}

TEST_F(GuidePool, FullOfEventsTheFarthestGoFirst)
{
    auto e = MakeEvent(0, kStart, "t");
    for (int i = 0; i < kGuideMaxEvents; ++i)
    {
        e->EventId = static_cast<uint16_t>(i);
        e->Start = kStart + 60 * i;
        ASSERT_GE(pool->Add(*e, 0, 0x50, 0), 0);
    }
    EXPECT_EQ(pool->Count(), kGuideMaxEvents);
    // Nearer than the last: the last goes.
    auto nearer = MakeEvent(60000, kStart - 60, "near");
    ASSERT_GE(pool->Add(*nearer, 9, 0x50, 0), 0);
    EXPECT_EQ(pool->Find(0, static_cast<uint16_t>(kGuideMaxEvents - 1), false), -1);
    EXPECT_GE(pool->Find(0, static_cast<uint16_t>(kGuideMaxEvents - 2), false), 0);
    EXPECT_EQ(pool->Evicted(), 1u);
    // Farther than everything stored: not taken, nothing lost for it.
    auto farther = MakeEvent(60001, kStart + 86400 * 30, "far");
    EXPECT_EQ(pool->Add(*farther, 9, 0x50, 0), -1);
    EXPECT_EQ(pool->Refused(), 1u);
    EXPECT_EQ(pool->Count(), kGuideMaxEvents);
}

TEST_F(GuidePool, FullOfTextTheFarthestGoFirst)
{
    const std::string desc(kEventDescCapacity - 1, 'x');  // 48 blocks with its title
    int stored = 0;
    auto e = MakeEvent(0, kStart, "t", desc);
    for (int i = 0; pool->Evicted() == 0 && pool->Refused() == 0; ++i)
    {
        e->EventId = static_cast<uint16_t>(i);
        e->Start = kStart + 60 * i;
        if (pool->Add(*e, 1, 0x50, 0) >= 0)
            ++stored;
    }
    // The first event that did not fit was the farthest: refused.
    EXPECT_EQ(pool->Refused(), 1u);
    EXPECT_EQ(stored, kGuideTextBlocks / 48);
    auto nearer = MakeEvent(50000, kStart - 600, "n", desc);
    ASSERT_GE(pool->Add(*nearer, 1, 0x50, 0), 0);
    EXPECT_EQ(pool->Evicted(), 1u);
    EXPECT_EQ(pool->Find(1, static_cast<uint16_t>(stored - 1), false), -1);
    EXPECT_EQ(TextOf(*pool, pool->Find(1, 50000, false)), "n" + desc);
}

// Whether room can be made is decided before anything goes: an event that
// would not fit even with every later one gone takes nothing out, and a new
// copy of a stored event that does not fit leaves the stored one.
TEST_F(GuidePool, NothingGoesForAnEventThatIsRefusedInTheEnd)
{
    const std::string desc(kEventDescCapacity - 1, 'x');  // 48 blocks with its title
    constexpr int kLarge = kGuideTextBlocks / 48 - 1;
    auto e = MakeEvent(0, kStart, "t", desc);
    for (int i = 0; i < kLarge; ++i)
    {
        e->EventId = static_cast<uint16_t>(i);
        e->Start = kStart + 60 * i;
        ASSERT_GE(pool->Add(*e, 1, 0x50, 0), 0);
    }
    // The last 48 blocks: an event of one block each, after the large ones.
    auto small = MakeEvent(0, 0, "s");
    for (int i = 0; i < 48; ++i)
    {
        small->EventId = static_cast<uint16_t>(10000 + i);
        small->Start = kStart + 60 * (kLarge + i);
        ASSERT_GE(pool->Add(*small, 1, 0x50, 0), 0);
    }
    ASSERT_EQ(pool->BlocksInUse(), kGuideTextBlocks);
    const int count = pool->Count();

    // Later than all but the last ten small ones: their 10 blocks are not 48.
    e->EventId = 20000;
    e->Start = kStart + 60 * (kLarge + 38) - 1;
    EXPECT_EQ(pool->Add(*e, 2, 0x50, 0), -1);
    EXPECT_EQ(pool->Refused(), 1u);
    EXPECT_EQ(pool->Evicted(), 0u);
    EXPECT_EQ(pool->Count(), count);
    EXPECT_GE(pool->Find(1, 10047, false), 0);

    // A small one sent again with a large text, with nothing later than it to go.
    auto grown = MakeEvent(10047, kStart + 60 * (kLarge + 47), "s", desc);
    EXPECT_EQ(pool->Add(*grown, 1, 0x50, 0), -1);
    const int kept = pool->Find(1, 10047, false);
    ASSERT_GE(kept, 0);
    EXPECT_EQ(TextOf(*pool, kept), "s");
    EXPECT_EQ(pool->Count(), count);
}

TEST_F(GuidePool, IndexAgreesWithAModelThroughManyChanges)
{
    // Keys that crowd the index (few services, clustered ids) and removals
    // in every order: the probing must find every stored event.
    std::mt19937 random(23);
    std::map<uint32_t, int> model;  // service << 16 | id -> slot
    auto e = MakeEvent(0, kStart, "x");
    for (int step = 0; step < 60000; ++step)
    {
        const uint16_t service = static_cast<uint16_t>(random() % 4);
        const uint16_t id = static_cast<uint16_t>(random() % 6000);
        const uint32_t key = static_cast<uint32_t>(service) << 16 | id;
        if (random() % 3 == 0)
        {
            auto it = model.find(key);
            if (it != model.end())
            {
                pool->Remove(it->second);
                model.erase(it);
            }
        }
        else
        {
            e->EventId = id;
            e->Start = kStart + id;
            const int slot = pool->Add(*e, service, 0x50, 0);
            ASSERT_GE(slot, 0);
            model[key] = slot;
        }
    }
    EXPECT_EQ(pool->Count(), static_cast<int>(model.size()));
    for (uint16_t service = 0; service < 4; ++service)
        for (uint16_t id = 0; id < 6000; ++id)
        {
            auto it = model.find(static_cast<uint32_t>(service) << 16 | id);
            ASSERT_EQ(pool->Find(service, id, false), it == model.end() ? -1 : it->second) << service << " " << id;
        }
}
}  // namespace
