#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "http/HttpPages.h"
#include "http/HttpResponse.h"
#include "Utf8Check.h"

namespace {

using namespace std::string_literals;

std::string Head(size_t (*write)(char*, size_t))
{
    char buffer[kHttpResponseHeadCapacity];
    const size_t length = write(buffer, sizeof buffer);
    return std::string(buffer, length);
}

TEST(HttpResponse, StreamHeadIsExactlyWhatPlayersTakeForALiveStream)
{
    EXPECT_EQ(Head(WriteStreamResponseHead),
              "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n");
    char small[40];
    EXPECT_EQ(WriteStreamResponseHead(small, sizeof small), 0u);
}

TEST(HttpResponse, DlnaStreamHeadSaysStreamingWithoutRangesOrLength)
{
    char buffer[kHttpResponseHeadCapacity];
    const char* features = "DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    const size_t length = WriteDlnaStreamResponseHead(buffer, sizeof buffer, "video/mpeg", features);
    EXPECT_EQ(std::string(buffer, length),
              "HTTP/1.1 200 OK\r\nContent-Type: video/mpeg\r\ncontentFeatures.dlna.org: " + std::string(features) +
                  "\r\ntransferMode.dlna.org: Streaming\r\nAccept-Ranges: none\r\nCache-Control: no-cache\r\n"
                  "Connection: close\r\n\r\n");
    EXPECT_EQ(WriteDlnaStreamResponseHead(buffer, 100, "video/mpeg", features), 0u);
}

TEST(HttpResponse, ContentHeadCarriesTypeAndLength)
{
    char buffer[kHttpResponseHeadCapacity];
    const size_t length = WriteContentResponseHead(buffer, sizeof buffer, "audio/x-mpegurl", 1234);
    EXPECT_EQ(std::string(buffer, length), "HTTP/1.1 200 OK\r\nContent-Type: audio/x-mpegurl\r\nContent-Length: 1234\r\n"
                                           "Cache-Control: no-cache\r\nConnection: close\r\n\r\n");
}

TEST(HttpResponse, RefusalsHaveTheirStatusHeadersAndBody)
{
    const struct
    {
        int Status;
        const char* StatusLine;
        const char* Extra; // a header only this status has, or ""
    } cases[] = {
        {400, "HTTP/1.1 400 Bad Request\r\n", ""},
        {403, "HTTP/1.1 403 Forbidden\r\n", ""},
        {404, "HTTP/1.1 404 Not Found\r\n", ""},
        {405, "HTTP/1.1 405 Method Not Allowed\r\n", "\r\nAllow: GET, HEAD\r\n"},
        {411, "HTTP/1.1 411 Length Required\r\n", ""},
        {413, "HTTP/1.1 413 Content Too Large\r\n", ""},
        {431, "HTTP/1.1 431 Request Header Fields Too Large\r\n", ""},
        {503, "HTTP/1.1 503 Service Unavailable\r\n", "\r\nRetry-After: 10\r\n"},
        {505, "HTTP/1.1 505 HTTP Version Not Supported\r\n", ""},
        {200, "HTTP/1.1 500 Internal Server Error\r\n", ""}, // not a refusal
        {-1, "HTTP/1.1 500 Internal Server Error\r\n", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Status);
        char buffer[kHttpResponseHeadCapacity];
        const std::string full(buffer, WriteErrorResponse(buffer, sizeof buffer, c.Status, true));
        const std::string head(buffer, WriteErrorResponse(buffer, sizeof buffer, c.Status, false));
        EXPECT_EQ(full.rfind(c.StatusLine, 0), 0u);
        EXPECT_NE(full.find("\r\nConnection: close\r\n"), std::string::npos);
        if (c.Extra[0] != 0)
        {
            EXPECT_NE(full.find(c.Extra), std::string::npos);
        }
        EXPECT_EQ(full.find("Allow:") != std::string::npos, c.Status == 405);
        EXPECT_EQ(full.find("Retry-After:") != std::string::npos, c.Status == 503);
        // HEAD: the same head, no body; the length names the body GET gets.
        const size_t end = full.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(head, full.substr(0, end + 4));
        const std::string body = full.substr(end + 4);
        EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
        EXPECT_EQ(body.back(), '\n');
        // Too small a buffer: nothing usable, nothing beyond it touched.
        char small[48 + 4];
        std::memset(small, '#', sizeof small);
        EXPECT_EQ(WriteErrorResponse(small, 48, c.Status, true), 0u);
        EXPECT_EQ(std::string(small + 48, 4), "####");
    }
}

struct STextCase
{
    const char* Name;
    std::string Dvb;
    std::string Utf8;
};

TEST(DvbText, BroadcastNamesBecomeValidUtf8)
{
    const STextCase cases[] = {
        {"ASCII", "Das Erste HD", "Das Erste HD"},
        {"empty", "", ""},
        {"default table as Latin-1", "Caf\xE9 \xA9", "Caf\xC3\xA9 \xC2\xA9"},
        {"diacritic before its letter", "M\xC8unchen", "Mu\xCC\x88nchen"},
        {"diacritic without a letter", "a\xC8 b\xC8", "a b"},
        {"emphasis and controls dropped", "\x86ZDF\x87 neo\x01\x1F\x7F", "ZDF neo"},
        {"line break as blank", "News\x8A" "24", "News 24"},
        {"ISO 8859-5 selector", "\x01\xB0\xD0 \xF0", "\xD0\x90\xD0\xB0 \xE2\x84\x96"},
        {"three-byte 8859-5 selector", "\x10\x00\x05\xB0"s, "\xD0\x90"},
        {"three-byte 8859-9 selector", "\x10\x00\x09\xE9"s, "\xC3\xA9"},
        {"cut three-byte selector", "\x10\x00"s, ""},
        {"ISO 8859-15", "\x0B\xE9t\xE9 \xA4", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
        {"ISO 8859-7", "\x03\xC1\xE1", "\xCE\x91\xCE\xB1"},
        {"ISO 8859-2, three-byte selector", "\x10\x00\x02\xB1\xA3"s, "\xC4\x85\xC5\x81"},
        {"ISO 8859-3 undefined position", "\x10\x00\x03\xA5x"s, "\xEF\xBF\xBDx"},
        {"ISO 8859-12 never was", "\x08\xE9x", "x"},
        {"part 12 by number", "\x10\x00\x0C\xE9x"s, "x"},
        {"part 17 by number", "\x10\x00\x11\xE9x"s, "x"},
        {"UCS-2", "\x11\x00\x41\x04\x10\x00"s, "A\xD0\x90"},
        {"UCS-2 odd tail and surrogate", "\x11\xD8\x00\x00\x42\x00"s, "\xEF\xBF\xBD" "B"},
        // XML 1.0 has no U+FFFE or U+FFFF: one in a title would make the whole guide ill-formed.
        {"UCS-2 U+FFFF, U+FFFE and a lone low surrogate", "\x11\x00\x41\xFF\xFF\xFF\xFE\xDC\x01"s,
         "A\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF-8 U+FFFE and U+FFFF", "\x15" "a\xEF\xBF\xBE" "b\xEF\xBF\xBF", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        {"UCS-2 DVB controls", "\x11\xE0\x86\x00\x41\xE0\x8A\x00\x42"s, "A B"},
        {"UTF-8", "\x15" "Sch\xC3\xB6n \xE2\x82\xAC \xF0\x9F\x93\xBA", "Sch\xC3\xB6n \xE2\x82\xAC \xF0\x9F\x93\xBA"},
        {"UTF-8 invalid bytes", "\x15" "a\xFF" "b\xC3", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        {"UTF-8 overlong slash", "\x15\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF-8 surrogate", "\x15\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF-8 above U+10FFFF", "\x15\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF-8 C1 control", "\x15" "a\xC2\x85" "b", "ab"},
        // Playlist readers split lines at U+2028 and U+2029.
        {"UTF-8 line and paragraph separators", "\x15" "a\xE2\x80\xA8" "b\xE2\x80\xA9" "c\xE2\x80\xAA", "abc\xE2\x80\xAA"},
        {"UCS-2 line and paragraph separators", "\x11\x00\x41\x20\x28\x00\x42\x20\x29\x00\x43"s, "ABC"},
        {"UTF-8 truncated sequence", "\x15\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"unknown table keeps ASCII", "\x13\xB0\xA1 CCTV-4", " CCTV-4"},
        {"encoding_type_id", "\x1F\x01" "abc", "abc"},
    };
    for (const STextCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        char out[kDvbTextUtf8Capacity];
        const size_t length = DvbTextToUtf8(reinterpret_cast<const unsigned char*>(c.Dvb.data()), c.Dvb.size(), out, sizeof out);
        EXPECT_EQ(std::string(out, length), c.Utf8);
        EXPECT_EQ(out[length], 0);
    }
}

TEST(DvbText, ASmallBufferNeverCutsACharacter)
{
    const std::string text = "\x15" "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xBA" "b";
    const std::string whole = text.substr(1);
    for (size_t capacity = 0; capacity <= whole.size() + 1; ++capacity)
    {
        char out[32];
        std::memset(out, '#', sizeof out);
        const size_t length = DvbTextToUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, capacity);
        EXPECT_LT(length, capacity == 0 ? 1 : capacity);
        EXPECT_EQ(whole.compare(0, length, out, length), 0) << capacity;
        EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(out), length));
        EXPECT_EQ(out[capacity], '#');
    }
}

void SetText(unsigned char* field, uint8_t& length, const std::string& text)
{
    std::memcpy(field, text.data(), text.size());
    length = static_cast<uint8_t>(text.size());
}

std::unique_ptr<SProgramList> TwoPrograms()
{
    auto programs = std::make_unique<SProgramList>();
    programs->nPrograms = 3;
    programs->TransportStreamId = 0x043F;
    programs->OriginalNetworkId = 1;
    SListedProgram& first = programs->Programs[0];
    first.ProgramNumber = 28106;
    SetText(first.Name, first.NameLength, "Das Erste <HD> & \"more\"");
    SetText(first.Provider, first.ProviderLength, "ARD's");
    SListedProgram& second = programs->Programs[1];
    second.ProgramNumber = 7;
    SetText(second.Name, second.NameLength, "\x86\x87"); // nothing printable: no name
    SListedProgram& third = programs->Programs[2];
    third.ProgramNumber = 65535;
    SetText(third.Name, third.NameLength, "</a><script>alert(1)</script>");
    return programs;
}

TEST(Playlist, TheWorstCaseFitsItsCapacity)
{
    auto programs = std::make_unique<SProgramList>();
    programs->nPrograms = kMaxListedPrograms;
    for (SListedProgram& program : programs->Programs)
    {
        program.ProgramNumber = 65535;
        SetText(program.Name, program.NameLength, std::string(kServiceTextMaxBytes, '\xFF'));
        SetText(program.Provider, program.ProviderLength, std::string(kServiceTextMaxBytes, '"'));
    }
    std::string playlist(kPlaylistCapacity, '\0');
    const std::string host(kHttpHostTextCapacity - 1, 'h');
    EXPECT_LT(WritePlaylist(*programs, host.c_str(), &playlist[0], playlist.size()), kPlaylistCapacity);
    EXPECT_LT(WriteProgramPlaylist(*programs, 65535, host.c_str(), &playlist[0], playlist.size()), kPlaylistCapacity);
}

// What a phone's "Watch" link opens: the guide's head and one entry.
TEST(Playlist, AProgramsOwnPlaylistHasItsOneEntry)
{
    const auto programs = TwoPrograms();
    std::string playlist(kPlaylistCapacity, '\0');
    playlist.resize(WriteProgramPlaylist(*programs, 7, "tv:8001", &playlist[0], playlist.size()));
    EXPECT_EQ(playlist, "#EXTM3U url-tvg=\"http://tv:8001/epg.xml\" x-tvg-url=\"http://tv:8001/epg.xml\"\n"
                        "#EXTINF:-1 tvg-id=\"7.43f.1.dvb\" tvg-chno=\"7\",Program 7\n"
                        "#KODIPROP:mimetype=video/mp2t\n"
                        "http://tv:8001/program/7.ts\n");
    // Not listed: nothing, so that the server answers 404.
    char out[64];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(WriteProgramPlaylist(*programs, 8, "tv:8001", out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    // Cut like snprintf.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(WriteProgramPlaylist(*programs, 7, "tv:8001", out, 32), playlist.size());
    EXPECT_EQ(std::string(out), playlist.substr(0, 31));
}

TEST(Playlist, OneEntryPerProgramWithAnAbsoluteUrl)
{
    const auto programs = TwoPrograms();
    std::string playlist(kPlaylistCapacity, '\0');
    playlist.resize(WritePlaylist(*programs, "192.168.1.20:8001", &playlist[0], playlist.size()));
    // The guide's address first; tvg-id is the guide's channel id.
    EXPECT_EQ(playlist, "#EXTM3U url-tvg=\"http://192.168.1.20:8001/epg.xml\" "
                        "x-tvg-url=\"http://192.168.1.20:8001/epg.xml\"\n"
                        "#EXTINF:-1 tvg-id=\"28106.43f.1.dvb\" tvg-chno=\"28106\",Das Erste <HD> & \"more\"\n"
                        "#KODIPROP:mimetype=video/mp2t\n"
                        "http://192.168.1.20:8001/program/28106.ts\n"
                        "#EXTINF:-1 tvg-id=\"7.43f.1.dvb\" tvg-chno=\"7\",Program 7\n"
                        "#KODIPROP:mimetype=video/mp2t\n"
                        "http://192.168.1.20:8001/program/7.ts\n"
                        "#EXTINF:-1 tvg-id=\"65535.43f.1.dvb\" tvg-chno=\"65535\",</a><script>alert(1)</script>\n"
                        "#KODIPROP:mimetype=video/mp2t\n"
                        "http://192.168.1.20:8001/program/65535.ts\n");
    SProgramList none;
    char empty[96];
    EXPECT_EQ(WritePlaylist(none, "tv", empty, sizeof empty), 66u);
    EXPECT_STREQ(empty, "#EXTM3U url-tvg=\"http://tv/epg.xml\" x-tvg-url=\"http://tv/epg.xml\"\n");
}

// IPTV apps put an entry among the radio channels by radio="true"; the SDT's
// service type says which are radio, as on the page.
TEST(Playlist, RadioServicesAreMarkedAsRadio)
{
    const struct
    {
        uint8_t ServiceType;
        bool Radio;
    } cases[] = {
        {0x02, true},   // MPEG-1 Layer II radio
        {0x07, true},   // FM radio
        {0x0A, true},   // advanced codec radio
        {0x01, false},  // MPEG-2 television
        {0x19, false},  // H.264 HD television
        {0x0C, false},  // data broadcast
        {0x00, false},  // no service descriptor
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.ServiceType));
        auto programs = TwoPrograms();
        programs->Programs[1].ServiceType = c.ServiceType;
        const std::string entry = std::string("#EXTINF:-1 tvg-id=\"7.43f.1.dvb\" tvg-chno=\"7\"") +
                                  (c.Radio ? " radio=\"true\"" : "") + ",Program 7\n";
        std::string whole(kPlaylistCapacity, '\0');
        whole.resize(WritePlaylist(*programs, "tv", &whole[0], whole.size()));
        EXPECT_NE(whole.find(entry), std::string::npos) << whole;
        std::string one(kPlaylistCapacity, '\0');
        one.resize(WriteProgramPlaylist(*programs, 7, "tv", &one[0], one.size()));
        EXPECT_NE(one.find(entry), std::string::npos) << one;
        // The other entries stay as they were.
        EXPECT_EQ(whole.find(" radio="), c.Radio ? whole.find(entry) + entry.find(" radio=") : std::string::npos);
    }
}

TEST(Playlist, HostFromTheRequestWhenPlainElseTheLocalAddress)
{
    const struct
    {
        bool HasPlainHost;
        const char* Host;
        uint32_t Address;
        uint16_t Port;
        const char* Expected;
    } cases[] = {
        {true, "tv.fritz.box:8001", 0xC0A80114, 8001, "tv.fritz.box:8001"},
        {true, "tv", 0xC0A80114, 8001, "tv"},
        {false, "", 0xC0A80114, 8001, "192.168.1.20:8001"},
        {false, "", 0x7F000001, 80, "127.0.0.1"},
        {true, "evil/\"path", 0x0A000001, 1, "10.0.0.1:1"}, // not plain after all
        {false, "", 0xFFFFFFFF, 65535, "255.255.255.255:65535"},
    };
    for (const auto& c : cases)
    {
        char out[kHttpHostTextCapacity];
        ChoosePlaylistHost(c.HasPlainHost, c.Host, c.Address, c.Port, out, sizeof out);
        EXPECT_STREQ(out, c.Expected);
    }
    char tiny[8];
    ChoosePlaylistHost(false, "", 0xC0A80114, 8001, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, ""); // never half an address
}

} // namespace
