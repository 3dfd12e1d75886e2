#pragma once
// The traffic thread's hand-over to the guide collector: a bounded
// single-producer, single-consumer queue of the packets of the PIDs the
// guide reads (PAT, SDT, EIT, TDT/TOT). The traffic thread copies a packet
// in, or counts it dropped when the queue is full; it never parses, waits or
// allocates. The collector's thread takes the packets out.

#include <atomic>
#include <cstdint>

#include "psi/PsiSection.h"
#include "ts/TsConstants.h"

// About 0.75 s of the densest EIT (4 Mbit/s): several rounds of the server
// thread, which takes the packets out at every round.
constexpr int kGuideFeedPackets = 2048;

class CGuideFeed
{
public:
    static bool Wants(uint16_t pid)
    {
        return pid <= kTdtPid && ((kPids >> pid) & 1u) != 0;
    }
    // The same for a whole packet: the PID's high bits first, which rule
    // out nearly every packet of a stream with one test.
    static bool Wants(const unsigned char* packet)
    {
        return (packet[1] & 0x1F) == 0 && packet[2] <= kTdtPid && ((kPids >> packet[2]) & 1u) != 0;
    }

    // Producer: one whole packet of a wanted PID.
    void Put(const unsigned char* packet);
    // Consumer: the oldest packet, null when empty; valid until Pop.
    const unsigned char* Front() const;
    void Pop();

    // Packets dropped because the queue was full.
    uint64_t Dropped() const { return m_nDropped.load(std::memory_order_relaxed); }
    // Consumer, or any thread while no consumer runs: what is queued is
    // dropped unread. The producer may go on meanwhile (a traffic call
    // still on its way in at a Start): only the consumer's index moves.
    void DropQueued();

private:
    static constexpr uint32_t kPids = 1u << kPatPid | 1u << kSdtPid | 1u << kEitPid | 1u << kTdtPid;

    unsigned char m_Packets[kGuideFeedPackets][kTsPacketSize];
    std::atomic<uint64_t> m_nWritten{0};
    std::atomic<uint64_t> m_nRead{0};
    std::atomic<uint64_t> m_nDropped{0};
};
