#include <gtest/gtest.h>

#include <string>

#include "discovery/NameUuid.h"
#include "discovery/Sha1.h"
#include "discovery/SsdpMessage.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
    {
        text += "0123456789abcdef"[bytes[i] >> 4];
        text += "0123456789abcdef"[bytes[i] & 0xF];
    }
    return text;
}

TEST(Sha1, KnownDigests)
{
    const struct
    {
        std::string Input;
        const char* Digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000, 'a'), "291e9a6c66994949b57ba5e650361e98fc36b1ba"},
    };
    for (const auto& c : cases)
    {
        CSha1 sha;
        // Fed in uneven pieces, to cross block boundaries.
        for (size_t at = 0; at < c.Input.size(); at += 7)
            sha.Add(c.Input.data() + at, std::min<size_t>(7, c.Input.size() - at));
        uint8_t digest[kSha1DigestSize];
        sha.Finish(digest);
        EXPECT_EQ(Hex(digest, sizeof digest), c.Digest) << c.Input.size();
    }
}

TEST(NameUuid, Version5AsRfc4122ComputesIt)
{
    // The DNS namespace of RFC 4122 appendix C and a name whose version-5 UUID is published.
    const SUuid dns = {{0x6b, 0xa7, 0xb8, 0x10, 0x9d, 0xad, 0x11, 0xd1, 0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8}};
    char text[kUuidTextCapacity];
    FormatUuid(NameBasedUuid(dns, "python.org", 10), text);
    EXPECT_STREQ(text, "uuid:886313e1-3b8a-5372-9b90-0c9aee199e5d");
}

TEST(NameUuid, MediaServerUuidStaysPerComputerAndPort)
{
    char a[kUuidTextCapacity], b[kUuidTextCapacity], c[kUuidTextCapacity], d[kUuidTextCapacity];
    FormatUuid(MediaServerUuid("LIVINGROOM", 8001), a);
    FormatUuid(MediaServerUuid("livingroom", 8001), b);
    FormatUuid(MediaServerUuid("LIVINGROOM", 8002), c);
    FormatUuid(MediaServerUuid("LIVINGROOM8", 1), d);  // "LIVINGROOM8:1" against "LIVINGROOM:81"
    EXPECT_STREQ(a, b);
    EXPECT_STRNE(a, c);
    EXPECT_STRNE(a, d);
    EXPECT_EQ(a[5 + 14], '5');  // version 5
    EXPECT_NE(std::string("89ab").find(a[5 + 19]), std::string::npos);  // RFC 4122 variant
}

const char kUuid[] = "uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58";

