#pragma once
// The traffic path while programs are selected: each packet of a host block
// goes through the program filter, and the filter's output packets go to the
// aligner, so that chunks are N whole packets of the filtered stream.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "programs/ProgramFilter.h"
#include "ts/PacketSync.h"
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

// The traffic path's program stage: the filter, the start of a packet that a
// host block cut off (the next block completes it), and the packet boundary
// found again where the bytes lost it. The host's blocks need not end on
// packet boundaries, and a tuner overrun or a damaged stream can add or lose
// bytes anywhere: wherever a packet is due and its sync byte is missing, the
// bytes up to the next one are dropped (PacketSync.h), as the aligner does on
// the whole-stream path, so that a lost or stray byte costs a packet or two.
class CProgramFeed
{
public:
    CProgramFeed() = default;
    CProgramFeed(const CProgramFeed&) = delete;
    CProgramFeed& operator=(const CProgramFeed&) = delete;

    // At Start, with the aligner's Reset: nothing of a previous run is held,
    // nothing dropped yet.
    void Reset(const SProgramSelection& programs)
    {
        m_Filter.Reset(programs);
        m_nPartial = 0;
        m_bSearching = false;
        m_nDropped = 0;
        m_bSearchingShown.store(false, std::memory_order_relaxed);
        m_nDroppedShown.store(0, std::memory_order_relaxed);
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
    // count)` sees every packet of the source, in order, each run of them
    // once the filter has had it, for outputs that carry the complete
    // transport stream. A null block or a negative length is ignored.
    // Afterwards the filter's ProgramsPresent() goes to `programsPresent`,
    // for a thread that must not read the filter while this one changes it.
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
            // Completed with whatever follows, unexamined, as the aligner
            // completes a chunk.
            const int take = std::min(kTsPacketSize - m_nPartial, length);
            std::memcpy(m_Partial + m_nPartial, data, static_cast<size_t>(take));
            m_nPartial += take;
            offset = take;
            if (m_nPartial == kTsPacketSize)
            {
                m_Filter.Feed(m_Partial, sink);
                wholeStream(static_cast<const unsigned char*>(m_Partial), 1);
                m_nPartial = 0;
            }
        }
        // Here and after every run of packets (m_nPartial is 0), a packet is due.
        while (offset < length)
        {
            if (data[offset] != kTsSyncByte)
            {
                const int skipped = BytesBeforeSync(data + offset, length - offset);
                offset += skipped;
                NoteDropped(skipped, offset == length);
                continue;
            }
            if (m_bSearching)
                NoteDropped(0, false);
            // A run of whole packets, up to the first without its sync byte.
            const int run = offset;
            for (; length - offset >= kTsPacketSize && data[offset] == kTsSyncByte; offset += kTsPacketSize)
                m_Filter.FeedSynced(data + offset, sink);
            if (offset == run)
            {
                // Fewer than kTsPacketSize bytes from a sync byte to the block's end.
                m_nPartial = length - offset;
                std::memcpy(m_Partial, data + offset, static_cast<size_t>(m_nPartial));
                break;
            }
            wholeStream(data + run, (offset - run) / kTsPacketSize);
        }
        const int present = m_Filter.ProgramsPresent();
        if (programsPresent.load(std::memory_order_relaxed) != present)
            programsPresent.store(present, std::memory_order_relaxed);
    }

    void Feed(CTsAligner& aligner, const unsigned char* data, int length, std::atomic<int32_t>& programsPresent)
    {
        Feed(aligner, data, length, programsPresent, [](const unsigned char*, int) {});
    }

    // For another thread (the dialog): whether the latest bytes lost the
    // packet boundary and no sync byte has come since, and the bytes dropped
    // to find it since Reset.
    bool Searching() const { return m_bSearchingShown.load(std::memory_order_relaxed); }
    uint64_t BytesDropped() const { return m_nDroppedShown.load(std::memory_order_relaxed); }

private:
    // Only where the boundary is lost or found again: the aligned path never
    // gets here.
    void NoteDropped(int bytes, bool searching)
    {
        m_nDropped += static_cast<uint64_t>(bytes);
        m_bSearching = searching;
        m_nDroppedShown.store(m_nDropped, std::memory_order_relaxed);
        m_bSearchingShown.store(searching, std::memory_order_relaxed);
    }

    CProgramFilter m_Filter;
    unsigned char m_Partial[kTsPacketSize] = {};  // a packet's first m_nPartial bytes
    int m_nPartial = 0;
    bool m_bSearching = false;                     // bytes were dropped up to the block's end
    uint64_t m_nDropped = 0;                       // bytes dropped in front of sync bytes since Reset
    std::atomic<bool> m_bSearchingShown{false};    // m_bSearching, for the dialog
    std::atomic<uint64_t> m_nDroppedShown{0};      // m_nDropped, for the dialog
};
