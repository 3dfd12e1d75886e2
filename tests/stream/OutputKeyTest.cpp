// The Output2 ... Output16 keys, as the INI file holds them: a table of texts
// and what the module makes of each (settings, or the reason it refuses the
// start), and the collisions between outputs.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/OutputKey.h"

namespace
{
std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (; *text != 0; ++text)
        narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
    return narrow;
}

struct Parsed
{
    EOutputKey result;
    SOutputSettings settings;
    std::string reason;
};

template <class Char>
Parsed Parse(const std::basic_string<Char>& text)
{
    Parsed p{};
    wchar_t reason[kOutputKeyErrorCapacity];
    p.result = ParseOutputKey(text.data(), static_cast<int>(text.size()), p.settings, reason);
    p.reason = p.result == EOutputKey::Refused ? Narrow(reason) : "";
    return p;
}

Parsed Parse(const char* text)
{
    return Parse(std::string(text));
}
}  // namespace

TEST(OutputKey, TheIssuesExampleWithEveryOption)
{
    const Parsed p = Parse("239.255.1.3:5000 programs=202 packets=7 protocol=rtp ttl=4 fec=5x5 from=192.168.1.20");
    ASSERT_EQ(p.result, EOutputKey::Parsed) << p.reason;
    EXPECT_EQ(Narrow(p.settings.szAddress), "239.255.1.3");
    EXPECT_EQ(p.settings.Port, 5000);
    ASSERT_EQ(p.settings.Programs.Count, 1);
    EXPECT_EQ(p.settings.Programs.Numbers[0], 202);
    EXPECT_EQ(p.settings.Packets, 7);
    EXPECT_EQ(p.settings.Send.Protocol, EDatagramFraming::Rtp);
    EXPECT_EQ(p.settings.Send.Ttl, 4);
    EXPECT_EQ(p.settings.Send.Fec.Columns, 5);
    EXPECT_EQ(p.settings.Send.Fec.Rows, 5);
    ASSERT_EQ(p.settings.Send.HasLocalAddress, 1);
    EXPECT_EQ(p.settings.Send.LocalAddress[0], 192);
    EXPECT_EQ(p.settings.Send.LocalAddress[3], 20);
}

// Absent options take output 1's defaults, never output 1's values: a
// complete TS by RTP, 7 packets, the system's TTL, source and buffer.
TEST(OutputKey, AnAddressAloneTakesTheDefaults)
{
    const Parsed p = Parse(std::wstring(L"  10.0.0.2:1234\t"));
    ASSERT_EQ(p.result, EOutputKey::Parsed) << p.reason;
    const SOutputSettings defaults;
    EXPECT_EQ(p.settings.Port, 1234);
    EXPECT_EQ(p.settings.Packets, 7);
    EXPECT_EQ(p.settings.Programs.Count, 0);
    EXPECT_EQ(p.settings.Send.Protocol, EDatagramFraming::Rtp);
    EXPECT_EQ(p.settings.Send.Ttl, 0);
    EXPECT_EQ(p.settings.Send.SendBufferSize, 0);
    EXPECT_EQ(p.settings.Send.HasLocalAddress, 0);
    EXPECT_EQ(p.settings.Send.Fec.Columns, 0);
    EXPECT_EQ(defaults.Packets, 7);
}

