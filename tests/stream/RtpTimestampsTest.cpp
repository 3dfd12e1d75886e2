// The RTP timestamps: the counter of 90 per datagram, and the 90 kHz clock
// from a monotonic counter that the test drives: the conversion for the
// counters Windows has (exact against 128-bit arithmetic, no overflow over
// years), each datagram stamped when it goes, continuity across Stop and
// Start, a counter that stands still or steps back, and wrap-arounds of the
// counter and of the 32-bit timestamp.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rtp/RtpFraming.h"
#include "rtp/RtpTimestamps.h"

namespace
{
// The counter the clock reads: the test sets it between datagrams.
uint64_t g_now = 0;
uint64_t FakeCounter()
{
    return g_now;
}

uint32_t ExactTicks(uint64_t counts, uint64_t frequency)
{
    return static_cast<uint32_t>(static_cast<unsigned __int128>(counts) * 90000 / frequency);
}

// The timestamps SendChunks gives to `datagrams` chunks sent in one call,
// with the counter advancing `step` before each datagram.
std::vector<uint32_t> StampedByOneCall(CRtpTimestamps& stamps, uint32_t& timestamp, int datagrams, uint64_t step)
{
    std::vector<unsigned char> data(static_cast<size_t>(datagrams) * kTsPacketSize, 0x47);
    std::vector<uint32_t> seen;
    uint16_t sequence = 0;
    auto advancing = [&stamps, step](uint32_t previous) {
        g_now += step;
        return stamps(previous);
    };
    SendChunks(data.data(), static_cast<int>(data.size()), kTsPacketSize, EDatagramFraming::Rtp, sequence, timestamp,
               advancing, [&seen](const unsigned char* d, int) {
                   seen.push_back(static_cast<uint32_t>(d[4]) << 24 | static_cast<uint32_t>(d[5]) << 16 |
                                  static_cast<uint32_t>(d[6]) << 8 | d[7]);
                   return true;
               });
    return seen;
}
}  // namespace

TEST(RtpTimestamps, CountsToTicksForEveryKindOfCounter)
{
    const uint64_t day = 86400;
    // Windows' usual 10 MHz, the ACPI timer's 3.579545 MHz, a TSC at 2.4 GHz
    // and at 4 GHz, the clock's own rate, a 1 Hz oddity, and nanoseconds.
    for (const uint64_t f : {uint64_t(10000000), uint64_t(3579545), uint64_t(2400000000), uint64_t(4000000000),
                             uint64_t(90000), uint64_t(1), uint64_t(1000000000)})
    {
        SCOPED_TRACE(f);
        for (const uint64_t counts : {uint64_t(0), uint64_t(1), f - 1, f, f + 1, 3 * f / 7, day * f, 365 * day * f,
                                      4000 * 365 * day * f / 1000, uint64_t(1) << 63, UINT64_MAX})
            EXPECT_EQ(static_cast<uint32_t>(CountsToRtpTicks(counts, f)), ExactTicks(counts, f)) << counts;
    }
    // Beyond any counter in use the rest of a second loses precision, never
    // more than a tick, and still nothing overflows.
    for (const uint64_t f : {UINT64_MAX / 90000 + 1, UINT64_MAX / 3, UINT64_MAX})
        for (const uint64_t counts : {f - 1, f / 2, f + f / 3, UINT64_MAX})
        {
            const uint32_t got = static_cast<uint32_t>(CountsToRtpTicks(counts, f));
            const uint32_t exact = ExactTicks(counts, f);
            EXPECT_LE(static_cast<uint32_t>(exact - got + 1), 2u) << f << " " << counts;  // exact -1, 0 or +1
        }
}

TEST(RtpTimestamps, CounterAddsNinetyPerDatagram)
{
    CRtpTimestamps fresh;  // before any Begin: the counter
    EXPECT_EQ(fresh(0), 90u);
    EXPECT_EQ(fresh(0xFFFFFFD0u), 0x2Au);
    CRtpTimestamps stamps;
    g_now = 5;
    stamps.Begin(ERtpTimestamps::Counter, 10000000, FakeCounter);
    uint32_t timestamp = 0;
    EXPECT_EQ(StampedByOneCall(stamps, timestamp, 3, 12345), (std::vector<uint32_t>{90, 180, 270}))
        << "the counter ignores the time";
    // The clock without a counter to read falls back to the counter.
    stamps.Begin(ERtpTimestamps::Clock, 0, FakeCounter);
    EXPECT_EQ(stamps.Mode(), ERtpTimestamps::Counter);
    stamps.Begin(ERtpTimestamps::Clock, 10000000, nullptr);
    EXPECT_EQ(stamps.Mode(), ERtpTimestamps::Counter);
    EXPECT_EQ(stamps(1000), 1090u);
}

