#include "http/ViewerFanOut.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "programs/ProgramFilter.h"
#include "http/StreamRing.h"
#include "ts/RandomAccess.h"

namespace
{
uint64_t Bit(int index)
{
    return uint64_t{1} << index;
}

// Announce first, then look (the traffic thread); the server thread stores
// the state first, then looks at Writing. One of the two always sees the
// other (all four are sequentially consistent), so nothing is freed under
// the traffic thread.
template <class Slot>
int EnterSlot(Slot& slot)
{
    slot.Writing.store(1, std::memory_order_seq_cst);
    return slot.State.load(std::memory_order_seq_cst);
}

template <class Slot>
void LeaveSlotAlone(Slot& slot, int leavingState)
{
    slot.State.store(leavingState, std::memory_order_seq_cst);
    // The traffic thread is at most one append (or one join) into it.
    while (slot.Writing.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
}

uint64_t SteadyMilliseconds()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}
}  // namespace

CViewerFanOut::CViewerFanOut() : m_Clock(SteadyMilliseconds) {}
CViewerFanOut::~CViewerFanOut() = default;

void CViewerFanOut::SCutSink::PutPacket(const unsigned char* packet)
{
    // Its waiting viewers start with this packet: the cut's, so a random
    // access point of another program never starts them.
    if (Stream->Waiting != 0 && StartsVideoRandomAccess(packet))
        Owner->StartWaiting(*Stream);
    Stream->Ring->AppendPackets(packet, 1);
    Stream->Tables->Observe(packet);
}

void CViewerFanOut::PutPackets(const unsigned char* packets, int count)
{
    if (packets == nullptr || count <= 0)
        return;
    const uint32_t forgets = m_nForgets.load(std::memory_order_acquire);
    if (forgets != m_nForgotten)
    {
        m_Psi.Reset();
        m_nForgotten = forgets;
    }
    if (!m_bReceiving.load(std::memory_order_relaxed))
        m_bReceiving.store(true, std::memory_order_relaxed);
    m_Psi.ObservePackets(packets, count);
    if (m_pPrograms.load(std::memory_order_relaxed) == nullptr)
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

    // Joiners first: those that start here get their tables, then these
    // packets, as for a player that tuned in here.
    if (m_Joining.load(std::memory_order_relaxed) != 0 || m_Waiting != 0)
        TakeJoiners();

    uint64_t open = m_Open.load(std::memory_order_acquire);
    while (open != 0)
    {
        const int i = __builtin_ctzll(open);
        open &= open - 1;
        SStream& stream = m_Streams[i];
        if (EnterSlot(stream) == kActive)
            Write(stream, packets, count);
        stream.Writing.store(0, std::memory_order_release);
    }
}

void CViewerFanOut::TakeJoiners()
{
    const uint64_t now = m_Clock();
    uint64_t joining = m_Joining.exchange(0, std::memory_order_acquire);
    while (joining != 0)
    {
        const int v = __builtin_ctzll(joining);
        joining &= joining - 1;
        Join(v, now);
    }
    // Those whose stream marked no random access point in time start as
    // if it had none.
    uint64_t waiting = m_Waiting;
    while (waiting != 0)
    {
        const int v = __builtin_ctzll(waiting);
        waiting &= waiting - 1;
        SViewer& viewer = m_Viewers[v];
        const int state = EnterSlot(viewer);
        if (state != kJoining)
            m_Waiting &= ~Bit(v);  // started at a random access point, or gone
        else if (WaitedLongEnough(viewer, now))
        {
            Start(viewer);
            m_Waiting &= ~Bit(v);
        }
        viewer.Writing.store(0, std::memory_order_release);
    }
}

void CViewerFanOut::Join(int v, uint64_t now)
{
    SViewer& viewer = m_Viewers[v];
    if (EnterSlot(viewer) == kJoining)
    {
        if (WaitedLongEnough(viewer, now))
            Start(viewer);
        else
        {
            m_Waiting |= Bit(v);
            m_Streams[viewer.Stream].Waiting |= Bit(v);
        }
    }
    viewer.Writing.store(0, std::memory_order_release);
}

bool CViewerFanOut::WaitedLongEnough(const SViewer& viewer, uint64_t now) const
{
    // A clock that went back looks like a long wait: the viewer starts.
    return now - viewer.AttachedAt >= m_nRandomAccessWaitMs;
}

