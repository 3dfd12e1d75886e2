#include "http/StreamRing.h"

#include <cstdint>
#include <cstring>
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

// Zeroed here, on the thread that accepts the viewer: every page is touched
// now rather than by the traffic thread's first pass through the ring. No
// exception: this runs on a server thread inside the host, where one would
// end the host.
CStreamRing::CStreamRing(size_t packets)
    : m_Bytes(RingBytes(packets) != 0 ? new (std::nothrow) unsigned char[RingBytes(packets)]() : nullptr),
      m_nCapacity(m_Bytes != nullptr ? RingBytes(packets) : 0)
{
}

void CStreamRing::AppendPackets(const unsigned char* packets, int count)
{
    if (count <= 0 || m_nCapacity == 0)
        return;
    const uint64_t written = m_nWritten.load(std::memory_order_relaxed);
    const uint64_t end = written + static_cast<uint64_t>(count) * kTsPacketSize;
    // The claim goes out before the first byte changes (see the header).
    m_nClaimed.store(end, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);

    // A batch longer than the ring leaves only its last ring's worth.
    const size_t capacityPackets = m_nCapacity / kTsPacketSize;
    size_t skip = static_cast<size_t>(count) > capacityPackets ? static_cast<size_t>(count) - capacityPackets : 0;
    // The capacity and every append are whole packets, so the end of the
    // memory always falls between two packets.
    size_t offset = static_cast<size_t>((written + skip * kTsPacketSize) % m_nCapacity);
    for (size_t i = skip; i < static_cast<size_t>(count); ++i)
    {
        CopyPackets(m_Bytes.get() + offset, packets + i * kTsPacketSize, kTsPacketSize);
        offset += kTsPacketSize;
        if (offset == m_nCapacity)
            offset = 0;
    }
    m_nWritten.store(end, std::memory_order_release);
}

size_t CStreamRing::CopyOut(uint64_t from, unsigned char* out, size_t room) const
{
    return CopyOutWith(from, room, [out](size_t at, const unsigned char* bytes, size_t length) {
        std::memcpy(out + at, bytes, length);
    });
}
