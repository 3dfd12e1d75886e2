// The host program's own logic: how it recognises a transport stream, reads
// PCRs, paces a pass of the file, cuts blocks and reads its command line. A
// wrong clock here would make every paced run (and the live-rate benchmark)
// lie about the rate, so the tables pin exact times.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "HostOptions.h"
#include "TsSource.h"

namespace
{
constexpr uint64_t kPcrWrap = (uint64_t(1) << 33) * 300;

// A packet on `pid`; with `pcr27` >= 0 it carries that PCR in its adaptation field.
std::vector<uint8_t> Packet(uint16_t pid, int64_t pcr27 = -1, bool discontinuity = false)
{
    std::vector<uint8_t> p(kTsPacketBytes, 0xFF);
    p[0] = kTsSync;
    p[1] = static_cast<uint8_t>(pid >> 8);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = 0x10;  // payload only
    if (pcr27 >= 0)
    {
        const uint64_t base = uint64_t(pcr27) / 300, ext = uint64_t(pcr27) % 300;
        p[3] = 0x30;  // adaptation field and payload
        p[4] = 7;
        p[5] = static_cast<uint8_t>(0x10 | (discontinuity ? 0x80 : 0));
        p[6] = static_cast<uint8_t>(base >> 25);
        p[7] = static_cast<uint8_t>(base >> 17);
        p[8] = static_cast<uint8_t>(base >> 9);
        p[9] = static_cast<uint8_t>(base >> 1);
        p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
        p[11] = static_cast<uint8_t>(ext);
    }
    return p;
}

void Append(std::vector<uint8_t>* stream, const std::vector<uint8_t>& packet)
{
    stream->insert(stream->end(), packet.begin(), packet.end());
}

std::vector<uint8_t> PlainStream(size_t packets)
{
    std::vector<uint8_t> s;
    for (size_t i = 0; i < packets; ++i)
        Append(&s, Packet(0x100));
    return s;
}

// `packets` packets on PID 0x100 at `bitsPerSecond`, a PCR every `every`
// packets starting at `firstPcr` (27 MHz ticks, taken modulo the wrap).
std::vector<uint8_t> ConstantRateStream(size_t packets, size_t every, double bitsPerSecond, uint64_t firstPcr)
{
    std::vector<uint8_t> s;
    const double ticksPerPacket = kTsPacketBytes * 8.0 / bitsPerSecond * 27e6;
    for (size_t i = 0; i < packets; ++i)
    {
        const int64_t pcr = i % every == 0 ? int64_t((firstPcr + uint64_t(std::llround(i * ticksPerPacket))) % kPcrWrap)
                                           : -1;
        Append(&s, Packet(0x100, pcr));
    }
    return s;
}

TEST(CheckTransportStream, TellsStreamsFromOtherFiles)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> data;
        const char* errorContains;  // null: accepted
    } cases[] = {
        {"empty", {}, "shorter than one"},
        {"100 bytes", std::vector<uint8_t>(100, kTsSync), "shorter than one"},
        {"one packet", Packet(0), nullptr},
        {"one packet and a tail", [] { auto p = Packet(0); p.resize(200, 0); return p; }(), nullptr},
        {"text", std::vector<uint8_t>(1000, 'a'), "offset 0 (found 0x61)"},
        {"third packet broken", [] {
             std::vector<uint8_t> s;
             for (int i = 0; i < 6; ++i)
                 Append(&s, Packet(0));
             s[2 * kTsPacketBytes] = 0x00;
             return s;
         }(), "offset 376"},
        {"sixth packet broken: beyond the check", [] {
             std::vector<uint8_t> s;
             for (int i = 0; i < 6; ++i)
                 Append(&s, Packet(0));
             s[5 * kTsPacketBytes] = 0x00;
             return s;
         }(), nullptr},
    };
    for (const Case& c : cases)
    {
        const std::string error = CheckTransportStream(c.data.data(), c.data.size());
        if (c.errorContains == nullptr)
            EXPECT_EQ(error, "") << c.name;
        else
            EXPECT_NE(error.find(c.errorContains), std::string::npos) << c.name << ": " << error;
    }
}

