#include "http/ViewerFanOut.h"

#include <thread>

#include "programs/ProgramFilter.h"
#include "http/ClientRing.h"

CViewerFanOut::CViewerFanOut() = default;

void CViewerFanOut::SRingSink::PutPacket(const unsigned char* packet)
{
    Ring->AppendPackets(packet, 1);
}

void CViewerFanOut::PutPackets(const unsigned char* packets, int count)
{
    if (packets == nullptr || count <= 0)
        return;
    if (!m_bReceiving.load(std::memory_order_relaxed))
        m_bReceiving.store(true, std::memory_order_relaxed);
    m_Psi.ObservePackets(packets, count);
    if (m_pPrograms == nullptr)
        for (int p = 0; p < count; ++p)
            m_Programs.Observe(packets + p * kTsPacketSize);
    // The guide is parsed off this thread: here it costs a PID test in a
    // loop of its own (nothing else in it, so that it stays a few
    // instructions a packet) and, for its few table packets, a copy.
    if (m_bGuide)
        for (int p = 0; p < count; ++p)
        {
            const unsigned char* packet = packets + p * kTsPacketSize;
            if (CGuideFeed::Wants(packet))
                m_Guide.Put(packet);
        }

    uint64_t attached = m_Attached.load(std::memory_order_acquire);
    while (attached != 0)
    {
        const int i = __builtin_ctzll(attached);
        attached &= attached - 1;
        SSlot& slot = m_Slots[i];
        // Announce first, then look: Detach stores the state first, then
        // looks at Writing. One of the two always sees the other (both are
        // sequentially consistent), so a ring is never freed under an append.
        slot.Writing.store(1, std::memory_order_seq_cst);
        const int state = slot.State.load(std::memory_order_seq_cst);
        if (state == kJoining && slot.Filter == nullptr)
        {
            // The prefix goes in before the packets that follow it: a
            // player starts at these tables and then reads on.
            if (m_Psi.AppendPrefixTo(*slot.Ring))
                slot.Ring->AppendPackets(packets, count);
            slot.State.store(kActive, std::memory_order_seq_cst);
        }
        else if (state == kJoining || state == kActive)
        {
            if (state == kJoining)
                slot.State.store(kActive, std::memory_order_seq_cst);
            if (slot.Filter != nullptr)
            {
                for (int p = 0; p < count && !slot.Ring->Overflowed(); ++p)
                    slot.Filter->Feed(packets + p * kTsPacketSize, slot.Sink);
            }
            else
            {
                slot.Ring->AppendPackets(packets, count);  // an overflowed ring refuses; the server sees it
            }
        }
        slot.Writing.store(0, std::memory_order_release);
    }
}

int CViewerFanOut::Attach(CClientRing* ring, CProgramFilter* filter)
{
    if (ring == nullptr)
        return -1;
    for (int i = 0; i < kMaxViewers; ++i)
    {
        SSlot& slot = m_Slots[i];
        if (slot.State.load(std::memory_order_acquire) != kFree)
            continue;
        slot.Ring = ring;
        slot.Filter = filter;
        slot.Sink.Ring = ring;
        slot.State.store(kJoining, std::memory_order_seq_cst);
        m_Attached.fetch_or(uint64_t{1} << i, std::memory_order_acq_rel);
        m_nViewers.fetch_add(1, std::memory_order_relaxed);
        return i;
    }
    return -1;
}

void CViewerFanOut::Detach(int slotIndex)
{
    if (slotIndex < 0 || slotIndex >= kMaxViewers)
        return;
    SSlot& slot = m_Slots[slotIndex];
    if (slot.State.load(std::memory_order_acquire) == kFree)
        return;
    slot.State.store(kLeaving, std::memory_order_seq_cst);
    m_Attached.fetch_and(~(uint64_t{1} << slotIndex), std::memory_order_acq_rel);
    // The traffic thread is at most one append into this slot.
    while (slot.Writing.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
    slot.Ring = nullptr;
    slot.Filter = nullptr;
    slot.Sink.Ring = nullptr;
    m_nViewers.fetch_sub(1, std::memory_order_relaxed);
    slot.State.store(kFree, std::memory_order_release);
}

void CViewerFanOut::ForgetStream()
{
    m_Psi.Reset();
    m_Programs.Reset();
    m_Guide.Reset();
    m_bReceiving.store(false, std::memory_order_relaxed);
}
