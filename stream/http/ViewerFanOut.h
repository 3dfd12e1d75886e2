#pragma once
// Hands the traffic thread's packets to the URL server's viewers. Viewers of
// the same stream (the whole transponder, or one program) share one ring and,
// for a program, one cut: the traffic thread writes each stream once,
// whatever the number of its viewers, and never sends, waits, allocates or
// locks. Each viewer reads the ring at a position of its own on the server
// thread (see CStreamRing).
//
// The server thread attaches and detaches viewers. A stream's ring (and cut)
// is made when its first viewer attaches and freed when its last detaches;
// detaching waits only until the traffic thread has left that stream, which
// takes one append.
//
// A viewer that joins gets, before the stream, the latest PAT and PMTs of
// what it watches (the transponder's, or those the cut wrote), so that its
// player can start at once; the traffic thread copies them for it at the
// packet where it joins, so the caches of those tables are touched by one
// thread only. It joins where the stream it watches marks a random access
// point of a video (see RandomAccess.h), so that its player need not throw
// away the rest of a group of pictures; a stream that marks none within
// kRandomAccessWaitMs of the attach (radio, or a broadcaster that does not
// set the flag) is joined at the next packet after that, as if it had none.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "guide/GuideFeed.h"
#include "ts/PacketSink.h"
#include "programs/ProgramDirectory.h"
#include "http/PsiCache.h"

class CStreamRing;
class CProgramFilter;

constexpr int kMaxViewers = 64;         // HttpMaxClients' upper bound: a bit mask of 64 viewers
constexpr int kMaxViewerStreams = kMaxViewers;  // at worst every viewer watches a program of its own
// The most a joining viewer's tables can take: a PAT and every PMT the cache
// keeps, each a section of the greatest length.
constexpr size_t kViewerPrefixBytes = static_cast<size_t>(kPsiSectionMaxPackets) * (1 + kPsiCacheMaxPmts) * kTsPacketSize;

// Why Attach refused a viewer.
enum class EViewerAttach
{
    Attached,
    NoSlot,            // kMaxViewers watch already
    NoMemoryForRing,   // its stream's ring could not be had
    NoMemoryForFilter, // its program's cut could not be had
    NoMemoryForPrefix, // its own tables could not be had
};

// CopyNext's answer for a viewer a whole ring behind.
constexpr size_t kViewerBehind = SIZE_MAX;

// The longest a joining viewer waits for a random access point: about what
// a player would itself lose to a group of pictures begun before it came.
constexpr uint32_t kRandomAccessWaitMs = 1000;

// A monotonic clock in milliseconds; read by both threads, it must neither
// lock nor wait.
using FMilliseconds = uint64_t (*)();

class CViewerFanOut
{
public:
    CViewerFanOut();
    ~CViewerFanOut();

    CViewerFanOut(const CViewerFanOut&) = delete;
    CViewerFanOut& operator=(const CViewerFanOut&) = delete;

    // Traffic thread: `count` whole 188-byte packets, in stream order.
    void PutPackets(const unsigned char* packets, int count);

    // Server thread. A viewer of `program` (0: the whole transponder),
    // given a slot of its own; it shares the ring (and cut) of the viewers
    // already watching the same. -1, with `outcome` saying why, when it
    // cannot be had. `ringPackets` sizes a ring that has to be made.
    int Attach(uint16_t program, EViewerAttach& outcome, size_t ringPackets);
    int Attach(uint16_t program, EViewerAttach& outcome);
    // Takes the viewer out; when it returns, the traffic thread no longer
    // touches what was the viewer's, nor its stream's when it was the last.
    void Detach(int viewer);

    // Server thread, a viewer attached: copies its next bytes (its tables,
    // then its stream) into `out`, at most `room`. Returns the count (0:
    // nothing yet), or kViewerBehind when the stream has been written over
    // where the viewer stands: it must go.
    size_t CopyNext(int viewer, unsigned char* out, size_t room) const;
    // The viewer sent `bytes` of what CopyNext gave.
    void Consume(int viewer, size_t bytes);
    // Whether CopyNext would give bytes, or kViewerBehind.
    bool HasNext(int viewer) const;
    // Whether the viewer is a whole ring behind (checked without a copy).
    bool Behind(int viewer) const;

    int Viewers() const { return m_nViewers.load(std::memory_order_relaxed); }
    // Rings in use (server thread): one per stream that someone watches.
    int Streams() const { return m_nStreams; }
    // Whether any packet has arrived since the latest ForgetStream.
    bool Receiving() const { return m_bReceiving.load(std::memory_order_relaxed); }

    // No viewer attached and no server thread taking the guide's packets,
    // but perhaps a traffic call on its way in (a Start right after a Stop,
    // whatever the host does meanwhile): the tables of the previous
    // transponder are forgotten. The traffic thread forgets its own at its
    // next hand-over, so that nothing it is using changes under it.
    void ForgetStream();

