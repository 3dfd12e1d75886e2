// The optional keys' rules as the INI reader and the dialog share them: which
// texts the dialog takes, what is written for them, that what is written
// reads back as the module read the typed text, and which keys a change of
// the dialog's fields writes, removes or leaves as written by hand.

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "settings/OptionKeys.h"
#include "http/NetworkAllowList.h"

namespace
{
std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; *text != 0; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

void Set(SOptionTexts& texts, EOptionKey key, const wchar_t* text)
{
    std::wcsncpy(texts.Text[key], text, kOptionTextCapacity - 1);
    texts.Text[key][kOptionTextCapacity - 1] = 0;
}

// What the module makes of `text` for `key`, as comparable values.
struct SRead
{
    SSendOptions Send;
    SProgramSelection Programs{};
    SHttpOptions Http;
};

SRead ReadOne(EOptionKey key, const wchar_t* text)
{
    SOptionTexts texts;
    Set(texts, key, text);
    SRead read;
    ReadSendKeys(texts, read.Send, read.Programs);
    ReadHttpKeys(texts, read.Http);
    return read;
}

bool SameReading(const SRead& a, const SRead& b)
{
    return a.Send.Protocol == b.Send.Protocol && a.Send.Ttl == b.Send.Ttl &&
           a.Send.SendBufferSize == b.Send.SendBufferSize && a.Send.HasLocalAddress == b.Send.HasLocalAddress &&
           std::memcmp(a.Send.LocalAddress, b.Send.LocalAddress, 4) == 0 && a.Send.Fec.Columns == b.Send.Fec.Columns &&
           a.Send.Fec.Rows == b.Send.Fec.Rows && a.Send.RtpTimestamps == b.Send.RtpTimestamps &&
           a.Programs.Count == b.Programs.Count &&
           std::memcmp(a.Programs.Numbers, b.Programs.Numbers, sizeof(uint16_t) * a.Programs.Count) == 0 &&
           a.Http.Port == b.Http.Port && a.Http.HasAddress == b.Http.HasAddress &&
           std::memcmp(a.Http.Address, b.Http.Address, 4) == 0 && a.Http.MaxClients == b.Http.MaxClients;
}
}  // namespace

TEST(OptionKeys, NamesAsTheIniFileHasThem)
{
    const wchar_t* names[] = {L"Protocol", L"TTL",      L"LocalIPAddress", L"SendBufferSize", L"FEC",
                              L"RtpTimestamps", L"Programs", L"HttpPort", L"HttpAddress", L"HttpMaxClients",
                              L"HttpAllow", L"Announce"};
    static_assert(sizeof names / sizeof names[0] == kOptionOutput2, "a name for every key before the outputs");
    for (int k = 0; k < kOptionOutput2; ++k)
        EXPECT_STREQ(OptionKeyName(static_cast<EOptionKey>(k)), names[k]);
    for (int number = 2; number <= 16; ++number)
    {
        const EOptionKey key = OutputOptionKey(number);
        EXPECT_TRUE(IsOutputOptionKey(key));
        EXPECT_EQ(OutputNumberOf(key), number);
        EXPECT_EQ(std::wstring(OptionKeyName(key)), L"Output" + std::to_wstring(number));
    }
    EXPECT_EQ(OutputOptionKey(16) + 1, kOptionKeyCount);
    EXPECT_STREQ(OptionKeyName(kOptionKeyCount), L"");
}