TEST(SsdpSearch, ParsesSearchesAndRefusesTheRest)
{
    const std::string longTarget(kSsdpTargetCapacity, 'x');
    std::string manyLines = "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: ssdp:all\r\n";
    for (int i = 0; i < kSsdpMaxHeaderLines; ++i)
        manyLines += "X-A: b\r\n";
    const struct
    {
        const char* Name;
        std::string Datagram;
        ESsdpParse Outcome;
        const char* Target;
        int Mx;
    } cases[] = {
        {"multicast search", "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\n"
                             "ST: ssdp:all\r\n\r\n", ESsdpParse::Search, "ssdp:all", 2},
        {"names in any case, bare LF, blanks", "M-SEARCH * HTTP/1.1\nman:\"ssdp:discover\"\nmx:  3 \nst:\t upnp:rootdevice \n\n",
         ESsdpParse::Search, "upnp:rootdevice", 3},
        {"unicast: no MX", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: ssdp:all\r\n\r\n", ESsdpParse::Search,
         "ssdp:all", -1},
        {"no empty line at the end", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: ssdp:all\r\n",
         ESsdpParse::Search, "ssdp:all", -1},
        {"MX above 5 counts as 5", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: 120\r\nST: a\r\n\r\n",
         ESsdpParse::Search, "a", 5},
        {"MX 0 counts as 1", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: 0\r\nST: a\r\n\r\n",
         ESsdpParse::Search, "a", 1},
        {"what follows the head is not read", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\r\n\r\n\x01\x02",
         ESsdpParse::Search, "a", -1},
        {"a NOTIFY", "NOTIFY * HTTP/1.1\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n\r\n", ESsdpParse::NotSearch, "", -1},
        {"a reply", "HTTP/1.1 200 OK\r\nST: ssdp:all\r\n\r\n", ESsdpParse::NotSearch, "", -1},
        {"lower-case method", "m-search * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\r\n\r\n", ESsdpParse::NotSearch, "", -1},
        {"request line with more", "M-SEARCH * HTTP/1.1 x\r\nMAN: \"ssdp:discover\"\r\nST: a\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"no MAN", "M-SEARCH * HTTP/1.1\r\nST: ssdp:all\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"MAN unquoted", "M-SEARCH * HTTP/1.1\r\nMAN: ssdp:discover\r\nST: a\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"no ST", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"empty ST", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST:\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"two STs", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\r\nST: b\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"MX not a number", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: -1\r\nST: a\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"MX too long", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: 9999999999\r\nST: a\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"ST too long", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: " + longTarget + "\r\n\r\n",
         ESsdpParse::Malformed, "", -1},
        {"control character", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\x01\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"NUL", std::string("M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\0b\r\n\r\n", 50), ESsdpParse::Malformed, "", -1},
        {"line without colon", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST a\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"folded line", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\r\n b\r\n\r\n", ESsdpParse::Malformed, "", -1},
        {"too many lines", manyLines, ESsdpParse::Malformed, "", -1},
        {"too large", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: a\r\n\r\n" + std::string(kSsdpDatagramMaxSize, ' '),
         ESsdpParse::Malformed, "", -1},
        {"empty", "", ESsdpParse::NotSearch, "", -1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        SSsdpSearch search;
        EXPECT_EQ(ParseSsdpSearch(c.Datagram.data(), c.Datagram.size(), search), c.Outcome);
        if (c.Outcome == ESsdpParse::Search)
        {
            EXPECT_STREQ(search.Target, c.Target);
            EXPECT_EQ(search.MxSeconds, c.Mx);
        }
    }
}

TEST(SsdpSearch, TargetsPickTheTypesToAnswer)
{
    const struct
    {
        const char* Target;
        unsigned Types;
    } cases[] = {
        {"ssdp:all", 0x1F},
        {"upnp:rootdevice", 0x01},
        {kUuid, 0x02},
        {"urn:schemas-upnp-org:device:MediaServer:1", 0x04},
        {"urn:schemas-upnp-org:service:ContentDirectory:1", 0x08},
        {"urn:schemas-upnp-org:service:ConnectionManager:1", 0x10},
        {"urn:schemas-upnp-org:device:MediaServer:2", 0},
        {"urn:schemas-upnp-org:device:MediaRenderer:1", 0},
        {"uuid:00000000-0000-0000-0000-000000000000", 0},
        {"SSDP:ALL", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SsdpTypesFor(c.Target, kUuid), c.Types) << c.Target;
}

SSsdpDevice Device()
{
    SSsdpDevice device;
    device.Uuid = kUuid;
    device.Location = "http://192.168.1.20:8001/upnp/description.xml";
    device.MaxAgeSeconds = 1800;
    device.BootId = 7;
    device.ConfigId = 1;
    return device;
}

std::string Notify(ESsdpNotify kind, int type)
{
    char out[kSsdpMessageCapacity];
    const size_t length = WriteSsdpNotify(Device(), kind, type, out, sizeof out);
    EXPECT_LT(length, sizeof out);
    return std::string(out, length);
}

TEST(SsdpMessages, AliveAndByeByeForEachType)
{
    EXPECT_EQ(Notify(ESsdpNotify::Alive, 2),
              "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1800\r\n"
              "LOCATION: http://192.168.1.20:8001/upnp/description.xml\r\n"
              "NT: urn:schemas-upnp-org:device:MediaServer:1\r\nNTS: ssdp:alive\r\n"
              "SERVER: Windows/10.0 UPnP/1.1 TovrinStreamer/2.5\r\n"
              "USN: uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58::urn:schemas-upnp-org:device:MediaServer:1\r\n"
              "BOOTID.UPNP.ORG: 7\r\nCONFIGID.UPNP.ORG: 1\r\n\r\n");
    EXPECT_EQ(Notify(ESsdpNotify::ByeBye, 1),
              "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
              "NT: uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58\r\nNTS: ssdp:byebye\r\n"
              "USN: uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58\r\n"
              "BOOTID.UPNP.ORG: 7\r\nCONFIGID.UPNP.ORG: 1\r\n\r\n");
    const char* nt[kSsdpTypeCount] = {"upnp:rootdevice", kUuid, "urn:schemas-upnp-org:device:MediaServer:1",
                                      "urn:schemas-upnp-org:service:ContentDirectory:1",
                                      "urn:schemas-upnp-org:service:ConnectionManager:1"};
    for (int type = 0; type < kSsdpTypeCount; ++type)
    {
        const std::string usn = type == 1 ? std::string(kUuid) : std::string(kUuid) + "::" + nt[type];
        for (ESsdpNotify kind : {ESsdpNotify::Alive, ESsdpNotify::ByeBye})
        {
            const std::string text = Notify(kind, type);
            EXPECT_NE(text.find("\r\nNT: " + std::string(nt[type]) + "\r\n"), std::string::npos) << text;
            EXPECT_NE(text.find("\r\nUSN: " + usn + "\r\n"), std::string::npos) << text;
        }
    }
    char out[kSsdpMessageCapacity];
    EXPECT_EQ(WriteSsdpNotify(Device(), ESsdpNotify::Alive, kSsdpTypeCount, out, sizeof out), 0u);
    EXPECT_EQ(WriteSsdpNotify(Device(), ESsdpNotify::Alive, -1, out, sizeof out), 0u);
}

TEST(SsdpMessages, SearchResponseCarriesMaxAgeExactlyAndTheType)
{
    char out[kSsdpMessageCapacity];
    const size_t length = WriteSsdpSearchResponse(Device(), 0, out, sizeof out);
    EXPECT_EQ(std::string(out, length),
              "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
              "LOCATION: http://192.168.1.20:8001/upnp/description.xml\r\n"
              "SERVER: Windows/10.0 UPnP/1.1 TovrinStreamer/2.5\r\nST: upnp:rootdevice\r\n"
              "USN: uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58::upnp:rootdevice\r\n"
              "BOOTID.UPNP.ORG: 7\r\nCONFIGID.UPNP.ORG: 1\r\nContent-Length: 0\r\n\r\n");
}

TEST(SsdpMessages, LongestLocationStillFits)
{
    const std::string location = "http://" + std::string(262, 'a') + "/upnp/description.xml";
    SSsdpDevice device = Device();
    device.Location = location.c_str();
    char out[kSsdpMessageCapacity];
    for (int type = 0; type < kSsdpTypeCount; ++type)
    {
        EXPECT_LT(WriteSsdpNotify(device, ESsdpNotify::Alive, type, out, sizeof out), sizeof out);
        EXPECT_LT(WriteSsdpSearchResponse(device, type, out, sizeof out), sizeof out);
    }
}

} // namespace
