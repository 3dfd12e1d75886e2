#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PsiTestStreams.h"
#include "Utf8Check.h"
#include "discovery/MediaServerControl.h"
#include "discovery/UpnpDescription.h"
#include "psi/PmtTable.h"

namespace {

using namespace psitest;

TEST(DlnaProfile, PmtCodecsFindTheFirstVideoAndAudio)
{
    const Bytes ac3 = {0x6A, 1, 0x00};
    const Bytes eac3 = {0x7A, 1, 0x00};
    const Bytes teletext = {0x56, 5, 'e', 'n', 'g', 0x09, 0x00};
    const struct
    {
        const char* Name;
        std::vector<TestStream> Streams;
        uint8_t Video;
        uint8_t Audio;
    } cases[] = {
        {"MPEG-2 and MPEG audio", {{0x02, 0x100, {}}, {0x03, 0x101, {}}}, 0x02, 0x03},
        {"H.264 and AC-3 as private data", {{0x1B, 0x100, {}}, {0x06, 0x101, ac3}}, 0x1B, kStreamTypeAc3},
        {"teletext is not audio", {{0x06, 0x102, teletext}, {0x1B, 0x100, {}}, {0x06, 0x101, eac3}}, 0x1B, kStreamTypeEac3},
        {"radio", {{0x04, 0x101, {}}}, 0, 0x04},
        {"HEVC and AAC", {{0x24, 0x100, {}}, {0x0F, 0x101, {}}, {0x03, 0x102, {}}}, 0x24, 0x0F},
        {"data only", {{0x05, 0x100, {}}}, 0, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const Bytes section = PmtSection(101, 0, 0x100, c.Streams);
        ASSERT_TRUE(IsValidPmt(section.data(), static_cast<int>(section.size())));
        const SProgramCodecs codecs = PmtCodecs(section.data(), static_cast<int>(section.size()));
        EXPECT_EQ(codecs.VideoStreamType, c.Video);
        EXPECT_EQ(codecs.AudioStreamType, c.Audio);
    }
}

std::string ProtocolInfo(uint8_t serviceType, const SProgramCodecs* codecs)
{
    char text[256];
    CTextWriter writer(text, sizeof text);
    PutProtocolInfo(writer, DlnaFormatOf(serviceType, codecs));
    return text;
}

TEST(DlnaProfile, ProtocolInfoFromServiceTypeAndCodecs)
{
    const std::string live = ";DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    const SProgramCodecs mpeg2 = {0x02, 0x03}, h264 = {0x1B, kStreamTypeAc3}, hevc = {0x24, 0x0F}, audio = {0, 0x03};
    const struct
    {
        uint8_t ServiceType;
        const SProgramCodecs* Codecs;
        std::string Expected;
    } cases[] = {
        {0x01, nullptr, "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO" + live},
        {0x11, nullptr, "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_TS_HD_EU_ISO" + live},
        {0x16, nullptr, "http-get:*:video/mpeg:DLNA.ORG_PN=AVC_TS_HD_EU_ISO" + live},
        {0x19, nullptr, "http-get:*:video/mpeg:DLNA.ORG_PN=AVC_TS_HD_EU_ISO" + live},
        {0x1F, nullptr, "http-get:*:video/mpeg:*"},                  // HEVC: no profile
        {0x00, nullptr, "http-get:*:video/mpeg:*"},                  // nothing known
        {0x02, nullptr, "http-get:*:audio/mpeg:*"},                  // radio
        {0x0A, nullptr, "http-get:*:audio/mpeg:*"},
        {0x01, &h264, "http-get:*:video/mpeg:DLNA.ORG_PN=AVC_TS_HD_EU_ISO" + live},  // the PMT wins
        {0x00, &mpeg2, "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO" + live},
        {0x19, &hevc, "http-get:*:video/mpeg:*"},
        {0x01, &audio, "http-get:*:audio/mpeg:*"},                   // a "TV" service of audio only
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProtocolInfo(c.ServiceType, c.Codecs), c.Expected) << int(c.ServiceType);
}

// --- The library and its answers --------------------------------------------

class MediaServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Add(101, "Alpha", 0x01);
        Add(102, "Beta & <Co>", 0x19);
        Add(103, "Gamma Radio", 0x02);
        state.Library.Programs = programs.get();
        state.Library.HostPort = "10.0.0.1:8001";
        state.Library.Title = "Tovrin TS Streamer (DEN)";
        state.SystemUpdateId = ProgramListUpdateId(*programs);
    }

