#include <gtest/gtest.h>

#include "http/NetworkAllowList.h"

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

TEST(NetworkAllowList, ByDefaultLoopbackAndPrivateNetworksOnly)
{
    const CNetworkAllowList list;
    const struct
    {
        uint32_t Address;
        bool Allowed;
    } cases[] = {
        {Ip(127, 0, 0, 1), true},      {Ip(127, 255, 255, 255), true}, {Ip(10, 1, 2, 3), true},
        {Ip(172, 16, 0, 1), true},     {Ip(172, 31, 255, 255), true},  {Ip(192, 168, 1, 20), true},
        {Ip(169, 254, 3, 4), true},    {Ip(172, 32, 0, 1), false},     {Ip(172, 15, 255, 255), false},
        {Ip(192, 169, 0, 1), false},   {Ip(8, 8, 8, 8), false},        {Ip(128, 0, 0, 1), false},
        {Ip(0, 0, 0, 0), false},       {Ip(255, 255, 255, 255), false}, {Ip(100, 64, 0, 1), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.Contains(c.Address), c.Allowed) << std::hex << c.Address;
}

TEST(NetworkAllowList, ParsedListsAllowWhatTheySayAndSkipTheRest)
{
    const struct
    {
        const char* Text;
        int Skipped;
        int Count;
        uint32_t In;  // an address the list allows (0: none to check)
        uint32_t Out; // one it does not (the same as In: none to check)
    } cases[] = {
        {"192.168.1.0/24", 0, 1, Ip(192, 168, 1, 200), Ip(192, 168, 2, 1)},
        {" 10.0.0.0/8 ,\t192.168.1.7/24 ", 0, 2, Ip(192, 168, 1, 1), Ip(11, 0, 0, 1)}, // host bits cleared
        {"192.168.1.20", 0, 1, Ip(192, 168, 1, 20), Ip(192, 168, 1, 21)},
        {"0.0.0.0/0", 0, 1, Ip(8, 8, 8, 8), Ip(8, 8, 8, 8)}, // everyone: nothing to refuse
        {"1.2.3.4/32,,, ,", 0, 1, Ip(1, 2, 3, 4), Ip(1, 2, 3, 5)},
        {"", 0, 0, 0, Ip(127, 0, 0, 1)},
        {"10.0.0.0/33", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0/8,garbage,192.168.0.0/16", 1, 2, Ip(192, 168, 9, 9), Ip(172, 16, 0, 1)},
        {"1.2.3", 1, 0, 0, Ip(1, 2, 3, 0)},
        {"1.2.3.4.5", 1, 0, 0, Ip(1, 2, 3, 4)},
        {"256.0.0.0/8", 1, 0, 0, Ip(0, 0, 0, 0)},
        {"010.0.0.0/8", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0/08", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0/", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0/-8", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0 /8", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0/8/8", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"10.0.0.0/8 10.1.0.0/16", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"0x0a.0.0.0/8", 1, 0, 0, Ip(10, 0, 0, 1)},
        {"1000.0.0.0/8", 1, 0, 0, Ip(232, 0, 0, 0)},
        {"10.0.0.0/100000000000000000000", 1, 0, 0, Ip(10, 0, 0, 1)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Text);
        CNetworkAllowList list;
        EXPECT_EQ(list.Parse(c.Text), c.Skipped);
        EXPECT_EQ(list.Count(), c.Count);
        if (c.In != 0)
        {
            EXPECT_TRUE(list.Contains(c.In));
        }
        if (c.Out != c.In)
        {
            EXPECT_FALSE(list.Contains(c.Out));
        }
    }
}

// A list of one's own, as the namespace test sets it: one PC (/32) and one
// room's network (/24). A server on a PC with the private address
// 192.168.77.1 and the public 203.0.113.1 lets in only the listed clients;
// its own addresses, its own network beside the one PC, other private
// networks, public addresses and loopback stay out.
TEST(NetworkAllowList, ANarrowedListLetsInOnlyWhatItNames)
{
    CNetworkAllowList list;
    ASSERT_EQ(list.Parse(L"192.168.77.10/32, 10.55.3.0/24"), 0);
    const struct
    {
        const char* Who;
        uint32_t Address;
        bool Allowed;
    } cases[] = {
        {"the /32", Ip(192, 168, 77, 10), true},
        {"in the /24", Ip(10, 55, 3, 7), true},
        {"the /24's first", Ip(10, 55, 3, 0), true},
        {"the /24's last", Ip(10, 55, 3, 255), true},
        {"beside the /32, on the server's network", Ip(192, 168, 77, 20), false},
        {"next to the /32", Ip(192, 168, 77, 11), false},
        {"next to the /24", Ip(10, 55, 4, 7), false},
        {"below the /24", Ip(10, 55, 2, 255), false},
        {"the server's private address", Ip(192, 168, 77, 1), false},
        {"the server's public address", Ip(203, 0, 113, 1), false},
        {"a public client", Ip(203, 0, 113, 2), false},
        {"another public client", Ip(198, 51, 100, 7), false},
        {"loopback, left out", Ip(127, 0, 0, 1), false},
        {"another private network", Ip(172, 16, 0, 1), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.Contains(c.Address), c.Allowed) << c.Who;
}

TEST(NetworkAllowList, WideTextsAndTheEntryLimit)
{
    CNetworkAllowList list;
    EXPECT_EQ(list.Parse(L"172.20.0.0/16, 1.2.3.4"), 0);
    EXPECT_TRUE(list.Contains(Ip(172, 20, 5, 5)));
    EXPECT_TRUE(list.Contains(Ip(1, 2, 3, 4)));
    EXPECT_FALSE(list.Contains(Ip(172, 21, 0, 0)));
    EXPECT_EQ(list.Parse(L"10.\x0661.0.0/8"), 1); // an Arabic-Indic digit is no digit here

    std::string many;
    for (int i = 0; i < kMaxAllowedNetworks + 3; ++i)
        many += "10.0." + std::to_string(i) + ".0/24,";
    EXPECT_EQ(list.Parse(many.c_str()), 3);
    EXPECT_EQ(list.Count(), kMaxAllowedNetworks);
    EXPECT_TRUE(list.Contains(Ip(10, 0, kMaxAllowedNetworks - 1, 9)));
    EXPECT_FALSE(list.Contains(Ip(10, 0, kMaxAllowedNetworks, 9)));
    EXPECT_EQ(list.Parse(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(list.Count(), 0);
}

} // namespace
