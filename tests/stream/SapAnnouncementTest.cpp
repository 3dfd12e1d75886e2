// Session announcements: the SAP header, the session description line by
// line as players read it, deletions, the message id hash following the
// description, the scope's announcement group, and the rate limit.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sap/SapAnnouncement.h"

namespace
{
SSapSession Session()
{
    SSapSession s;
    const uint8_t origin[4] = {10, 0, 0, 1};
    const uint8_t group[4] = {239, 255, 1, 3};
    std::memcpy(s.Origin, origin, 4);
    std::memcpy(s.Group, group, 4);
    s.Port = 5000;
    s.Ttl = 4;
    s.SessionId = 3;
    s.Version = 7;
    std::strcpy(s.Name, "Tovrin One");
    std::strcpy(s.Provider, "Tovrin");
    return s;
}

std::string Sdp(const unsigned char* packet, int size)
{
    const int head = 8 + 16;  // header, "application/sdp" and its NUL
    return std::string(reinterpret_cast<const char*>(packet) + head, static_cast<size_t>(size - head));
}
}  // namespace

TEST(SapAnnouncement, AnnouncementOfAnRtpOutputWithFec)
{
    SSapSession s = Session();
    s.Fec = true;
    unsigned char packet[kSapPacketCapacity];
    const int size = WriteSapPacket(s, false, packet, sizeof packet);
    ASSERT_GT(size, 24);
    EXPECT_EQ(packet[0], 0x20) << "V=1, IPv4, announcement, not encrypted or compressed";
    EXPECT_EQ(packet[1], 0) << "no authentication data";
    EXPECT_NE(SapMessageIdHash(packet), 0);
    EXPECT_EQ(std::memcmp(packet + 4, s.Origin, 4), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet) + 8), "application/sdp");
    EXPECT_EQ(Sdp(packet, size), "v=0\r\n"
                                 "o=- 3 7 IN IP4 10.0.0.1\r\n"
                                 "s=Tovrin One\r\n"
                                 "i=Tovrin\r\n"
                                 "c=IN IP4 239.255.1.3/4\r\n"
                                 "t=0 0\r\n"
                                 "a=tool:Tovrin TS Streamer\r\n"
                                 "m=video 5000 RTP/AVP 33\r\n"
                                 "a=rtpmap:33 MP2T/90000\r\n"
                                 "a=x-fec-column-port:5002\r\n"
                                 "a=x-fec-row-port:5004\r\n");
}

TEST(SapAnnouncement, PlainUdpUnnamedWithoutProviderOrTtl)
{
    SSapSession s = Session();
    s.Rtp = false;
    s.Name[0] = 0;
    s.Provider[0] = 0;
    s.Ttl = 0;
    char sdp[kSapPacketCapacity];
    ASSERT_GT(WriteSessionDescription(s, sdp, sizeof sdp), 0);
    const std::string text = sdp;
    EXPECT_NE(text.find("s=Tovrin TS Streamer\r\n"), std::string::npos);
    EXPECT_EQ(text.find("i="), std::string::npos);
    EXPECT_NE(text.find("c=IN IP4 239.255.1.3/1\r\n"), std::string::npos) << "the system's multicast TTL";
    EXPECT_NE(text.find("m=video 5000 udp MP2T\r\n"), std::string::npos);
    EXPECT_EQ(text.find("rtpmap"), std::string::npos);
}

// Served for a unicast or broadcast output too: a TTL there would be wrong.
TEST(SapAnnouncement, UnicastAndBroadcastDescriptionsCarryNoTtl)
{
    const struct
    {
        uint8_t Group[4];
        const char* Connection;
    } cases[] = {
        {{127, 0, 0, 1}, "c=IN IP4 127.0.0.1\r\n"},
        {{192, 168, 1, 255}, "c=IN IP4 192.168.1.255\r\n"},
        {{223, 255, 255, 255}, "c=IN IP4 223.255.255.255\r\n"},
        {{224, 0, 0, 1}, "c=IN IP4 224.0.0.1/4\r\n"},
        {{239, 255, 255, 255}, "c=IN IP4 239.255.255.255/4\r\n"},
    };
    for (const auto& c : cases)
    {
        SSapSession s = Session();
        std::memcpy(s.Group, c.Group, 4);
        char sdp[kSapPacketCapacity];
        ASSERT_GT(WriteSessionDescription(s, sdp, sizeof sdp), 0);
        EXPECT_NE(std::string(sdp).find(c.Connection), std::string::npos) << sdp;
    }
}

