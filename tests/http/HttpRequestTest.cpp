#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/HttpRequest.h"

namespace {

using namespace std::string_literals;

EHttpParse Parse(const std::string& text, SHttpRequest& request)
{
    return ParseHttpRequest(text.data(), text.size(), request);
}

// A request a player sends: ffprobe (Lavf) asks for the stream like this.
const std::string kFfprobeRequest =
    "GET /stream.ts HTTP/1.1\r\nUser-Agent: Lavf/59.27.100\r\nAccept: */*\r\nRange: bytes=0-\r\n"
    "Connection: close\r\nHost: 192.168.1.20:8001\r\nIcy-MetaData: 1\r\n\r\n";

struct SCompleteCase
{
    const char* Name;
    std::string Text;
    int Status;
    EHttpMethod Method;
    EHttpRoute Route;
    uint16_t Program;
    const char* Host; // "" when not plain
};

TEST(HttpRequest, CompleteRequestsGetTheirStatusAndRoute)
{
    const EHttpMethod get = EHttpMethod::Get, head = EHttpMethod::Head, other = EHttpMethod::Other;
    const SCompleteCase cases[] = {
        {"index", "GET / HTTP/1.1\r\nHost: tv\r\n\r\n", 200, get, EHttpRoute::Index, 0, "tv"},
        {"stream", kFfprobeRequest, 200, get, EHttpRoute::Stream, 0, "192.168.1.20:8001"},
        {"head", "HEAD /stream.ts HTTP/1.1\r\nHost: tv:8001\r\n\r\n", 200, head, EHttpRoute::Stream, 0, "tv:8001"},
        {"playlist", "GET /playlist.m3u HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::Playlist, 0, ""},
        {"gstreamer", "GET /program/28006.ts HTTP/1.1\r\nHost: 127.0.0.1:8001\r\nConnection: Keep-Alive\r\n"
                      "icy-metadata: 1\r\nAccept-Encoding: identity\r\nUser-Agent: GStreamer souphttpsrc\r\n\r\n",
         200, get, EHttpRoute::Program, 28006, "127.0.0.1:8001"},
        {"program 1", "GET /program/1.ts HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::Program, 1, ""},
        {"program 65535", "GET /program/65535.ts HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::Program, 65535, ""},
        {"any range", "GET /stream.ts HTTP/1.1\r\nHost: a\r\nRange: bytes=100-200\r\n\r\n", 200, get, EHttpRoute::Stream, 0, "a"},
        {"query ignored", "GET /stream.ts?x=1&y=%41 HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::Stream, 0, ""},
        {"encoded path", "GET /stream%2Ets HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::Stream, 0, ""},
        {"bare line feeds", "GET / HTTP/1.1\nHost: tv\n\n", 200, get, EHttpRoute::Index, 0, "tv"},
        {"later 1.x as 1.1", "GET / HTTP/1.2\r\nHost: tv\r\n\r\n", 200, get, EHttpRoute::Index, 0, "tv"},
        {"header case", "GET / HTTP/1.1\r\nhOsT:   tv.local  \r\n\r\n", 200, get, EHttpRoute::Index, 0, "tv.local"},
        {"host not plain", "GET / HTTP/1.1\r\nHost: [::1]:8001\r\n\r\n", 200, get, EHttpRoute::Index, 0, ""},
        {"host empty", "GET / HTTP/1.1\r\nHost:\r\n\r\n", 200, get, EHttpRoute::Index, 0, ""},
        {"obs-text value", "GET / HTTP/1.0\r\nUser-Agent: caf\xC3\xA9\r\n\r\n", 200, get, EHttpRoute::Index, 0, ""},
        {"program 0", "GET /program/0.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"program 65536", "GET /program/65536.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"leading zero", "GET /program/01.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"signed", "GET /program/+1.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"no number", "GET /program/.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"other suffix", "GET /program/1.tsx HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"long number", "GET /program/0000000000000000000001.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"case matters", "GET /STREAM.TS HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"trailing slash", "GET /stream.ts/ HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"double slash", "GET //stream.ts HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"long path", "GET /" + std::string(3000, 'a') + " HTTP/1.0\r\n\r\n", 404, get, EHttpRoute::NotFound, 0, ""},
        {"POST to a stream", "POST /stream.ts HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", 405,
         EHttpMethod::Post, EHttpRoute::Stream, 0, "a"},
        {"unknown method", "PUT /stream.ts HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", 405, other, EHttpRoute::Stream, 0, "a"},
        {"methods are case-sensitive", "get / HTTP/1.0\r\n\r\n", 405, other, EHttpRoute::Index, 0, ""},
    };
    for (const SCompleteCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        SHttpRequest request;
        ASSERT_EQ(Parse(c.Text, request), EHttpParse::Complete);
        EXPECT_EQ(HttpStatusFor(EHttpParse::Complete, request), c.Status);
        EXPECT_EQ(request.Method, c.Method);
        EXPECT_EQ(request.Route, c.Route);
        EXPECT_EQ(request.ProgramNumber, c.Program);
        EXPECT_EQ(request.HasPlainHost, c.Host[0] != 0);
        EXPECT_STREQ(request.szHost, c.Host);
        EXPECT_LE(request.nHeadLength, c.Text.size());
        EXPECT_EQ(c.Text.compare(request.nHeadLength - 2, 2, "\n\n") == 0 ||
                      c.Text.compare(request.nHeadLength - 4, 4, "\r\n\r\n") == 0,
                  true);
    }
}

TEST(HttpRequest, ProgramPlaylistsAndOutputDescriptionsAreNumberedLikePrograms)
{
    const struct
    {
        const char* Path;
        EHttpRoute Route;
        uint16_t Program;
        uint16_t Output;
    } cases[] = {
        {"/program/101.m3u", EHttpRoute::ProgramPlaylist, 101, 0},
        {"/program/65535.m3u", EHttpRoute::ProgramPlaylist, 65535, 0},
        {"/program/101%2Em3u", EHttpRoute::ProgramPlaylist, 101, 0},
        {"/output/1.sdp", EHttpRoute::OutputDescription, 0, 1},
        {"/output/16.sdp", EHttpRoute::OutputDescription, 0, 16},
        {"/output/65535.sdp", EHttpRoute::OutputDescription, 0, 65535},
        {"/program/0.m3u", EHttpRoute::NotFound, 0, 0},
        {"/program/01.m3u", EHttpRoute::NotFound, 0, 0},
        {"/program/101.m3u8", EHttpRoute::NotFound, 0, 0},
        {"/program/.m3u", EHttpRoute::NotFound, 0, 0},
        {"/output/0.sdp", EHttpRoute::NotFound, 0, 0},
        {"/output/02.sdp", EHttpRoute::NotFound, 0, 0},
        {"/output/65536.sdp", EHttpRoute::NotFound, 0, 0},
        {"/output/-1.sdp", EHttpRoute::NotFound, 0, 0},
        {"/output/1.ts", EHttpRoute::NotFound, 0, 0},
        {"/output/1.sdp/", EHttpRoute::NotFound, 0, 0},
        {"/outputs/1.sdp", EHttpRoute::NotFound, 0, 0},
        {"/program/1.sdp", EHttpRoute::NotFound, 0, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Path);
        SHttpRequest request;
        ASSERT_EQ(Parse(std::string("HEAD ") + c.Path + " HTTP/1.0\r\n\r\n", request), EHttpParse::Complete);
        EXPECT_EQ(request.Method, EHttpMethod::Head);
        EXPECT_EQ(request.Route, c.Route);
        EXPECT_EQ(request.ProgramNumber, c.Program);
        EXPECT_EQ(request.OutputNumber, c.Output);
        EXPECT_EQ(HttpStatusFor(EHttpParse::Complete, request), c.Route == EHttpRoute::NotFound ? 404 : 200);
    }
}

TEST(HttpRequest, DiscoveryRoutesAndTheirMethodsAndBodies)
{
    const EHttpMethod get = EHttpMethod::Get, post = EHttpMethod::Post;
    const EHttpUpnpService none = EHttpUpnpService::None, cd = EHttpUpnpService::ContentDirectory,
                           cm = EHttpUpnpService::ConnectionManager;
    const struct
    {
        const char* Name;
        std::string Text;
        int Status;
        EHttpMethod Method;
        EHttpRoute Route;
        EHttpUpnpService Service;
        size_t ContentLength;
        bool ContentFeatures;
    } cases[] = {
        {"discover", "GET /discover.json HTTP/1.1\r\nHost: a\r\n\r\n", 200, get, EHttpRoute::TunerDiscover, none, 0, false},
        {"lineup", "GET /lineup.json HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::TunerLineup, none, 0, false},
        {"lineup status", "GET /lineup_status.json HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::TunerLineupStatus, none, 0, false},
        {"scan by POST without a body", "POST /lineup.post?scan=start HTTP/1.1\r\nHost: a\r\n\r\n", 200, post,
         EHttpRoute::TunerLineupPost, none, 0, false},
        {"scan by GET", "GET /lineup.post?scan=start HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::TunerLineupPost, none, 0, false},
        {"device description", "GET /upnp/description.xml HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::UpnpDescription, none, 0, false},
        {"directory description", "GET /upnp/ContentDirectory.xml HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::UpnpService, cd, 0, false},
        {"manager description", "GET /upnp/ConnectionManager.xml HTTP/1.0\r\n\r\n", 200, get, EHttpRoute::UpnpService, cm, 0, false},
        {"control", "POST /upnp/control/ContentDirectory HTTP/1.1\r\nHost: a\r\nContent-Length: 600\r\n"
                    "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n\r\n",
         200, post, EHttpRoute::UpnpControl, cd, 600, false},
        {"control, length repeated alike", "POST /upnp/control/ConnectionManager HTTP/1.0\r\nContent-Length: 9\r\n"
                                           "Content-Length: 9\r\n\r\n", 200, post, EHttpRoute::UpnpControl, cm, 9, false},
        {"control by GET", "GET /upnp/control/ContentDirectory HTTP/1.0\r\n\r\n", 405, get, EHttpRoute::UpnpControl, cd, 0, false},
        {"control without length", "POST /upnp/control/ContentDirectory HTTP/1.0\r\n\r\n", 411, post,
         EHttpRoute::UpnpControl, cd, 0, false},
        {"control chunked", "POST /upnp/control/ContentDirectory HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n",
         411, post, EHttpRoute::UpnpControl, cd, 0, false},
        {"control too large", "POST /upnp/control/ContentDirectory HTTP/1.0\r\nContent-Length: 16385\r\n\r\n", 413, post,
         EHttpRoute::UpnpControl, cd, kHttpBodyLimit + 1, false},
        {"control far too large", "POST /upnp/control/ContentDirectory HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n",
         413, post, EHttpRoute::UpnpControl, cd, kHttpBodyLimit + 1, false},
        {"description by POST", "POST /upnp/description.xml HTTP/1.0\r\nContent-Length: 0\r\n\r\n", 405, post,
         EHttpRoute::UpnpDescription, none, 0, false},
        {"DLNA headers asked", "GET /program/101.ts HTTP/1.1\r\nHost: a\r\ngetcontentFeatures.dlna.org: 1\r\n\r\n", 200, get,
         EHttpRoute::Program, none, 0, true},
        {"DLNA headers not asked", "GET /program/101.ts HTTP/1.1\r\nHost: a\r\ngetcontentFeatures.dlna.org: 0\r\n\r\n", 200,
         get, EHttpRoute::Program, none, 0, false},
        {"unknown service", "POST /upnp/control/AVTransport HTTP/1.0\r\nContent-Length: 1\r\n\r\n", 404, post,
         EHttpRoute::NotFound, none, 1, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        SHttpRequest request;
        ASSERT_EQ(Parse(c.Text, request), EHttpParse::Complete);
        EXPECT_EQ(HttpStatusFor(EHttpParse::Complete, request), c.Status);
        EXPECT_EQ(request.Method, c.Method);
        EXPECT_EQ(request.Route, c.Route);
        EXPECT_EQ(request.UpnpService, c.Service);
        EXPECT_EQ(request.nContentLength, c.ContentLength);
        EXPECT_EQ(request.WantsContentFeatures, c.ContentFeatures);
    }
    for (const char* bad : {"Content-Length: 1\r\nContent-Length: 2", "Content-Length: -1", "Content-Length: 1 2",
                            "Content-Length:", "Content-Length: 0x10"})
    {
        SHttpRequest request;
        EXPECT_EQ(Parse(std::string("POST /upnp/control/ContentDirectory HTTP/1.0\r\n") + bad + "\r\n\r\n", request),
                  EHttpParse::Malformed)
            << bad;
    }
}

struct SRefusedCase
{
    const char* Name;
    std::string Text;
    EHttpParse Outcome;
};

TEST(HttpRequest, HostileAndBrokenRequestsAreRefused)
{
    const EHttpParse bad = EHttpParse::Malformed, large = EHttpParse::TooLarge,
                     version = EHttpParse::VersionNotSupported;
    std::string manyLines = "GET / HTTP/1.0\r\n";
    for (int i = 0; i <= kHttpMaxHeaderLines; ++i)
        manyLines += "X-A: b\r\n";
    manyLines += "\r\n";
    const SRefusedCase cases[] = {
        {"garbage", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", bad},
        {"words", "hello there\r\n\r\n", bad},
        {"empty line first", "\r\nGET / HTTP/1.0\r\n\r\n", bad},
        {"10 KB header", "GET / HTTP/1.1\r\nHost: a\r\nX-Big: " + std::string(10240, 'x') + "\r\n\r\n", large},
        {"too many lines", manyLines, large},
        {"NUL in target", "GET /stream.ts\0 HTTP/1.0\r\n\r\n"s, bad},
        {"NUL in header", "GET / HTTP/1.0\r\nX-A: b\0c\r\n\r\n"s, bad},
        {"NUL alone, no end yet", "GET /\0"s, bad},
        {"encoded NUL", "GET /stream.ts%00 HTTP/1.0\r\n\r\n", bad},
        {"encoded line feed", "GET /%0d%0aSet-Cookie:x HTTP/1.0\r\n\r\n", bad},
        {"encoded high byte", "GET /%C3%A9 HTTP/1.0\r\n\r\n", bad},
        {"raw high byte", "GET /\xC3\xA9 HTTP/1.0\r\n\r\n", bad},
        {"DEL", "GET /\x7F HTTP/1.0\r\n\r\n", bad},
        {"tab in request line", "GET\t/ HTTP/1.0\r\n\r\n", bad},
        {"bad escape", "GET /%zz HTTP/1.0\r\n\r\n", bad},
        {"cut escape", "GET /stream.ts%4 HTTP/1.0\r\n\r\n", bad},
        {"dot dot", "GET /../../etc/passwd HTTP/1.0\r\n\r\n", bad},
        {"dot dot at end", "GET /program/.. HTTP/1.0\r\n\r\n", bad},
        {"encoded dot dot", "GET /%2e%2E/stream.ts HTTP/1.0\r\n\r\n", bad},
        {"dot segment", "GET /./stream.ts HTTP/1.0\r\n\r\n", bad},
        {"fragment", "GET /stream.ts#x HTTP/1.0\r\n\r\n", bad},
        {"fragment in query", "GET /stream.ts?a#x HTTP/1.0\r\n\r\n", bad},
        {"absolute-form", "GET http://192.168.1.20:8001/stream.ts HTTP/1.1\r\nHost: a\r\n\r\n", bad},
        {"asterisk-form", "OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", bad},
        {"authority-form", "CONNECT example.com:443 HTTP/1.1\r\nHost: a\r\n\r\n", bad},
        {"no version", "GET /\r\n\r\n", bad},
        {"lower-case version", "GET / http/1.1\r\nHost: a\r\n\r\n", bad},
        {"two blanks", "GET  / HTTP/1.0\r\n\r\n", bad},
        {"trailing blank", "GET / HTTP/1.0 \r\n\r\n", bad},
        {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", version},
        {"HTTP/2 preface, first line only", "PRI * HTTP/2.0\r\n", version},
        {"HTTP/3", "GET / HTTP/3.0\r\nHost: a\r\n\r\n", version},
        {"HTTP/0.9 as version", "GET / HTTP/0.9\r\n\r\n", version},
        {"obs-fold", "GET / HTTP/1.1\r\nHost: a\r\nX-A: b\r\n c\r\n\r\n", bad},
        {"blank before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", bad},
        {"no colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", bad},
        {"empty name", "GET / HTTP/1.1\r\n: a\r\nHost: a\r\n\r\n", bad},
        {"control in value", "GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n", bad},
        {"lone CR", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", bad},
        {"1.1 without Host", "GET / HTTP/1.1\r\n\r\n", bad},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", bad},
    };
    const int statuses[] = {0, 0, 400, 431, 505};
    for (const SRefusedCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        SHttpRequest request;
        request.Route = EHttpRoute::Stream;
        EXPECT_EQ(Parse(c.Text, request), c.Outcome);
        EXPECT_EQ(HttpStatusFor(c.Outcome, request), statuses[static_cast<int>(c.Outcome)]);
        EXPECT_EQ(request.Route, EHttpRoute::NotFound); // cleared
        // More bytes never turn a refusal into a request.
        EXPECT_EQ(Parse(c.Text + "GET / HTTP/1.0\r\n\r\n", request), c.Outcome);
    }
}

TEST(HttpRequest, ARequestArrivingInPiecesIsIncompleteUntilItsEmptyLine)
{
    for (const std::string& text : {kFfprobeRequest, std::string("GET / HTTP/1.1\nHost: tv\n\n")})
    {
        SHttpRequest request;
        for (size_t size = 0; size < text.size(); ++size)
            ASSERT_EQ(ParseHttpRequest(text.data(), size, request), EHttpParse::Incomplete) << size;
        EXPECT_EQ(Parse(text, request), EHttpParse::Complete);
        // Pipelined or body bytes after the head change nothing.
        EXPECT_EQ(Parse(text + "\x00\x01garbage"s, request), EHttpParse::Complete);
        EXPECT_EQ(request.nHeadLength, text.size());
    }
    // Half a request, then silence: the server's clock decides, not the parser.
    SHttpRequest request;
    EXPECT_EQ(Parse("GET /stream.ts HTTP/1.1\r\nHost: a\r\n", request), EHttpParse::Incomplete);
    EXPECT_EQ(HttpStatusFor(EHttpParse::Incomplete, request), 0);
}

TEST(HttpRequest, TheHeadMustEndWithinTheLimit)
{
    const std::string start = "GET / HTTP/1.0\r\nX-Pad: ";
    const std::string end = "\r\n\r\n";
    const std::string exact = start + std::string(kHttpRequestLimit - start.size() - end.size(), 'p') + end;
    ASSERT_EQ(exact.size(), kHttpRequestLimit);
    SHttpRequest request;
    EXPECT_EQ(Parse(exact, request), EHttpParse::Complete);

    const std::string over = start + std::string(kHttpRequestLimit - start.size() - end.size() + 1, 'p') + end;
    EXPECT_EQ(Parse(over, request), EHttpParse::TooLarge);
    // Known as soon as the limit is reached, and not a byte earlier.
    EXPECT_EQ(ParseHttpRequest(over.data(), kHttpRequestLimit, request), EHttpParse::TooLarge);
    EXPECT_EQ(ParseHttpRequest(over.data(), kHttpRequestLimit - 1, request), EHttpParse::Incomplete);
}

TEST(HttpRequest, PlainHosts)
{
    const struct
    {
        const char* Text;
        bool Plain;
    } cases[] = {
        {"tv", true}, {"tv:8001", true}, {"my-pc.fritz.box", true}, {"192.168.1.20", true},
        {"192.168.1.20:65535", true}, {"0.0.0.0:1", true}, {"a1.b2", true}, {"1.2.3.com", true},
        {"", false}, {":80", false}, {"tv:", false}, {"tv:0", false}, {"tv:080", false}, {"tv:65536", false},
        {"tv:8001:1", false}, {"tv:80a", false}, {"-tv", false}, {"tv-", false}, {"tv.", false}, {".tv", false},
        {"a..b", false}, {"t_v", false}, {"t v", false}, {"[::1]", false}, {"[::1]:80", false},
        {"user@tv", false}, {"tv/x", false}, {"tv\"><script>", false}, {"1.2.3", false}, {"1.2.3.4.5", false},
        {"256.1.1.1", false}, {"010.0.0.1", false}, {"1.2.3.4:", false}, {"2130706433", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsPlainHost(c.Text, std::strlen(c.Text)), c.Plain) << c.Text;
    const std::string label63(63, 'a');
    EXPECT_TRUE(IsPlainHost(label63.data(), label63.size()));
    const std::string label64(64, 'a');
    EXPECT_FALSE(IsPlainHost(label64.data(), label64.size()));
    std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(name253.size(), 253u);
    EXPECT_TRUE(IsPlainHost(name253.data(), name253.size()));
    name253 += "b";
    EXPECT_FALSE(IsPlainHost(name253.data(), name253.size()));
}

} // namespace
