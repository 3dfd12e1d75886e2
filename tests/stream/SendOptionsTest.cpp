// The optional sending keys as the INI file holds them, each a table: the
// text, and what the module makes of it. Anything that is not a valid value
// leaves the default, which is what the module did before the keys existed.

#include <gtest/gtest.h>

#include <string>

#include "settings/SendOptions.h"

namespace {

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

}  // namespace

TEST(SendOptions, DefaultsAreTodaysBehaviour)
{
    const SSendOptions options;
    EXPECT_EQ(options.Protocol, EDatagramFraming::Rtp);
    EXPECT_EQ(options.Ttl, 0);
    EXPECT_EQ(options.SendBufferSize, 0);
    EXPECT_EQ(options.HasLocalAddress, 0);
    EXPECT_EQ(options.szLocalAddress[0], L'\0');
    EXPECT_EQ(options.Fec.Columns, 0);
    EXPECT_EQ(options.RtpTimestamps, ERtpTimestamps::Counter);
    EXPECT_EQ(RunTimestamps(options), ERtpTimestamps::Counter);
}

TEST(SendOptions, Protocol)
{
    struct Case { const wchar_t* text; EDatagramFraming framing; };
    const Case cases[] = {
        {L"UDP", EDatagramFraming::Udp},
        {L"udp", EDatagramFraming::Udp},
        {L"Udp", EDatagramFraming::Udp},
        {L"uDp", EDatagramFraming::Udp},
        {L" UDP\t", EDatagramFraming::Udp},
        {L"RTP", EDatagramFraming::Rtp},
        {L"rtp", EDatagramFraming::Rtp},
        {L"", EDatagramFraming::Rtp},
        {L"SRT", EDatagramFraming::Rtp},
        {L"UD", EDatagramFraming::Rtp},
        {L"UDPX", EDatagramFraming::Rtp},
        {L"U DP", EDatagramFraming::Rtp},
        {L"RTP/UDP", EDatagramFraming::Rtp},
        {L"udp://", EDatagramFraming::Rtp},
        {L"\u00dcDP", EDatagramFraming::Rtp},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseSendProtocol(c.text), c.framing) << "\"" << Narrow(c.text) << "\"";
    EXPECT_EQ(ParseSendProtocol(static_cast<const wchar_t*>(nullptr)), EDatagramFraming::Rtp);
    EXPECT_EQ(ParseSendProtocol("udp"), EDatagramFraming::Udp);  // 8-bit text alike
}