TEST(FindPcrs, ReadsBaseExtensionPidAndDiscontinuity)
{
    const int64_t big = int64_t(kPcrWrap - 1);  // every bit of base and extension set
    std::vector<uint8_t> s;
    Append(&s, Packet(0x100, 0));
    Append(&s, Packet(0x1FFE, big, true));
    Append(&s, Packet(0x100));                 // no adaptation field
    auto shortField = Packet(0x100, 12345);
    shortField[4] = 1;                         // too short to hold a PCR
    Append(&s, shortField);
    auto noFlag = Packet(0x100, 12345);
    noFlag[5] = 0;                             // PCR flag clear
    Append(&s, noFlag);
    Append(&s, Packet(0x101, 27000000 + 299));

    const std::vector<PcrSample> pcrs = FindPcrs(s.data(), s.size() / kTsPacketBytes);
    ASSERT_EQ(pcrs.size(), 3u);
    EXPECT_EQ(pcrs[0].packetIndex, 0u);
    EXPECT_EQ(pcrs[0].pcr27, 0u);
    EXPECT_FALSE(pcrs[0].discontinuity);
    EXPECT_EQ(pcrs[1].packetIndex, 1u);
    EXPECT_EQ(pcrs[1].pid, 0x1FFE);
    EXPECT_EQ(pcrs[1].pcr27, uint64_t(big));
    EXPECT_TRUE(pcrs[1].discontinuity);
    EXPECT_EQ(pcrs[2].packetIndex, 5u);
    EXPECT_EQ(pcrs[2].pid, 0x101);
    EXPECT_EQ(pcrs[2].pcr27, 27000299u);
}

TEST(PlaybackClock, ConstantRateStreamsPlayAtTheirOwnRate)
{
    struct Case
    {
        const char* name;
        size_t packets, every;
        double bitsPerSecond;
        uint64_t firstPcr;
    } cases[] = {
        {"4 Mbit/s, PCR every 20 packets", 2000, 20, 4e6, 0},
        {"PCR wraps inside the file", 2000, 20, 4e6, kPcrWrap - 27000000 / 10},
        {"60 Mbit/s, PCR every 7th packet", 5000, 7, 60e6, 123456789},
        {"first PCR not on packet 0, tail after the last", 1003, 50, 1e6, 0},
    };
    for (const Case& c : cases)
    {
        std::vector<uint8_t> s = ConstantRateStream(c.packets, c.every, c.bitsPerSecond, c.firstPcr);
        if (std::string(c.name).find("not on packet 0") != std::string::npos)
        {
            const std::vector<uint8_t> lead = Packet(0x100);
            s.insert(s.begin(), lead.begin(), lead.end());  // shifts every PCR by one packet
        }
        const size_t packets = s.size() / kTsPacketBytes;
        PlaybackClock clock;
        std::string error;
        ASSERT_TRUE(PlaybackClock::FromPcr(s.data(), packets, &clock, &error)) << c.name << ": " << error;
        const double secondsPerPacket = kTsPacketBytes * 8.0 / c.bitsPerSecond;
        EXPECT_NEAR(clock.MeanBitsPerSecond(), c.bitsPerSecond, c.bitsPerSecond * 1e-6) << c.name;
        EXPECT_NEAR(clock.PassSeconds(), packets * secondsPerPacket, 1e-6) << c.name;
        for (size_t i : {size_t(0), size_t(1), c.every / 2, packets / 3, packets - 1, packets})
            EXPECT_NEAR(clock.At(i), i * secondsPerPacket, 1e-6) << c.name << ", packet " << i;
        EXPECT_DOUBLE_EQ(clock.At(packets + 10), clock.PassSeconds()) << c.name;
    }
}

