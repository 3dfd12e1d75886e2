#pragma once
// Hands the traffic thread's packets to every connected HTTP viewer's ring.
// The traffic thread only appends: no send, no wait, no allocation, no lock.
// The server thread attaches a viewer (with a ring it allocated) and detaches
// it; detaching waits only until the traffic thread has left that one slot,
// which takes one append.
//
// A viewer that joins gets the latest PAT and PMTs first, so its player can
// start at once; the traffic thread puts them into the ring itself, so the
// cache of those tables is touched by one thread only.

#include <atomic>
#include <cstdint>

#include "guide/GuideFeed.h"
#include "ts/PacketSink.h"
#include "programs/ProgramDirectory.h"
#include "http/PsiCache.h"

class CClientRing;
class CProgramFilter;

constexpr int kMaxViewers = 64;  // HttpMaxClients' upper bound: a bit mask of 64 viewers

class CViewerFanOut
{
public:
    CViewerFanOut();

    // Traffic thread: `count` whole 188-byte packets, in stream order.
    void PutPackets(const unsigned char* packets, int count);

    // Server thread. Puts `ring` into a free slot; the viewer receives the
    // prefix, then the stream from the next packets on. With a `filter`
    // (reset by the caller for the viewer's program) the viewer receives
    // what the filter makes of the stream instead, and no prefix: the filter
    // writes a PAT of its own. -1 when every slot is taken. Ring and filter
    // stay owned by the caller and must outlive Detach.
    int Attach(CClientRing* ring, CProgramFilter* filter = nullptr);
    // Takes the viewer out; when it returns, the traffic thread no longer
    // touches its ring.
    void Detach(int slot);

    int Viewers() const { return m_nViewers.load(std::memory_order_relaxed); }
    // Whether any packet has arrived since the latest ForgetStream.
    bool Receiving() const { return m_bReceiving.load(std::memory_order_relaxed); }

    // Between streams only (no traffic call running, no viewer attached):
    // the tables of the previous transponder are forgotten.
    void ForgetStream();

    // The programs of the PAT and SDT, for the page and the playlist.
    CProgramDirectory& Programs() { return m_pPrograms != nullptr ? *m_pPrograms : m_Programs; }
    // Between streams only: a directory that the caller feeds with every
    // packet itself (the module keeps one for its dialog whether or not a
    // server runs), so that no packet is looked at twice. Null: its own.
    void UseProgramDirectory(CProgramDirectory* programs) { m_pPrograms = programs; }
    // The packets of the guide's tables, for its collector on the server thread.
    CGuideFeed& Guide() { return m_Guide; }
    // Between streams only: whether the guide's packets are queued at all
    // (on by default). Off, the traffic thread does what it did before the
    // guide: the benchmarks compare the two.
    void CollectGuide(bool on) { m_bGuide = on; }

private:
    enum ESlotState : int
    {
        kFree,     // no viewer
        kJoining,  // attached; the traffic thread puts the prefix before the next packets
        kActive,   // receives every packet
        kLeaving,  // being detached: the traffic thread leaves it alone
    };
    // A filter's output goes packet by packet into the viewer's ring.
    struct SRingSink final : IPacketSink
    {
        void PutPacket(const unsigned char* packet) override;
        CClientRing* Ring = nullptr;
    };
    struct SSlot
    {
        std::atomic<int> State{kFree};
        std::atomic<int> Writing{0};      // the traffic thread is inside this slot
        CClientRing* Ring = nullptr;      // written by the server thread while the slot is free
        CProgramFilter* Filter = nullptr; // likewise; null: the whole stream
        SRingSink Sink;                   // into Ring, for the filter
    };

    SSlot m_Slots[kMaxViewers];
    std::atomic<uint64_t> m_Attached{0};  // bit per slot not free: the traffic thread visits only these
    std::atomic<int> m_nViewers{0};
    std::atomic<bool> m_bReceiving{false};
    CPsiCache m_Psi;                      // traffic thread only
    CProgramDirectory m_Programs;         // fed by the traffic thread, unless m_pPrograms is set
    CProgramDirectory* m_pPrograms = nullptr;  // fed by the caller instead
    CGuideFeed m_Guide;                   // filled by the traffic thread, emptied by the server's
    bool m_bGuide = true;
};