TEST(OutputKey, OptionValues)
{
    struct Case
    {
        const char* text;
        int packets;
        EDatagramFraming protocol;
        int ttl;
        int sndbuf;
        int programs;
    };
    const Case cases[] = {
        {"1.2.3.4:9 packets=1", 1, EDatagramFraming::Rtp, 0, 0, 0},
        {"1.2.3.4:9 protocol=UDP", 7, EDatagramFraming::Udp, 0, 0, 0},
        {"1.2.3.4:9 protocol=Rtp ttl=255", 7, EDatagramFraming::Rtp, 255, 0, 0},
        {"1.2.3.4:9 sndbuf=4194304", 7, EDatagramFraming::Rtp, 0, 4194304, 0},
        {"1.2.3.4:9 programs=28106,28107,00042", 7, EDatagramFraming::Rtp, 0, 0, 3},
        {"1.2.3.4:9 programs=5,5", 7, EDatagramFraming::Rtp, 0, 0, 1},  // a repeat counts once
        {"1.2.3.4:65535   ttl=1    packets=3", 3, EDatagramFraming::Rtp, 1, 0, 0},
    };
    for (const Case& c : cases)
    {
        const Parsed p = Parse(c.text);
        ASSERT_EQ(p.result, EOutputKey::Parsed) << c.text << ": " << p.reason;
        EXPECT_EQ(p.settings.Packets, c.packets) << c.text;
        EXPECT_EQ(p.settings.Send.Protocol, c.protocol) << c.text;
        EXPECT_EQ(p.settings.Send.Ttl, c.ttl) << c.text;
        EXPECT_EQ(p.settings.Send.SendBufferSize, c.sndbuf) << c.text;
        EXPECT_EQ(p.settings.Programs.Count, c.programs) << c.text;
    }
}

// Each output stamps its datagrams as output 1's RtpTimestamps key says:
// the counter unless told otherwise (FEC takes the clock whatever it says).
TEST(OutputKey, Timestamps)
{
    struct Case
    {
        const char* text;
        ERtpTimestamps stamps;
        ERtpTimestamps run;
    };
    const Case cases[] = {
        {"1.2.3.4:9", ERtpTimestamps::Counter, ERtpTimestamps::Counter},
        {"1.2.3.4:9 timestamps=clock", ERtpTimestamps::Clock, ERtpTimestamps::Clock},
        {"1.2.3.4:9 timestamps=CLOCK", ERtpTimestamps::Clock, ERtpTimestamps::Clock},
        {"1.2.3.4:9 timestamps=Counter", ERtpTimestamps::Counter, ERtpTimestamps::Counter},
        {"1.2.3.4:9 timestamps=counter fec=5x5", ERtpTimestamps::Counter, ERtpTimestamps::Clock},
    };
    for (const Case& c : cases)
    {
        const Parsed p = Parse(c.text);
        ASSERT_EQ(p.result, EOutputKey::Parsed) << c.text << ": " << p.reason;
        EXPECT_EQ(p.settings.Send.RtpTimestamps, c.stamps) << c.text;
        EXPECT_EQ(RunTimestamps(p.settings.Send), c.run) << c.text;
    }
}

TEST(OutputKey, BlankIsAbsent)
{
    for (const char* text : {"", " ", " \t \r"})
        EXPECT_EQ(Parse(text).result, EOutputKey::Absent) << '"' << text << '"';
    SOutputSettings settings;
    wchar_t reason[kOutputKeyErrorCapacity];
    EXPECT_EQ(ParseOutputKey(static_cast<const char*>(nullptr), 5, settings, reason), EOutputKey::Absent);
}

