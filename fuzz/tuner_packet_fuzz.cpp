// libFuzzer target for the network tuner's discovery packets (UDP 65001):
// whatever arrives on the port reaches ParseTunerDiscoverRequest.
//
// Input layout: the whole input is a datagram as received. Its first 10
// bytes (zeros where short) also give a device id, a tuner count, an IPv4
// address and a port for a reply.
//
// Checked: an accepted request is exactly header, payload and CRC long, of
// the request type, with its CRC right; the same bytes with the CRC's last
// byte changed are refused; a reply fits kTunerReplyMaxSize, its base URL
// within the clients' 28 characters, and its length fields and CRC hold.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "discovery/TunerDiscoveryPacket.h"

namespace {

void Fail(const char* message)
{
    std::fprintf(stderr, "tuner_packet_fuzz: %s\n", message);
    std::abort();
}

void CheckRequest(const uint8_t* data, size_t size)
{
    STunerDiscoverRequest request;
    if (!ParseTunerDiscoverRequest(data, size, request))
        return;
    if (size < 8 || size > kTunerPacketMaxSize || (data[0] << 8 | data[1]) != kTunerDiscoverRequest ||
        static_cast<size_t>(data[2] << 8 | data[3]) + 8 != size)
        Fail("a request whose type or length fields do not match the datagram");
    const uint32_t crc = TunerPacketCrc(data, size - 4);
    for (int i = 0; i < 4; ++i)
        if (data[size - 4 + i] != static_cast<uint8_t>(crc >> (8 * i)))
            Fail("a request accepted with a wrong CRC");
    std::vector<uint8_t> damaged(data, data + size);
    damaged.back() ^= 0x01;
    if (ParseTunerDiscoverRequest(damaged.data(), damaged.size(), request))
        Fail("a damaged CRC accepted");
}

void CheckReply(const uint8_t* data, size_t size)
{
    uint8_t seed[10] = {};
    std::memcpy(seed, data, size < sizeof seed ? size : sizeof seed);
    const uint32_t id = static_cast<uint32_t>(seed[0]) << 24 | seed[1] << 16 | seed[2] << 8 | seed[3];
    const uint32_t address = static_cast<uint32_t>(seed[4]) << 24 | seed[5] << 16 | seed[6] << 8 | seed[7];
    const uint16_t port = static_cast<uint16_t>(seed[8] << 8 | seed[9]);
    const int tuners = static_cast<int8_t>(seed[0]) * 3;
    uint8_t reply[kTunerReplyMaxSize + 16];
    const size_t length = BuildTunerDiscoverReply(id, tuners, address, port, reply, sizeof reply);
    if (length == 0 || length > kTunerReplyMaxSize)
        Fail("a reply that does not fit its bound");
    if ((reply[0] << 8 | reply[1]) != kTunerDiscoverReply || static_cast<size_t>(reply[2] << 8 | reply[3]) + 8 != length)
        Fail("a reply whose type or length is wrong");
    const uint32_t crc = TunerPacketCrc(reply, length - 4);
    for (int i = 0; i < 4; ++i)
        if (reply[length - 4 + i] != static_cast<uint8_t>(crc >> (8 * i)))
            Fail("a reply with a wrong CRC");
    for (size_t at = 4; at < length - 4;)
    {
        const uint8_t tag = reply[at];
        const uint8_t tagLength = reply[at + 1];
        if (tagLength > 127 || at + 2 + tagLength > length - 4)
            Fail("a reply tag past the payload");
        if (tag == kTunerTagBaseUrl && tagLength > kTunerBaseUrlMaxLength)
            Fail("a base URL too long for the clients");
        at += 2u + tagLength;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckRequest(data, size);
    CheckReply(data, size);
    return 0;
}
