#pragma once
// SSDP (UPnP Device Architecture 1.1, 1.3): the searches this media server
// answers and the messages it sends, on 239.255.255.250:1900.
//
// A search (M-SEARCH) is an HTTP-like request in one datagram:
//
//   M-SEARCH * HTTP/1.1
//   HOST: 239.255.255.250:1900
//   MAN: "ssdp:discover"
//   MX: seconds to spread answers over (multicast only)
//   ST: search target
//
// Every datagram comes from the network and is hostile: it is read within
// kSsdpDatagramMaxSize bytes and kSsdpMaxHeaderLines lines, copies nothing
// but the search target (bounded) and allocates nothing. Anything else than
// a well-formed search (NOTIFY from other devices, replies, garbage) is not
// answered.
//
// The server has five notification types, each sent and answered with its
// own USN:
//
//   upnp:rootdevice                                   uuid:X::upnp:rootdevice
//   uuid:X                                            uuid:X
//   urn:schemas-upnp-org:device:MediaServer:1         uuid:X::urn:...MediaServer:1
//   urn:schemas-upnp-org:service:ContentDirectory:1   uuid:X::urn:...ContentDirectory:1
//   urn:schemas-upnp-org:service:ConnectionManager:1  uuid:X::urn:...ConnectionManager:1

#include <cstddef>
#include <cstdint>

#include "discovery/NameUuid.h"

constexpr uint16_t kSsdpPort = 1900;
constexpr uint32_t kSsdpGroup = 0xEFFFFFFA;        // 239.255.255.250
constexpr size_t kSsdpDatagramMaxSize = 2048;      // searches are a few hundred bytes
constexpr int kSsdpMaxHeaderLines = 32;
constexpr size_t kSsdpTargetCapacity = 256;        // a search target, NUL included
constexpr int kSsdpMaxMxSeconds = 5;               // a larger MX counts as 5 (UDA 1.1)
constexpr int kSsdpTypeCount = 5;                  // the notification types above
constexpr size_t kSsdpMessageCapacity = 1024;      // any message this server sends

enum class ESsdpParse : uint8_t
{
    NotSearch, // another method, a reply, a NOTIFY: not for us to answer
    Malformed, // a search that breaks the rules (no ST, bad MAN or MX, too long)
    Search,    // a search: see SSsdpSearch
};

struct SSsdpSearch
{
    char Target[kSsdpTargetCapacity] = {}; // ST, as sent
    int MxSeconds = -1;                    // 1..kSsdpMaxMxSeconds; -1 without MX (unicast: at once)
};

// Reads one datagram of `size` bytes; `search` holds its target and MX only
// on Search.
ESsdpParse ParseSsdpSearch(const char* data, size_t size, SSsdpSearch& search);

// Which of the server's types a search target asks for: a bit per type
// (bit i: type i in the order above). "ssdp:all" gives all five; any other
// target matches one type exactly (ours are all version 1, the lowest, so no
// older version can be asked for); another UUID, type or version gives 0.
unsigned SsdpTypesFor(const char* target, const char* uuid);

// What the messages say about the server.
struct SSsdpDevice
{
    const char* Uuid = "";       // "uuid:..." (FormatUuid)
    const char* Location = "";   // the description's URL on the address the searcher reached
    int MaxAgeSeconds = 1800;    // CACHE-CONTROL: max-age
    uint32_t BootId = 0;         // BOOTID.UPNP.ORG: raised at every Start
    uint32_t ConfigId = 1;       // CONFIGID.UPNP.ORG
};

enum class ESsdpNotify : uint8_t
{
    Alive,
    ByeBye,
};

// One NOTIFY (alive or byebye) for type `type` (0..kSsdpTypeCount-1); each
// writer behaves like snprintf.
size_t WriteSsdpNotify(const SSsdpDevice& device, ESsdpNotify kind, int type, char* out, size_t capacity);

// The answer to a search for type `type` (a bit SsdpTypesFor gave): the ST is
// that type's own text (UDA 1.1: for ssdp:all, one answer per type).
size_t WriteSsdpSearchResponse(const SSsdpDevice& device, int type, char* out, size_t capacity);