// Whatever does not parse refuses the start with the reason; the user's text
// is quoted as written (cut when long).
TEST(OutputKey, RefusalsSayWhy)
{
    struct Case
    {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"239.255.1:5000", "not an IPv4 address: \"239.255.1\""},
        {"239.255.1.3", "no port after the address: \"239.255.1.3\""},
        {"0.1.2.3:5000", "not an IPv4 address: \"0.1.2.3\""},
        {"010.1.2.3:5000", "not an IPv4 address: \"010.1.2.3\""},
        {"1.2.3.4.5:5000", "not an IPv4 address: \"1.2.3.4.5\""},
        {"host.example:5000", "not an IPv4 address: \"host.example\""},
        {"1.2.3.4:0", "not a port: \"0\""},
        {"1.2.3.4:65536", "not a port: \"65536\""},
        {"1.2.3.4:", "not a port: \"\""},
        {"1.2.3.4:50x", "not a port: \"50x\""},
        {"1.2.3.4:5000 packets=8", "bad packets: \"8\""},
        {"1.2.3.4:5000 packets=0", "bad packets: \"0\""},
        {"1.2.3.4:5000 packets=", "bad packets: \"\""},
        {"1.2.3.4:5000 protocol=tcp", "bad protocol: \"tcp\""},
        {"1.2.3.4:5000 ttl=256", "bad ttl: \"256\""},
        {"1.2.3.4:5000 ttl=0", "bad ttl: \"0\""},
        {"1.2.3.4:5000 fec=3x3", "bad fec: \"3x3\""},
        {"1.2.3.4:5000 fec=20x20", "bad fec: \"20x20\""},
        {"1.2.3.4:5000 from=0.0.0.0", "bad from: \"0.0.0.0\""},
        {"1.2.3.4:5000 from=10.0.0", "bad from: \"10.0.0\""},
        {"1.2.3.4:5000 programs=abc", "bad programs: \"abc\""},
        {"1.2.3.4:5000 programs=1,,2", "bad programs: \"1,,2\""},
        {"1.2.3.4:5000 programs=1,", "bad programs: \"1,\""},
        {"1.2.3.4:5000 programs=65536", "bad programs: \"65536\""},
        {"1.2.3.4:5000 programs=0", "bad programs: \"0\""},
        {"1.2.3.4:5000 programs=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17", "bad programs: \"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,1...\""},
        {"1.2.3.4:5000 sndbuf=-1", "bad sndbuf: \"-1\""},
        {"1.2.3.4:5000 timestamps=90khz", "bad timestamps: \"90khz\""},
        {"1.2.3.4:5000 timestamps=", "bad timestamps: \"\""},
        {"1.2.3.4:5000 timestamps=clock timestamps=clock", "timestamps given twice"},
        {"1.2.3.4:5000 Packets=3", "not an option: \"Packets=3\""},
        {"1.2.3.4:5000 color=red", "not an option: \"color=red\""},
        {"1.2.3.4:5000 ttl", "not an option: \"ttl\""},
        {"1.2.3.4:5000 ttl=4 ttl=5", "ttl given twice"},
        {"1.2.3.4:5000 ttl = 4", "not an option: \"ttl\""},
        {"1.2.3.4:5000 1.2.3.5:5000", "not an option: \"1.2.3.5:5000\""},
        {"programs=1 1.2.3.4:5000", "no port after the address: \"programs=1\""},
        {"1.2.3.4:5000 ttl=4444444444444444444444444444444444444444444444444444", "bad ttl: \"4444444444444444444444444444444444444444...\""},
    };
    for (const Case& c : cases)
    {
        const Parsed p = Parse(c.text);
        EXPECT_EQ(p.result, EOutputKey::Refused) << c.text;
        EXPECT_EQ(p.reason, c.reason) << c.text;
    }
}

// The text need not be terminated: only `length` characters are read.
TEST(OutputKey, ReadsOnlyTheGivenLength)
{
    const char text[] = "1.2.3.4:5000 ttl=4GARBAGE";
    SOutputSettings settings;
    wchar_t reason[kOutputKeyErrorCapacity];
    ASSERT_EQ(ParseOutputKey(text, static_cast<int>(std::strlen("1.2.3.4:5000 ttl=4")), settings, reason),
              EOutputKey::Parsed);
    EXPECT_EQ(settings.Send.Ttl, 4);
}

