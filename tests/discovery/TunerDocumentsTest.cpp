#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "Utf8Check.h"
#include "discovery/TunerDocuments.h"

namespace {

struct SEntry
{
    uint16_t Number;
    const char* Name;  // DVB text as broadcast
    uint8_t ServiceType;
};

std::unique_ptr<SProgramList> MakeList(std::initializer_list<SEntry> entries)
{
    std::unique_ptr<SProgramList> list(new SProgramList);
    list->TransportStreamId = 1;
    for (const SEntry& entry : entries)
    {
        SListedProgram& p = list->Programs[list->nPrograms++];
        p.ProgramNumber = entry.Number;
        p.ServiceType = entry.ServiceType;
        p.NameLength = static_cast<uint8_t>(std::strlen(entry.Name));
        std::memcpy(p.Name, entry.Name, p.NameLength);
    }
    return list;
}

template <typename Write>
std::string Written(Write write)
{
    const size_t length = write(nullptr, 0);
    std::string text(length + 1, '\0');
    EXPECT_EQ(write(&text[0], text.size()), length);
    text.resize(length);
    return text;
}

TEST(TunerDeviceId, StaysForOneComputerAndPortAndDiffersOtherwise)
{
    const struct
    {
        const char* Name;
        uint16_t Port;
        const char* SameAs; // a name that must give the same id at this port, or null
    } cases[] = {
        {"LIVINGROOM", 8001, "livingroom"},
        {"LIVINGROOM", 8002, nullptr},
        {"LIVINGROOM2", 8001, nullptr},
        {"OFFICE-PC", 80, "Office-PC"},
        {"", 8001, nullptr},
        {"\xC3\x9C" "BER", 8001, nullptr},
    };
    std::set<uint32_t> seen;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const uint32_t id = TunerDeviceId(c.Name, c.Port);
        EXPECT_EQ(id, TunerDeviceId(c.Name, c.Port));
        EXPECT_TRUE(IsValidTunerDeviceId(id));
        EXPECT_EQ(id >> 28, 2u);
        EXPECT_NE(id, 0xFFFFFFFFu);
        if (c.SameAs != nullptr)
        {
            EXPECT_EQ(TunerDeviceId(c.SameAs, c.Port), id);
        }
        EXPECT_TRUE(seen.insert(id).second) << "two computers or ports share an id";
    }
}

TEST(TunerDeviceId, CheckDigitCatchesOneWrongDigitAndTwoSwapped)
{
    const uint32_t id = TunerDeviceId("LIVINGROOM", 8001);
    for (int digit = 0; digit < 8; ++digit)
    {
        for (uint32_t other = 1; other < 16; ++other)
        {
            EXPECT_FALSE(IsValidTunerDeviceId(id ^ (other << (4 * digit)))) << digit << " " << other;
        }
        if (digit == 7)
            continue;
        const uint32_t a = id >> (4 * digit) & 0xF, b = id >> (4 * digit + 4) & 0xF;
        if (a == b)
            continue;
        const uint32_t swapped = (id & ~(0xFFu << (4 * digit))) | (a << (4 * digit + 4)) | (b << (4 * digit));
        EXPECT_FALSE(IsValidTunerDeviceId(swapped)) << digit;
    }
}

TEST(TunerDocuments, DiscoverNamesTheDeviceItsIdTunersAndUrls)
{
    STunerDevice device;
    device.ComputerName = "DEN \"2\"";
    device.DeviceId = 0x2A3B4C5D;
    device.nTuners = 4;
    device.HostPort = "192.168.1.20:8001";
    const std::string json = Written([&](char* out, size_t capacity) { return WriteDiscoverJson(device, out, capacity); });
    EXPECT_EQ(json,
              "{\"FriendlyName\":\"Tovrin TS Streamer (DEN \\\"2\\\")\",\"Manufacturer\":\"Tovrin\","
              "\"ModelNumber\":\"TOVRIN-TS\",\"FirmwareName\":\"tovrin_dvb\",\"FirmwareVersion\":\"1\","
              "\"DeviceID\":\"2A3B4C5D\",\"DeviceAuth\":\"\",\"TunerCount\":4,"
              "\"BaseURL\":\"http://192.168.1.20:8001\",\"LineupURL\":\"http://192.168.1.20:8001/lineup.json\"}\n");
}

