// One output: its start, its end, and its part of the traffic path.

#include "outputs/Output.h"

#include <cstring>

#include "settings/OptionsValues.h"
#include "net/SocketErrorText.h"
#include "settings/TextCapacities.h"
#include "settings/WideText.h"

namespace
{
constexpr wchar_t kRefusedAddressFormat[] = L"Not an IPv4 address: \"%s\"";

// 8-bit text for inet_pton. Characters outside ASCII cannot belong to a dotted
// address; they become '?' so that parsing fails instead of matching by chance.
void NarrowAddress(const wchar_t* wide, char (&narrow)[kAddressCapacity])
{
    int i = 0;
    for (; i < kAddressCapacity - 1 && wide[i] != 0; ++i)
        narrow[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
    narrow[i] = 0;
}

// The monotonic counter behind the RTP clock.
uint64_t PerformanceCounter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

uint64_t PerformanceFrequency()
{
    LARGE_INTEGER frequency;
    return QueryPerformanceFrequency(&frequency) ? static_cast<uint64_t>(frequency.QuadPart) : 0;
}

// One line in the host's log when sending starts to fail and one when it
// succeeds again (see CSendFailures for when that is).
// With several outputs the line names the output first.
void LogSendingChange(const CSendFailures& failures, const sockaddr_in& destination, int number)
{
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&destination.sin_addr);
    const unsigned port = ntohs(destination.sin_port);
    wchar_t name[16] = L"";
    if (number != 0)
        wsprintfW(name, L"Output%d: ", number);
    wchar_t line[kDialogTextCapacity + 64];
    if (failures.Failing())
    {
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(failures.LastError(), reason);
        wsprintfW(line, L"Tovrin TS Streamer: %ssending to %u.%u.%u.%u:%u fails: %s\n", name, ip[0], ip[1], ip[2],
                  ip[3], port, reason);
    }
    else
    {
        wsprintfW(line,
                  L"Tovrin TS Streamer: %ssending to %u.%u.%u.%u:%u succeeds again (%I64u datagrams not sent)\n",
                  name, ip[0], ip[1], ip[2], ip[3], port, failures.RefusedInEpisode());
    }
    OutputDebugStringW(line);
}
}  // namespace

COutput::COutput()
    : m_Settings(),
      m_nNumber(1),
      m_bNameInLog(false),
      m_pLock(nullptr),
      m_pTotalBytes(nullptr),
      m_StartAddr(),
      m_OpenedSocket(INVALID_SOCKET),
      m_Socket(INVALID_SOCKET),
      m_DestAddr(),
      m_FecColumnAddr(),
      m_FecRowAddr(),
      m_Stream(),
      m_RunPrograms(),
      m_ShownRunPrograms(),
      m_PendingPrograms(),
      m_nProgramsPending(0),
      m_nCutPacketsHeld(0),
      m_ProgramFeed(),
      m_nProgramsPresent(-1),
      m_pViewers(nullptr),
      m_pPrograms(nullptr),
      m_bAnnounce(false),
      m_bAnnounced(false),
      m_SapAddr(),
      m_Announced()
{
}

COutput::~COutput()
{
    Abandon();
}

void COutput::Attach(int number, critical_section& lock, std::atomic<int64_t>& totalBytes)
{
    m_nNumber = number;
    m_pLock = &lock;
    m_pTotalBytes = &totalBytes;
}

void COutput::SetPacketsPerDatagram(int packets, bool running)
{
    m_Settings.Packets = ClampPacketsPerDatagram(packets);
    // A running stream keeps the chunk length it started with; the next start
    // takes the new one.
    if (!running)
        m_nChunkSize = m_Settings.Packets * kTsPacketSize;
}

// A dotted IPv4 address outside 0.0.0.0/8: a text that inet_addr would turn
// into the broadcast address must not become a destination, nor "any" or an
// address of "this network", which names no receiver.
bool COutput::DestinationFromSettings(sockaddr_in& destination) const
{
    unsigned char octets[4];
    char address[kAddressCapacity];
    NarrowAddress(m_Settings.szAddress, address);
    in_addr parsed{};
    if (!ParseDottedQuad(m_Settings.szAddress, octets) || inet_pton(AF_INET, address, &parsed) != 1 ||
        octets[0] == 0)
        return false;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(m_Settings.Port);
    destination.sin_addr = parsed;
    return true;
}

bool COutput::CheckStart(SendRefusalText& refusal)
{
    // An SRT output parses, but this build has no sender for it yet: sent as
    // plain datagrams it would reach no SRT receiver.
    if (m_Settings.Srt.Mode != ESrtMode::None)
    {
        lstrcpynW(refusal, L"SRT outputs cannot run in this version", kSendRefusalCapacity);
        return false;
    }
    // Streaming from another interface than the user named is worse than not
    // streaming: such a start ends before anything is registered.
    if (!CheckLocalAddress(m_Settings.Send, refusal))
        return false;
    if (!DestinationFromSettings(m_StartAddr))
    {
        wsprintfW(refusal, kRefusedAddressFormat, m_Settings.szAddress);
        return false;
    }
    return !RefuseFecStart(refusal);
}

