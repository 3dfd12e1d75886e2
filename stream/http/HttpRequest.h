#pragma once
// The request head of an HTTP/1.x client (RFC 9112), parsed from the bytes
// received so far, without allocation. Every byte comes from the network and
// is hostile until this parser has accepted it: the head is bounded in size,
// only the request line, Host and the end of the head are interpreted, and
// nothing of the target is kept except the route it names.
//
// Decisions, each with the answer the server gives:
// - origin-form targets only ("/path?query"); an absolute-form URL
//   ("http://..."), the asterisk-form and anything else: 400 (this is not a
//   proxy). The query is ignored; a fragment ('#') never belongs in a
//   request: 400.
// - percent-encoding is decoded before routing; a bad escape, or one that
//   decodes to NUL, a control character or a byte above 0x7E: 400.
// - a path segment "." or "..", raw or encoded: 400 (nothing is read from
//   disk, but no path that climbs is ever answered as if it were fine).
// - NUL, control characters (other than CR, LF, HT between fields) or bytes
//   above 0x7E in the request line: 400, at once, without waiting for the
//   rest of the head.
// - HTTP/1.0 and HTTP/1.1 are served (another 1.x as 1.1); the HTTP/2
//   preface "PRI * HTTP/2.0" and any later major version: 505; anything
//   else in the version: 400.
// - GET and HEAD are served; POST only to the media server's control URLs
//   and the tuner's /lineup.post; any other well-formed method: 405.
// - Content-Length: decimal digits only, at most kHttpBodyLimit for a POST
//   (more: 413); a repeated one that differs: 400. A POST without it (but a
//   scan request, which needs no body), or with Transfer-Encoding (a chunked
//   body), gets 411: bodies are read by length.
// - "getcontentFeatures.dlna.org: 1" asks for the DLNA headers of a stream.
// - headers: a name of token characters directly followed by ':'; a line
//   that begins with a blank (obs-fold), a name with blanks or control
//   characters in the value: 400. At most kHttpMaxHeaderLines lines.
// - Host: required once in HTTP/1.1 (missing or repeated: 400). Its value is
//   remembered only when it is a plain host[:port] (IsPlainHost).
// - Range and every other header (SOAPACTION included: the body names its
//   action) are ignored: a live stream has no ranges,
//   so "Range: bytes=0-" (and any other range) gets the whole stream.
// - lines end in CRLF or a bare LF; a CR elsewhere: 400.
// - a head not complete within kHttpRequestLimit bytes: TooLarge (431).
// - /program/<n>.ts, /program/<n>.m3u and /output/<k>.sdp: n and k in
//   1..65535, decimal digits, no sign and no leading zero (one URL each);
//   else not found.

#include <cstddef>
#include <cstdint>

constexpr size_t kHttpRequestLimit = 8192;   // a whole request head, request line included
constexpr int kHttpMaxHeaderLines = 64;      // players send about ten
constexpr size_t kHttpHostTextCapacity = 262; // 253-character name, ':', 5 digits, NUL (and slack)
constexpr size_t kHttpBodyLimit = 16384;     // a POST's body: a SOAP request (kSoapBodyMaxSize)

enum class EHttpParse : uint8_t
{
    Incomplete,          // keep reading (the server's time limit still applies)
    Complete,            // a request head: see SHttpRequest
    Malformed,           // 400 Bad Request
    TooLarge,            // 431 Request Header Fields Too Large
    VersionNotSupported, // 505 HTTP Version Not Supported
};

enum class EHttpMethod : uint8_t
{
    Get,
    Head,
    Post,
    Other, // well-formed but not served: 405 with Allow
};

enum class EHttpRoute : uint8_t
{
    NotFound, // 404
    Index,    // "/"
    Stream,   // "/stream.ts"
    Program,  // "/program/<n>.ts", n in ProgramNumber
    Playlist, // "/playlist.m3u"
    Guide,    // "/epg.xml"
    ProgramPlaylist,   // "/program/<n>.m3u", n in ProgramNumber
    OutputDescription, // "/output/<k>.sdp", k in OutputNumber
    TunerDiscover,     // "/discover.json"
    TunerLineup,       // "/lineup.json"
    TunerLineupStatus, // "/lineup_status.json"
    TunerLineupPost,   // "/lineup.post" (a scan request: answered, without effect)
    UpnpDescription,   // "/upnp/description.xml"
    UpnpService,       // "/upnp/ContentDirectory.xml", "/upnp/ConnectionManager.xml": UpnpService says which
    UpnpControl,       // "/upnp/control/ContentDirectory", ".../ConnectionManager" (POST only)
};

enum class EHttpUpnpService : uint8_t
{
    None,
    ContentDirectory,
    ConnectionManager,
};

struct SHttpRequest
{
    EHttpMethod Method = EHttpMethod::Other;
    EHttpRoute Route = EHttpRoute::NotFound;
    uint16_t ProgramNumber = 0;           // 1..65535 for EHttpRoute::Program and ProgramPlaylist, else 0
    uint16_t OutputNumber = 0;            // 1..65535 for EHttpRoute::OutputDescription, else 0
    EHttpUpnpService UpnpService = EHttpUpnpService::None; // for UpnpService and UpnpControl
    uint8_t MinorVersion = 0;             // 0 for HTTP/1.0, 1 for HTTP/1.1 and later 1.x
    bool HasContentLength = false;
    bool HasTransferEncoding = false;
    size_t nContentLength = 0;            // the body's bytes (HasContentLength), capped above kHttpBodyLimit
    bool WantsContentFeatures = false;    // "getcontentFeatures.dlna.org: 1"
    bool HasPlainHost = false;            // szHost holds the Host header's plain host[:port]
    char szHost[kHttpHostTextCapacity] = {}; // as sent, NUL-terminated; "" unless HasPlainHost
    size_t nHeadLength = 0;               // bytes of the head, its empty line included (Complete only)
};

// Parses the first `size` bytes a client has sent. Call again with all bytes
// so far whenever more arrive; the outcome of a complete or refused head does
// not change with more bytes. `request` is filled only on Complete (and
// cleared otherwise). Bytes after the head (a body, pipelined requests) are
// not looked at.
EHttpParse ParseHttpRequest(const char* data, size_t size, SHttpRequest& request);

// The status a parse outcome answers with: 0 while Incomplete; for a
// Complete request 405 (method), 404 (route), 411 or 413 (a POST's body) or
// 200. The server may still answer 403, 404 (a program the PAT does not
// list, an output not in use) or 503.
int HttpStatusFor(EHttpParse outcome, const SHttpRequest& request);

// True when the `length` characters at `text` are a plain host[:port]: a DNS
// name (letters, digits, '-', labels of 1..63 not beginning or ending in
// '-', at most 253 characters, no trailing dot) or an IPv4 dotted quad
// (0..255, no leading zeros), then optionally ':' and a port 1..65535
// without leading zeros. Such a text is safe to put into a URL as it stands.
bool IsPlainHost(const char* text, size_t length);
