#pragma once
// Re-frames transport-stream traffic that arrives in pieces of any length and
// phase into chunks of one fixed size that begin at a packet start.

#include "ts/TsConstants.h"

class CTsAligner
{
public:
    CTsAligner();

    // Consumes `length` bytes at `data`. Calls ReceiveAlignedTraffic first with
    // the held chunk if these bytes complete it, then exactly once with the
    // whole-chunk part of the input, straight from the caller's memory (that
    // part may be empty). The incomplete tail is kept in m_Buffer.
    void ReceiveNotAlignedTraffic(unsigned char* data, int length);

    // Drops held bytes; they are never delivered.
    void Reset();

protected:
    // `length` is a whole multiple of m_nChunkSize, 0 included; `data` points
    // into m_Buffer (one chunk) or into the caller's memory. Consume before
    // returning: neither stays valid.
    virtual void ReceiveAlignedTraffic(unsigned char* data, int length) = 0;

    unsigned char m_Buffer[kMaxChunkSize]; // the incomplete chunk being assembled
    int m_nBuffered;                       // valid bytes at the start of m_Buffer
    int m_nChunkSize;                      // chunk length in bytes, N x 188; set by the owner
};

// Feeds a host block to the aligner one packet's worth at a time, the way the
// module object does. A trailing partial packet passes only the bytes that are
// there; a null block or a negative length is ignored.
void FeedInPacketSteps(CTsAligner& aligner, unsigned char* data, int length);