bool COutput::Open(SendRefusalText& refusal)
{
    // The destination was checked: a text that inet_addr would have made
    // 255.255.255.255 never reaches the socket that may broadcast.
    m_OpenedSocket = OpenUdpSender(m_Settings.Send, m_StartAddr, refusal);
    return m_OpenedSocket != INVALID_SOCKET;
}

void COutput::Begin(ITrafficTap* viewers, CProgramDirectory* programs, bool announce)
{
    // A run that sends otherwise than the previous one is described with
    // another version, also to a receiver that kept the previous one's.
    SSapSession session = Session();
    if (m_bBegun)
        session.Version = m_RunSession.Version + (SameDescription(m_RunSession, session) ? 0 : 1);
    m_RunSession = session;
    m_bBegun = true;
    PrepareAnnouncement(announce);
    // The chunk length and the framing stay as they are now until the stream stops.
    m_nChunkSize = m_Settings.Packets * kTsPacketSize;
    Reset();
    // Like the aligner, the filter starts empty: the stream begins with a PAT
    // and a PMT of the programs, and no packet of the previous run is held.
    m_RunPrograms = m_Settings.Programs;
    m_ShownRunPrograms = m_Settings.Programs;
    m_ProgramFeed.Reset(m_RunPrograms);
    m_nProgramsPresent.store(-1, std::memory_order_relaxed);
    m_nCutPacketsHeld = 0;
    m_pViewers = viewers;
    m_pPrograms = programs;
    // A traffic call that passed the flag test before the last stop may still
    // be on its way to a send: under the lock it sees either no socket or the
    // new socket with the whole new destination and framing.
    SafeCriticalSection guard(*m_pLock);
    m_nProgramsPending.store(0, std::memory_order_relaxed);
    m_Socket = m_OpenedSocket;
    m_OpenedSocket = INVALID_SOCKET;
    m_DestAddr = m_StartAddr;
    m_Stream.Begin(m_Settings.Send.Protocol, m_Settings.Send.Fec, RunTimestamps(m_Settings.Send),
                   PerformanceFrequency(), PerformanceCounter);
    BeginFec(m_DestAddr);
}

void COutput::Abandon()
{
    if (m_OpenedSocket == INVALID_SOCKET)
        return;
    closesocket(m_OpenedSocket);
    m_OpenedSocket = INVALID_SOCKET;
}

