#include "ts/TsAligner.h"

#include <algorithm>

#include "ts/PacketCopy.h"
#include "ts/PacketSync.h"

CTsAligner::CTsAligner() : m_nBuffered(0), m_nChunkSize(kTsPacketSize) {}

void CTsAligner::Reset()
{
    m_nBuffered = 0;
}

void CTsAligner::ReceiveNotAlignedTraffic(unsigned char* data, int length)
{
    if (data == nullptr || length < 0)
        length = 0;

    // A chunk size that m_Buffer cannot hold must never overrun it: nothing of
    // such traffic can be framed, so it is dropped.
    if (m_nChunkSize < 1 || m_nChunkSize > kMaxChunkSize)
    {
        m_nBuffered = 0;
        ReceiveAlignedTraffic(data, 0);
        return;
    }
    // Bytes held under an earlier, larger chunk size can no longer be completed.
    if (m_nBuffered < 0 || m_nBuffered >= m_nChunkSize)
        m_nBuffered = 0;

    if (m_nBuffered != 0)
    {
        // The held chunk is completed with whatever follows: no sync check here.
        const int taken = std::min(m_nChunkSize - m_nBuffered, length);
        if (taken > 0)
            CopyPackets(m_Buffer + m_nBuffered, data, taken);
        m_nBuffered += taken;
        if (m_nBuffered >= m_nChunkSize)
        {
            ReceiveAlignedTraffic(m_Buffer, m_nChunkSize);
            m_nBuffered = 0;
        }
        data += taken;
        length -= taken;
    }

    // A chunk is due here.
    const int skipped = BytesBeforeSync(data, length);
    data += skipped;
    length -= skipped;

    const int whole = length - length % m_nChunkSize;
    ReceiveAlignedTraffic(data, whole);
    data += whole;
    length -= whole;

    if (length > 0)
    {
        CopyPackets(m_Buffer, data, length);
        m_nBuffered = length;
    }
}

void FeedInPacketSteps(CTsAligner& aligner, unsigned char* data, int length)
{
    if (data == nullptr || length <= 0)
        return;
    for (int offset = 0; offset < length; offset += kTsPacketSize)
        aligner.ReceiveNotAlignedTraffic(data + offset, std::min(kTsPacketSize, length - offset));
}
