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
        {"1.2.3.4:5000 Packets=3", "not an option: \"Packets\""},
        {"1.2.3.4:5000 color=red", "not an option: \"color\""},
        {"1.2.3.4:5000 ttl", "not an option: \"ttl\""},
        {"1.2.3.4:5000 ttl=4 ttl=5", "ttl given twice"},
        {"1.2.3.4:5000 ttl = 4", "not an option: \"ttl\""},
        {"1.2.3.4:5000 1.2.3.5:5000", "not an option: \"1.2.3.5:5000\""},
        {"programs=1 1.2.3.4:5000", "the address and port come first, not \"programs\""},
        {"passphrase=0123456789 1.2.3.4:5000", "the address and port come first, not \"passphrase\""},
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
        {"203.0.113.7:9000 latency=120 protocol=srt mode=caller pbkeylen=16 passphrase=0123456789",
         "203.0.113.7:9000 protocol=srt mode=caller passphrase=0123456789"},
        {"0.0.0.0:9000 streamid=#!::r=live/tv,m=publish latency=8000 pbkeylen=32 passphrase=a=b=c=d=e=f mode=listener "
         "protocol=SRT packets=3 programs=9",
         "0.0.0.0:9000 programs=9 packets=3 protocol=srt mode=listener passphrase=a=b=c=d=e=f pbkeylen=32 latency=8000 "
         "streamid=#!::r=live/tv,m=publish"},
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

// protocol=srt with its words: who connects, the passphrase and its key
// length (16 when a passphrase comes alone), the latency and the stream ID.
TEST(OutputKey, SrtOptions)
{
    struct Case
    {
        const char* text;
        ESrtMode mode;
        const char* passphrase;
        int keyLength;
        int latency;
        const char* streamId;
    };
    const std::string longest(kMaxSrtPassphrase, '~');
    const std::string longestId(kMaxSrtStreamId, 'i');
    const std::string everything = "0.0.0.0:1 protocol=srt mode=listener passphrase=" + longest +
                                   " pbkeylen=24 latency=20 streamid=" + longestId + " programs=1,2 packets=1";
    const Case cases[] = {
        {"203.0.113.7:9000 protocol=srt mode=caller", ESrtMode::Caller, "", 0, 120, ""},
        {"0.0.0.0:9000 protocol=srt mode=listener passphrase=0123456789", ESrtMode::Listener, "0123456789", 16, 120, ""},
        {"10.1.1.1:9000 mode=listener protocol=srt latency=8000 streamid=publish:tv", ESrtMode::Listener, "", 0, 8000,
         "publish:tv"},
        {everything.c_str(), ESrtMode::Listener, longest.c_str(), 24, 20, longestId.c_str()},
    };
    for (const Case& c : cases)
    {
        for (const Parsed& p : {Parse(c.text), Parse(std::wstring(c.text, c.text + std::strlen(c.text)))})
        {
            ASSERT_EQ(p.result, EOutputKey::Parsed) << c.text << ": " << p.reason;
            EXPECT_EQ(p.settings.Srt.Mode, c.mode) << c.text;
            EXPECT_STREQ(p.settings.Srt.Passphrase, c.passphrase) << c.text;
            EXPECT_EQ(p.settings.Srt.KeyLength, c.keyLength) << c.text;
            EXPECT_EQ(p.settings.Srt.Latency, c.latency) << c.text;
            EXPECT_STREQ(p.settings.Srt.StreamId, c.streamId) << c.text;
            // SRT carries the packets without an RTP header.
            EXPECT_EQ(p.settings.Send.Protocol, EDatagramFraming::Udp) << c.text;
        }
    }
    // Without protocol=srt an output is no SRT output.
    EXPECT_EQ(Parse("1.2.3.4:5").settings.Srt.Mode, ESrtMode::None);
}

