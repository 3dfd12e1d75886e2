#include "http/HttpRequest.h"

#include <cstring>

namespace {

// RFC 9110 token characters: what a method or a header name is made of.
bool IsTokenChar(unsigned char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// "<prefix><n><suffix>" with n in 1..65535 as decimal digits, no sign and no
// leading zero (one path per number); `number` is set only then.
bool ReadNumberedPath(const char* path, size_t length, const char* prefix, const char* suffix, uint16_t& number)
{
    const size_t prefixLength = std::strlen(prefix);
    const size_t suffixLength = std::strlen(suffix);
    if (length <= prefixLength + suffixLength || std::memcmp(path, prefix, prefixLength) != 0 ||
        std::memcmp(path + length - suffixLength, suffix, suffixLength) != 0)
        return false;
    const size_t digits = length - prefixLength - suffixLength;
    if (digits > 5 || path[prefixLength] == '0')
        return false;
    unsigned long value = 0;
    for (size_t d = 0; d < digits; ++d)
    {
        const unsigned char c = static_cast<unsigned char>(path[prefixLength + d]);
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    number = static_cast<uint16_t>(value);
    return true;
}

int HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A byte a request line may hold: visible ASCII and the blank between its parts.
bool IsRequestLineChar(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// A byte a header line may hold: visible characters, blanks and (in values)
// obs-text, which is passed over, never interpreted.
bool IsHeaderLineChar(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

bool EqualsIgnoringCase(const char* text, size_t length, const char* lowerName)
{
    for (size_t i = 0; i < length; ++i)
    {
        if (lowerName[i] == 0)
            return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerName[i])
            return false;
    }
    return lowerName[length] == 0;
}

bool Equals(const char* text, size_t length, const char* literal)
{
    return std::strlen(literal) == length && std::memcmp(text, literal, length) == 0;
}

// One line of the head: [begin, end) without its line ending; `next` is
// where the following line begins.
struct SLine
{
    size_t begin;
    size_t end;
    size_t next;
};

enum class ELineScan
{
    Found,
    Incomplete,
    Malformed,
};

// Finds the line that begins at `begin`, checking each byte as it goes, so
// that a refused byte is refused before the line (or the head) is complete.
template <class IsAllowed>
ELineScan ScanLine(const char* data, size_t size, size_t begin, IsAllowed allowed, SLine& line)
{
    for (size_t i = begin; i < size; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n')
        {
            line = {begin, i, i + 1};
            return ELineScan::Found;
        }
        if (c == '\r')
        {
            if (i + 1 == size)
                return ELineScan::Incomplete;
            if (data[i + 1] != '\n')
                return ELineScan::Malformed;
            line = {begin, i, i + 2};
            return ELineScan::Found;
        }
        if (!allowed(c))
            return ELineScan::Malformed;
    }
    return ELineScan::Incomplete;
}

// What the target's path names; Malformed for a target this server refuses.
EHttpParse ReadTarget(const char* target, size_t length, SHttpRequest& request)
{
    if (length == 0 || target[0] != '/')
        return EHttpParse::Malformed; // absolute-form, asterisk-form, garbage

    // Long enough for every route; a longer path is simply not one of them.
    char path[40];
    size_t pathLength = 0;
    bool pathTooLong = false;
    size_t segmentLength = 0; // decoded characters since the last '/'
    size_t segmentDots = 0;   // of which are '.'

    size_t i = 0;
    for (; i <= length; ++i)
    {
        int c = i < length ? static_cast<unsigned char>(target[i]) : -1;
        if (c == '#')
            return EHttpParse::Malformed;
        const bool endOfPath = c == -1 || c == '?';
        if (!endOfPath && c == '%')
        {
            if (i + 2 >= length)
                return EHttpParse::Malformed;
            const int high = HexValue(static_cast<unsigned char>(target[i + 1]));
            const int low = HexValue(static_cast<unsigned char>(target[i + 2]));
            if (high < 0 || low < 0)
                return EHttpParse::Malformed;
            c = high * 16 + low;
            if (c < 0x20 || c > 0x7E)
                return EHttpParse::Malformed;
            i += 2;
        }
        if (endOfPath || c == '/')
        {
            if (segmentLength > 0 && segmentLength == segmentDots && segmentDots <= 2)
                return EHttpParse::Malformed; // "." or ".."
            segmentLength = 0;
            segmentDots = 0;
        }
        else
        {
            ++segmentLength;
            if (c == '.')
                ++segmentDots;
        }
        if (endOfPath)
            break;
        if (pathLength < sizeof path)
            path[pathLength++] = static_cast<char>(c);
        else
            pathTooLong = true;
    }
    // The query is ignored, but a fragment never belongs in a request.
    for (; i < length; ++i)
        if (target[i] == '#')
            return EHttpParse::Malformed;

    request.Route = EHttpRoute::NotFound;
    request.ProgramNumber = 0;
    request.OutputNumber = 0;
    request.UpnpService = EHttpUpnpService::None;
    if (pathTooLong)
        return EHttpParse::Complete;
    static const struct
    {
        const char* Path;
        EHttpRoute Route;
        EHttpUpnpService Service;
    } kFixedRoutes[] = {
        {"/discover.json", EHttpRoute::TunerDiscover, EHttpUpnpService::None},
        {"/lineup.json", EHttpRoute::TunerLineup, EHttpUpnpService::None},
        {"/lineup_status.json", EHttpRoute::TunerLineupStatus, EHttpUpnpService::None},
        {"/lineup.post", EHttpRoute::TunerLineupPost, EHttpUpnpService::None},
        {"/upnp/description.xml", EHttpRoute::UpnpDescription, EHttpUpnpService::None},
        {"/upnp/ContentDirectory.xml", EHttpRoute::UpnpService, EHttpUpnpService::ContentDirectory},
        {"/upnp/ConnectionManager.xml", EHttpRoute::UpnpService, EHttpUpnpService::ConnectionManager},
        {"/upnp/control/ContentDirectory", EHttpRoute::UpnpControl, EHttpUpnpService::ContentDirectory},
        {"/upnp/control/ConnectionManager", EHttpRoute::UpnpControl, EHttpUpnpService::ConnectionManager},
    };
    for (const auto& fixed : kFixedRoutes)
        if (Equals(path, pathLength, fixed.Path))
        {
            request.Route = fixed.Route;
            request.UpnpService = fixed.Service;
            return EHttpParse::Complete;
        }
    if (Equals(path, pathLength, "/"))
        request.Route = EHttpRoute::Index;
    else if (Equals(path, pathLength, "/stream.ts"))
        request.Route = EHttpRoute::Stream;
    else if (Equals(path, pathLength, "/playlist.m3u"))
        request.Route = EHttpRoute::Playlist;
    else if (Equals(path, pathLength, "/epg.xml"))
        request.Route = EHttpRoute::Guide;
    else if (ReadNumberedPath(path, pathLength, "/program/", ".ts", request.ProgramNumber))
        request.Route = EHttpRoute::Program;
    else if (ReadNumberedPath(path, pathLength, "/program/", ".m3u", request.ProgramNumber))
        request.Route = EHttpRoute::ProgramPlaylist;
    else if (ReadNumberedPath(path, pathLength, "/output/", ".sdp", request.OutputNumber))
        request.Route = EHttpRoute::OutputDescription;
    return EHttpParse::Complete;
}

// "HTTP/d.d": Complete with the minor version, or the refusal.
EHttpParse ReadVersion(const char* text, size_t length, SHttpRequest& request)
{
    if (length != 8 || std::memcmp(text, "HTTP/", 5) != 0 || !IsDigit(static_cast<unsigned char>(text[5])) ||
        text[6] != '.' || !IsDigit(static_cast<unsigned char>(text[7])))
        return EHttpParse::Malformed;
    if (text[5] != '1')
        return EHttpParse::VersionNotSupported; // HTTP/2 preface, HTTP/0.9, 3.0...
    request.MinorVersion = text[7] == '0' ? 0 : 1;
    return EHttpParse::Complete;
}

// "METHOD SP target SP version": Complete, or the refusal.
EHttpParse ReadRequestLine(const char* line, size_t length, SHttpRequest& request)
{
    const char* firstBlank = static_cast<const char*>(std::memchr(line, ' ', length));
    if (firstBlank == nullptr)
        return EHttpParse::Malformed;
    const size_t methodLength = static_cast<size_t>(firstBlank - line);
    const char* target = firstBlank + 1;
    const size_t rest = length - methodLength - 1;
    const char* secondBlank = static_cast<const char*>(std::memchr(target, ' ', rest));
    if (secondBlank == nullptr)
        return EHttpParse::Malformed; // HTTP/0.9 has no version: not served
    const size_t targetLength = static_cast<size_t>(secondBlank - target);
    const char* version = secondBlank + 1;
    const size_t versionLength = rest - targetLength - 1;

    if (methodLength == 0 || targetLength == 0)
        return EHttpParse::Malformed;
    for (size_t i = 0; i < methodLength; ++i)
        if (!IsTokenChar(static_cast<unsigned char>(line[i])))
            return EHttpParse::Malformed;

    // The version first: an HTTP/2 client's "PRI * HTTP/2.0" is told so.
    const EHttpParse versionOutcome = ReadVersion(version, versionLength, request);
    if (versionOutcome != EHttpParse::Complete)
        return versionOutcome;

    if (Equals(line, methodLength, "GET"))
        request.Method = EHttpMethod::Get;
    else if (Equals(line, methodLength, "HEAD"))
        request.Method = EHttpMethod::Head;
    else if (Equals(line, methodLength, "POST"))
        request.Method = EHttpMethod::Post;
    else
        request.Method = EHttpMethod::Other;
    return ReadTarget(target, targetLength, request);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

EHttpParse Refuse(EHttpParse outcome, SHttpRequest& request)
{
    request = SHttpRequest();
    return outcome;
}

} // namespace

EHttpParse ParseHttpRequest(const char* data, size_t size, SHttpRequest& request)
{
    request = SHttpRequest();
    // Bytes beyond the limit can never belong to an accepted head.
    const size_t limit = size < kHttpRequestLimit ? size : kHttpRequestLimit;
    const EHttpParse unfinished = size >= kHttpRequestLimit ? EHttpParse::TooLarge : EHttpParse::Incomplete;

    SLine line{};
    ELineScan scan = ScanLine(data, limit, 0, IsRequestLineChar, line);
    if (scan == ELineScan::Malformed)
        return Refuse(EHttpParse::Malformed, request);
    if (scan == ELineScan::Incomplete)
        return Refuse(unfinished, request);
    SHttpRequest parsed;
    const EHttpParse lineOutcome = ReadRequestLine(data + line.begin, line.end - line.begin, parsed);
    if (lineOutcome != EHttpParse::Complete)
        return Refuse(lineOutcome, request);

    int headerLines = 0;
    int hostLines = 0;
    for (;;)
    {
        scan = ScanLine(data, limit, line.next, IsHeaderLineChar, line);
        if (scan == ELineScan::Malformed)
            return Refuse(EHttpParse::Malformed, request);
        if (scan == ELineScan::Incomplete)
            return Refuse(unfinished, request);
        const char* text = data + line.begin;
        const size_t length = line.end - line.begin;
        if (length == 0)
            break; // the end of the head
        if (++headerLines > kHttpMaxHeaderLines)
            return Refuse(EHttpParse::TooLarge, request);
        if (IsBlank(text[0]))
            return Refuse(EHttpParse::Malformed, request); // obs-fold
        size_t nameLength = 0;
        while (nameLength < length && IsTokenChar(static_cast<unsigned char>(text[nameLength])))
            ++nameLength;
        if (nameLength == 0 || nameLength == length || text[nameLength] != ':')
            return Refuse(EHttpParse::Malformed, request);
        size_t valueBegin = nameLength + 1;
        size_t valueEnd = length;
        while (valueBegin < valueEnd && IsBlank(text[valueBegin]))
            ++valueBegin;
        while (valueEnd > valueBegin && IsBlank(text[valueEnd - 1]))
            --valueEnd;
        if (EqualsIgnoringCase(text, nameLength, "host"))
        {
            if (++hostLines > 1)
                return Refuse(EHttpParse::Malformed, request);
            const size_t valueLength = valueEnd - valueBegin;
            if (IsPlainHost(text + valueBegin, valueLength) && valueLength < kHttpHostTextCapacity)
            {
                std::memcpy(parsed.szHost, text + valueBegin, valueLength);
                parsed.szHost[valueLength] = 0;
                parsed.HasPlainHost = true;
            }
        }
        else if (EqualsIgnoringCase(text, nameLength, "content-length"))
        {
            // Digits only; a value above the limit is kept as limit + 1.
            size_t value = 0;
            if (valueBegin == valueEnd)
                return Refuse(EHttpParse::Malformed, request);
            for (size_t i = valueBegin; i < valueEnd; ++i)
            {
                if (!IsDigit(static_cast<unsigned char>(text[i])))
                    return Refuse(EHttpParse::Malformed, request);
                value = value * 10 + static_cast<size_t>(text[i] - '0');
                if (value > kHttpBodyLimit)
                    value = kHttpBodyLimit + 1;
            }
            if (parsed.HasContentLength && parsed.nContentLength != value)
                return Refuse(EHttpParse::Malformed, request);
            parsed.HasContentLength = true;
            parsed.nContentLength = value;
        }
        else if (EqualsIgnoringCase(text, nameLength, "transfer-encoding"))
            parsed.HasTransferEncoding = true;
        else if (EqualsIgnoringCase(text, nameLength, "getcontentfeatures.dlna.org"))
            parsed.WantsContentFeatures = Equals(text + valueBegin, valueEnd - valueBegin, "1");
    }
    if (parsed.MinorVersion >= 1 && hostLines == 0)
        return Refuse(EHttpParse::Malformed, request);
    parsed.nHeadLength = line.next;
    request = parsed;
    return EHttpParse::Complete;
}

int HttpStatusFor(EHttpParse outcome, const SHttpRequest& request)
{
    switch (outcome)
    {
    case EHttpParse::Incomplete:
        return 0;
    case EHttpParse::Malformed:
        return 400;
    case EHttpParse::TooLarge:
        return 431;
    case EHttpParse::VersionNotSupported:
        return 505;
    case EHttpParse::Complete:
        break;
    }
    if (request.Method == EHttpMethod::Other)
        return 405;
    if (request.Route == EHttpRoute::NotFound)
        return 404;
    // POST only where a body is taken, and only there nothing else.
    const bool takesBody = request.Route == EHttpRoute::UpnpControl || request.Route == EHttpRoute::TunerLineupPost;
    if ((request.Method == EHttpMethod::Post) != takesBody && request.Route != EHttpRoute::TunerLineupPost)
        return 405;
    if (request.Method == EHttpMethod::Post)
    {
        // A scan request may come without a body or its length.
        if (request.HasTransferEncoding ||
            (!request.HasContentLength && request.Route != EHttpRoute::TunerLineupPost))
            return 411;
        if (request.nContentLength > kHttpBodyLimit)
            return 413;
    }
    return 200;
}

bool IsPlainHost(const char* text, size_t length)
{
    size_t hostLength = 0;
    while (hostLength < length && text[hostLength] != ':')
        ++hostLength;
    if (hostLength == 0 || hostLength > 253)
        return false;

    if (hostLength < length)
    {
        const size_t portLength = length - hostLength - 1;
        const char* port = text + hostLength + 1;
        if (portLength == 0 || portLength > 5 || port[0] == '0')
            return false;
        unsigned long value = 0;
        for (size_t i = 0; i < portLength; ++i)
        {
            if (!IsDigit(static_cast<unsigned char>(port[i])))
                return false;
            value = value * 10 + static_cast<unsigned long>(port[i] - '0');
        }
        if (value > 65535)
            return false;
    }

    // Labels of letters, digits and inner hyphens; all-numeric means a dotted quad.
    int labels = 0;
    bool allNumeric = true;
    size_t labelBegin = 0;
    for (size_t i = 0; i <= hostLength; ++i)
    {
        if (i < hostLength && text[i] != '.')
            continue;
        const char* label = text + labelBegin;
        const size_t labelLength = i - labelBegin;
        if (labelLength == 0 || labelLength > 63 || label[0] == '-' || label[labelLength - 1] == '-')
            return false;
        bool numeric = true;
        for (size_t k = 0; k < labelLength; ++k)
        {
            const unsigned char c = static_cast<unsigned char>(label[k]);
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!letter && !IsDigit(c) && c != '-')
                return false;
            if (!IsDigit(c))
                numeric = false;
        }
        allNumeric = allNumeric && numeric;
        ++labels;
        labelBegin = i + 1;
    }
    if (!allNumeric)
        return true;
    // Every label a number: it must be an IPv4 address, nothing a resolver
    // could read another way ("1.2.3", "010.0.0.1", "256.1.1.1").
    if (labels != 4)
        return false;
    labelBegin = 0;
    for (size_t i = 0; i <= hostLength; ++i)
    {
        if (i < hostLength && text[i] != '.')
            continue;
        const size_t labelLength = i - labelBegin;
        if (labelLength > 3 || (labelLength > 1 && text[labelBegin] == '0'))
            return false;
        int value = 0;
        for (size_t k = labelBegin; k < i; ++k)
            value = value * 10 + (text[k] - '0');
        if (value > 255)
            return false;
        labelBegin = i + 1;
    }
    return true;
}
