#pragma once
// The traffic path while programs are selected: each packet of a host block
// goes through the program filter, and the filter's output packets go to the
// aligner, so that chunks are N whole packets of the filtered stream.

#include <atomic>
#include <cstdint>

#include "ProgramFilter.h"
#include "TsAligner.h"

// Hands each of the filter's output packets to the aligner.
class CAlignerPacketSink final : public IPacketSink
{
public:
    explicit CAlignerPacketSink(CTsAligner& aligner) : m_Aligner(aligner) {}

    void PutPacket(const unsigned char* packet) override
    {
        // The aligner only reads what it is given (it copies or sends it).
        m_Aligner.ReceiveNotAlignedTraffic(const_cast<unsigned char*>(packet), kTsPacketSize);
    }

private:
    CTsAligner& m_Aligner;
};

// A host block, packet by packet, through `filter` into `aligner`. A trailing
// partial packet is dropped: the filter judges whole packets only. A null
// block or a negative length is ignored. Afterwards the filter's
// ProgramsPresent() goes to `programsPresent`, for a thread that must not
// read the filter while this one changes it.
inline void FeedThroughFilter(CProgramFilter& filter, CTsAligner& aligner, const unsigned char* data, int length,
                              std::atomic<int32_t>& programsPresent)
{
    if (data == nullptr || length <= 0)
        return;
    CAlignerPacketSink sink(aligner);
    for (int offset = 0; length - offset >= kTsPacketSize; offset += kTsPacketSize)
        filter.Feed(data + offset, sink);
    const int present = filter.ProgramsPresent();
    if (programsPresent.load(std::memory_order_relaxed) != present)
        programsPresent.store(present, std::memory_order_relaxed);
}