// The viewer is joining and the traffic thread has announced itself in it.
void CViewerFanOut::Start(SViewer& viewer)
{
    // Its stream stays open while it is attached: the server thread closes
    // a stream only after detaching its last viewer.
    SStream& stream = m_Streams[viewer.Stream];
    const CPsiCache& tables = stream.Tables != nullptr ? *stream.Tables : m_Psi;
    viewer.nPrefix = static_cast<size_t>(tables.CopyPrefix(viewer.Prefix.get(),
                                                            static_cast<int>(kViewerPrefixBytes / kTsPacketSize))) *
                     kTsPacketSize;
    viewer.Position = stream.Ring->Written();  // this thread is the writer: a packet boundary
    int joining = kJoining;
    viewer.State.compare_exchange_strong(joining, kActive, std::memory_order_seq_cst);
}

// The stream's next packet is a random access point: its waiting viewers
// start with it.
void CViewerFanOut::StartWaiting(SStream& stream)
{
    uint64_t waiting = stream.Waiting;
    stream.Waiting = 0;
    while (waiting != 0)
    {
        const int v = __builtin_ctzll(waiting);
        waiting &= waiting - 1;
        SViewer& viewer = m_Viewers[v];
        // The slot may since hold a viewer of another stream, that waits there.
        if (EnterSlot(viewer) == kJoining && &m_Streams[viewer.Stream] == &stream)
        {
            Start(viewer);
            m_Waiting &= ~Bit(v);
        }
        viewer.Writing.store(0, std::memory_order_release);
    }
}

void CViewerFanOut::Write(SStream& stream, const unsigned char* packets, int count)
{
    if (stream.Filter == nullptr)
    {
        int from = 0;
        for (int p = 0; stream.Waiting != 0 && p < count; ++p)
            if (StartsVideoRandomAccess(packets + p * kTsPacketSize))
            {
                stream.Ring->AppendPackets(packets, p);
                StartWaiting(stream);
                from = p;
            }
        stream.Ring->AppendPackets(packets + from * kTsPacketSize, count - from);
        return;
    }
    for (int p = 0; p < count; ++p)
        stream.Filter->Feed(packets + p * kTsPacketSize, stream.Sink);
}

int CViewerFanOut::Attach(uint16_t program, EViewerAttach& outcome)
{
    return Attach(program, outcome, kStreamRingPackets);
}

int CViewerFanOut::Attach(uint16_t program, EViewerAttach& outcome, size_t ringPackets)
{
    int v = 0;
    while (v < kMaxViewers && m_Viewers[v].State.load(std::memory_order_acquire) != kFree)
        ++v;
    if (v == kMaxViewers)
    {
        outcome = EViewerAttach::NoSlot;
        return -1;
    }
    SViewer& viewer = m_Viewers[v];
    // Allocated before the stream is, so that a refusal leaves nothing behind.
    viewer.Prefix.reset(new (std::nothrow) unsigned char[kViewerPrefixBytes]);
    if (viewer.Prefix == nullptr)
    {
        outcome = EViewerAttach::NoMemoryForPrefix;
        return -1;
    }
    int s = 0;
    while (s < kMaxViewerStreams &&
           !(m_Streams[s].State.load(std::memory_order_relaxed) == kActive && m_Streams[s].Program == program))
        ++s;
    if (s == kMaxViewerStreams)
        s = OpenStream(program, ringPackets, outcome);
    if (s < 0)
    {
        viewer.Prefix.reset();
        return -1;
    }
    ++m_Streams[s].nViewers;
    viewer.Stream = s;
    viewer.nPrefix = 0;
    viewer.nPrefixSent = 0;
    viewer.Position = 0;
    viewer.AttachedAt = m_Clock();
    viewer.State.store(kJoining, std::memory_order_seq_cst);
    m_Joining.fetch_or(Bit(v), std::memory_order_release);
    m_nViewers.fetch_add(1, std::memory_order_relaxed);
    outcome = EViewerAttach::Attached;
    return v;
}