    void Add(uint16_t number, const char* name, uint8_t type)
    {
        SListedProgram& p = programs->Programs[programs->nPrograms++];
        p.ProgramNumber = number;
        p.ServiceType = type;
        p.NameLength = static_cast<uint8_t>(std::strlen(name));
        std::memcpy(p.Name, name, p.NameLength);
    }

    // Answers a request made of `action` and its arguments.
    std::string Answer(ESoapService service, const char* action, std::vector<std::pair<const char*, std::string>> args,
                       int& status)
    {
        SSoapRequest request;
        request.Service = service;
        std::strcpy(request.Action, action);
        for (const auto& arg : args)
        {
            SSoapArgument& a = request.Arguments[request.nArguments++];
            std::strcpy(a.Name, arg.first);
            std::strcpy(a.Value, arg.second.c_str());
        }
        const size_t length = WriteSoapAnswer(request, state, *scratch, out.get(), kSoapAnswerCapacity, status);
        EXPECT_LT(length, kSoapAnswerCapacity);
        return std::string(out.get(), length);
    }

    std::string Browse(const std::string& id, const char* flag, const std::string& start, const std::string& count,
                       int& status)
    {
        return Answer(ESoapService::ContentDirectory, "Browse",
                      {{"ObjectID", id}, {"BrowseFlag", flag}, {"Filter", "*"}, {"StartingIndex", start},
                       {"RequestedCount", count}, {"SortCriteria", ""}},
                      status);
    }

    std::unique_ptr<SProgramList> programs{new SProgramList};
    SMediaServerState state;
    std::unique_ptr<SDidlScratch> scratch{new SDidlScratch};
    std::unique_ptr<char[]> out{new char[kSoapAnswerCapacity]};
};

std::string Between(const std::string& text, const std::string& open, const std::string& close)
{
    const size_t begin = text.find(open);
    if (begin == std::string::npos)
        return "(none)";
    const size_t end = text.find(close, begin + open.size());
    return end == std::string::npos ? "(open)" : text.substr(begin + open.size(), end - begin - open.size());
}

// The Result's text, its one level of escaping undone.
std::string Result(const std::string& answer)
{
    std::string text = Between(answer, "<Result>", "</Result>");
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i)
    {
        static const std::pair<const char*, char> refs[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'},
                                                            {"&quot;", '"'}, {"&#39;", '\''}};
        bool replaced = false;
        for (const auto& ref : refs)
            if (text.compare(i, std::strlen(ref.first), ref.first) == 0)
            {
                plain += ref.second;
                i += std::strlen(ref.first) - 1;
                replaced = true;
                break;
            }
        if (!replaced)
            plain += text[i];
    }
    return plain;
}

std::vector<std::string> ItemIds(const std::string& didl)
{
    std::vector<std::string> ids;
    for (size_t at = didl.find("<item id=\""); at != std::string::npos; at = didl.find("<item id=\"", at + 1))
        ids.push_back(didl.substr(at + 10, didl.find('"', at + 10) - at - 10));
    return ids;
}