    // The programs of the PAT and SDT, for the page and the playlist.
    CProgramDirectory& Programs()
    {
        CProgramDirectory* programs = m_pPrograms.load(std::memory_order_acquire);
        return programs != nullptr ? *programs : m_Programs;
    }
    // No viewer attached: a directory that the caller feeds with every
    // packet itself (the module keeps one for its dialog whether or not a
    // server runs), so that no packet is looked at twice. Null: its own.
    void UseProgramDirectory(CProgramDirectory* programs) { m_pPrograms.store(programs, std::memory_order_release); }
    // The packets of the guide's tables, for its collector on the server thread.
    CGuideFeed& Guide() { return m_Guide; }
    // Between streams only: whether the guide's packets are queued at all
    // (on by default). Off, the traffic thread does what it did before the
    // guide: the benchmarks compare the two.
    void CollectGuide(bool on) { m_bGuide = on; }
    // Between streams only: the clock that times a joining viewer's wait
    // for a random access point (a test's own), and that wait (0: a viewer
    // joins at the next packet, random access point or not).
    void UseClock(FMilliseconds clock) { m_Clock = clock; }
    void WaitForRandomAccess(uint32_t milliseconds) { m_nRandomAccessWaitMs = milliseconds; }

private:
    enum ESlotState : int
    {
        kFree,     // nobody
        kJoining,  // viewer attached: the traffic thread gives it its tables and its start,
                   // at a random access point or once it has waited long enough
        kActive,   // written (a stream) / reading (a viewer)
        kLeaving,  // being detached: the traffic thread leaves it alone
    };
    // A cut's output goes packet by packet into its stream's ring, and
    // through the cache of the tables it wrote, for viewers who join.
    struct SStream;
    struct SCutSink final : IPacketSink
    {
        void PutPacket(const unsigned char* packet) override;
        CViewerFanOut* Owner = nullptr;
        SStream* Stream = nullptr;
    };
    struct SStream
    {
        std::atomic<int> State{kFree};
        std::atomic<int> Writing{0};               // the traffic thread is inside this stream
        // Made by the server thread while the stream is free, freed once it
        // is free again; the traffic thread uses them only while it is active.
        std::unique_ptr<CStreamRing> Ring;
        std::unique_ptr<CProgramFilter> Filter;    // null: the whole transponder
        std::unique_ptr<CPsiCache> Tables;         // the cut's PAT and PMT
        SCutSink Sink;
        uint16_t Program = 0;                      // 0: the whole transponder
        int nViewers = 0;                          // server thread
        uint64_t Waiting = 0;                      // traffic thread: bit per viewer waiting for its random
                                                   // access point (some may have left or watch another)
    };
    struct SViewer
    {
        std::atomic<int> State{kFree};
        std::atomic<int> Writing{0};               // the traffic thread is inside this viewer
        int Stream = -1;
        // Written by the traffic thread while joining, read by the server
        // thread once the viewer is active.
        std::unique_ptr<unsigned char[]> Prefix;   // its tables; freed once sent
        size_t nPrefix = 0;
        uint64_t Position = 0;                     // in its stream's ring
        size_t nPrefixSent = 0;                    // server thread
        uint64_t AttachedAt = 0;                   // m_Clock's, set before it joins
    };

    void TakeJoiners();
    void Join(int v, uint64_t now);
    bool WaitedLongEnough(const SViewer& viewer, uint64_t now) const;
    void Start(SViewer& viewer);
    void StartWaiting(SStream& stream);
    void Write(SStream& stream, const unsigned char* packets, int count);
    int OpenStream(uint16_t program, size_t ringPackets, EViewerAttach& outcome);
    void CloseStream(int stream);

    SStream m_Streams[kMaxViewerStreams];
    SViewer m_Viewers[kMaxViewers];
    std::atomic<uint64_t> m_Open{0};      // bit per active stream: the traffic thread visits only these
    std::atomic<uint64_t> m_Joining{0};   // bit per viewer that the traffic thread has yet to join
    uint64_t m_Waiting = 0;               // traffic thread: bit per viewer waiting for a random access point
    std::atomic<int> m_nViewers{0};
    int m_nStreams = 0;                   // server thread
    std::atomic<bool> m_bReceiving{false};
    std::atomic<uint32_t> m_nForgets{0};  // ForgetStream calls
    uint32_t m_nForgotten = 0;            // traffic thread: those m_Psi has followed
    CPsiCache m_Psi;                      // traffic thread only: the transponder's PAT and PMTs
    CProgramDirectory m_Programs;         // fed by the traffic thread, unless m_pPrograms is set
    std::atomic<CProgramDirectory*> m_pPrograms{nullptr};  // fed by the caller instead
    CGuideFeed m_Guide;                   // filled by the traffic thread, emptied by the server's
    bool m_bGuide = true;
    FMilliseconds m_Clock;
    uint32_t m_nRandomAccessWaitMs = kRandomAccessWaitMs;
};
