#pragma once
// The traffic path while programs are selected: each packet of a host block
// goes through the program filter, and the filter's output packets go to the
// aligner, so that chunks are N whole packets of the filtered stream.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "programs/ProgramFilter.h"
#include "ts/TsAligner.h"

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

// The traffic path's program stage: the filter, and the start of a packet that
// a host block cut off, which the next block completes. The host's blocks
// need not end on packet boundaries (the aligner takes any length); a packet
// split between two of them is still one packet of the stream.
class CProgramFeed
{
public:
    CProgramFeed() = default;
    CProgramFeed(const CProgramFeed&) = delete;
    CProgramFeed& operator=(const CProgramFeed&) = delete;

    // At Start, with the aligner's Reset: nothing of a previous run is held.
    void Reset(const SProgramSelection& programs)
    {
        m_Filter.Reset(programs);
        m_nPartial = 0;
    }

    // Between two host blocks, while the stream runs: another choice of
    // programs (see CProgramFilter::Reselect). The start of a packet held
    // here stays, for the next block to complete.
    void Reselect(const SProgramSelection& programs, int sourcePatVersion, int sourcePatContinuity)
    {
        m_Filter.Reselect(programs, sourcePatVersion, sourcePatContinuity);
    }

    // The start of a packet (fewer than kTsPacketSize bytes) that the
    // whole-stream path held when the choice changed: the next block
    // completes it here. Replaces what was held.
    void HoldPartial(const unsigned char* bytes, int count)
    {
        m_nPartial = count > 0 && count < kTsPacketSize ? count : 0;
        if (m_nPartial > 0)
            std::memcpy(m_Partial, bytes, static_cast<size_t>(m_nPartial));
    }

    // The start of a packet held here, handed over and forgotten: for the
    // whole-stream path when the choice goes back to the whole transponder.
    int TakePartial(unsigned char (&bytes)[kTsPacketSize])
    {
        const int count = m_nPartial;
        if (count > 0)
            std::memcpy(bytes, m_Partial, static_cast<size_t>(count));
        m_nPartial = 0;
        return count;
    }

    // A host block through the filter into `aligner`. `wholeStream(packets,
    // count)` sees every whole packet of the source before the filter does,
    // for outputs that carry the complete transport stream. A null block or a
    // negative length is ignored. Afterwards the filter's ProgramsPresent()
    // goes to `programsPresent`, for a thread that must not read the filter
    // while this one changes it.
    template <class WholeStream>
    void Feed(CTsAligner& aligner, const unsigned char* data, int length, std::atomic<int32_t>& programsPresent,
              WholeStream&& wholeStream)
    {
        if (data == nullptr || length <= 0)
            return;
        CAlignerPacketSink sink(aligner);
        int offset = 0;
        if (m_nPartial > 0)
        {
            const int take = std::min(kTsPacketSize - m_nPartial, length);
            std::memcpy(m_Partial + m_nPartial, data, static_cast<size_t>(take));
            m_nPartial += take;
            offset = take;
            if (m_nPartial == kTsPacketSize)
            {
                wholeStream(static_cast<const unsigned char*>(m_Partial), 1);
                m_Filter.Feed(m_Partial, sink);
                m_nPartial = 0;
            }
        }
        const int whole = (length - offset) / kTsPacketSize;
        if (whole > 0)
            wholeStream(data + offset, whole);
        for (; length - offset >= kTsPacketSize; offset += kTsPacketSize)
            m_Filter.Feed(data + offset, sink);
        if (offset < length)
        {
            // Fewer than kTsPacketSize bytes remain here, and m_nPartial is 0.
            m_nPartial = length - offset;
            std::memcpy(m_Partial, data + offset, static_cast<size_t>(m_nPartial));
        }
        const int present = m_Filter.ProgramsPresent();
        if (programsPresent.load(std::memory_order_relaxed) != present)
            programsPresent.store(present, std::memory_order_relaxed);
    }

    void Feed(CTsAligner& aligner, const unsigned char* data, int length, std::atomic<int32_t>& programsPresent)
    {
        Feed(aligner, data, length, programsPresent, [](const unsigned char*, int) {});
    }

private:
    CProgramFilter m_Filter;
    unsigned char m_Partial[kTsPacketSize] = {};  // a packet's first m_nPartial bytes
    int m_nPartial = 0;
};