// Far from 1000 datagrams a second, the clock still spans real time, where
// the counter would span 90 x datagrams.
TEST(RtpTimestamps, ClockFollowsTheTimeEachDatagramGoes)
{
    struct Case
    {
        uint64_t frequency;
        uint64_t datagramsPerSecond;
    };
    for (const Case c : {Case{10000000, 380}, Case{10000000, 2850}, Case{3579545, 7}, Case{2400000000, 1000}})
    {
        SCOPED_TRACE(testing::Message() << c.frequency << " Hz, " << c.datagramsPerSecond << " datagrams a second");
        CRtpTimestamps stamps;
        g_now = 123456789;
        const uint64_t begin = g_now;
        stamps.Begin(ERtpTimestamps::Clock, c.frequency, FakeCounter);
        uint32_t timestamp = 777;
        const uint64_t step = c.frequency / c.datagramsPerSecond;
        const int datagrams = static_cast<int>(c.datagramsPerSecond);  // a second's worth
        const std::vector<uint32_t> seen = StampedByOneCall(stamps, timestamp, datagrams, step);
        ASSERT_EQ(seen.size(), static_cast<size_t>(datagrams));
        for (size_t i = 0; i < seen.size(); ++i)
            ASSERT_EQ(seen[i], 777 + ExactTicks((i + 1) * step, c.frequency)) << i;
        EXPECT_EQ(timestamp, seen.back());
        EXPECT_NEAR(static_cast<double>(timestamp - 777), 90000.0 * static_cast<double>(g_now - begin) /
                                                              static_cast<double>(c.frequency), 1.0);
    }
}

// Stop and Start: the next run goes on from the last timestamp sent plus the
// time since its own Begin, whichever way either run counted; the pause
// between them does not count.
TEST(RtpTimestamps, RunsGoOnFromTheLastTimestamp)
{
    const uint64_t f = 10000000;
    CRtpTimestamps stamps;
    uint32_t timestamp = 0xFFFFFF00u;  // a new object's timestamps start at 0; this one wraps
    g_now = 1000;
    stamps.Begin(ERtpTimestamps::Clock, f, FakeCounter);
    const std::vector<uint32_t> first = StampedByOneCall(stamps, timestamp, 4, f / 100);  // 10 ms apart
    EXPECT_EQ(first, (std::vector<uint32_t>{0xFFFFFF00u + 900, 0xFFFFFF00u + 1800, 0xFFFFFF00u + 2700,
                                            0xFFFFFF00u + 3600}));
    const uint32_t lastOfFirstRun = timestamp;

    g_now += 3600 * f;  // an hour stopped
    stamps.Begin(ERtpTimestamps::Clock, f, FakeCounter);
    g_now += f / 1000;  // the first datagram 1 ms after Start
    EXPECT_EQ(stamps(timestamp), lastOfFirstRun + 90);
    timestamp = lastOfFirstRun + 90;

    // Counter, then clock again: each goes on from the other's last value.
    stamps.Begin(ERtpTimestamps::Counter, f, FakeCounter);
    EXPECT_EQ(StampedByOneCall(stamps, timestamp, 2, f), (std::vector<uint32_t>{lastOfFirstRun + 180,
                                                                              lastOfFirstRun + 270}));
    stamps.Begin(ERtpTimestamps::Clock, f, FakeCounter);
    EXPECT_EQ(StampedByOneCall(stamps, timestamp, 1, 0), (std::vector<uint32_t>{lastOfFirstRun + 270}))
        << "sent at once after Start: the last value itself, never less";
}

// Datagrams of one call within one tick share it; a counter that reads lower
// than before stands still rather than stepping the timestamps back, and
// what follows goes on from the latest reading without a jump.
TEST(RtpTimestamps, NeverStepsBack)
{
    const uint64_t f = 90000;  // one count a tick, to read the results plainly
    CRtpTimestamps stamps;
    g_now = 500;
    stamps.Begin(ERtpTimestamps::Clock, f, FakeCounter);
    uint32_t timestamp = 40;
    EXPECT_EQ(StampedByOneCall(stamps, timestamp, 3, 0), (std::vector<uint32_t>{40, 40, 40}));
    g_now = 510;
    EXPECT_EQ(stamps(timestamp), 50u);
    g_now = 505;  // back
    EXPECT_EQ(stamps(50), 50u);
    g_now = 400;  // before Begin
    EXPECT_EQ(stamps(50), 50u);
    g_now = 512;
    EXPECT_EQ(stamps(50), 52u);
}

// The 64-bit counter wrapping around, and long runs: differences carry on,
// and the 32-bit timestamp wraps as RTP's does.
TEST(RtpTimestamps, WrapsAndLongRuns)
{
    {
        const uint64_t f = 10000000;
        CRtpTimestamps stamps;
        g_now = UINT64_MAX - f / 2;  // half a second before the counter wraps
        stamps.Begin(ERtpTimestamps::Clock, f, FakeCounter);
        uint32_t timestamp = 7;
        const std::vector<uint32_t> seen = StampedByOneCall(stamps, timestamp, 4, f / 4);
        EXPECT_EQ(seen, (std::vector<uint32_t>{7 + 22500, 7 + 45000, 7 + 67500, 7 + 90000}));
    }
    {
        // A run of 400 days on a 2.4 GHz counter: 90 kHz ticks overflow 64
        // bits when multiplied naively within hours.
        const uint64_t f = 2400000000;
        CRtpTimestamps stamps;
        g_now = 0;
        stamps.Begin(ERtpTimestamps::Clock, f, FakeCounter);
        for (const uint64_t seconds : {uint64_t(3600), uint64_t(86400), uint64_t(400) * 86400})
        {
            g_now = seconds * f + f / 3;
            const uint64_t ticks = seconds * 90000 + 30000;
            EXPECT_EQ(stamps(0), static_cast<uint32_t>(ticks)) << seconds;
        }
    }
}