// Each key's texts: taken or refused by the dialog, and what is then written
// ("" for the default, which is written as no key).
TEST(OptionKeys, CheckedAndWritten)
{
    struct Case { EOptionKey key; const wchar_t* text; bool valid; const wchar_t* written; };
    const Case cases[] = {
        {kOptionProtocol, L"", true, L""},
        {kOptionProtocol, L"RTP", true, L""},
        {kOptionProtocol, L" rtp ", true, L""},
        {kOptionProtocol, L"udp", true, L"UDP"},
        {kOptionProtocol, L"SRT", false, L""},
        {kOptionProtocol, L"udp://", false, L""},

        {kOptionTtl, L"", true, L""},
        {kOptionTtl, L"0", true, L""},
        {kOptionTtl, L"1", true, L"1"},
        {kOptionTtl, L" 064 ", true, L"64"},
        {kOptionTtl, L"255", true, L"255"},
        {kOptionTtl, L"256", false, L""},
        {kOptionTtl, L"-1", false, L""},
        {kOptionTtl, L"12abc", false, L""},

        {kOptionLocalIPAddress, L"", true, L""},
        {kOptionLocalIPAddress, L"0.0.0.0", true, L""},
        {kOptionLocalIPAddress, L" 192.168.1.20 ", true, L"192.168.1.20"},
        {kOptionLocalIPAddress, L"192.168.1", false, L""},
        {kOptionLocalIPAddress, L"192.168.001.1", false, L""},
        {kOptionLocalIPAddress, L"host.example", false, L""},

        {kOptionSendBufferSize, L"", true, L""},
        {kOptionSendBufferSize, L"0", true, L""},
        {kOptionSendBufferSize, L"1048576", true, L"1048576"},
        {kOptionSendBufferSize, L"2147483647", true, L"2147483647"},
        {kOptionSendBufferSize, L"2147483648", false, L""},
        {kOptionSendBufferSize, L"4M", false, L""},

        {kOptionFec, L"", true, L""},
        {kOptionFec, L"5x5", true, L"5x5"},
        {kOptionFec, L" 10X10 ", true, L"10x10"},
        {kOptionFec, L"05x20", true, L"5x20"},
        {kOptionFec, L"11x10", false, L""},
        {kOptionFec, L"3x10", false, L""},
        {kOptionFec, L"off", false, L""},

        {kOptionRtpTimestamps, L"", true, L""},
        {kOptionRtpTimestamps, L"counter", true, L""},
        {kOptionRtpTimestamps, L" Counter ", true, L""},
        {kOptionRtpTimestamps, L"clock", true, L"clock"},
        {kOptionRtpTimestamps, L" CLOCK ", true, L"clock"},
        {kOptionRtpTimestamps, L"clocks", false, L""},
        {kOptionRtpTimestamps, L"90kHz", false, L""},

        {kOptionPrograms, L"", true, L""},
        {kOptionPrograms, L" , ", true, L""},
        {kOptionPrograms, L"28106", true, L"28106"},
        {kOptionPrograms, L"28106 28107,28106", true, L"28106, 28107"},
        {kOptionPrograms, L"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,16", true,
         L"1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16"},
        {kOptionPrograms, L"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17", false, L""},
        {kOptionPrograms, L"0", false, L""},
        {kOptionPrograms, L"65536", false, L""},
        {kOptionPrograms, L"28106;28107", false, L""},

        {kOptionHttpPort, L"", true, L""},
        {kOptionHttpPort, L"0", true, L""},
        {kOptionHttpPort, L"8001", true, L"8001"},
        {kOptionHttpPort, L"65535", true, L"65535"},
        {kOptionHttpPort, L"65536", false, L""},
        {kOptionHttpPort, L"80x", false, L""},

        {kOptionHttpAddress, L"", true, L""},
        {kOptionHttpAddress, L"10.0.0.9", true, L"10.0.0.9"},
        {kOptionHttpAddress, L"10.0.0", false, L""},

        {kOptionHttpMaxClients, L"", true, L""},
        {kOptionHttpMaxClients, L"8", true, L""},
        {kOptionHttpMaxClients, L"1", true, L"1"},
        {kOptionHttpMaxClients, L"64", true, L"64"},
        {kOptionHttpMaxClients, L"0", false, L""},
        {kOptionHttpMaxClients, L"65", false, L""},

        {kOptionHttpAllow, L"", true, L""},
        {kOptionHttpAllow, L" 192.168.1.0/24, 10.8.0.7 ", true, L"192.168.1.0/24, 10.8.0.7"},
        {kOptionHttpAllow, L"0.0.0.0/0", true, L"0.0.0.0/0"},
        {kOptionHttpAllow, L"192.168.1.0/33", false, L""},
        {kOptionHttpAllow, L"192.168.1.0/24, home", false, L""},
        {kOptionHttpAllow, L",", false, L""},

        {kOptionAnnounce, L"", true, L""},
        {kOptionAnnounce, L"0", true, L""},
        {kOptionAnnounce, L" 1 ", true, L"1"},
        {kOptionAnnounce, L"01", true, L"1"},
        {kOptionAnnounce, L"2", false, L""},
        {kOptionAnnounce, L"yes", false, L""},
        {kOptionAnnounce, L"-1", false, L""},
    };
    for (const Case& c : cases)
    {
        wchar_t written[kOptionTextCapacity];
        const bool valid = CanonicalOptionText(c.key, c.text, written);
        const std::string what = Narrow(OptionKeyName(c.key)) + "=\"" + Narrow(c.text) + "\"";
        EXPECT_EQ(valid, c.valid) << what;
        EXPECT_STREQ(written, c.written) << what;
        const wchar_t* reason = CheckOptionText(c.key, c.text);
        EXPECT_EQ(reason == nullptr, c.valid) << what;
        if (reason != nullptr)
        {
            EXPECT_GT(std::wcslen(reason), 5u) << what;
        }
        // What is written reads back as the module reads what was typed.
        if (c.valid)
        {
            EXPECT_TRUE(SameReading(ReadOne(c.key, c.text), ReadOne(c.key, written))) << what;
        }
    }
}

