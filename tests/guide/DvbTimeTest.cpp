#include <gtest/gtest.h>

#include "guide/DvbTime.h"

namespace
{
struct TimeCase
{
    const char* Name;
    unsigned char Field[5];
    bool Valid;
    int64_t Seconds;
};

// EN 300 468 annex C's own example: 93/10/13 12:45:00 is 0xC079124500.
const TimeCase kTimes[] = {
    {"standard's example", {0xC0, 0x79, 0x12, 0x45, 0x00}, true, 750516300},
    {"epoch", {0x9E, 0x8B, 0x00, 0x00, 0x00}, true, 0},
    {"last second of a day", {0xED, 0x2D, 0x23, 0x59, 0x59}, true, (0xED2D - 40587) * 86400LL + 86399},
    {"undefined", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 0},
    {"hour 24", {0xED, 0x2D, 0x24, 0x00, 0x00}, false, 0},
    {"minute 60", {0xED, 0x2D, 0x10, 0x60, 0x00}, false, 0},
    {"no BCD", {0xED, 0x2D, 0x1A, 0x00, 0x00}, false, 0},
};

TEST(DvbTime, UtcTimesFromMjdAndBcd)
{
    for (const TimeCase& c : kTimes)
    {
        int64_t seconds = -1;
        EXPECT_EQ(DvbUtcTime(c.Field, seconds), c.Valid) << c.Name;
        if (c.Valid)
        {
            EXPECT_EQ(seconds, c.Seconds) << c.Name;
        }
    }
}

TEST(DvbTime, Durations)
{
    const struct
    {
        unsigned char Field[3];
        bool Valid;
        int32_t Seconds;
    } cases[] = {
        {{0x01, 0x45, 0x30}, true, 6330},  // the standard's example
        {{0x99, 0x59, 0x59}, true, 99 * 3600 + 59 * 60 + 59},
        {{0x00, 0x60, 0x00}, false, 0},
        {{0x0F, 0x00, 0x00}, false, 0},
    };
    for (const auto& c : cases)
    {
        int32_t seconds = -1;
        EXPECT_EQ(DvbDuration(c.Field, seconds), c.Valid);
        if (c.Valid)
        {
            EXPECT_EQ(seconds, c.Seconds);
        }
    }
}

TEST(DvbTime, CivilFields)
{
    const SUtcFields example = UtcFields(750516300);
    EXPECT_EQ(example.Year, 1993);
    EXPECT_EQ(example.Month, 10);
    EXPECT_EQ(example.Day, 13);
    EXPECT_EQ(example.Hour, 12);
    EXPECT_EQ(example.Minute, 45);
    EXPECT_EQ(example.Second, 0);
    const SUtcFields leap = UtcFields(951782400);  // 2000-02-29 00:00:00
    EXPECT_EQ(leap.Year, 2000);
    EXPECT_EQ(leap.Month, 2);
    EXPECT_EQ(leap.Day, 29);
    const SUtcFields late = UtcFields(4102444799);  // 2099-12-31 23:59:59
    EXPECT_EQ(late.Year, 2099);
    EXPECT_EQ(late.Month, 12);
    EXPECT_EQ(late.Day, 31);
    EXPECT_EQ(late.Second, 59);
}
}  // namespace
