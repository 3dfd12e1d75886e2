// How settings texts become values and how the status fields are written,
// as tables: input, expected outcome. Wide characters, as the dialog and the
// INI file use them.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "AddressTexts.h"
#include "settings/OptionsValues.h"
#include "StatusText.h"

namespace {

// Formats into a buffer with a guard behind its documented capacity, so a
// write past the capacity fails the test even without the sanitizer.
template <int Capacity, class Format>
std::wstring Guarded(Format format)
{
    wchar_t text[Capacity + 8];
    std::fill(text, text + Capacity + 8, L'#');
    const wchar_t* result = format(text);
    EXPECT_EQ(result, text) << "returns the caller's buffer";
    for (int i = Capacity; i < Capacity + 8; ++i)
        EXPECT_EQ(text[i], L'#') << "written past the capacity at " << i;
    return std::wstring(text);
}

}  // namespace

TEST(TrafficText, DigitGroups)
{
    struct Case { long long value; const wchar_t* text; };
    const Case cases[] = {
        {0, L"0"},
        {7, L"7"},
        {999, L"999"},
        {1000, L"1 000"},
        {1001, L"1 001"},
        {65536, L"65 536"},
        {1000000, L"1 000 000"},
        {1234567, L"1 234 567"},
        {1000005, L"1 000 005"},
        {999999999999LL, L"999 999 999 999"},
        {1000000000000LL, L"1 000 000 000 000"},
        {1000000000000000LL, L"1000 000 000 000 000"},  // the first group is not cut to three digits
        {INT64_MAX, L"9223372 036 854 775 807"},
        {-1, L"0"},
        {-1000, L"0"},
        {INT64_MIN, L"0"},
    };
    for (const Case& c : cases)
    {
        const std::wstring text =
            Guarded<kTrafficTextCapacity>([&](wchar_t* buffer) { return FormatDigitGroups(c.value, buffer); });
        EXPECT_EQ(text, c.text) << "value " << c.value;
    }
    EXPECT_EQ(std::wstring(L"9223372 036 854 775 807").size(), 23u);
}

TEST(ElapsedText, HoursMinutesSeconds)
{
    struct Case { uint32_t milliseconds; const wchar_t* text; };
    const Case cases[] = {
        {0, L"00:00:00"},
        {999, L"00:00:00"},
        {1000, L"00:00:01"},
        {59999, L"00:00:59"},
        {60000, L"00:01:00"},
        {3599999, L"00:59:59"},
        {3725000, L"01:02:05"},
        {86400000, L"24:00:00"},  // hours are not taken modulo 24
        {359999000, L"99:59:59"},
        {360000000, L"100:00:00"},
        {UINT32_MAX, L"1193:02:47"},
    };
    for (const Case& c : cases)
    {
        const std::wstring text =
            Guarded<kElapsedTextCapacity>([&](wchar_t* buffer) { return FormatElapsed(c.milliseconds, buffer); });
        EXPECT_EQ(text, c.text) << c.milliseconds << " ms";
    }
}

TEST(SettingsText, LeadingIntegerAsTheRuntimeParsesIt)
{
    struct Case { const wchar_t* text; int value; };
    const Case cases[] = {
        {L"3", 3},
        {L"", 0},
        {L"-3", -3},
        {L"abc", 0},
        {L"  12ab", 12},
        {L"\t\r\n\v\f 5", 5},
        {L"+7", 7},
        {L"007", 7},
        {L"12 34", 12},
        {L"- 5", 0},
        {L"+-5", 0},
        {L"--5", 0},
        {L"x7", 0},
        {L"43000", 43000},
        {L"2147483647", INT_MAX},
        {L"2147483648", INT_MAX},
        {L"99999999999", INT_MAX},  // saturates instead of overflowing
        {L"-2147483648", INT_MIN},
        {L"-2147483649", INT_MIN},
        {L"-99999999999", INT_MIN},
        {L"99999999999999999999999999999999999999", INT_MAX},
        {L"\u0663", 0},  // only ASCII digits count
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseLeadingInt(c.text), c.value) << "text \"" << testing::PrintToString(std::wstring(c.text)) << "\"";
    EXPECT_EQ(ParseLeadingInt(static_cast<const wchar_t*>(nullptr)), 0);
}

TEST(SettingsText, PortKeepsTheLowSixteenBits)
{
    struct Case { int value; uint16_t port; };
    const Case cases[] = {
        {0, 0}, {43000, 43000}, {65535, 65535}, {65536, 0}, {70000, 4464},
        {-1, 65535}, {-65536, 0}, {INT_MAX, 65535}, {INT_MIN, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PortFromInt(c.value), c.port) << "value " << c.value;
    EXPECT_EQ(PortFromInt(ParseLeadingInt(L"70000")), 4464);
}

TEST(SettingsText, PacketsPerDatagramBroughtIntoOneToSeven)
{
    struct Case { int value; int packets; };
    const Case cases[] = {
        {1, 1}, {3, 3}, {7, 7}, {0, 1}, {-3, 1}, {8, 7}, {INT_MAX, 7}, {INT_MIN, 1},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(ClampPacketsPerDatagram(c.value), c.packets) << "value " << c.value;
        EXPECT_LE(ClampPacketsPerDatagram(c.value) * kTsPacketSize, kMaxChunkSize);
    }
}

TEST(SettingsText, DottedQuadAddresses)
{
    struct Case { const wchar_t* text; unsigned char octets[4]; };
    const Case cases[] = {
        {L"127.0.0.1", {127, 0, 0, 1}},
        {L"0.0.0.0", {0, 0, 0, 0}},
        {L"255.255.255.255", {255, 255, 255, 255}},
        {L"10.20.30.40", {10, 20, 30, 40}},
        {L"192.168.100.200", {192, 168, 100, 200}},
        {L"1.0.10.100", {1, 0, 10, 100}},
    };
    for (const Case& c : cases)
    {
        unsigned char octets[4] = {9, 9, 9, 9};
        ASSERT_TRUE(ParseDottedQuad(c.text, octets)) << testing::PrintToString(std::wstring(c.text));
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(octets[i], c.octets[i]) << testing::PrintToString(std::wstring(c.text)) << " octet " << i;
    }
}

TEST(SettingsText, MalformedAddressesAreNoDottedQuad)
{
    for (const wchar_t* text : kMalformedAddresses)
    {
        unsigned char octets[4];
        EXPECT_FALSE(ParseDottedQuad(text, octets)) << testing::PrintToString(std::wstring(text));
    }
    unsigned char octets[4];
    EXPECT_FALSE(ParseDottedQuad(static_cast<const wchar_t*>(nullptr), octets));
}
