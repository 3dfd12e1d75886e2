#pragma once
// The bytes waiting for one HTTP client: a single-producer, single-consumer
// ring of whole 188-byte packets. The traffic thread appends and never
// waits; the server thread takes what is there and sends it. The memory is
// allocated once, when the client connects, never while traffic flows.
//
// A client that falls a whole ring behind is not caught up by dropping
// packets (that would corrupt what it plays): the ring marks itself
// overflowed, takes nothing more, and the server disconnects the client.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ts/TsConstants.h"

// About 8 MiB: a second of the fastest transponders, several of one program.
constexpr size_t kClientRingPackets = 44620;
constexpr size_t kClientRingBytes = kClientRingPackets * kTsPacketSize; // 8 388 560

// The two threads meet only in these counters: no lock, on every platform.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the ring's counters must be lock-free");

class CClientRing
{
public:
    // Allocates `packets` x 188 bytes (at least one packet) and touches
    // them, so that the traffic thread never takes a first-touch page fault.
    // Without memory for them it throws nothing: Capacity() is then 0, and
    // such a ring must not be used.
    explicit CClientRing(size_t packets = kClientRingPackets);

    CClientRing(const CClientRing&) = delete;
    CClientRing& operator=(const CClientRing&) = delete;

    // Producer (traffic thread). Appends `count` whole packets at `packets`,
    // all of them or, when they do not fit, none: the ring is then overflowed
    // from now on. Returns false when the ring is (or has just become)
    // overflowed. Never allocates, never waits.
    bool AppendPackets(const unsigned char* packets, int count);

    // Consumer (server thread). The readable bytes that lie in one piece, at
    // `data`; 0 when empty. Stays valid until Consume.
    size_t Peek(const unsigned char*& data) const;
    // Marks `bytes` (at most what Peek returned) as sent.
    void Consume(size_t bytes);

    // Either thread.
    bool Overflowed() const { return m_bOverflowed.load(std::memory_order_acquire); }
    size_t Capacity() const { return m_nCapacity; }
    size_t Buffered() const; // bytes appended, not yet consumed

private:
    std::unique_ptr<unsigned char[]> m_Bytes; // the ring's memory
    const size_t m_nCapacity;                 // bytes, a multiple of 188
    std::atomic<uint64_t> m_nWritten{0};      // bytes ever appended (producer)
    std::atomic<uint64_t> m_nRead{0};         // bytes ever consumed (consumer)
    std::atomic<bool> m_bOverflowed{false};
};
