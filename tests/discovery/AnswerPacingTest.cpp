#include <gtest/gtest.h>

#include <vector>

#include "discovery/AnswerPacing.h"

namespace {

TEST(AnswerBudget, AtMostTheBudgetInAnySecond)
{
    // A flood: one search every millisecond for five seconds.
    CAnswerBudget budget;
    std::vector<int> perSecond(5, 0);
    for (uint64_t ms = 10000; ms < 15000; ++ms)
        if (budget.Take(ms))
            ++perSecond[(ms - 10000) / 1000];
    for (int count : perSecond)
        EXPECT_EQ(count, kAnswersPerSecond);
    // Quiet again: answers at once.
    EXPECT_TRUE(budget.Take(20000));
}

TEST(AnswerBudget, ClockGoingBackStartsAFreshSecondWithoutOverspending)
{
    CAnswerBudget budget;
    for (int i = 0; i < kAnswersPerSecond; ++i)
        EXPECT_TRUE(budget.Take(5000));
    EXPECT_FALSE(budget.Take(5500));
    EXPECT_TRUE(budget.Take(4000));
}

TEST(PendingSearches, AnsweredInDueOrderAndBounded)
{
    CPendingSearches pending;
    const uint64_t due[] = {300, 100, 200};
    for (uint64_t ms : due)
    {
        SPendingSearch search;
        search.Port = static_cast<uint16_t>(ms);
        search.DueMs = ms;
        EXPECT_TRUE(pending.Add(search));
    }
    EXPECT_EQ(pending.NextDueMs(), 100u);
    SPendingSearch out;
    EXPECT_FALSE(pending.TakeDue(99, out));
    std::vector<uint16_t> order;
    while (pending.TakeDue(1000, out))
        order.push_back(out.Port);
    EXPECT_EQ(order, (std::vector<uint16_t>{100, 200, 300}));
    EXPECT_EQ(pending.NextDueMs(), UINT64_MAX);

    for (int i = 0; i < kPendingSearches; ++i)
        EXPECT_TRUE(pending.Add(SPendingSearch()));
    EXPECT_FALSE(pending.Add(SPendingSearch()));
    EXPECT_EQ(pending.Count(), kPendingSearches);
}

TEST(AnnounceSchedule, ThreeAtStartThenBeforeHalfOfMaxAge)
{
    CAnnounceSchedule schedule;
    schedule.Start(1000, 1800);
    std::vector<uint64_t> sent;
    for (uint64_t ms = 0; ms < 1000 + 3600 * 1000; ms += 100)
        if (schedule.Due(ms))
            sent.push_back(ms);
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[0], 1000u);
    EXPECT_EQ(sent[1], 2000u);
    EXPECT_EQ(sent[2], 4000u);
    for (size_t i = 3; i < sent.size(); ++i)
        EXPECT_LT(sent[i] - sent[i - 1], 1800u * 1000 / 2);
}

} // namespace
