#include "discovery/SsdpMessage.h"

#include <cstring>

#include "http/TextWriter.h"

namespace {
const char* const kTypes[kSsdpTypeCount] = {
    "upnp:rootdevice",
    nullptr,  // the UUID itself
    "urn:schemas-upnp-org:device:MediaServer:1",
    "urn:schemas-upnp-org:service:ContentDirectory:1",
    "urn:schemas-upnp-org:service:ConnectionManager:1",
};
constexpr int kUuidType = 1;

const char* TypeText(const SSsdpDevice& device, int type)
{
    return type == kUuidType ? device.Uuid : kTypes[type];
}

bool IsTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool NameIs(const char* name, size_t length, const char* expected)
{
    if (std::strlen(expected) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
    {
        char c = name[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != expected[i])
            return false;
    }
    return true;
}

bool ValueIs(const char* value, size_t length, const char* expected)
{
    return std::strlen(expected) == length && std::memcmp(value, expected, length) == 0;
}

// The USN of `type`: the UUID, then "::" and the type unless it is the UUID.
void PutUsn(CTextWriter& writer, const SSsdpDevice& device, int type)
{
    writer.Put(device.Uuid);
    if (type != kUuidType)
    {
        writer.Put("::");
        writer.Put(kTypes[type]);
    }
}

void PutLine(CTextWriter& writer, const char* name, const char* value)
{
    writer.Put(name);
    writer.Put(": ");
    writer.Put(value);
    writer.Put("\r\n");
}

void PutIds(CTextWriter& writer, const SSsdpDevice& device)
{
    writer.Put("BOOTID.UPNP.ORG: ");
    writer.PutDecimal(device.BootId);
    writer.Put("\r\nCONFIGID.UPNP.ORG: ");
    writer.PutDecimal(device.ConfigId);
    writer.Put("\r\n");
}

void PutCacheControl(CTextWriter& writer, const SSsdpDevice& device)
{
    writer.Put("CACHE-CONTROL: max-age=");
    writer.PutDecimal(device.MaxAgeSeconds < 0 ? 0u : static_cast<unsigned>(device.MaxAgeSeconds));
    writer.Put("\r\n");
}

constexpr char kServer[] = "Windows/10.0 UPnP/1.1 TovrinStreamer/2.5";
} // namespace

ESsdpParse ParseSsdpSearch(const char* data, size_t size, SSsdpSearch& search)
{
    search = SSsdpSearch();
    static const char kRequestLine[] = "M-SEARCH * HTTP/1.1";
    const size_t requestLength = sizeof kRequestLine - 1;
    if (size < requestLength || std::memcmp(data, kRequestLine, requestLength) != 0)
        return ESsdpParse::NotSearch;
    if (size > kSsdpDatagramMaxSize)
        return ESsdpParse::Malformed;

    bool haveMan = false, haveMx = false, haveTarget = false;
    size_t at = requestLength;
    // The request line ends here.
    if (at < size && data[at] == '\r')
        ++at;
    if (at >= size || data[at] != '\n')
        return ESsdpParse::Malformed;
    ++at;
    for (int lines = 0; at < size; ++lines)
    {
        if (lines == kSsdpMaxHeaderLines)
            return ESsdpParse::Malformed;
        size_t end = at;
        while (end < size && data[end] != '\n')
            ++end;
        size_t lineEnd = end;
        if (lineEnd > at && data[lineEnd - 1] == '\r')
            --lineEnd;
        const char* line = data + at;
        const size_t length = lineEnd - at;
        at = end < size ? end + 1 : end;
        if (length == 0)
            break;  // the empty line: the end of the head
        size_t colon = 0;
        while (colon < length && IsTokenChar(line[colon]))
            ++colon;
        if (colon == 0 || colon == length || line[colon] != ':')
            return ESsdpParse::Malformed;
        size_t begin = colon + 1;
        size_t stop = length;
        for (size_t i = begin; i < stop; ++i)
        {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                return ESsdpParse::Malformed;
        }
        while (begin < stop && (line[begin] == ' ' || line[begin] == '\t'))
            ++begin;
        while (stop > begin && (line[stop - 1] == ' ' || line[stop - 1] == '\t'))
            --stop;
        const char* value = line + begin;
        const size_t valueLength = stop - begin;
        if (NameIs(line, colon, "MAN"))
        {
            if (haveMan || !ValueIs(value, valueLength, "\"ssdp:discover\""))
                return ESsdpParse::Malformed;
            haveMan = true;
        }
        else if (NameIs(line, colon, "MX"))
        {
            if (haveMx || valueLength == 0 || valueLength > 9)
                return ESsdpParse::Malformed;
            int mx = 0;
            for (size_t i = 0; i < valueLength; ++i)
            {
                if (value[i] < '0' || value[i] > '9')
                    return ESsdpParse::Malformed;
                mx = mx * 10 + (value[i] - '0');
            }
            search.MxSeconds = mx < 1 ? 1 : mx > kSsdpMaxMxSeconds ? kSsdpMaxMxSeconds : mx;
            haveMx = true;
        }
        else if (NameIs(line, colon, "ST"))
        {
            if (haveTarget || valueLength == 0 || valueLength >= sizeof search.Target)
                return ESsdpParse::Malformed;
            std::memcpy(search.Target, value, valueLength);
            search.Target[valueLength] = 0;
            haveTarget = true;
        }
    }
    if (!haveMan || !haveTarget)
    {
        search = SSsdpSearch();
        return ESsdpParse::Malformed;
    }
    return ESsdpParse::Search;
}

unsigned SsdpTypesFor(const char* target, const char* uuid)
{
    if (std::strcmp(target, "ssdp:all") == 0)
        return (1u << kSsdpTypeCount) - 1;
    for (int type = 0; type < kSsdpTypeCount; ++type)
    {
        const char* text = type == kUuidType ? uuid : kTypes[type];
        if (text[0] != 0 && std::strcmp(target, text) == 0)
            return 1u << type;
    }
    return 0;
}

size_t WriteSsdpNotify(const SSsdpDevice& device, ESsdpNotify kind, int type, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    if (type < 0 || type >= kSsdpTypeCount)
        return 0;
    writer.Put("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n");
    if (kind == ESsdpNotify::Alive)
    {
        PutCacheControl(writer, device);
        PutLine(writer, "LOCATION", device.Location);
    }
    PutLine(writer, "NT", TypeText(device, type));
    PutLine(writer, "NTS", kind == ESsdpNotify::Alive ? "ssdp:alive" : "ssdp:byebye");
    if (kind == ESsdpNotify::Alive)
        PutLine(writer, "SERVER", kServer);
    writer.Put("USN: ");
    PutUsn(writer, device, type);
    writer.Put("\r\n");
    PutIds(writer, device);
    writer.Put("\r\n");
    return writer.Length();
}

size_t WriteSsdpSearchResponse(const SSsdpDevice& device, int type, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    if (type < 0 || type >= kSsdpTypeCount)
        return 0;
    writer.Put("HTTP/1.1 200 OK\r\n");
    PutCacheControl(writer, device);
    writer.Put("EXT:\r\n");
    PutLine(writer, "LOCATION", device.Location);
    PutLine(writer, "SERVER", kServer);
    PutLine(writer, "ST", TypeText(device, type));
    writer.Put("USN: ");
    PutUsn(writer, device, type);
    writer.Put("\r\n");
    PutIds(writer, device);
    writer.Put("Content-Length: 0\r\n\r\n");
    return writer.Length();
}
