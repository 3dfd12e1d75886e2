#include "http/StreamRing.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr size_t kWordBytes = sizeof(uint64_t);
// A packet starts on a word or half-way into one (188 is 23.5 words): 23
// whole words, and the half of a word it shares with its neighbour.
constexpr size_t kWholeWords = (kTsPacketSize - kWordBytes / 2) / kWordBytes;
static_assert(kWholeWords * kWordBytes + kWordBytes / 2 == kTsPacketSize, "a packet is 23.5 words");

// 0 when no allocation can give the bytes: more than an array may hold
// (an array new of that many words would throw, nothrow or not).
size_t RingBytes(size_t packets)
{
    if (packets == 0)
        packets = 1;
    return packets <= static_cast<size_t>(PTRDIFF_MAX) / kTsPacketSize ? packets * kTsPacketSize : 0;
}

size_t RingWords(size_t bytes)
{
    return (bytes + kWordBytes - 1) / kWordBytes;
}

void StoreWord(std::atomic<uint64_t>& word, const unsigned char* bytes)
{
    uint64_t value;
    std::memcpy(&value, bytes, kWordBytes);
    word.store(value, std::memory_order_relaxed);
}

// Spelled out, word after word: a loop of relaxed atomic stores would not
// be unrolled at -O2, and its count and jump would cost as much as the
// stores.
template <size_t... I>
void StoreWholeWords(std::atomic<uint64_t>* words, const unsigned char* bytes, std::index_sequence<I...>)
{
    (StoreWord(words[I], bytes + I * kWordBytes), ...);
}

// Half of a word: the other half, another packet's, stays as it is (only
// this thread writes the ring, so it reads back what it wrote).
void StoreHalfWord(std::atomic<uint64_t>& word, const unsigned char* bytes, size_t half)
{
    uint64_t value = word.load(std::memory_order_relaxed);
    std::memcpy(reinterpret_cast<unsigned char*>(&value) + half * (kWordBytes / 2), bytes, kWordBytes / 2);
    word.store(value, std::memory_order_relaxed);
}

void StorePacket(std::atomic<uint64_t>* words, size_t offset, const unsigned char* packet)
{
    std::atomic<uint64_t>* word = words + offset / kWordBytes;
    if (offset % kWordBytes == 0)
    {
        StoreWholeWords(word, packet, std::make_index_sequence<kWholeWords>());
        StoreHalfWord(word[kWholeWords], packet + kWholeWords * kWordBytes, 0);
    }
    else
    {
        StoreHalfWord(word[0], packet, 1);
        StoreWholeWords(word + 1, packet + kWordBytes / 2, std::make_index_sequence<kWholeWords>());
    }
}

// Two packets from a word on are 47 whole words: nothing to read back.
void StorePacketPair(std::atomic<uint64_t>* words, size_t offset, const unsigned char* packets)
{
    StoreWholeWords(words + offset / kWordBytes, packets, std::make_index_sequence<2 * kTsPacketSize / kWordBytes>());
}

} // namespace

// Zeroed here, on the thread that accepts the viewer: every page is touched
// now rather than by the traffic thread's first pass through the ring. No
// exception: this runs on a server thread inside the host, where one would
// end the host.
CStreamRing::CStreamRing(size_t packets)
    : m_Words(RingBytes(packets) != 0 ? new (std::nothrow) std::atomic<uint64_t>[RingWords(RingBytes(packets))]()
                                      : nullptr),
      m_nCapacity(m_Words != nullptr ? RingBytes(packets) : 0)
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
    for (size_t i = skip; i < static_cast<size_t>(count);)
    {
        const unsigned char* packet = packets + i * kTsPacketSize;
        if (offset % kWordBytes == 0 && i + 1 < static_cast<size_t>(count) && m_nCapacity - offset >= 2 * kTsPacketSize)
        {
            StorePacketPair(m_Words.get(), offset, packet);
            i += 2;
            offset += 2 * kTsPacketSize;
        }
        else
        {
            StorePacket(m_Words.get(), offset, packet);
            ++i;
            offset += kTsPacketSize;
        }
        if (offset == m_nCapacity)
            offset = 0;
    }
    m_nWritten.store(end, std::memory_order_release);
}

size_t CStreamRing::CopyOut(uint64_t from, unsigned char* out, size_t room) const
{
    return CopyOutWith(from, room,
                       [this, out](size_t at, size_t offset, size_t length) { ReadBytes(offset, out + at, length); });
}

void CStreamRing::ReadBytes(size_t offset, unsigned char* out, size_t length) const
{
    const std::atomic<uint64_t>* word = m_Words.get() + offset / kWordBytes;
    // A reader resumes where its last send ended: anywhere in a word.
    size_t skip = offset % kWordBytes;
    while (length > 0)
    {
        const uint64_t value = (word++)->load(std::memory_order_relaxed);
        if (skip == 0 && length >= kWordBytes)
        {
            std::memcpy(out, &value, kWordBytes);
            out += kWordBytes;
            length -= kWordBytes;
            continue;
        }
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&value);
        for (; skip < kWordBytes && length > 0; ++skip, --length)
            *out++ = bytes[skip];
        skip = 0;
    }
}