TEST(TunerDocuments, DiscoverFitsItsCapacityAtTheLongestNameAndHost)
{
    const std::string name(kComputerNameMaxBytes, '\x01');
    const std::string host(kHttpHostTextCapacity - 1, 'a');
    STunerDevice device;
    device.ComputerName = name.c_str();
    device.HostPort = host.c_str();
    device.nTuners = 1000000;
    char out[kDiscoverJsonCapacity];
    EXPECT_LT(WriteDiscoverJson(device, out, sizeof out), sizeof out);
}

TEST(TunerDocuments, LineupListsEachProgramAndTellsTelevisionFromRadio)
{
    const auto list = MakeList({
        {101, "Alpha", 0x01},            // MPEG-2 SD television
        {102, "Beta HD", 0x19},          // H.264 HD television
        {103, "Gamma Radio", 0x02},      // radio
        {104, "", 0x0C},                 // data, no name
        {105, "Say \"hi\"\\", 0x00},     // unknown kind, a name to escape
    });
    const std::string json = Written([&](char* out, size_t capacity) {
        return WriteLineupJson(*list, "tv:8001", out, capacity);
    });
    EXPECT_EQ(json,
              "[\n"
              "{\"GuideNumber\":\"101\",\"GuideName\":\"Alpha\",\"URL\":\"http://tv:8001/program/101.ts\"},\n"
              "{\"GuideNumber\":\"102\",\"GuideName\":\"Beta HD\",\"URL\":\"http://tv:8001/program/102.ts\",\"HD\":1},\n"
              "{\"GuideNumber\":\"103\",\"GuideName\":\"Gamma Radio\",\"URL\":\"http://tv:8001/program/103.ts\","
              "\"AudioOnly\":1},\n"
              "{\"GuideNumber\":\"104\",\"GuideName\":\"Program 104\",\"URL\":\"http://tv:8001/program/104.ts\"},\n"
              "{\"GuideNumber\":\"105\",\"GuideName\":\"Say \\\"hi\\\"\\\\\",\"URL\":\"http://tv:8001/program/105.ts\"}\n"
              "]\n");
}

TEST(TunerDocuments, EmptyLineupIsAnEmptyArray)
{
    const auto list = MakeList({});
    EXPECT_EQ(Written([&](char* out, size_t capacity) { return WriteLineupJson(*list, "tv", out, capacity); }),
              "[\n]\n");
}

TEST(TunerDocuments, FullLineupOfWorstNamesFitsItsCapacityAsValidUtf8)
{
    std::unique_ptr<SProgramList> list(new SProgramList);
    list->nPrograms = kMaxListedPrograms;
    for (int i = 0; i < kMaxListedPrograms; ++i)
    {
        SListedProgram& p = list->Programs[i];
        p.ProgramNumber = static_cast<uint16_t>(65535 - i);
        p.ServiceType = 0x19;
        p.NameLength = kServiceTextMaxBytes;
        std::memset(p.Name, i % 2 == 0 ? '"' : 0xFF, kServiceTextMaxBytes);
    }
    const std::string host(kHttpHostTextCapacity - 1, 'a');
    std::unique_ptr<char[]> out(new char[kLineupJsonCapacity]);
    const size_t length = WriteLineupJson(*list, host.c_str(), out.get(), kLineupJsonCapacity);
    EXPECT_LT(length, kLineupJsonCapacity);
    EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(out.get()), length));
}

TEST(TunerDocuments, LineupStatusSaysNoScanIsRunningOrPossible)
{
    EXPECT_EQ(Written(WriteLineupStatusJson),
              "{\"ScanInProgress\":0,\"ScanPossible\":0,\"Source\":\"Antenna\",\"SourceList\":[\"Antenna\"]}\n");
}

} // namespace
