#include "discovery/TunerDiscoveryPacket.h"

#include <cstring>

#include "http/TextWriter.h"

namespace {
uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Writes one packet at a time into a caller's buffer; a write past the end
// marks it failed instead of storing.
class CTunerPacketWriter
{
public:
    CTunerPacketWriter(uint8_t* out, size_t capacity, uint16_t type) : m_pOut(out), m_nCapacity(capacity)
    {
        PutU16(type);
        PutU16(0); // the payload length, set by Finish
    }

    void PutU8(uint8_t value) { Put(&value, 1); }
    void PutU16(uint16_t value)
    {
        const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        Put(bytes, 2);
    }
    void PutU32(uint32_t value)
    {
        PutU16(static_cast<uint16_t>(value >> 16));
        PutU16(static_cast<uint16_t>(value));
    }
    // A tag whose value is at most 127 bytes (one length byte), as all of ours are.
    void PutTag(uint8_t tag, const void* value, size_t length)
    {
        if (length > 127)
        {
            m_bFailed = true;
            return;
        }
        PutU8(tag);
        PutU8(static_cast<uint8_t>(length));
        Put(value, length);
    }
    void PutTagU32(uint8_t tag, uint32_t value)
    {
        PutU8(tag);
        PutU8(4);
        PutU32(value);
    }

    size_t Finish()
    {
        const size_t payload = m_nLength - kTunerPacketHeaderSize;
        if (m_bFailed || payload > kTunerPacketMaxPayload || m_nLength + kTunerPacketCrcSize > m_nCapacity)
            return 0;
        m_pOut[2] = static_cast<uint8_t>(payload >> 8);
        m_pOut[3] = static_cast<uint8_t>(payload);
        const uint32_t crc = TunerPacketCrc(m_pOut, m_nLength);
        for (int i = 0; i < 4; ++i)
            m_pOut[m_nLength++] = static_cast<uint8_t>(crc >> (8 * i));
        return m_nLength;
    }

private:
    void Put(const void* bytes, size_t length)
    {
        if (m_bFailed || length > m_nCapacity - m_nLength)
        {
            m_bFailed = true;
            return;
        }
        std::memcpy(m_pOut + m_nLength, bytes, length);
        m_nLength += length;
    }

    uint8_t* m_pOut;
    size_t m_nCapacity;
    size_t m_nLength = 0;
    bool m_bFailed = false;
};
} // namespace

uint32_t TunerPacketCrc(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
    {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

bool ParseTunerDiscoverRequest(const uint8_t* data, size_t size, STunerDiscoverRequest& request)
{
    request = STunerDiscoverRequest();
    if (size < kTunerPacketHeaderSize + kTunerPacketCrcSize || size > kTunerPacketMaxSize)
        return false;
    const size_t payload = static_cast<size_t>(data[2]) << 8 | data[3];
    if ((static_cast<uint16_t>(data[0] << 8 | data[1])) != kTunerDiscoverRequest ||
        kTunerPacketHeaderSize + payload + kTunerPacketCrcSize != size)
        return false;
    const size_t end = kTunerPacketHeaderSize + payload;
    const uint32_t crc = static_cast<uint32_t>(data[end]) | static_cast<uint32_t>(data[end + 1]) << 8 |
                         static_cast<uint32_t>(data[end + 2]) << 16 | static_cast<uint32_t>(data[end + 3]) << 24;
    if (crc != TunerPacketCrc(data, end))
        return false;

    bool anyType = false;
    bool wantsTuner = false;
    size_t at = kTunerPacketHeaderSize;
    while (at < end)
    {
        const uint8_t tag = data[at++];
        if (at >= end)
            return false;
        size_t length = data[at++];
        if (length & 0x80)
        {
            if (at >= end)
                return false;
            length = (length & 0x7F) | static_cast<size_t>(data[at++]) << 7;
        }
        if (length > end - at)
            return false;
        const uint8_t* value = data + at;
        at += length;
        if (tag != kTunerTagDeviceType && tag != kTunerTagDeviceId)
            continue;
        if (length != 4)
            return false;
        if (tag == kTunerTagDeviceId)
        {
            request.DeviceId = ReadU32(value);
            continue;
        }
        anyType = true;
        const uint32_t type = ReadU32(value);
        wantsTuner = wantsTuner || type == kTunerDeviceTypeTuner || type == kTunerWildcard;
    }
    request.WantsTuner = wantsTuner || !anyType;
    return true;
}

bool TunerRequestWantsUs(const STunerDiscoverRequest& request, uint32_t deviceId)
{
    return request.WantsTuner && (request.DeviceId == kTunerWildcard || request.DeviceId == deviceId);
}

size_t BuildTunerDiscoverReply(uint32_t deviceId, int tuners, uint32_t address, uint16_t port, uint8_t* out,
                               size_t capacity)
{
    char base[kTunerBaseUrlMaxLength + 1];
    CTextWriter url(base, sizeof base);
    url.Put("http://");
    for (int shift = 24; shift >= 0; shift -= 8)
    {
        url.PutDecimal(address >> shift & 0xFF);
        url.Put(shift > 0 ? '.' : ':');
    }
    url.PutDecimal(port);
    static_assert(sizeof "http://255.255.255.255:65535" - 1 == kTunerBaseUrlMaxLength, "the longest base URL");
    const size_t baseLength = url.Length();
    char lineup[kTunerBaseUrlMaxLength + sizeof "/lineup.json"];
    std::memcpy(lineup, base, baseLength);
    std::memcpy(lineup + baseLength, "/lineup.json", sizeof "/lineup.json" - 1);

    CTunerPacketWriter writer(out, capacity, kTunerDiscoverReply);
    writer.PutTagU32(kTunerTagDeviceType, kTunerDeviceTypeTuner);
    writer.PutTagU32(kTunerTagDeviceId, deviceId);
    const uint8_t count = static_cast<uint8_t>(tuners < 0 ? 0 : tuners > 255 ? 255 : tuners);
    writer.PutTag(kTunerTagTunerCount, &count, 1);
    writer.PutTag(kTunerTagBaseUrl, base, baseLength);
    writer.PutTag(kTunerTagLineupUrl, lineup, baseLength + sizeof "/lineup.json" - 1);
    return writer.Finish();
}

size_t BuildTunerDiscoverRequest(uint32_t deviceType, uint32_t deviceId, uint8_t* out, size_t capacity)
{
    CTunerPacketWriter writer(out, capacity, kTunerDiscoverRequest);
    writer.PutTagU32(kTunerTagDeviceType, deviceType);
    writer.PutTagU32(kTunerTagDeviceId, deviceId);
    return writer.Finish();
}