TEST_F(MediaServer, BrowseTable)
{
    const struct
    {
        const char* Id;
        const char* Flag;
        const char* Start;
        const char* Count;
        int Status;
        int Error;                       // UPnP error of a fault, else 0
        std::vector<std::string> Items;  // item ids listed
        const char* Returned;
        const char* Total;
    } cases[] = {
        {"0", "BrowseDirectChildren", "0", "0", 200, 0, {"p101", "p102", "p103"}, "3", "3"},
        {"0", "BrowseDirectChildren", "0", "2", 200, 0, {"p101", "p102"}, "2", "3"},
        {"0", "BrowseDirectChildren", "2", "10", 200, 0, {"p103"}, "1", "3"},
        {"0", "BrowseDirectChildren", "3", "10", 200, 0, {}, "0", "3"},
        {"0", "BrowseDirectChildren", "4294967295", "1", 200, 0, {}, "0", "3"},
        {"0", "BrowseMetadata", "0", "0", 200, 0, {}, "1", "1"},
        {"p102", "BrowseMetadata", "0", "1", 200, 0, {"p102"}, "1", "1"},
        {"p102", "BrowseDirectChildren", "0", "0", 500, 710, {}, "", ""},
        {"p104", "BrowseMetadata", "0", "0", 500, 701, {}, "", ""},
        {"p0102", "BrowseMetadata", "0", "0", 500, 701, {}, "", ""},
        {"1", "BrowseMetadata", "0", "0", 500, 701, {}, "", ""},
        {"0", "BrowseEverything", "0", "0", 500, 402, {}, "", ""},
        {"0", "BrowseDirectChildren", "-1", "0", 500, 402, {}, "", ""},
        {"0", "BrowseDirectChildren", "0", "4294967296", 500, 402, {}, "", ""},
        {"0", "BrowseDirectChildren", "", "0", 500, 402, {}, "", ""},
        {"0", "BrowseMetadata", "1", "0", 500, 402, {}, "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.Id) + " " + c.Flag + " " + c.Start + " " + c.Count);
        int status = 0;
        const std::string answer = Browse(c.Id, c.Flag, c.Start, c.Count, status);
        EXPECT_EQ(status, c.Status);
        if (c.Error != 0)
        {
            EXPECT_EQ(Between(answer, "<errorCode>", "</errorCode>"), std::to_string(c.Error));
            EXPECT_EQ(answer.find("BrowseResponse"), std::string::npos);
            continue;
        }
        EXPECT_EQ(ItemIds(Result(answer)), c.Items);
        EXPECT_EQ(Between(answer, "<NumberReturned>", "</NumberReturned>"), c.Returned);
        EXPECT_EQ(Between(answer, "<TotalMatches>", "</TotalMatches>"), c.Total);
        EXPECT_EQ(Between(answer, "<UpdateID>", "</UpdateID>"), std::to_string(state.SystemUpdateId));
    }
}

TEST_F(MediaServer, ItemsCarryNameClassChannelAndStream)
{
    SGuideNowList now;
    now.Count = 1;
    now.Services[0].ProgramNumber = 102;
    now.Services[0].Known = true;
    std::strcpy(now.Services[0].Title, "News <live>");
    state.Library.Now = &now;
    int status = 0;
    const std::string didl = Result(Browse("0", "BrowseDirectChildren", "0", "0", status));
    const std::string flags = "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    EXPECT_EQ(didl,
              "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
              "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\">"
              "<item id=\"p101\" parentID=\"0\" restricted=\"1\"><dc:title>Alpha</dc:title>"
              "<upnp:class>object.item.videoItem.videoBroadcast</upnp:class><upnp:channelNr>101</upnp:channelNr>"
              "<upnp:channelName>Alpha</upnp:channelName>"
              "<res protocolInfo=\"http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;" + flags +
                  "\">http://10.0.0.1:8001/program/101.ts</res></item>"
              "<item id=\"p102\" parentID=\"0\" restricted=\"1\"><dc:title>Beta &amp; &lt;Co&gt;</dc:title>"
              "<upnp:class>object.item.videoItem.videoBroadcast</upnp:class><upnp:channelNr>102</upnp:channelNr>"
              "<upnp:channelName>Beta &amp; &lt;Co&gt;</upnp:channelName><dc:description>News &lt;live&gt;</dc:description>"
              "<res protocolInfo=\"http-get:*:video/mpeg:DLNA.ORG_PN=AVC_TS_HD_EU_ISO;" + flags +
                  "\">http://10.0.0.1:8001/program/102.ts</res></item>"
              "<item id=\"p103\" parentID=\"0\" restricted=\"1\"><dc:title>Gamma Radio</dc:title>"
              "<upnp:class>object.item.audioItem.audioBroadcast</upnp:class><upnp:channelNr>103</upnp:channelNr>"
              "<upnp:channelName>Gamma Radio</upnp:channelName>"
              "<res protocolInfo=\"http-get:*:audio/mpeg:*\">http://10.0.0.1:8001/program/103.ts</res></item>"
              "</DIDL-Lite>");
    const std::string root = Result(Browse("0", "BrowseMetadata", "0", "0", status));
    EXPECT_NE(root.find("<container id=\"0\" parentID=\"-1\" restricted=\"1\" searchable=\"0\" childCount=\"3\">"
                        "<dc:title>Tovrin TS Streamer (DEN)</dc:title>"),
              std::string::npos)
        << root;
}

