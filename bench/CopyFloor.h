#pragma once
// The least work that any implementation of the re-framing must do for the
// same feed, to measure the module's path against: no lock, no virtual call,
// no sync search, no checks. Each chunk is copied once behind a 12-byte header
// (sequence and timestamp written as the module writes them) and handed to the
// sink; bytes that do not yet form a whole chunk are copied once into a
// chunk-sized buffer. With one packet per datagram nothing is ever buffered.

#include <cstdint>
#include <cstring>
#include <utility>

#include "rtp/RtpFraming.h"
#include "ts/TsConstants.h"

template <class Sink>
class CCopyFloor
{
public:
    explicit CCopyFloor(int packetsPerDatagram, Sink sink = Sink())
        : m_nChunkSize(packetsPerDatagram * kTsPacketSize), m_Sink(std::move(sink))
    {
        WriteRtpFixedHeader(m_Datagram);
    }

    // A host block of whole packets in phase, packet by packet as the host
    // hands them over.
    void FeedPackets(const unsigned char* data, int length)
    {
        for (int offset = 0; offset < length; offset += kTsPacketSize)
        {
            if (m_nChunkSize == kTsPacketSize)
            {
                Emit(data + offset);
                continue;
            }
            std::memcpy(m_Chunk + m_nHeld, data + offset, kTsPacketSize);
            m_nHeld += kTsPacketSize;
            if (m_nHeld == m_nChunkSize)
            {
                Emit(m_Chunk);
                m_nHeld = 0;
            }
        }
    }

    // Any length of an in-phase stream: whole chunks straight from the
    // caller's memory, the rest through the chunk buffer.
    void FeedBytes(const unsigned char* data, int length)
    {
        if (m_nHeld != 0)
        {
            const int taken = length < m_nChunkSize - m_nHeld ? length : m_nChunkSize - m_nHeld;
            std::memcpy(m_Chunk + m_nHeld, data, static_cast<size_t>(taken));
            m_nHeld += taken;
            data += taken;
            length -= taken;
            if (m_nHeld < m_nChunkSize)
                return;
            Emit(m_Chunk);
            m_nHeld = 0;
        }
        for (; length >= m_nChunkSize; data += m_nChunkSize, length -= m_nChunkSize)
            Emit(data);
        std::memcpy(m_Chunk, data, static_cast<size_t>(length));
        m_nHeld = length;
    }

    uint16_t NextSequence() const { return m_wSequence; }

private:
    void Emit(const unsigned char* chunk)
    {
        m_dwTimestamp += kRtpTicksPerDatagram;
        WriteRtpCounters(m_Datagram, m_wSequence++, m_dwTimestamp);
        std::memcpy(m_Datagram + kRtpHeaderSize, chunk, static_cast<size_t>(m_nChunkSize));
        m_Sink(static_cast<const unsigned char*>(m_Datagram), kRtpHeaderSize + m_nChunkSize);
    }

    int m_nChunkSize;
    int m_nHeld = 0;
    uint16_t m_wSequence = 0;
    uint32_t m_dwTimestamp = 0;
    Sink m_Sink;
    unsigned char m_Chunk[kMaxChunkSize];
    unsigned char m_Datagram[kMaxDatagramSize];
};
