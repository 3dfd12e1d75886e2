#include "http/ClientRing.h"

#include <cstdint>
#include <new>

#include "ts/PacketCopy.h"

namespace {

// 0 when the bytes would not fit a size_t: no allocation can give them.
size_t RingBytes(size_t packets)
{
    if (packets == 0)
        packets = 1;
    return packets <= SIZE_MAX / kTsPacketSize ? packets * kTsPacketSize : 0;
}

} // namespace

// Zeroed here, on the thread that accepts the client: every page is touched
// now rather than by the traffic thread's first pass through the ring. No
// exception: this runs on a server thread inside the host, where one would
// end the host.
CClientRing::CClientRing(size_t packets)
    : m_Bytes(RingBytes(packets) != 0 ? new (std::nothrow) unsigned char[RingBytes(packets)]() : nullptr),
      m_nCapacity(m_Bytes != nullptr ? RingBytes(packets) : 0)
{
}

bool CClientRing::AppendPackets(const unsigned char* packets, int count)
{
    if (m_bOverflowed.load(std::memory_order_relaxed))
        return false;
    if (count <= 0)
        return true;
    const uint64_t written = m_nWritten.load(std::memory_order_relaxed);
    const uint64_t read = m_nRead.load(std::memory_order_acquire);
    const size_t free = m_nCapacity - static_cast<size_t>(written - read);
    if (static_cast<size_t>(count) > free / kTsPacketSize)
    {
        m_bOverflowed.store(true, std::memory_order_release);
        return false;
    }
    // The capacity and every append are whole packets, so the end of the
    // memory always falls between two packets.
    size_t offset = static_cast<size_t>(written % m_nCapacity);
    for (int i = 0; i < count; ++i)
    {
        CopyPackets(m_Bytes.get() + offset, packets + static_cast<size_t>(i) * kTsPacketSize, kTsPacketSize);
        offset += kTsPacketSize;
        if (offset == m_nCapacity)
            offset = 0;
    }
    m_nWritten.store(written + static_cast<uint64_t>(count) * kTsPacketSize, std::memory_order_release);
    return true;
}

size_t CClientRing::Peek(const unsigned char*& data) const
{
    const uint64_t read = m_nRead.load(std::memory_order_relaxed);
    const uint64_t written = m_nWritten.load(std::memory_order_acquire);
    const size_t offset = static_cast<size_t>(read % m_nCapacity);
    const size_t available = static_cast<size_t>(written - read);
    const size_t untilEnd = m_nCapacity - offset;
    data = m_Bytes.get() + offset;
    return available < untilEnd ? available : untilEnd;
}

void CClientRing::Consume(size_t bytes)
{
    const uint64_t read = m_nRead.load(std::memory_order_relaxed);
    const uint64_t written = m_nWritten.load(std::memory_order_acquire);
    const size_t available = static_cast<size_t>(written - read);
    m_nRead.store(read + (bytes < available ? bytes : available), std::memory_order_release);
}

size_t CClientRing::Buffered() const
{
    const uint64_t read = m_nRead.load(std::memory_order_acquire);
    const uint64_t written = m_nWritten.load(std::memory_order_acquire);
    return static_cast<size_t>(written - read);
}
