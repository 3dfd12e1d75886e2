#pragma once
// The network tuner's discovery on UDP port 65001, as the tuner clients'
// library (libhdhomerun's hdhomerun_pkt.h) defines it. A client broadcasts a
// discover request; a tuner whose type and id it asks for answers it, unicast.
//
//   byte 0-1   packet type, high byte first (2 request, 3 reply)
//   byte 2-3   payload length, high byte first
//   payload    tag-length-value items:
//                tag(8) length(1 or 2 bytes) value(length bytes)
//              a length under 128 is one byte; else the low 7 bits with 0x80
//              set, then the length shifted down 7 bits
//   last 4     Ethernet CRC-32 of everything before it, low byte first
//
// Request tags: device type (4 bytes; 1 a tuner, 0xFFFFFFFF any; a client
// may ask for several types at once) and device id (4 bytes; 0xFFFFFFFF any).
// Reply tags: device type, device id, tuner count (1 byte), base URL and
// lineup URL (text without NUL). The clients' library keeps a base URL of at
// most 28 characters, and takes port 80 for a longer one: ours is built from
// a dotted IPv4 address and port, which never exceeds that.

#include <cstddef>
#include <cstdint>

constexpr uint16_t kTunerDiscoveryPort = 65001;
constexpr size_t kTunerPacketHeaderSize = 4;
constexpr size_t kTunerPacketCrcSize = 4;
constexpr size_t kTunerPacketMaxSize = 1460;       // the clients' largest packet
constexpr size_t kTunerPacketMaxPayload = 1452;
static_assert(kTunerPacketHeaderSize + kTunerPacketMaxPayload + kTunerPacketCrcSize == kTunerPacketMaxSize,
              "header, payload and CRC make the largest packet");

constexpr uint16_t kTunerDiscoverRequest = 0x0002;
constexpr uint16_t kTunerDiscoverReply = 0x0003;
constexpr uint8_t kTunerTagDeviceType = 0x01;
constexpr uint8_t kTunerTagDeviceId = 0x02;
constexpr uint8_t kTunerTagTunerCount = 0x10;
constexpr uint8_t kTunerTagLineupUrl = 0x27;
constexpr uint8_t kTunerTagBaseUrl = 0x2A;
constexpr uint32_t kTunerDeviceTypeTuner = 0x00000001;
constexpr uint32_t kTunerWildcard = 0xFFFFFFFF;    // any type, any id
constexpr size_t kTunerBaseUrlMaxLength = 28;      // "http://255.255.255.255:65535"

// Ethernet CRC-32 (reflected polynomial 0xEDB88320, initial and final value
// all ones), as the packet's trailer carries it.
uint32_t TunerPacketCrc(const uint8_t* data, size_t length);

// What a discover request asks for.
struct STunerDiscoverRequest
{
    bool WantsTuner = false;  // a device type tag named a tuner or any type (or none was given)
    uint32_t DeviceId = kTunerWildcard; // the last device id tag; the wildcard when none
};

// Parses a datagram: true only for a whole discover request (its length
// fields match the datagram, every item lies within the payload, the CRC is
// right). Unknown tags are skipped; a device type or id tag whose value is
// not 4 bytes makes the request invalid.
bool ParseTunerDiscoverRequest(const uint8_t* data, size_t size, STunerDiscoverRequest& request);

// True when a valid request asks for this tuner.
bool TunerRequestWantsUs(const STunerDiscoverRequest& request, uint32_t deviceId);

// The reply of tuner `deviceId` with `tuners` tuners (at most 255 are said)
// whose URL server listens on `address` (host byte order) and `port`: base
// URL "http://a.b.c.d:port", lineup URL the base and "/lineup.json". Returns
// its length (at most kTunerReplyMaxSize), or 0 when `capacity` is smaller.
constexpr size_t kTunerReplyMaxSize = 128;
size_t BuildTunerDiscoverReply(uint32_t deviceId, int tuners, uint32_t address, uint16_t port, uint8_t* out,
                               size_t capacity);

// A discover request for `deviceType` and `deviceId` (as the clients send
// it), for tests and for the fuzz target's seeds. Returns its length (16).
size_t BuildTunerDiscoverRequest(uint32_t deviceType, uint32_t deviceId, uint8_t* out, size_t capacity);