// The Output keys take what Start takes, and say why in Start's words;
// what is written is the settings with their defaults left out; blanks are
// no output.
TEST(OptionKeys, OutputKeysCheckedAsStartChecksThem)
{
    struct Case { const wchar_t* text; const wchar_t* written; const wchar_t* reason; };
    const Case cases[] = {
        {L"", L"", nullptr},
        {L"   ", L"", nullptr},
        {L" 239.255.1.3:5000  packets=7 protocol=rtp ttl=4 ", L"239.255.1.3:5000 ttl=4", nullptr},
        {L"10.0.0.2:1234 timestamps=CLOCK programs=28106,28107", L"10.0.0.2:1234 programs=28106,28107 timestamps=clock",
         nullptr},
        {L"239.255.1:5000", L"", L"not an IPv4 address: \"239.255.1\""},
        {L"239.255.1.3", L"", L"no port after the address: \"239.255.1.3\""},
        {L"239.255.1.3:5000 ttl=300", L"", L"bad ttl: \"300\""},
        {L"239.255.1.3:5000 speed=fast", L"", L"not an option: \"speed\""},
        {L"239.255.1.3:5000 FEC=5x5", L"", L"not an option: \"FEC\""},
    };
    for (int number = 2; number <= 16; number += 7)
    {
        for (const Case& c : cases)
        {
            const EOptionKey key = OutputOptionKey(number);
            const std::string what = Narrow(OptionKeyName(key)) + "=\"" + Narrow(c.text) + "\"";
            wchar_t written[kOptionTextCapacity];
            EXPECT_EQ(CanonicalOptionText(key, c.text, written), c.reason == nullptr) << what;
            EXPECT_STREQ(written, c.written) << what;
            OptionReasonText reason;
            EXPECT_EQ(CheckOptionText(key, c.text, reason), c.reason == nullptr) << what;
            const std::wstring why = c.reason != nullptr ? OptionKeyName(key) + std::wstring(L": ") + c.reason : L"";
            EXPECT_EQ(std::wstring(reason), why) << what;
            EXPECT_EQ(CheckOptionText(key, c.text) == nullptr, c.reason == nullptr) << what;
        }
    }
    // As long as the read that Start makes could have cut it: refused.
    std::wstring longKey = L"10.0.0.2:1234";
    longKey.resize(kOutputKeyTextCapacity - 1, L' ');
    OptionReasonText reason;
    EXPECT_FALSE(CheckOptionText(kOptionOutput2, longKey.c_str(), reason));
    EXPECT_STREQ(reason, L"Output2: longer than 510 characters");
    longKey.resize(kOutputKeyTextCapacity - 2);
    EXPECT_TRUE(CheckOptionText(kOptionOutput2, longKey.c_str(), reason));
}