TEST(PlaybackClock, BridgesJumpsAtTheMeanRate)
{
    // 1 Mbit/s with a PCR every 10 packets; then one stretch whose PCR jumps.
    struct Case
    {
        const char* name;
        int64_t jump;       // added to the PCRs from packet 100 on
        bool discontinuity; // marked on packet 100
    } cases[] = {
        {"backwards", -27000000LL * 5, false},
        {"marked discontinuity", 27000000LL * 3, true},
        {"gap of a minute", 27000000LL * 60, false},
    };
    const double secondsPerPacket = kTsPacketBytes * 8.0 / 1e6;
    for (const Case& c : cases)
    {
        std::vector<uint8_t> s;
        for (size_t i = 0; i < 200; ++i)
        {
            int64_t pcr = -1;
            if (i % 10 == 0)
                pcr = int64_t(std::llround(i * secondsPerPacket * 27e6)) + (i >= 100 ? c.jump : 0) + 27000000LL * 100;
            Append(&s, Packet(0x100, pcr, c.discontinuity && i == 100));
        }
        PlaybackClock clock;
        std::string error;
        ASSERT_TRUE(PlaybackClock::FromPcr(s.data(), 200, &clock, &error)) << c.name;
        EXPECT_NEAR(clock.PassSeconds(), 200 * secondsPerPacket, 1e-6) << c.name;
        EXPECT_NEAR(clock.At(150), 150 * secondsPerPacket, 1e-6) << c.name;
    }
}

TEST(PlaybackClock, RefusesStreamsWithoutTwoUsablePcrs)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> data;
        const char* errorContains;
    } cases[] = {
        {"no PCR", PlainStream(50), "no PCR"},
        {"one PCR", [] {
             auto s = PlainStream(50);
             const auto p = Packet(0x100, 42);
             std::memcpy(&s[10 * kTsPacketBytes], p.data(), p.size());
             return s;
         }(), "fewer than two"},
        {"PCR never moves", [] {
             std::vector<uint8_t> s;
             for (int i = 0; i < 20; ++i)
                 Append(&s, Packet(0x100, 1000));
             return s;
         }(), "fewer than two"},
    };
    for (const Case& c : cases)
    {
        PlaybackClock clock;
        std::string error;
        EXPECT_FALSE(PlaybackClock::FromPcr(c.data.data(), c.data.size() / kTsPacketBytes, &clock, &error)) << c.name;
        EXPECT_NE(error.find(c.errorContains), std::string::npos) << c.name << ": " << error;
    }
}

TEST(PlaybackClock, FollowsTheFirstPcrPidOnly)
{
    // PID 0x100 runs at 2 Mbit/s; PID 0x200's PCRs would say 20 Mbit/s.
    std::vector<uint8_t> s;
    const double secondsPerPacket = kTsPacketBytes * 8.0 / 2e6;
    for (size_t i = 0; i < 400; ++i)
    {
        if (i % 10 == 0)
            Append(&s, Packet(0x100, std::llround(i * secondsPerPacket * 27e6)));
        else if (i % 10 == 5)
            Append(&s, Packet(0x200, std::llround(i * secondsPerPacket / 10 * 27e6)));
        else
            Append(&s, Packet(0x100));
    }
    PlaybackClock clock;
    std::string error;
    ASSERT_TRUE(PlaybackClock::FromPcr(s.data(), 400, &clock, &error)) << error;
    EXPECT_NEAR(clock.MeanBitsPerSecond(), 2e6, 1.0);
    EXPECT_NEAR(clock.PassSeconds(), 400 * secondsPerPacket, 1e-6);
}

TEST(PlaybackClock, AtRateIsLinear)
{
    const PlaybackClock clock = PlaybackClock::AtRate(60e6, 1000);
    const double secondsPerPacket = kTsPacketBytes * 8.0 / 60e6;
    for (size_t i : {0, 1, 7, 500, 999, 1000})
        EXPECT_NEAR(clock.At(i), i * secondsPerPacket, 1e-12) << i;
    EXPECT_NEAR(clock.PassSeconds(), 1000 * secondsPerPacket, 1e-12);
}