TEST_F(MediaServer, FullListOfLongestNamesIsPagedWithinTheBudget)
{
    programs->nPrograms = 0;
    for (int i = 0; i < kMaxListedPrograms; ++i)
    {
        Add(static_cast<uint16_t>(1000 + i), "", 0x19);
        SListedProgram& p = programs->Programs[i];
        p.NameLength = kServiceTextMaxBytes;
        std::memset(p.Name, i % 2 ? '&' : 0xFF, kServiceTextMaxBytes);  // escaped twice, or three UTF-8 bytes each
    }
    state.Library.HostPort = "a-very-long-host-name-of-the-home-network.example:65535";
    uint32_t seen = 0;
    while (seen < kMaxListedPrograms)
    {
        int status = 0;
        const std::string answer = Browse("0", "BrowseDirectChildren", std::to_string(seen), "0", status);
        ASSERT_EQ(status, 200);
        EXPECT_LT(answer.size(), kSoapAnswerCapacity);
        EXPECT_EQ(Between(answer, "<TotalMatches>", "</TotalMatches>"), std::to_string(kMaxListedPrograms));
        const uint32_t returned = static_cast<uint32_t>(std::stoul(Between(answer, "<NumberReturned>", "</NumberReturned>")));
        ASSERT_GT(returned, 0u);
        const std::vector<std::string> ids = ItemIds(Result(answer));
        ASSERT_EQ(ids.size(), returned);
        EXPECT_EQ(ids.front(), "p" + std::to_string(1000 + seen));
        EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(answer.data()), answer.size()));
        seen += returned;
    }
    EXPECT_EQ(seen, static_cast<uint32_t>(kMaxListedPrograms));
}

TEST_F(MediaServer, OtherActionsAndFaults)
{
    const struct
    {
        ESoapService Service;
        const char* Action;
        std::vector<std::pair<const char*, std::string>> Args;
        int Status;
        const char* Contains;
    } cases[] = {
        {ESoapService::ContentDirectory, "GetSearchCapabilities", {}, 200, "<SearchCaps></SearchCaps>"},
        {ESoapService::ContentDirectory, "GetSortCapabilities", {}, 200, "<SortCaps></SortCaps>"},
        {ESoapService::ContentDirectory, "X_GetFeatureList", {}, 200,
         "&lt;container id=&quot;0&quot; type=&quot;object.item.videoItem&quot;/&gt;"},
        {ESoapService::ConnectionManager, "GetProtocolInfo", {}, 200,
         "<Source>http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;DLNA.ORG_OP=00;DLNA.ORG_CI=0;"
         "DLNA.ORG_FLAGS=01700000000000000000000000000000,http-get:*:video/mpeg:DLNA.ORG_PN=AVC_TS_HD_EU_ISO;"
         "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000,http-get:*:audio/mpeg:*</Source>"
         "<Sink></Sink>"},
        {ESoapService::ConnectionManager, "GetCurrentConnectionIDs", {}, 200, "<ConnectionIDs>0</ConnectionIDs>"},
        {ESoapService::ConnectionManager, "GetCurrentConnectionInfo", {{"ConnectionID", "0"}}, 200,
         "<Direction>Output</Direction><Status>OK</Status>"},
        {ESoapService::ConnectionManager, "GetCurrentConnectionInfo", {{"ConnectionID", "1"}}, 500, "<errorCode>706<"},
        {ESoapService::ConnectionManager, "GetCurrentConnectionInfo", {}, 500, "<errorCode>402<"},
        {ESoapService::ContentDirectory, "Search", {}, 500, "<errorCode>401<"},
        {ESoapService::ConnectionManager, "Browse", {}, 500, "<errorCode>401<"},
        {ESoapService::Unknown, "Browse", {}, 500, "<errorCode>401<"},
        {ESoapService::ContentDirectory, "Browse", {{"ObjectID", "0"}}, 500, "<errorCode>402<"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Action);
        int status = 0;
        const std::string answer = Answer(c.Service, c.Action, c.Args, status);
        EXPECT_EQ(status, c.Status);
        EXPECT_NE(answer.find(c.Contains), std::string::npos) << answer;
        if (c.Status == 200)
        {
            EXPECT_NE(answer.find(std::string("<u:") + c.Action + "Response xmlns:u=\"urn:schemas-upnp-org:service:"),
                      std::string::npos);
        }
    }
    int status = 0;
    EXPECT_EQ(Answer(ESoapService::ContentDirectory, "GetSystemUpdateID", {}, status).find(
                  "<Id>" + std::to_string(state.SystemUpdateId) + "</Id>") != std::string::npos,
              true);
}