// An HttpAllow list that the URL server's buffer would cut is refused
// rather than narrowed by a cut nobody sees; one that fits is taken.
TEST(OptionKeys, AllowListMustFitTheServersBuffer)
{
    std::wstring list;
    while (list.size() + 17 + 8 < kHttpAllowTextCapacity - 1)
        list += L"192.168.100.0/24,";
    list += L"10.0.0.1";
    ASSERT_LT(list.size(), static_cast<size_t>(kHttpAllowTextCapacity));
    EXPECT_EQ(CheckOptionText(kOptionHttpAllow, list.c_str()), nullptr);
    std::wstring spaced;
    for (int i = 0; i < 20; ++i)
        spaced += L"192.168.100.0/24 ,         ";  // 20 networks, 540 characters
    spaced += L"10.0.0.1";
    EXPECT_STREQ(CheckOptionText(kOptionHttpAllow, spaced.c_str()), kHttpAllowTooLongReason);
    // More networks than the server keeps: refused, not cut.
    list.clear();
    for (int i = 0; i <= kMaxAllowedNetworks; ++i)
        list += L"10.0.0." + std::to_wstring(i + 1) + L",";
    EXPECT_STREQ(CheckOptionText(kOptionHttpAllow, list.c_str()), L"Networks such as 192.168.1.0/24, commas between");
}

// One limit for HttpAllow: what the dialog takes (and so writes) Start
// takes; what Start refuses the dialog refuses, with the same words, and a
// paste longer than the field holds is refused, not cut into a valid list.
TEST(OptionKeys, TheDialogAndStartHoldHttpAllowToOneLimit)
{
    const struct
    {
        int Length;   // characters of networks
        bool Taken;
    } cases[] = {
        {kHttpAllowMaxLength - 1, true},
        {kHttpAllowMaxLength, true},
        {kHttpAllowMaxLength + 1, false},      // what the dialog's field holds at most
        {kOptionTextCapacity - 1, false},      // all that a read gives
        {kOptionTextCapacity + 100, false},    // pasted beyond everything
    };
    for (const auto& c : cases)
    {
        // Two networks, blanks between: valid at every length.
        const std::wstring list = L"10.0.0.1," + std::wstring(static_cast<size_t>(c.Length) - 17, L' ') + L"10.0.0.2";
        ASSERT_EQ(list.size(), static_cast<size_t>(c.Length));
        const wchar_t* dialog = CheckOptionText(kOptionHttpAllow, list.c_str());
        EXPECT_EQ(dialog == nullptr, c.Taken) << c.Length;
        if (!c.Taken)
            EXPECT_STREQ(dialog, kHttpAllowTooLongReason) << c.Length;

        SOptionTexts texts;
        Set(texts, kOptionHttpAllow, list.substr(0, kOptionTextCapacity - 1).c_str());  // as a read gives it
        SHttpOptions http;
        ReadHttpKeys(texts, http);
        EXPECT_EQ(http.AllowTooLong == 0, c.Taken) << c.Length;
    }
    EXPECT_NE(std::wstring(kHttpAllowTooLongReason).find(std::to_wstring(kHttpAllowMaxLength)), std::wstring::npos)
        << "the words give the limit";
}

