#include "discovery/NameUuid.h"

#include <cstring>

#include "discovery/Sha1.h"

namespace {
// This program's namespace for its media servers' names (a random UUID,
// chosen once).
constexpr SUuid kMediaServerNamespace = {{0x5d, 0x1c, 0x7e, 0x42, 0x93, 0xa0, 0x4b, 0x1f, 0x8c, 0x6e, 0x21, 0xd4,
                                          0x0b, 0x97, 0x3a, 0x58}};
} // namespace

SUuid NameBasedUuid(const SUuid& nameSpace, const void* name, size_t length)
{
    CSha1 sha;
    sha.Add(nameSpace.Bytes, sizeof nameSpace.Bytes);
    sha.Add(name, length);
    uint8_t digest[kSha1DigestSize];
    sha.Finish(digest);
    SUuid uuid;
    std::memcpy(uuid.Bytes, digest, sizeof uuid.Bytes);
    uuid.Bytes[6] = static_cast<uint8_t>((uuid.Bytes[6] & 0x0F) | 0x50);
    uuid.Bytes[8] = static_cast<uint8_t>((uuid.Bytes[8] & 0x3F) | 0x80);
    return uuid;
}

SUuid MediaServerUuid(const char* computerName, uint16_t port)
{
    // "NAME:port", the name cut at 64 bytes (a computer name is far shorter).
    char name[64 + 8];
    size_t length = 0;
    for (const char* c = computerName; *c != 0 && length < 64; ++c)
        name[length++] = *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c;
    name[length++] = ':';
    char digits[5];
    int count = 0;
    do
    {
        digits[count++] = static_cast<char>('0' + port % 10);
        port = static_cast<uint16_t>(port / 10);
    } while (port != 0);
    while (count > 0)
        name[length++] = digits[--count];
    return NameBasedUuid(kMediaServerNamespace, name, length);
}

void FormatUuid(const SUuid& uuid, char (&out)[kUuidTextCapacity])
{
    std::memcpy(out, "uuid:", 5);
    size_t at = 5;
    for (int i = 0; i < 16; ++i)
    {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out[at++] = '-';
        out[at++] = "0123456789abcdef"[uuid.Bytes[i] >> 4];
        out[at++] = "0123456789abcdef"[uuid.Bytes[i] & 0xF];
    }
    out[at] = 0;
}
