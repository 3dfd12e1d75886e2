#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "discovery/TunerDiscoveryPacket.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A packet of `type` with the given payload, its length and CRC as a client sets them.
Bytes Packet(uint16_t type, const Bytes& payload)
{
    Bytes packet = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                    static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    packet.insert(packet.end(), payload.begin(), payload.end());
    const uint32_t crc = TunerPacketCrc(packet.data(), packet.size());
    for (int i = 0; i < 4; ++i)
        packet.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return packet;
}

Bytes Tag32(uint8_t tag, uint32_t value)
{
    return {tag, 4, static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

constexpr uint32_t kOurs = 0x2A3B4C5D;
const Bytes kTuner = Tag32(kTunerTagDeviceType, kTunerDeviceTypeTuner);
const Bytes kStorage = Tag32(kTunerTagDeviceType, 5);
const Bytes kAnyType = Tag32(kTunerTagDeviceType, kTunerWildcard);
const Bytes kAnyId = Tag32(kTunerTagDeviceId, kTunerWildcard);

TEST(TunerPacketCrc, IsTheEthernetCrc)
{
    const char* check = "123456789";
    EXPECT_EQ(TunerPacketCrc(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
    EXPECT_EQ(TunerPacketCrc(nullptr, 0), 0u);
}

TEST(TunerDiscoverRequest, AnsweredOnlyWhenWholeAndAskingForThisTuner)
{
    Bytes badCrc = Packet(kTunerDiscoverRequest, Join({kTuner, kAnyId}));
    badCrc.back() ^= 1;
    Bytes longer = Packet(kTunerDiscoverRequest, Join({kTuner, kAnyId}));
    longer.push_back(0);
    // A 2-byte length (130 = 0x82 0x01) on an unknown tag, then ours.
    Bytes longTag = {0x7E, 0x82, 0x01};
    longTag.resize(longTag.size() + 130, 0xAB);
    const struct
    {
        const char* Name;
        Bytes Datagram;
        bool Valid;
        bool Answer;
    } cases[] = {
        {"any tuner", Packet(kTunerDiscoverRequest, Join({kTuner, kAnyId})), true, true},
        {"this tuner", Packet(kTunerDiscoverRequest, Join({kTuner, Tag32(kTunerTagDeviceId, kOurs)})), true, true},
        {"another tuner", Packet(kTunerDiscoverRequest, Join({kTuner, Tag32(kTunerTagDeviceId, kOurs + 1)})), true, false},
        {"any type", Packet(kTunerDiscoverRequest, Join({kAnyType, kAnyId})), true, true},
        {"storage only", Packet(kTunerDiscoverRequest, Join({kStorage, kAnyId})), true, false},
        {"storage and tuner", Packet(kTunerDiscoverRequest, Join({kStorage, kTuner, kAnyId})), true, true},
        {"no tags", Packet(kTunerDiscoverRequest, {}), true, true},
        {"unknown tag skipped", Packet(kTunerDiscoverRequest, Join({{0x33, 2, 1, 2}, kTuner, kAnyId})), true, true},
        {"two-byte length skipped", Packet(kTunerDiscoverRequest, Join({longTag, kTuner, kAnyId})), true, true},
        {"a reply", Packet(kTunerDiscoverReply, Join({kTuner, kAnyId})), false, false},
        {"wrong CRC", badCrc, false, false},
        {"a byte after the CRC", longer, false, false},
        {"type of 3 bytes", Packet(kTunerDiscoverRequest, {kTunerTagDeviceType, 3, 0, 0, 1}), false, false},
        {"id of 5 bytes", Packet(kTunerDiscoverRequest, {kTunerTagDeviceId, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0}), false, false},
        {"value past the payload", Packet(kTunerDiscoverRequest, {0x33, 9, 1}), false, false},
        {"tag without length", Packet(kTunerDiscoverRequest, {0x33}), false, false},
        {"two-byte length cut", Packet(kTunerDiscoverRequest, {0x33, 0x81}), false, false},
        {"header only", {0, 2, 0, 0}, false, false},
        {"empty", {}, false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        STunerDiscoverRequest request;
        EXPECT_EQ(ParseTunerDiscoverRequest(c.Datagram.data(), c.Datagram.size(), request), c.Valid);
        EXPECT_EQ(c.Valid && TunerRequestWantsUs(request, kOurs), c.Answer);
    }
}

TEST(TunerDiscoverRequest, TooLargeADatagramIsRefused)
{
    Bytes payload(kTunerPacketMaxPayload + 1, 0);
    payload[0] = 0x33;
    payload[1] = 0x80 | ((payload.size() - 3) & 0x7F);
    payload[2] = static_cast<uint8_t>((payload.size() - 3) >> 7);
    const Bytes datagram = Packet(kTunerDiscoverRequest, payload);
    STunerDiscoverRequest request;
    EXPECT_FALSE(ParseTunerDiscoverRequest(datagram.data(), datagram.size(), request));
}

TEST(TunerDiscoverReply, CarriesTypeIdCountAndUrlsAndReadsBack)
{
    const struct
    {
        uint32_t Address;
        uint16_t Port;
        int Tuners;
        const char* Base;
        uint8_t Count;
    } cases[] = {
        {0xC0A80114, 8001, 4, "http://192.168.1.20:8001", 4},
        {0xFFFFFFFF, 65535, 300, "http://255.255.255.255:65535", 255},
        {0x0A000001, 80, -1, "http://10.0.0.1:80", 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Base);
        uint8_t out[kTunerReplyMaxSize];
        const size_t length = BuildTunerDiscoverReply(kOurs, c.Tuners, c.Address, c.Port, out, sizeof out);
        ASSERT_GT(length, 0u);
        const std::string base(c.Base);
        const std::string lineup = base + "/lineup.json";
        Bytes expected = Join({kTuner, Tag32(kTunerTagDeviceId, kOurs), {kTunerTagTunerCount, 1, c.Count},
                               {kTunerTagBaseUrl, static_cast<uint8_t>(base.size())}, Bytes(base.begin(), base.end()),
                               {kTunerTagLineupUrl, static_cast<uint8_t>(lineup.size())},
                               Bytes(lineup.begin(), lineup.end())});
        EXPECT_EQ(Bytes(out, out + length), Packet(kTunerDiscoverReply, expected));
        EXPECT_LE(base.size(), kTunerBaseUrlMaxLength);
        // Too small a buffer: nothing.
        EXPECT_EQ(BuildTunerDiscoverReply(kOurs, c.Tuners, c.Address, c.Port, out, length - 1), 0u);
    }
}

TEST(TunerDiscoverRequest, OursParsesBack)
{
    uint8_t out[32];
    const size_t length = BuildTunerDiscoverRequest(kTunerDeviceTypeTuner, kOurs, out, sizeof out);
    EXPECT_EQ(Bytes(out, out + length), Packet(kTunerDiscoverRequest, Join({kTuner, Tag32(kTunerTagDeviceId, kOurs)})));
}

} // namespace