// The reader is lenient where the dialog is strict: invalid values count as
// absent, as before the dialog existed.
TEST(OptionKeys, ReadingKeepsTheLenientRules)
{
    SOptionTexts texts;
    Set(texts, kOptionProtocol, L"udp");
    Set(texts, kOptionTtl, L"300");
    Set(texts, kOptionLocalIPAddress, L"10.1.2.3");
    Set(texts, kOptionSendBufferSize, L"4M");
    Set(texts, kOptionFec, L"10x10");
    Set(texts, kOptionRtpTimestamps, L" Clock");
    Set(texts, kOptionPrograms, L"28106, x, 28107");
    Set(texts, kOptionHttpPort, L"8001");
    Set(texts, kOptionHttpAddress, L"abc");
    Set(texts, kOptionHttpMaxClients, L"99");
    Set(texts, kOptionHttpAllow, L"192.168.1.0/24");
    SSendOptions send;
    SProgramSelection programs{};
    SHttpOptions http;
    ReadSendKeys(texts, send, programs);
    ReadHttpKeys(texts, http);
    EXPECT_EQ(send.Protocol, EDatagramFraming::Udp);
    EXPECT_EQ(send.Ttl, 0);
    EXPECT_EQ(send.HasLocalAddress, 1);
    EXPECT_EQ(send.LocalAddress[3], 3);
    EXPECT_EQ(send.SendBufferSize, 0);
    EXPECT_EQ(send.Fec.Columns, 10);
    EXPECT_EQ(send.RtpTimestamps, ERtpTimestamps::Clock);
    ASSERT_EQ(programs.Count, 2);
    EXPECT_EQ(programs.Numbers[1], 28107);
    EXPECT_EQ(http.Port, 8001);
    EXPECT_TRUE(HttpAddressMalformed(http));
    EXPECT_EQ(http.MaxClients, kDefaultHttpClients);
    EXPECT_STREQ(http.szAllow, L"192.168.1.0/24");
    EXPECT_EQ(http.AllowTooLong, 0);

    // An HttpAllow that filled what a read gives may have been cut there:
    // Start refuses it. One character less is surely whole.
    for (const int length : {kHttpAllowMaxLength, kHttpAllowMaxLength + 1})
    {
        std::wstring list(static_cast<size_t>(length) - 9, L',');
        list += L"127.0.0.1";
        Set(texts, kOptionHttpAllow, list.c_str());
        ReadHttpKeys(texts, http);
        EXPECT_EQ(http.AllowTooLong, length > kHttpAllowMaxLength ? 1 : 0) << length;
    }
}

// A Programs text that filled the read buffer may end in the front part of
// a cut number, which must not be read as another program.
TEST(OptionKeys, ProgramsCutByTheBufferLoseTheirLastEntry)
{
    SOptionTexts texts;
    std::wstring list;
    while (list.size() < kOptionTextCapacity - 1)
        list += L"     ";
    list.resize(kOptionTextCapacity - 1 - 4);
    list += L"2810";  // "28106" as a 511-character read leaves it
    Set(texts, kOptionPrograms, list.c_str());
    SSendOptions send;
    SProgramSelection programs{};
    ReadSendKeys(texts, send, programs);
    EXPECT_EQ(programs.Count, 0);
}