TEST(OutputKey, Collisions)
{
    struct Case
    {
        const char* a;
        const char* b;
        bool collide;
        bool same;
    };
    const Case cases[] = {
        {"239.1.1.1:5000", "239.1.1.1:5000", true, true},
        {"239.1.1.1:5000", "239.1.1.2:5000", false, false},
        {"239.1.1.1:5000", "239.1.1.1:5002", false, false},          // no FEC: neighbours are free
        {"239.1.1.1:5000 fec=5x5", "239.1.1.1:5002", true, false},   // onto the column port
        {"239.1.1.1:5004", "239.1.1.1:5000 fec=4x4", true, false},   // onto the row port
        {"239.1.1.1:5000 fec=5x5", "239.1.1.1:5002 fec=5x5", true, false},
        {"239.1.1.1:5000 fec=5x5", "239.1.1.1:5006 fec=5x5", false, false},
        {"239.1.1.1:5000 fec=5x5", "239.1.1.1:5001 fec=5x5", false, false},
        {"239.1.1.1:5000 fec=5x5", "239.1.1.2:5002 fec=5x5", false, false},
    };
    for (const Case& c : cases)
    {
        const Parsed a = Parse(c.a);
        const Parsed b = Parse(c.b);
        ASSERT_EQ(a.result, EOutputKey::Parsed);
        ASSERT_EQ(b.result, EOutputKey::Parsed);
        bool same = false;
        EXPECT_EQ(OutputsCollide(a.settings, b.settings, same), c.collide) << c.a << " / " << c.b;
        EXPECT_EQ(same, c.same) << c.a << " / " << c.b;
        EXPECT_EQ(OutputsCollide(b.settings, a.settings, same), c.collide) << c.b << " / " << c.a;
    }
}

// Settings written back as a key: the destination, then only the options
// that differ from their defaults, in one order; the text parses to the
// same settings.
TEST(OutputKey, WrittenBack)
{
    struct Case
    {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {"  10.0.0.2:1234 ", "10.0.0.2:1234"},
        {"239.255.1.3:5000 programs=202 packets=7 protocol=rtp ttl=4 fec=5x5 from=192.168.1.20",
         "239.255.1.3:5000 programs=202 ttl=4 fec=5x5 from=192.168.1.20"},
        {"1.2.3.4:9 timestamps=clock sndbuf=65536 protocol=UDP packets=3 programs=5,00007,5",
         "1.2.3.4:9 programs=5,7 packets=3 protocol=udp sndbuf=65536 timestamps=clock"},
        {"1.2.3.4:9 timestamps=counter", "1.2.3.4:9"},
        {"1.2.3.4:65535 programs=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16 packets=1 protocol=udp ttl=255 fec=20x5 "
         "from=255.255.255.255 sndbuf=2147483647 timestamps=clock",
         "1.2.3.4:65535 programs=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16 packets=1 protocol=udp ttl=255 fec=20x5 "
         "from=255.255.255.255 sndbuf=2147483647 timestamps=clock"},
    };
    for (const Case& c : cases)
    {
        const Parsed p = Parse(c.text);
        ASSERT_EQ(p.result, EOutputKey::Parsed) << c.text << ": " << p.reason;
        wchar_t written[kOutputKeyWrittenCapacity];
        FormatOutputKey(p.settings, written);
        EXPECT_EQ(Narrow(written), c.written) << c.text;
        const Parsed again = Parse(std::wstring(written));
        ASSERT_EQ(again.result, EOutputKey::Parsed) << c.text;
        wchar_t rewritten[kOutputKeyWrittenCapacity];
        FormatOutputKey(again.settings, rewritten);
        EXPECT_EQ(Narrow(rewritten), c.written) << c.text;
    }
}

// The words Start puts after "Output<k>: " for two outputs that collide.
TEST(OutputKey, CollisionReasons)
{
    const Parsed a = Parse("239.1.1.1:5000 fec=5x5");
    const Parsed b = Parse("239.1.1.1:5002");
    const Parsed c = Parse("239.1.1.1:5000");
    const Parsed d = Parse("239.1.1.2:5000");
    wchar_t reason[kOutputKeyErrorCapacity];
    ASSERT_TRUE(OutputCollisionReason(b.settings, a.settings, 1, reason));
    EXPECT_EQ(Narrow(reason), "FEC ports meet those of output 1");
    ASSERT_TRUE(OutputCollisionReason(c.settings, a.settings, 12, reason));
    EXPECT_EQ(Narrow(reason), "same address and port as Output12");
    EXPECT_FALSE(OutputCollisionReason(d.settings, a.settings, 2, reason));
}
