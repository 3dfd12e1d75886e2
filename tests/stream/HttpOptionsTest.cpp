// The URL server's keys as the INI file holds them, each a table: the text,
// and what the module makes of it. An absent or invalid port means no server.

#include <gtest/gtest.h>

#include "settings/HttpOptions.h"

TEST(HttpOptions, DefaultsMeanNoServer)
{
    const SHttpOptions options;
    EXPECT_EQ(options.Port, 0);
    EXPECT_EQ(options.HasAddress, 0);
    EXPECT_EQ(options.MaxClients, 8);
    EXPECT_EQ(options.szAllow[0], L'\0');
}

TEST(HttpOptions, Port)
{
    struct Case { const wchar_t* text; uint16_t port; };
    const Case cases[] = {
        {L"8001", 8001}, {L" 1 ", 1}, {L"65535", 65535}, {L"0", 0}, {L"", 0}, {L"65536", 0},
        {L"-1", 0}, {L"+80", 0}, {L"80x", 0}, {L"8 0", 0}, {L"99999999999999999999", 0}, {L"0x50", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseHttpPort(c.text), c.port) << c.port;
    EXPECT_EQ(ParseHttpPort(static_cast<const wchar_t*>(nullptr)), 0);
}

TEST(HttpOptions, MaxClients)
{
    struct Case { const wchar_t* text; int32_t clients; };
    const Case cases[] = {
        {L"1", 1}, {L"64", 64}, {L" 3 ", 3}, {L"0", 8}, {L"65", 8}, {L"", 8}, {L"-2", 8}, {L"4k", 8},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseHttpMaxClients(c.text), c.clients);
}

TEST(HttpOptions, Address)
{
    struct Case { const wchar_t* text; int32_t has; uint8_t a0, a3; bool malformed; };
    const Case cases[] = {
        {L"", 0, 0, 0, false},
        {L"0.0.0.0", 0, 0, 0, false},
        {L"192.168.1.20", 1, 192, 20, false},
        {L" 127.0.0.1 ", 1, 127, 1, false},
        {L"localhost", 1, 0, 0, true},
        {L"192.168.1", 1, 0, 0, true},
        {L"192.168.001.20", 1, 0, 0, true},
        {L"256.1.1.1", 1, 0, 0, true},
        {L"1.2.3.4.5.6.7.8.9.10.11", 1, 0, 0, true},
    };
    for (const Case& c : cases)
    {
        SHttpOptions options;
        ParseHttpAddress(c.text, options);
        EXPECT_EQ(options.HasAddress, c.has);
        EXPECT_EQ(options.Address[0], c.a0);
        EXPECT_EQ(options.Address[3], c.a3);
        EXPECT_EQ(HttpAddressMalformed(options), c.malformed);
    }
}