TEST(SapAnnouncement, ARenamedSessionIsANewVersion)
{
    SSapSession s = Session();
    EXPECT_FALSE(RenameSession(s, "Tovrin One", "Tovrin"));
    EXPECT_EQ(s.Version, 7u);
    EXPECT_TRUE(RenameSession(s, "Tovrin One", ""));
    EXPECT_EQ(s.Version, 8u);
    EXPECT_STREQ(s.Provider, "");
    EXPECT_TRUE(RenameSession(s, "Tovrin Two", ""));
    EXPECT_EQ(s.Version, 9u);
    EXPECT_STREQ(s.Name, "Tovrin Two");
    // Cut to fit, and the cut name is what counts the next time.
    const std::string longName(2 * kSapTextCapacity, 'n');
    EXPECT_TRUE(RenameSession(s, longName.c_str(), ""));
    EXPECT_EQ(std::strlen(s.Name), static_cast<size_t>(kSapTextCapacity - 1));
    EXPECT_FALSE(RenameSession(s, longName.c_str(), ""));
    EXPECT_EQ(s.Version, 10u);
}

// A broadcast name cannot break the description's lines.
TEST(SapAnnouncement, ANameEndsAtAControlCharacter)
{
    SSapSession s = Session();
    std::strcpy(s.Name, "News\r\nm=video 1 RTP/AVP 0");
    char sdp[kSapPacketCapacity];
    ASSERT_GT(WriteSessionDescription(s, sdp, sizeof sdp), 0);
    const std::string text = sdp;
    EXPECT_NE(text.find("s=News\r\ni="), std::string::npos);
    EXPECT_EQ(text.find("m=video 1 "), std::string::npos);
}

TEST(SapAnnouncement, DeletionAndHashes)
{
    SSapSession s = Session();
    unsigned char announcement[kSapPacketCapacity];
    unsigned char deletion[kSapPacketCapacity];
    const int a = WriteSapPacket(s, false, announcement, sizeof announcement);
    const int d = WriteSapPacket(s, true, deletion, sizeof deletion);
    ASSERT_EQ(a, d);
    EXPECT_EQ(deletion[0], 0x24) << "T: deletion";
    EXPECT_EQ(std::memcmp(announcement + 1, deletion + 1, static_cast<size_t>(a - 1)), 0)
        << "the same session and message id";
    // A new name is a new message.
    std::strcpy(s.Name, "Tovrin One HD");
    unsigned char renamed[kSapPacketCapacity];
    ASSERT_GT(WriteSapPacket(s, false, renamed, sizeof renamed), 0);
    EXPECT_NE(SapMessageIdHash(renamed), SapMessageIdHash(announcement));
}

TEST(SapAnnouncement, TooSmallABufferWritesNothing)
{
    const SSapSession s = Session();
    unsigned char packet[kSapPacketCapacity];
    const int whole = WriteSapPacket(s, false, packet, sizeof packet);
    ASSERT_GT(whole, 0);
    for (int capacity : {0, 8, 24, 25, whole - 1})
        EXPECT_EQ(WriteSapPacket(s, false, packet, capacity), 0) << capacity;
    EXPECT_EQ(WriteSapPacket(s, false, packet, whole + 1), whole) << "the SDP's NUL needs a byte too";
}

TEST(SapAnnouncement, ScopeGroups)
{
    struct Case
    {
        uint8_t group[4];
        bool multicast;
        uint8_t sap[4];
    };
    const Case cases[] = {
        {{239, 255, 1, 3}, true, {239, 255, 255, 255}},
        {{239, 255, 255, 255}, true, {239, 255, 255, 255}},
        {{239, 254, 1, 1}, true, {224, 2, 127, 254}},
        {{224, 1, 2, 3}, true, {224, 2, 127, 254}},
        {{233, 0, 0, 1}, true, {224, 2, 127, 254}},
        {{192, 168, 1, 255}, false, {0, 0, 0, 0}},
        {{10, 0, 0, 2}, false, {0, 0, 0, 0}},
        {{240, 0, 0, 1}, false, {0, 0, 0, 0}},
    };
    for (const Case& c : cases)
    {
        uint8_t sap[4] = {};
        EXPECT_EQ(SapGroupFor(c.group, sap), c.multicast) << int(c.group[0]) << "." << int(c.group[1]);
        if (c.multicast)
        {
            EXPECT_EQ(std::memcmp(sap, c.sap, 4), 0) << int(c.group[0]) << "." << int(c.group[1]);
        }
    }
}

// Sixteen outputs' announcements together stay below 4000 bit/s, and a few
// go out every few seconds.
TEST(SapAnnouncement, Interval)
{
    EXPECT_EQ(SapIntervalMs(0), kSapMinIntervalMs);
    EXPECT_EQ(SapIntervalMs(400), kSapMinIntervalMs);
    const int round = 15 * 500;  // fifteen announcements of 500 bytes
    const uint32_t ms = SapIntervalMs(round);
    EXPECT_LT(round * 8.0 * 1000.0 / ms, 4000.0);
    EXPECT_GT(round * 8.0 * 1000.0 / ms, 2000.0);
}