TEST_F(MediaServer, SystemUpdateIdChangesWithThePrograms)
{
    const uint32_t before = ProgramListUpdateId(*programs);
    EXPECT_NE(before, 0u);
    programs->Programs[1].Name[0] = 'b';
    const uint32_t renamed = ProgramListUpdateId(*programs);
    programs->Programs[2].ServiceType = 0x01;
    const uint32_t retyped = ProgramListUpdateId(*programs);
    programs->nPrograms = 2;
    const uint32_t fewer = ProgramListUpdateId(*programs);
    EXPECT_NE(before, renamed);
    EXPECT_NE(renamed, retyped);
    EXPECT_NE(retyped, fewer);
}

TEST(UpnpDescription, DeviceNamesItsTypeNameUdnPageAndServices)
{
    SUpnpDevice device;
    device.ComputerName = "DEN & <1>";
    device.Udn = "uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58";
    device.HostPort = "10.0.0.1:8001";
    char out[kUpnpDescriptionCapacity];
    const size_t length = WriteDeviceDescription(device, out, sizeof out);
    ASSERT_LT(length, sizeof out);
    const std::string text(out, length);
    for (const char* part : {
             "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>",
             "<friendlyName>Tovrin TS Streamer (DEN &amp; &lt;1&gt;)</friendlyName>",
             "<UDN>uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58</UDN>",
             "<presentationURL>http://10.0.0.1:8001/</presentationURL>",
             "<service><serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>"
             "<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId><SCPDURL>/upnp/ContentDirectory.xml</SCPDURL>"
             "<controlURL>/upnp/control/ContentDirectory</controlURL><eventSubURL>/upnp/event/ContentDirectory</eventSubURL>"
             "</service>",
             "<serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>",
         })
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

TEST(UpnpDescription, ServicesListEveryActionTheControlAnswers)
{
    const struct
    {
        EUpnpService Service;
        std::vector<std::string> Actions;
    } cases[] = {
        {EUpnpService::ContentDirectory,
         {"GetSearchCapabilities", "GetSortCapabilities", "GetSystemUpdateID", "Browse", "X_GetFeatureList"}},
        {EUpnpService::ConnectionManager, {"GetProtocolInfo", "GetCurrentConnectionIDs", "GetCurrentConnectionInfo"}},
    };
    for (const auto& c : cases)
    {
        char out[kUpnpDescriptionCapacity];
        const size_t length = WriteServiceDescription(c.Service, out, sizeof out);
        ASSERT_LT(length, sizeof out);
        const std::string text(out, length);
        std::vector<std::string> actions;
        for (size_t at = text.find("<action><name>"); at != std::string::npos; at = text.find("<action><name>", at + 1))
            actions.push_back(text.substr(at + 14, text.find('<', at + 14) - at - 14));
        EXPECT_EQ(actions, c.Actions);
        // Every related state variable is declared.
        for (size_t at = text.find("<relatedStateVariable>"); at != std::string::npos;
             at = text.find("<relatedStateVariable>", at + 1))
        {
            const std::string name = text.substr(at + 22, text.find('<', at + 22) - at - 22);
            EXPECT_NE(text.find("\"><name>" + name + "</name><dataType>"), std::string::npos) << name;
        }
    }
}

} // namespace