int CViewerFanOut::OpenStream(uint16_t program, size_t ringPackets, EViewerAttach& outcome)
{
    int s = 0;
    while (s < kMaxViewerStreams && m_Streams[s].State.load(std::memory_order_relaxed) != kFree)
        ++s;
    if (s == kMaxViewerStreams)
    {
        outcome = EViewerAttach::NoSlot;
        return -1;
    }
    SStream& stream = m_Streams[s];
    stream.Ring.reset(new (std::nothrow) CStreamRing(ringPackets));
    if (stream.Ring == nullptr || stream.Ring->Capacity() == 0)
    {
        stream.Ring.reset();
        outcome = EViewerAttach::NoMemoryForRing;
        return -1;
    }
    if (program != 0)
    {
        // A cut of its own for the program, fresh: its PAT, versions and
        // counters start with its first viewer.
        stream.Filter.reset(new (std::nothrow) CProgramFilter);
        stream.Tables.reset(new (std::nothrow) CPsiCache);
        if (stream.Filter == nullptr || stream.Tables == nullptr)
        {
            stream.Ring.reset();
            stream.Filter.reset();
            stream.Tables.reset();
            outcome = EViewerAttach::NoMemoryForFilter;
            return -1;
        }
        SProgramSelection selection{};
        selection.Numbers[0] = program;
        selection.Count = 1;
        stream.Filter->Reset(selection);
    }
    stream.Sink.Owner = this;
    stream.Sink.Stream = &stream;
    stream.Program = program;
    stream.nViewers = 0;
    stream.State.store(kActive, std::memory_order_seq_cst);
    m_Open.fetch_or(Bit(s), std::memory_order_release);
    ++m_nStreams;
    return s;
}

void CViewerFanOut::Detach(int v)
{
    if (v < 0 || v >= kMaxViewers)
        return;
    SViewer& viewer = m_Viewers[v];
    if (viewer.State.load(std::memory_order_acquire) == kFree)
        return;
    LeaveSlotAlone(viewer, kLeaving);
    viewer.Prefix.reset();
    const int s = viewer.Stream;
    viewer.Stream = -1;
    m_nViewers.fetch_sub(1, std::memory_order_relaxed);
    viewer.State.store(kFree, std::memory_order_release);
    if (--m_Streams[s].nViewers == 0)
        CloseStream(s);
}

void CViewerFanOut::CloseStream(int s)
{
    SStream& stream = m_Streams[s];
    m_Open.fetch_and(~Bit(s), std::memory_order_relaxed);
    LeaveSlotAlone(stream, kLeaving);
    stream.Ring.reset();
    stream.Filter.reset();
    stream.Tables.reset();
    --m_nStreams;
    stream.State.store(kFree, std::memory_order_release);
}

size_t CViewerFanOut::CopyNext(int v, unsigned char* out, size_t room) const
{
    const SViewer& viewer = m_Viewers[v];
    if (viewer.State.load(std::memory_order_acquire) != kActive)
        return 0;
    const CStreamRing& ring = *m_Streams[viewer.Stream].Ring;
    if (ring.Lapped(viewer.Position))
        return kViewerBehind;  // whatever of its tables is left is no use without the stream
    if (viewer.nPrefixSent < viewer.nPrefix)
    {
        const size_t rest = viewer.nPrefix - viewer.nPrefixSent;
        const size_t length = rest < room ? rest : room;
        std::memcpy(out, viewer.Prefix.get() + viewer.nPrefixSent, length);
        return length;
    }
    const size_t copied = ring.CopyOut(viewer.Position, out, room);
    return copied == kRingLapped ? kViewerBehind : copied;
}

void CViewerFanOut::Consume(int v, size_t bytes)
{
    SViewer& viewer = m_Viewers[v];
    if (viewer.State.load(std::memory_order_acquire) != kActive)
        return;
    if (viewer.nPrefixSent < viewer.nPrefix)
    {
        const size_t rest = viewer.nPrefix - viewer.nPrefixSent;
        viewer.nPrefixSent += bytes < rest ? bytes : rest;
        // The traffic thread is done with it since the viewer went active.
        if (viewer.nPrefixSent == viewer.nPrefix)
            viewer.Prefix.reset();
        return;
    }
    viewer.Position += bytes;
}

bool CViewerFanOut::HasNext(int v) const
{
    const SViewer& viewer = m_Viewers[v];
    if (viewer.State.load(std::memory_order_acquire) != kActive)
        return false;
    if (viewer.nPrefixSent < viewer.nPrefix)
        return true;
    const CStreamRing& ring = *m_Streams[viewer.Stream].Ring;
    return ring.Written() != viewer.Position || ring.Lapped(viewer.Position);
}

bool CViewerFanOut::Behind(int v) const
{
    const SViewer& viewer = m_Viewers[v];
    return viewer.State.load(std::memory_order_acquire) == kActive &&
           m_Streams[viewer.Stream].Ring->Lapped(viewer.Position);
}

void CViewerFanOut::ForgetStream()
{
    m_nForgets.fetch_add(1, std::memory_order_release);
    m_Programs.Reset();
    m_Guide.DropQueued();
    m_bReceiving.store(false, std::memory_order_relaxed);
}
