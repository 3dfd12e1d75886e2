#include <gtest/gtest.h>

#include <cstdint>

#include "http/RefusalLog.h"

namespace {

// Refusals and the server's rounds at given times: which refusals get a
// line of their own, and what the counted lines carry.
TEST(RefusalLog, ALineAtOnceAfterAQuietSecondTheRestCountedIntoOneLineASecond)
{
    for (const uint32_t start : {0u, 0xFFFFFE00u}) // the second start wraps the tick count
    {
        SCOPED_TRACE(start);
        CRefusalLog log;
        struct Step
        {
            uint32_t At;     // ms after start
            bool Refusal;    // a refusal (Note), else a round (TakeCounted)
            uint32_t Expect; // Note: 1 when it gets a line; TakeCounted: the count due
        } steps[] = {
            {0, true, 1},     {10, true, 0},    {500, false, 0}, {999, true, 0},   {999, false, 0},
            {1000, false, 2}, {1001, false, 0}, {1500, true, 0}, {1999, false, 0}, {2000, false, 1},
            {2500, false, 0}, {3500, true, 1},  {3600, false, 0}, {4600, false, 0},
        };
        for (const Step& s : steps)
        {
            const uint32_t now = start + s.At;
            if (s.Refusal)
                EXPECT_EQ(log.Note(now) ? 1u : 0u, s.Expect) << "refusal at " << s.At;
            else
                EXPECT_EQ(log.TakeCounted(now), s.Expect) << "round at " << s.At;
        }
    }
}

// A flood of 10 000 refusals over 3 s, with rounds every 10 ms: a line a
// second at most, and every refusal in one.
TEST(RefusalLog, AFloodGetsALineASecondAndEveryRefusalIsCounted)
{
    CRefusalLog log;
    uint32_t lines = 0, logged = 0;
    for (uint32_t i = 0; i < 10000; ++i)
    {
        const uint32_t now = i * 3000 / 10000;
        if (log.Note(now))
            ++lines, ++logged;
        if (i % 33 == 0)
            if (const uint32_t counted = log.TakeCounted(now))
                ++lines, logged += counted;
    }
    for (uint32_t now = 3000; now <= 4000; now += 10)
        if (const uint32_t counted = log.TakeCounted(now))
            ++lines, logged += counted;
    EXPECT_EQ(logged, 10000u);
    EXPECT_LE(lines, 5u); // at 0, 1000, 2000, 3000 and 4000 ms at most
}

} // namespace