// Under the lock.
bool COutput::SendTo(const sockaddr_in& destination, const unsigned char* datagram, int size) const
{
    return sendto(m_Socket, reinterpret_cast<const char*>(datagram), size, 0,
                  reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == size;
}

void COutput::Finish()
{
    if (m_Socket == INVALID_SOCKET)
        return;
    // Players drop the session at once instead of when its announcements stop.
    if (m_bAnnounced)
        SendAnnouncement(m_Announced, true);
    m_bAnnounced = false;
    // The null-packet datagrams that complete the last matrix are not the
    // host's traffic: the byte total leaves them out.
    auto send = [this](const unsigned char* datagram, int size) { return SendTo(m_DestAddr, datagram, size); };
    auto sendFec = [this](EFecDirection direction, const unsigned char* packet, int size) {
        return SendTo(FecAddress(direction), packet, size);
    };
    m_Stream.Finish(m_nChunkSize, send, sendFec, GetTickCount, WSAGetLastError);
    closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

void COutput::Feed(unsigned char* data, int length)
{
    if (m_nProgramsPending.load(std::memory_order_acquire) != 0)
        SwitchPrograms();
    if (m_RunPrograms.Count == 0)
    {
        FeedInPacketSteps(*this, data, length);
        return;
    }
    // The URL server's whole-stream viewers get the source, not the cut.
    m_ProgramFeed.Feed(*this, data, length, m_nProgramsPresent,
                       [this](const unsigned char* packets, int count) { ObserveSource(packets, count); });
}

// Traffic thread: whole packets of the source, as the program feed found them
// where it cuts. The program list looks at two PIDs; the URL server's viewers
// take the rest.
void COutput::ObserveSource(const unsigned char* packets, int count)
{
    if (m_pPrograms != nullptr)
        for (int p = 0; p < count; ++p)
            m_pPrograms->Observe(packets + p * kTsPacketSize);
    if (m_pViewers != nullptr)
        m_pViewers->PutTraffic(packets, count * kTsPacketSize);
}

void COutput::ChangePrograms(const SProgramSelection& programs)
{
    bool same = programs.Count == m_ShownRunPrograms.Count;
    for (int i = 0; same && i < programs.Count; ++i)
        same = programs.Numbers[i] == m_ShownRunPrograms.Numbers[i];
    if (same || !Running())
        return;
    m_ShownRunPrograms = programs;
    m_nProgramsPresent.store(-1, std::memory_order_relaxed);
    SafeCriticalSection guard(*m_pLock);
    m_PendingPrograms = programs;
    m_nProgramsPending.store(1, std::memory_order_release);
}

// Traffic thread, before a host block: the stream goes on with the queued
// choice. Datagrams keep their sequence (the aligner carries on), and
// nothing of the source is lost between the two paths: a packet that one
// path holds in part goes to the other, and the viewers of the whole stream
// get every source packet once.
void COutput::SwitchPrograms()
{
    SProgramSelection next;
    {
        SafeCriticalSection guard(*m_pLock);
        next = m_PendingPrograms;
        m_nProgramsPending.store(0, std::memory_order_relaxed);
    }
    const bool wasWhole = m_RunPrograms.Count == 0;
    if (wasWhole && next.Count == 0)
        return;
    // Where the source's PAT left off, for a cut that follows the whole stream.
    const int patVersion = m_pPrograms != nullptr ? m_pPrograms->LatestPatVersion() : -1;
    const int patContinuity = m_pPrograms != nullptr ? m_pPrograms->LatestPatContinuity() : -1;
    if (wasWhole)
    {
        // The aligner holds whole source packets, which the viewers get now
        // (they leave in the next datagram), and perhaps the start of one,
        // which the program feed completes from the next block.
        // (A switch back and forth within one chunk: the cut's packets in
        // front of them are not the viewers'.)
        const int whole = m_nBuffered / kTsPacketSize * kTsPacketSize;
        const int cut = m_nCutPacketsHeld < whole / kTsPacketSize ? m_nCutPacketsHeld : whole / kTsPacketSize;
        ObserveSource(m_Buffer + cut * kTsPacketSize, whole / kTsPacketSize - cut);
        m_nCutPacketsHeld = 0;
        m_ProgramFeed.Reselect(next, patVersion, patContinuity);
        m_ProgramFeed.HoldPartial(m_Buffer + whole, m_nBuffered - whole);
        m_nBuffered = whole;
        m_RunPrograms = next;
    }
    else if (next.Count == 0)
    {
        // The aligner holds whole packets of the cut; the feed perhaps the
        // start of a source packet, which the aligner completes from the
        // next block (it cannot complete a chunk: fewer than 188 bytes on
        // top of fewer than a chunk's whole packets).
        m_nCutPacketsHeld = m_nBuffered / kTsPacketSize;
        m_RunPrograms = next;
        unsigned char partial[kTsPacketSize];
        const int count = m_ProgramFeed.TakePartial(partial);
        if (count > 0)
            ReceiveNotAlignedTraffic(partial, count);
    }
    else
    {
        m_ProgramFeed.Reselect(next, patVersion, patContinuity);
        m_RunPrograms = next;
    }
    m_nProgramsPresent.store(-1, std::memory_order_relaxed);
}

void COutput::ReceiveAlignedTraffic(unsigned char* data, int length)
{
    // Outside the lock: the viewers' rings take the chunk without waiting.
    // With programs chosen, the aligner carries the cut stream: the viewers
    // get the source packets from the program feed.
    if (m_RunPrograms.Count == 0)
    {
        // After a switch back to the whole stream, the first chunk begins
        // with packets of the cut that the viewers must not get.
        int skip = m_nCutPacketsHeld;
        if (skip > length / kTsPacketSize)
            skip = length / kTsPacketSize;
        m_nCutPacketsHeld -= skip;
        ObserveSource(data + skip * kTsPacketSize, length / kTsPacketSize - skip);
    }
    // A change between failing and succeeding goes to the host's log after the
    // lock is released: a debugger attached to the host may hold the call.
    bool changed = false;
    CSendFailures failures;
    sockaddr_in destination;
    {
        SafeCriticalSection guard(*m_pLock);
        // A traffic call that passed the flag test just before a stop finds
        // the socket closed: there is nothing to send on.
        if (m_Socket == INVALID_SOCKET)
            return;
        auto send = [this](const unsigned char* datagram, int size) { return SendTo(m_DestAddr, datagram, size); };
        auto sendFec = [this](EFecDirection direction, const unsigned char* packet, int size) {
            return SendTo(FecAddress(direction), packet, size);
        };
        const long long accepted =
            m_Stream.Send(data, length, m_nChunkSize, send, sendFec, GetTickCount, WSAGetLastError);
        // Only this thread adds to the total: a plain load and store suffice.
        if (accepted != 0)
            m_pTotalBytes->store(m_pTotalBytes->load(std::memory_order_relaxed) + accepted,
                                 std::memory_order_relaxed);
        changed = m_Stream.Failures().TakeChange();
        if (changed)
        {
            failures = m_Stream.Failures();
            destination = m_DestAddr;
        }
    }
    if (changed)
        LogSendingChange(failures, destination, m_bNameInLog ? m_nNumber : 0);
}

// The running stream's destination and packets per datagram, as it started.
// Only this thread starts a stream, so they are read without the lock.
void COutput::TakeRunningSettings()
{
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&m_DestAddr.sin_addr);
    wchar_t address[kAddressCapacity];  // at most 15 characters
    wsprintfW(address, L"%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    CopyZeroFilled(m_Settings.szAddress, address);
    m_Settings.Port = ntohs(m_DestAddr.sin_port);
    SetPacketsPerDatagram(m_nChunkSize / kTsPacketSize, true);
}
