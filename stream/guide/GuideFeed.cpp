#include "guide/GuideFeed.h"

#include <cstring>

void CGuideFeed::Put(const unsigned char* packet)
{
    const uint64_t written = m_nWritten.load(std::memory_order_relaxed);
    if (written - m_nRead.load(std::memory_order_acquire) >= kGuideFeedPackets)
    {
        m_nDropped.store(m_nDropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return;
    }
    std::memcpy(m_Packets[written % kGuideFeedPackets], packet, kTsPacketSize);
    m_nWritten.store(written + 1, std::memory_order_release);
}

const unsigned char* CGuideFeed::Front() const
{
    const uint64_t read = m_nRead.load(std::memory_order_relaxed);
    if (read == m_nWritten.load(std::memory_order_acquire))
        return nullptr;
    return m_Packets[read % kGuideFeedPackets];
}

void CGuideFeed::Pop()
{
    const uint64_t read = m_nRead.load(std::memory_order_relaxed);
    if (read != m_nWritten.load(std::memory_order_acquire))
        m_nRead.store(read + 1, std::memory_order_release);
}

void CGuideFeed::DropQueued()
{
    m_nRead.store(m_nWritten.load(std::memory_order_acquire), std::memory_order_release);
}