// What a change of the dialog's fields does to each key.
TEST(OptionKeys, WritePlan)
{
    struct Case { EOptionKey key; const wchar_t* stored; const wchar_t* edited; EOptionWrite action; const wchar_t* text; };
    const Case cases[] = {
        {kOptionTtl, L"", L"", EOptionWrite::Keep, L""},
        {kOptionTtl, L"", L"4", EOptionWrite::Write, L"4"},
        {kOptionTtl, L"4", L"16", EOptionWrite::Write, L"16"},
        {kOptionTtl, L"4", L"", EOptionWrite::Remove, L""},
        {kOptionTtl, L"4", L"0", EOptionWrite::Remove, L""},
        {kOptionTtl, L"", L"0", EOptionWrite::Keep, L""},            // absent already
        {kOptionTtl, L"004", L"4", EOptionWrite::Keep, L""},           // same value as written by hand
        {kOptionTtl, L"300", L"300", EOptionWrite::Keep, L""},         // invalid, but unchanged: kept
        {kOptionProtocol, L"udp", L"UDP", EOptionWrite::Keep, L""},
        {kOptionProtocol, L"udp", L"RTP", EOptionWrite::Remove, L""},
        {kOptionFec, L"12x8", L"12x8", EOptionWrite::Keep, L""},       // an unusual matrix stays
        {kOptionFec, L"12x8", L"", EOptionWrite::Remove, L""},
        {kOptionFec, L"", L"5X5", EOptionWrite::Write, L"5x5"},
        {kOptionPrograms, L"28106,28107", L"28106, 28107", EOptionWrite::Keep, L""},
        {kOptionPrograms, L"28106", L"28107 28106", EOptionWrite::Write, L"28107, 28106"},
        {kOptionHttpMaxClients, L"4", L"8", EOptionWrite::Remove, L""},
        {kOptionHttpAllow, L"10.0.0.0/8,192.168.1.7", L"10.0.0.0/8,192.168.1.7", EOptionWrite::Keep, L""},
        {kOptionAnnounce, L"", L"1", EOptionWrite::Write, L"1"},
        {kOptionAnnounce, L" 1", L"1", EOptionWrite::Keep, L""},
        {kOptionAnnounce, L"1", L"0", EOptionWrite::Remove, L""},
        {kOptionAnnounce, L"yes", L"yes", EOptionWrite::Keep, L""},
        // An output added, one edited, one left as written by hand (the
        // same meaning in other words), one removed.
        {kOptionOutput2, L"", L"239.255.1.2:5000 protocol=UDP", EOptionWrite::Write, L"239.255.1.2:5000 protocol=udp"},
        {OutputOptionKey(5), L"239.255.1.5:5000 ttl=4", L"239.255.1.5:5000 ttl=5", EOptionWrite::Write,
         L"239.255.1.5:5000 ttl=5"},
        {kOptionOutput16, L"239.255.1.3:5000  packets=7 protocol=rtp", L"239.255.1.3:5000", EOptionWrite::Keep, L""},
        {kOptionOutput16, L"239.255.1.3:5000 ttl=300", L"239.255.1.3:5000 ttl=300", EOptionWrite::Keep, L""},
        {OutputOptionKey(3), L"239.255.1.3:5000 ttl=300", L"", EOptionWrite::Remove, L""},
        {OutputOptionKey(3), L"239.255.1.3:5000", L"  ", EOptionWrite::Remove, L""},
    };
    for (const Case& c : cases)
    {
        SOptionTexts stored;
        Set(stored, c.key, c.stored);
        SOptionTexts edited = stored;
        Set(edited, c.key, c.edited);
        SOptionWritePlan plan;
        EOptionKey invalid = kOptionKeyCount;
        const wchar_t* reason = nullptr;
        const std::string what = Narrow(OptionKeyName(c.key)) + " \"" + Narrow(c.stored) + "\" -> \"" +
                                 Narrow(c.edited) + "\"";
        ASSERT_TRUE(PlanOptionWrites(stored, edited, plan, &invalid, &reason)) << what;
        EXPECT_EQ(invalid, kOptionKeyCount) << what;
        for (int k = 0; k < kOptionKeyCount; ++k)
        {
            const EOptionWrite expected = k == c.key ? c.action : EOptionWrite::Keep;
            EXPECT_EQ(static_cast<int>(plan.Action[k]), static_cast<int>(expected)) << what << " key " << k;
        }
        if (c.action == EOptionWrite::Write)
        {
            EXPECT_STREQ(plan.Texts.Text[c.key], c.text) << what;
        }
    }
}

// Any invalid changed field refuses the whole write; the first one in key
// order is named, with the reason the check gives.
TEST(OptionKeys, AnInvalidFieldRefusesEveryWrite)
{
    SOptionTexts stored;
    Set(stored, kOptionTtl, L"300");  // invalid, written by hand, untouched
    SOptionTexts edited = stored;
    Set(edited, kOptionSendBufferSize, L"1048576");
    Set(edited, kOptionFec, L"30x30");
    Set(edited, kOptionHttpPort, L"70000");
    SOptionWritePlan plan;
    EOptionKey invalid = kOptionKeyCount;
    const wchar_t* reason = nullptr;
    EXPECT_FALSE(PlanOptionWrites(stored, edited, plan, &invalid, &reason));
    EXPECT_EQ(invalid, kOptionFec);
    EXPECT_STREQ(reason, CheckOptionText(kOptionFec, L"30x30"));

    // An output's reason is Start's, for that text.
    Set(edited, kOptionFec, L"");
    Set(edited, kOptionHttpPort, L"");
    Set(edited, OutputOptionKey(7), L"239.255.1.7:5000 ttl=4 ttl=5");
    Set(edited, OutputOptionKey(9), L"239.255.1");
    EXPECT_FALSE(PlanOptionWrites(stored, edited, plan, &invalid, &reason));
    EXPECT_EQ(invalid, OutputOptionKey(7));
    EXPECT_STREQ(reason, L"Output7: ttl given twice");
}