TEST(SendOptions, Ttl)
{
    struct Case { const wchar_t* text; int ttl; };
    const Case cases[] = {
        {L"1", 1},
        {L"2", 2},
        {L"64", 64},
        {L"255", 255},
        {L"0064", 64},
        {L" 16 ", 16},
        {L"0", 0},       // the system's default
        {L"", 0},
        {L"256", 0},     // out of range: as if absent
        {L"300", 0},
        {L"-1", 0},
        {L"+5", 0},
        {L"12abc", 0},   // not a number, though _wtoi would read 12
        {L"abc", 0},
        {L"1 2", 0},
        {L"4.5", 0},
        {L"99999999999999999999999", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseTtl(c.text), c.ttl) << "\"" << Narrow(c.text) << "\"";
    EXPECT_EQ(ParseTtl(static_cast<const wchar_t*>(nullptr)), 0);
}

TEST(SendOptions, Fec)
{
    struct Case { const wchar_t* text; int columns; int rows; };
    const Case cases[] = {
        {L"5x5", 5, 5},
        {L"10x10", 10, 10},
        {L"10X10", 10, 10},
        {L" 4x20 ", 4, 20},
        {L"20x5", 20, 5},
        {L"4x4", 4, 4},
        {L"05x05", 5, 5},
        {L"", 0, 0},         // none
        {L"3x10", 0, 0},     // each 4..20
        {L"10x3", 0, 0},
        {L"21x4", 0, 0},
        {L"11x10", 0, 0},    // more than 100 datagrams in a matrix
        {L"20x20", 0, 0},
        {L"5 x 5", 0, 0},
        {L"5x", 0, 0},
        {L"x5", 0, 0},
        {L"5", 0, 0},
        {L"5x5x5", 0, 0},
        {L"5*5", 0, 0},
        {L"-5x5", 0, 0},
        {L"005x5", 0, 0},
        {L"5x5 on", 0, 0},
        {L"99999999999x5", 0, 0},
    };
    for (const Case& c : cases)
    {
        const SFecMatrix m = ParseFecMatrix(c.text);
        EXPECT_EQ(m.Columns, c.columns) << "\"" << Narrow(c.text) << "\"";
        EXPECT_EQ(m.Rows, c.rows) << "\"" << Narrow(c.text) << "\"";
    }
    EXPECT_EQ(ParseFecMatrix(static_cast<const wchar_t*>(nullptr)).Columns, 0);
    EXPECT_EQ(ParseFecMatrix("10x10").Rows, 10);
}

// The key picks the clock only as "clock"; FEC takes the clock whatever the
// key says.
TEST(SendOptions, RtpTimestamps)
{
    struct Case { const wchar_t* text; ERtpTimestamps timestamps; };
    const Case cases[] = {
        {L"clock", ERtpTimestamps::Clock},
        {L"CLOCK", ERtpTimestamps::Clock},
        {L" Clock ", ERtpTimestamps::Clock},
        {L"counter", ERtpTimestamps::Counter},
        {L"", ERtpTimestamps::Counter},
        {L"clocks", ERtpTimestamps::Counter},
        {L"clock counter", ERtpTimestamps::Counter},
        {L"1", ERtpTimestamps::Counter},
        {L"90kHz", ERtpTimestamps::Counter},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(ParseRtpTimestamps(c.text), c.timestamps) << "\"" << Narrow(c.text) << "\"";
        SSendOptions options;
        options.RtpTimestamps = c.timestamps;
        EXPECT_EQ(RunTimestamps(options), c.timestamps);
        options.Fec = ParseFecMatrix(L"5x5");
        EXPECT_EQ(RunTimestamps(options), ERtpTimestamps::Clock);
    }
    EXPECT_EQ(ParseRtpTimestamps(static_cast<const wchar_t*>(nullptr)), ERtpTimestamps::Counter);
    EXPECT_EQ(ParseRtpTimestamps("clock"), ERtpTimestamps::Clock);
}

TEST(SendOptions, SendBufferSize)
{
    struct Case { const wchar_t* text; int bytes; };
    const Case cases[] = {
        {L"1", 1},
        {L"65536", 65536},
        {L"4194304", 4194304},
        {L"2147483647", 2147483647},
        {L"0", 0},
        {L"", 0},
        {L"2147483648", 0},   // beyond the option's int
        {L"-1", 0},
        {L"4M", 0},
        {L"1e6", 0},
        {L"99999999999999999999999", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseSendBufferSize(c.text), c.bytes) << "\"" << Narrow(c.text) << "\"";
}

// The text is kept as written (trimmed, cut to 19 characters) so that a
// refused start can name it; only a dotted address other than 0.0.0.0 names
// a source.
TEST(SendOptions, LocalIPAddress)
{
    struct Case
    {
        const wchar_t* text;
        bool names;
        unsigned char octets[4];
        const wchar_t* kept;
    };
    const Case cases[] = {
        {L"192.168.1.10", true, {192, 168, 1, 10}, L"192.168.1.10"},
        {L"10.0.0.1", true, {10, 0, 0, 1}, L"10.0.0.1"},
        {L"127.0.0.1", true, {127, 0, 0, 1}, L"127.0.0.1"},
        {L"255.255.255.255", true, {255, 255, 255, 255}, L"255.255.255.255"},  // no interface has it: refused later
        {L" 10.1.2.3 ", true, {10, 1, 2, 3}, L"10.1.2.3"},
        {L"", false, {}, L""},
        {L"0.0.0.0", false, {}, L"0.0.0.0"},  // any address: the system chooses
        {L"not an address", false, {}, L"not an address"},
        {L"10.0.0.256", false, {}, L"10.0.0.256"},
        {L"10.0.0", false, {}, L"10.0.0"},
        {L"10.0.0.1.5", false, {}, L"10.0.0.1.5"},
        {L"10.0.0.1x", false, {}, L"10.0.0.1x"},
        {L"0x0a.0.0.1", false, {}, L"0x0a.0.0.1"},
        {L"192.168.100.200abcdefghij", false, {}, L"192.168.100.200abcd"},
        {L"1.2.3.4            x", false, {}, L"1.2.3.4"},  // a cut never makes an address
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("\"" + Narrow(c.text) + "\"");
        SSendOptions options;
        options.HasLocalAddress = 1;  // whatever was loaded before
        options.LocalAddress[0] = 99;
        ParseLocalAddress(c.text, options);
        EXPECT_EQ(options.HasLocalAddress, c.names ? 1 : 0);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(options.LocalAddress[i], c.names ? c.octets[i] : 0) << "octet " << i;
        EXPECT_EQ(std::wstring(options.szLocalAddress), c.kept);
        EXPECT_EQ(options.szLocalAddress[kSendAddressTextCapacity - 1], L'\0');
    }
}

TEST(SendOptions, MulticastDestinations)
{
    struct Case { unsigned char octets[4]; bool multicast; };
    const Case cases[] = {
        {{224, 0, 0, 0}, true},
        {{239, 255, 1, 2}, true},
        {{239, 255, 255, 255}, true},
        {{223, 255, 255, 255}, false},
        {{240, 0, 0, 0}, false},
        {{255, 255, 255, 255}, false},
        {{127, 0, 0, 1}, false},
        {{192, 168, 1, 255}, false},
    };
    for (const Case& c : cases)
    {
        uint8_t octets[4] = {c.octets[0], c.octets[1], c.octets[2], c.octets[3]};
        EXPECT_EQ(IsMulticastAddress(octets), c.multicast)
            << int(c.octets[0]) << "." << int(c.octets[1]) << "." << int(c.octets[2]) << "." << int(c.octets[3]);
    }
}