TEST(BlockSizer, StaysInBoundsReachesBothAndRepeats)
{
    struct Case
    {
        int low, high;
    } cases[] = {{7, 7}, {1, 2}, {7, 100}, {1, 13}};
    for (const Case& c : cases)
    {
        BlockSizer a(c.low, c.high, 1), b(c.low, c.high, 1), other(c.low, c.high, 2);
        std::set<int> seen;
        bool differs = false;
        for (int i = 0; i < 20000; ++i)
        {
            const int n = a.Next();
            ASSERT_GE(n, c.low);
            ASSERT_LE(n, c.high);
            EXPECT_EQ(n, b.Next());
            differs |= other.Next() != n;
            seen.insert(n);
        }
        EXPECT_EQ(*seen.begin(), c.low) << c.low << "-" << c.high;
        EXPECT_EQ(*seen.rbegin(), c.high) << c.low << "-" << c.high;
        EXPECT_EQ(differs, c.high > c.low) << "another seed gives another sequence";
    }
}

TEST(HostOptions, AcceptsWhatTheHelpPromises)
{
    HostOptions o;
    std::string error;
    ASSERT_TRUE(ParseHostOptions({"--module", "m.module", "--ini", "h.ini", "--address", "10.1.2.3", "--port",
                                  "5004", "--packets", "3", "--rate", "60", "--block", "1-13", "--seed", "9",
                                  "--repeat", "4", "--start", "--restart-after", "1.5", "--close-after", "2.5", "--close-when-done",
                                  "--device-type", "5", "--quiet", "x.ts"},
                                 &o, &error))
        << error;
    EXPECT_EQ(o.tsFile, "x.ts");
    EXPECT_EQ(o.modulePath, "m.module");
    EXPECT_EQ(o.iniPath, "h.ini");
    EXPECT_EQ(o.address, "10.1.2.3");
    EXPECT_EQ(o.port, 5004);
    EXPECT_EQ(o.packets, 3);
    EXPECT_EQ(o.pacing, Pacing::Rate);
    EXPECT_DOUBLE_EQ(o.rateMbits, 60.0);
    EXPECT_EQ(o.blockMin, 1);
    EXPECT_EQ(o.blockMax, 13);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.repeats, 4u);
    EXPECT_TRUE(o.pressStart);
    EXPECT_DOUBLE_EQ(o.closeAfterSeconds, 2.5);
    EXPECT_DOUBLE_EQ(o.restartAfterSeconds, 1.5);
    EXPECT_TRUE(o.closeWhenDone);
    EXPECT_EQ(o.deviceTransportType, 5);
    EXPECT_TRUE(o.quiet);

    HostOptions d;
    ASSERT_TRUE(ParseHostOptions({"y.ts"}, &d, &error)) << error;
    EXPECT_EQ(d.pacing, Pacing::Pcr);
    EXPECT_EQ(d.blockMin, 7);
    EXPECT_EQ(d.blockMax, 100);
    EXPECT_EQ(d.repeats, 1u);
    EXPECT_EQ(d.port, -1);
    EXPECT_EQ(d.packets, -1);
    EXPECT_EQ(d.deviceTransportType, 129);
    EXPECT_FALSE(d.pressStart);

    EXPECT_TRUE(d.iniKeys.empty());

    // Any key, in order, the same key twice, and an empty value.
    HostOptions k;
    ASSERT_TRUE(ParseHostOptions({"--ini-key", "Protocol=UDP", "--ini-key", "LocalIPAddress=", "--ini-key",
                                  "TTL=4", "--ini-key", "TTL=a=b", "k.ts"},
                                 &k, &error))
        << error;
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"Protocol", "UDP"}, {"LocalIPAddress", ""}, {"TTL", "4"}, {"TTL", "a=b"}};
    EXPECT_EQ(k.iniKeys, keys);

    HostOptions f;
    ASSERT_TRUE(ParseHostOptions({"--fast", "--block", "50", "--loop", "z.ts"}, &f, &error)) << error;
    EXPECT_EQ(f.pacing, Pacing::Fast);
    EXPECT_EQ(f.blockMin, 50);
    EXPECT_EQ(f.blockMax, 50);
    EXPECT_EQ(f.repeats, 0u);
    EXPECT_DOUBLE_EQ(f.restartEverySeconds, 0.0);
    EXPECT_DOUBLE_EQ(f.sampleEverySeconds, 0.0);

    // A soak: Stop and Start every 10 s, resources printed every 30 s.
    HostOptions s;
    ASSERT_TRUE(ParseHostOptions({"--start", "--rate", "60", "--loop", "--restart-every", "10", "--sample-every",
                                  "30", "--close-after", "1800", "s.ts"},
                                 &s, &error))
        << error;
    EXPECT_DOUBLE_EQ(s.restartEverySeconds, 10.0);
    EXPECT_DOUBLE_EQ(s.restartAfterSeconds, 0.0);
    EXPECT_DOUBLE_EQ(s.sampleEverySeconds, 30.0);
    EXPECT_DOUBLE_EQ(s.closeAfterSeconds, 1800.0);
    EXPECT_EQ(s.repeats, 0u);
}