// What Start refuses in an SRT output's key, and why. No reason ever holds
// the passphrase (reasons are logged), not even a mistyped one.
TEST(OutputKey, SrtRefusals)
{
    struct Case
    {
        std::string text;
        const char* reason;
    };
    const char* const kBadPassphrase = "bad passphrase: 10 to 79 printable characters, no blanks";
    const Case cases[] = {
        {"1.2.3.4:9000 protocol=srt", "protocol=srt needs mode=caller or mode=listener"},
        {"1.2.3.4:9000 protocol=srt mode=both", "bad mode: \"both\""},
        {"1.2.3.4:9000 protocol=srt mode=Caller", "bad mode: \"Caller\""},
        {"1.2.3.4:9000 mode=caller", "mode needs protocol=srt"},
        {"1.2.3.4:9000 protocol=udp latency=200", "latency needs protocol=srt"},
        {"1.2.3.4:9000 streamid=x", "streamid needs protocol=srt"},
        {"1.2.3.4:9000 passphrase=0123456789", "passphrase needs protocol=srt"},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=123456789", kBadPassphrase},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=" + std::string(kMaxSrtPassphrase + 1, 'p'), kBadPassphrase},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=" + std::string(200, 'p'), kBadPassphrase},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=secret\x01secret", kBadPassphrase},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=", kBadPassphrase},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=0123456789 passphrase=0123456789",
         "passphrase given twice"},
        {"1.2.3.4:9000 protocol=srt mode=caller Passphrase=0123456789", "not an option: \"Passphrase\""},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=0123456789 pbkeylen=20", "bad pbkeylen: \"20\""},
        {"1.2.3.4:9000 protocol=srt mode=caller passphrase=0123456789 pbkeylen=0", "bad pbkeylen: \"0\""},
        {"1.2.3.4:9000 protocol=srt mode=caller pbkeylen=16", "pbkeylen needs a passphrase"},
        {"1.2.3.4:9000 protocol=srt mode=caller latency=19", "bad latency: \"19\" (20 to 8000 ms)"},
        {"1.2.3.4:9000 protocol=srt mode=caller latency=8001", "bad latency: \"8001\" (20 to 8000 ms)"},
        {"1.2.3.4:9000 protocol=srt mode=caller latency=1s", "bad latency: \"1s\" (20 to 8000 ms)"},
        {"1.2.3.4:9000 protocol=srt mode=caller streamid=" + std::string(kMaxSrtStreamId + 1, 's'),
         "bad streamid: \"ssssssssssssssssssssssssssssssssssssssss...\""},
        {"1.2.3.4:9000 protocol=srt mode=caller packets=8", "bad packets: \"8\""},
        {"1.2.3.4:9000 protocol=srt mode=caller fec=5x5", "fec is not for protocol=srt"},
        {"1.2.3.4:9000 protocol=srt mode=caller ttl=4", "ttl is not for protocol=srt"},
        {"1.2.3.4:9000 protocol=srt mode=caller from=1.2.3.5", "from is not for protocol=srt"},
        {"1.2.3.4:9000 protocol=srt mode=caller sndbuf=65536", "sndbuf is not for protocol=srt"},
        {"1.2.3.4:9000 protocol=srt mode=caller timestamps=clock", "timestamps is not for protocol=srt"},
        {"0.0.0.0:9000 protocol=srt mode=caller",
         "not an IPv4 address: \"0.0.0.0\" (every adapter: for mode=listener only)"},
        {"0.0.0.0:9000", "not an IPv4 address: \"0.0.0.0\""},
        {"0.0.0.1:9000 protocol=srt mode=listener", "not an IPv4 address: \"0.0.0.1\""},
    };
    for (const Case& c : cases)
    {
        const Parsed p = Parse(c.text);
        EXPECT_EQ(p.result, EOutputKey::Refused) << c.text;
        EXPECT_EQ(p.reason, c.reason) << c.text;
        EXPECT_EQ(p.reason.find("0123456789"), std::string::npos) << c.text;
        EXPECT_EQ(p.reason.find("secret"), std::string::npos) << c.text;
        EXPECT_EQ(p.reason.find("ppppp"), std::string::npos) << c.text;
    }
    // Wide text beyond ASCII is no passphrase either: libsrt takes bytes.
    EXPECT_EQ(Parse(std::wstring(L"1.2.3.4:9 protocol=srt mode=caller passphrase=caf\u00e9caf\u00e9caf\u00e9")).reason,
              kBadPassphrase);
}

// What a dialog shows of an SRT output: the passphrase as stars.
TEST(OutputKey, PassphraseMaskedWhereShown)
{
    const Parsed p = Parse("1.2.3.4:9000 protocol=srt mode=caller passphrase=0123456789 pbkeylen=24");
    ASSERT_EQ(p.result, EOutputKey::Parsed) << p.reason;
    wchar_t shown[kOutputKeyWrittenCapacity];
    FormatOutputKey(p.settings, shown, EPassphraseText::Masked);
    EXPECT_EQ(Narrow(shown), "1.2.3.4:9000 protocol=srt mode=caller passphrase=******** pbkeylen=24");
}
