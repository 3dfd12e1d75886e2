// What the tuner clients' own library (libhdhomerun, which hdhomerun_config
// and media servers' discovery use) makes of our ids and packets.

#include <gtest/gtest.h>

#include "hdhomerun.h"

#include <cstring>
#include <string>

#include "discovery/TunerDiscoveryPacket.h"
#include "discovery/TunerDocuments.h"

namespace {

TEST(HdHomeRunClient, AcceptsEveryDeviceIdWeMake)
{
    const char* names[] = {"LIVINGROOM", "OFFICE-PC", "", "A", "DESKTOP-1234567"};
    for (const char* name : names)
        for (uint16_t port : {80, 8001, 65535})
        {
            const uint32_t id = TunerDeviceId(name, port);
            EXPECT_TRUE(hdhomerun_discover_validate_device_id(id)) << name << " " << port;
        }
    // And agrees with our own check on ids we did not make.
    for (uint32_t id = 0x20000000; id < 0x20000000 + 4096; ++id)
        EXPECT_EQ(IsValidTunerDeviceId(id), hdhomerun_discover_validate_device_id(id)) << std::hex << id;
}

// A request as the library writes it, read by our parser.
TEST(HdHomeRunClient, RequestFromTheLibraryParses)
{
    const struct
    {
        uint32_t Type;
        uint32_t Id;
        bool Answer;
    } cases[] = {
        {HDHOMERUN_DEVICE_TYPE_TUNER, HDHOMERUN_DEVICE_ID_WILDCARD, true},
        {HDHOMERUN_DEVICE_TYPE_WILDCARD, 0x2A3B4C5D, true},
        {HDHOMERUN_DEVICE_TYPE_STORAGE, HDHOMERUN_DEVICE_ID_WILDCARD, false},
        {HDHOMERUN_DEVICE_TYPE_TUNER, 0x2A3B4C5E, false},
    };
    for (const auto& c : cases)
    {
        hdhomerun_pkt_t* pkt = hdhomerun_pkt_create();
        hdhomerun_pkt_write_u8(pkt, HDHOMERUN_TAG_DEVICE_TYPE);
        hdhomerun_pkt_write_var_length(pkt, 4);
        hdhomerun_pkt_write_u32(pkt, c.Type);
        hdhomerun_pkt_write_u8(pkt, HDHOMERUN_TAG_DEVICE_ID);
        hdhomerun_pkt_write_var_length(pkt, 4);
        hdhomerun_pkt_write_u32(pkt, c.Id);
        hdhomerun_pkt_seal_frame(pkt, HDHOMERUN_TYPE_DISCOVER_REQ);
        STunerDiscoverRequest request;
        EXPECT_TRUE(ParseTunerDiscoverRequest(pkt->start, static_cast<size_t>(pkt->end - pkt->start), request));
        EXPECT_EQ(TunerRequestWantsUs(request, 0x2A3B4C5D), c.Answer) << std::hex << c.Type << " " << c.Id;
        hdhomerun_pkt_destroy(pkt);
    }
}

// Our reply, read by the library as its discovery reads one.
TEST(HdHomeRunClient, ReplyReadsBackInTheLibrary)
{
    uint8_t reply[kTunerReplyMaxSize];
    const size_t length = BuildTunerDiscoverReply(0x2A3B4C5D, 4, 0xFFFFFFFF, 65535, reply, sizeof reply);
    hdhomerun_pkt_t* pkt = hdhomerun_pkt_create();
    std::memcpy(pkt->end, reply, length);
    pkt->end += length;
    uint16_t type = 0;
    ASSERT_EQ(hdhomerun_pkt_open_frame(pkt, &type), 1);
    EXPECT_EQ(type, HDHOMERUN_TYPE_DISCOVER_RPY);
    uint32_t deviceType = 0, deviceId = 0;
    unsigned tuners = 0;
    std::string base, lineup;
    uint8_t tag;
    size_t tagLength;
    while (uint8_t* next = hdhomerun_pkt_read_tlv(pkt, &tag, &tagLength))
    {
        if (tag == HDHOMERUN_TAG_DEVICE_TYPE && tagLength == 4)
            deviceType = hdhomerun_pkt_read_u32(pkt);
        else if (tag == HDHOMERUN_TAG_DEVICE_ID && tagLength == 4)
            deviceId = hdhomerun_pkt_read_u32(pkt);
        else if (tag == HDHOMERUN_TAG_TUNER_COUNT && tagLength == 1)
            tuners = hdhomerun_pkt_read_u8(pkt);
        else if (tag == HDHOMERUN_TAG_BASE_URL)
            base.assign(reinterpret_cast<char*>(pkt->pos), tagLength);
        else if (tag == HDHOMERUN_TAG_LINEUP_URL)
            lineup.assign(reinterpret_cast<char*>(pkt->pos), tagLength);
        pkt->pos = next;
    }
    hdhomerun_pkt_destroy(pkt);
    EXPECT_EQ(deviceType, static_cast<uint32_t>(HDHOMERUN_DEVICE_TYPE_TUNER));
    EXPECT_EQ(deviceId, 0x2A3B4C5Du);
    EXPECT_EQ(tuners, 4u);
    EXPECT_EQ(base, "http://255.255.255.255:65535");
    // The longest base URL still fits the library's record of a device.
    EXPECT_LT(base.size(), sizeof(hdhomerun_discover_device_t::base_url));
    EXPECT_EQ(lineup, base + "/lineup.json");
}

} // namespace
