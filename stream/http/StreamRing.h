#pragma once
// The bytes of one stream (the whole transponder, or one program) for every
// HTTP viewer watching it: one writer, any number of readers, each reader
// with a position of its own. The traffic thread appends each packet once,
// whatever the number of viewers, and never waits for any of them: it
// writes over the oldest bytes. A reader that the writer has lapped is a
// whole ring behind; it learns so from CopyOut and is dropped, never handed
// bytes of a later lap (that would corrupt what it plays).
//
// The memory is allocated once, when the stream's first viewer connects,
// never while traffic flows.
//
// Why a reader never gets overwritten bytes (the sequence-counter scheme):
// the writer announces the end of what it is about to write (m_nClaimed)
// before it writes a byte, and publishes it (m_nWritten) after the last.
// A reader copies only published bytes, then looks at the claim again: the
// copy was sound when the claim still leaves the first byte it copied
// alone. The fences order the byte accesses against the two counters:
// had the copy read a byte that a later lap wrote, the claim it loads after
// its acquire fence is at least that lap's (the writer's release fence put
// the claim before the byte). A torn copy is thrown away, never sent.
//
// The bytes themselves are 64-bit atomic words, written and read relaxed: a
// reader may read a word while the writer writes it (that is the torn copy
// thrown away), and plain accesses there would be a data race, undefined
// behaviour however the fences stand. A packet (23.5 words) starts on a word
// or half-way into one; the writer rewrites the half it shares with the
// packet before with the same bytes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ts/TsConstants.h"

// About 8 MiB: a second of the fastest transponders, several of one program.
constexpr size_t kStreamRingPackets = 44620;
constexpr size_t kStreamRingBytes = kStreamRingPackets * kTsPacketSize; // 8 388 560

// CopyOut's answer for a reader that the writer has lapped.
constexpr size_t kRingLapped = SIZE_MAX;

// The threads meet only in these counters: no lock, on every platform.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the ring's counters must be lock-free");
static_assert(sizeof(std::atomic<uint64_t>) == 8, "the ring's words must be plain words");
static_assert(kTsPacketSize % 4 == 0, "packets must start on a word or half-way into one");

class CStreamRing
{
public:
    // Allocates `packets` x 188 bytes (at least one packet) and touches
    // them, so that the traffic thread never takes a first-touch page fault.
    // Without memory for them it throws nothing: Capacity() is then 0, and
    // such a ring must not be used.
    explicit CStreamRing(size_t packets = kStreamRingPackets);

    CStreamRing(const CStreamRing&) = delete;
    CStreamRing& operator=(const CStreamRing&) = delete;

    // Writer (traffic thread): appends `count` whole packets, over the
    // oldest bytes when the ring is full. Never allocates, never waits.
    void AppendPackets(const unsigned char* packets, int count);

    // Readers. Positions count bytes since the ring was made; a reader
    // starts at Written() (always between two packets) and moves on by
    // what it sends.
    uint64_t Written() const { return m_nWritten.load(std::memory_order_acquire); }
    // Copies what was written from `from` on into `out`, at most `room`
    // bytes (in one piece, across the end of the memory if need be).
    // Returns the bytes copied (0: nothing new), or kRingLapped when the
    // writer has begun to write over the byte at `from`, now or while the
    // copy ran: then `out` holds nothing usable.
    size_t CopyOut(uint64_t from, unsigned char* out, size_t room) const;
    // The same with the copy left to `copy(outOffset, ringOffset, length)`,
    // called once or twice (across the end of the memory) to ReadBytes: for
    // a test that has the writer lap the reader in the middle of a copy.
    template <class Copy>
    size_t CopyOutWith(uint64_t from, size_t room, Copy&& copy) const;
    // Copies `length` bytes of the memory from `offset` on (not across its
    // end) into `out`, whatever the writer does meanwhile.
    void ReadBytes(size_t offset, unsigned char* out, size_t length) const;
    // Whether the writer has begun to write over the byte at `from`.
    bool Lapped(uint64_t from) const { return m_nClaimed.load(std::memory_order_acquire) - from > m_nCapacity; }

    size_t Capacity() const { return m_nCapacity; }

private:
    std::unique_ptr<std::atomic<uint64_t>[]> m_Words; // the ring's memory, m_nCapacity bytes rounded up to words
    const size_t m_nCapacity;                 // bytes, a multiple of 188
    std::atomic<uint64_t> m_nClaimed{0};      // bytes written or being written (writer)
    std::atomic<uint64_t> m_nWritten{0};      // bytes written completely (writer)
};

template <class Copy>
size_t CStreamRing::CopyOutWith(uint64_t from, size_t room, Copy&& copy) const
{
    const uint64_t written = m_nWritten.load(std::memory_order_acquire);
    if (Lapped(from))
        return kRingLapped;
    if (from >= written || room == 0)
        return 0;
    const size_t available = static_cast<size_t>(written - from);
    const size_t length = available < room ? available : room;
    const size_t offset = static_cast<size_t>(from % m_nCapacity);
    const size_t first = length < m_nCapacity - offset ? length : m_nCapacity - offset;
    copy(size_t{0}, offset, first);
    if (first < length)
        copy(first, size_t{0}, length - first);
    // The copy's reads come before the second look at the claim.
    std::atomic_thread_fence(std::memory_order_acquire);
    return Lapped(from) ? kRingLapped : length;
}
