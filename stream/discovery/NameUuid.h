#pragma once
// The media server's UUID: name-based (RFC 4122 4.3, version 5, SHA-1) from
// the computer name (ASCII letters folded to upper case) and the URL
// server's port, in a namespace of this program's own. The same PC and port
// give the same UUID after every restart, so TVs keep one entry for it, and
// nothing needs to be stored.

#include <cstddef>
#include <cstdint>

// "uuid:" and 36 characters, NUL included.
constexpr size_t kUuidTextCapacity = 5 + 36 + 1;

struct SUuid
{
    uint8_t Bytes[16] = {};
};

// RFC 4122 4.3: SHA-1 of the namespace's 16 bytes and the name, the version
// (5) and the variant set.
SUuid NameBasedUuid(const SUuid& nameSpace, const void* name, size_t length);

// This program's media server for `computerName` and `port`.
SUuid MediaServerUuid(const char* computerName, uint16_t port);

// "uuid:xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower-case hexadecimal.
void FormatUuid(const SUuid& uuid, char (&out)[kUuidTextCapacity]);
