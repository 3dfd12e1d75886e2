#include "rtp/FecEncoder.h"

void XorInto(unsigned char* to, const unsigned char* from, int size)
{
    int i = 0;
    for (; size - i >= 8; i += 8)
    {
        uint64_t a;
        uint64_t b;
        std::memcpy(&a, to + i, 8);
        std::memcpy(&b, from + i, 8);
        a ^= b;
        std::memcpy(to + i, &a, 8);
    }
    for (; i < size; ++i)
        to[i] ^= from[i];
}

void CFecEncoder::Begin(SFecMatrix matrix)
{
    if (!IsValidFecMatrix(matrix.Columns, matrix.Rows))
    {
        End();
        return;
    }
    m_nColumns = matrix.Columns;
    m_nRows = matrix.Rows;
    m_nPosition = 0;
    m_nCurrentSet = 0;
    m_nPendingCount = 0;
    m_nPendingSent = 0;
}

namespace
{
uint16_t ReadHigh16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t ReadHigh32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void WriteHigh16(unsigned char* p, uint16_t value)
{
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

void WriteHigh32(unsigned char* p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}
}  // namespace

// The first datagram of a column or row: copied rather than XORed, so that
// nothing has to be cleared between packets.
void CFecEncoder::Open(SAccumulator& a, const unsigned char* datagram, int payloadSize)
{
    a.SnBase = ReadHigh16(datagram + 2);
    a.LengthRecovery = static_cast<uint16_t>(payloadSize);
    a.PtRecovery = static_cast<uint8_t>(datagram[1] & 0x7F);
    a.TsRecovery = ReadHigh32(datagram + 4);
    a.LastTimestamp = a.TsRecovery;
    a.PayloadSize = payloadSize;
    CopyPackets(a.Payload(), datagram + kRtpHeaderSize, payloadSize);
}

void CFecEncoder::Add(SAccumulator& a, const unsigned char* datagram, int payloadSize)
{
    a.LengthRecovery = static_cast<uint16_t>(a.LengthRecovery ^ payloadSize);
    a.PtRecovery = static_cast<uint8_t>(a.PtRecovery ^ (datagram[1] & 0x7F));
    a.LastTimestamp = ReadHigh32(datagram + 4);
    a.TsRecovery ^= a.LastTimestamp;
    // A run's datagrams all have one size; a shorter one would count as
    // padded with zeros, which XOR leaves alone.
    XorInto(a.Payload(), datagram + kRtpHeaderSize, payloadSize < a.PayloadSize ? payloadSize : a.PayloadSize);
}

int CFecEncoder::Seal(SAccumulator& a, EFecDirection direction, uint8_t offset, uint8_t na)
{
    uint16_t& sequence = m_wSequence[direction == EFecDirection::Column ? 0 : 1];
    unsigned char* rtp = a.Packet();
    rtp[0] = kRtpVersion2;
    rtp[1] = kRtpPayloadTypeFec;
    WriteHigh16(rtp + 2, sequence++);
    WriteHigh32(rtp + 4, a.LastTimestamp);
    WriteHigh32(rtp + 8, 0);  // SSRC

    unsigned char* fec = rtp + kRtpHeaderSize;
    WriteHigh16(fec + kFecSnBase, a.SnBase);
    WriteHigh16(fec + kFecLengthRecovery, a.LengthRecovery);
    fec[kFecEAndPtRecovery] = static_cast<unsigned char>(kFecExtensionBit | a.PtRecovery);
    fec[kFecMask] = fec[kFecMask + 1] = fec[kFecMask + 2] = 0;
    WriteHigh32(fec + kFecTsRecovery, a.TsRecovery);
    fec[kFecXDTypeIndex] = direction == EFecDirection::Row ? kFecRowBit : 0;
    fec[kFecOffset] = offset;
    fec[kFecNa] = na;
    fec[kFecSnBaseExt] = 0;
    return kFecPacketHeadersSize + a.PayloadSize;
}