TEST(HostOptions, RefusesWhatItCannotDo)
{
    struct Case
    {
        std::vector<std::string> args;
        const char* errorContains;
    } cases[] = {
        {{}, "no transport-stream file"},
        {{"a.ts", "b.ts"}, "one transport-stream file"},
        {{"--bogus", "a.ts"}, "unknown option --bogus"},
        {{"a.ts", "--port"}, "--port needs a value"},
        {{"--port", "65536", "a.ts"}, "--port takes"},
        {{"--port", "12x", "a.ts"}, "--port takes"},
        {{"--rate", "0", "a.ts"}, "--rate takes"},
        {{"--rate", "fast", "a.ts"}, "--rate takes"},
        {{"--fast", "--rate", "5", "a.ts"}, "choose one"},
        {{"--block", "0", "a.ts"}, "--block takes"},
        {{"--block", "9-3", "a.ts"}, "--block takes"},
        {{"--block", "3-", "a.ts"}, "--block takes"},
        {{"--address", "", "a.ts"}, "--address takes"},
        {{"--ini-key", "TTL", "a.ts"}, "--ini-key takes KEY=VALUE"},
        {{"--ini-key", "=5", "a.ts"}, "--ini-key takes KEY=VALUE"},
        {{"a.ts", "--ini-key"}, "--ini-key needs a value"},
        {{"--address", "1234.1234.1234.12345", "a.ts"}, "--address takes"},
        {{"--close-after", "-1", "a.ts"}, "--close-after takes"},
        {{"--loop", "--close-when-done", "a.ts"}, "needs a playback that ends"},
        {{"--restart-after", "1", "a.ts"}, "--restart-after needs --start"},
        {{"--start", "--restart-after", "0", "a.ts"}, "--restart-after takes"},
        {{"--restart-every", "10", "a.ts"}, "--restart-every needs --start"},
        {{"--start", "--restart-every", "0", "a.ts"}, "--restart-every takes"},
        {{"--start", "--restart-every", "x", "a.ts"}, "--restart-every takes"},
        {{"--start", "--restart-every", "5", "--restart-after", "1", "a.ts"}, "choose one of --restart-after and --restart-every"},
        {{"--sample-every", "-5", "a.ts"}, "--sample-every takes"},
        {{"a.ts", "--sample-every"}, "--sample-every needs a value"},
    };
    for (const Case& c : cases)
    {
        HostOptions o;
        std::string error;
        EXPECT_FALSE(ParseHostOptions(c.args, &o, &error)) << c.errorContains;
        EXPECT_NE(error.find(c.errorContains), std::string::npos) << "got: " << error;
    }
}
}  // namespace
