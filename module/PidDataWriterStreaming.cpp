// The stream: Start and Stop, and the traffic path from the host's blocks to
// the datagrams.

#include "PidDataWriter.h"

#include <cstring>

#include "OptionsValues.h"
#include "programs/ProgramFeed.h"
#include "rtp/RtpFraming.h"
#include "SocketErrorText.h"
#include "TextCapacities.h"

using namespace KelvModuleApi2;

namespace
{
constexpr int32_t kFilterRecordSize = 80;
constexpr int32_t kFilterValue60 = 5;
constexpr char kFilterName[] = "Tovrin TS Streamer";
static_assert(sizeof(kFilterName) == 19, "the filter name's zero sits at offset 26");
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
void LogSendingChange(const CSendFailures& failures, const sockaddr_in& destination)
{
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&destination.sin_addr);
    const unsigned port = ntohs(destination.sin_port);
    wchar_t line[kDialogTextCapacity + 64];
    if (failures.Failing())
    {
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(failures.LastError(), reason);
        wsprintfW(line, L"Tovrin TS Streamer: sending to %u.%u.%u.%u:%u fails: %s\n", ip[0], ip[1], ip[2], ip[3],
                  port, reason);
    }
    else
    {
        wsprintfW(line, L"Tovrin TS Streamer: sending to %u.%u.%u.%u:%u succeeds again (%I64u datagrams not sent)\n",
                  ip[0], ip[1], ip[2], ip[3], port, failures.RefusedInEpisode());
    }
    OutputDebugStringW(line);
}
}  // namespace

// ---------------------------------------------------------------------------
// Streaming

bool CPidDataWriter::DeviceDeliversTransportStream()
{
    IDeviceModule* device = m_CreateParams.pDevice;
    if (device == nullptr)
        return false;
    SModuleInfo info;
    std::memset(&info, 0, sizeof info);
    info.Size = sizeof info;
    device->GetDeviceInfo(&info);
    return info.TransportType == SModuleInfo::ETT_TransportStream;
}

// A dotted IPv4 address outside 0.0.0.0/8: a text that inet_addr would turn
// into the broadcast address must not become a destination, nor "any" or an
// address of "this network", which names no receiver.
bool CPidDataWriter::DestinationFromSettings(sockaddr_in& destination) const
{
    unsigned char octets[4];
    char address[kAddressCapacity];
    NarrowAddress(m_szIPAddress, address);
    in_addr parsed{};
    if (!ParseDottedQuad(m_szIPAddress, octets) || inet_pton(AF_INET, address, &parsed) != 1 ||
        octets[0] == 0)
        return false;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(m_wUdpPort);
    destination.sin_addr = parsed;
    return true;
}

void CPidDataWriter::StartWrite()
{
    if (m_bStreaming.load(std::memory_order_relaxed) != 0)
        return;
    StopWrite();
    m_szStartRefusal[0] = 0;
    // The optional keys are added by hand while the host runs: each Start
    // takes them as the INI file holds them now.
    LoadSendOptions();
    if (!DeviceDeliversTransportStream())
        return;
    // Streaming from another interface than the user named is worse than not
    // streaming: such a start ends before anything is registered.
    if (!CheckLocalAddress(m_SendOptions, m_szStartRefusal))
        return;

    sockaddr_in destination;
    if (!DestinationFromSettings(destination))
    {
        wsprintfW(m_szStartRefusal, kRefusedAddressFormat, m_szIPAddress);
        return;
    }
    if (RefuseFecStart())
        return;

    // Before anything is registered: a port that cannot be had refuses the start.
    if (!StartHttpServer())
        return;

    m_llTotalBytes.store(0, std::memory_order_relaxed);
    m_dwStartTick.store(GetTickCount(), std::memory_order_relaxed);
    m_nRefusedAtLastStatus = 0;

    SEngineFilter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.Size = kFilterRecordSize;
    std::memcpy(filter.Name, kFilterName, sizeof kFilterName);
    filter.Value60 = kFilterValue60;
    filter.pReceiver = static_cast<SEngineFilter::IReceiver*>(this);
    m_nFilterHandle = m_CreateParams.pDevice->AddEngineFilter(&filter);
    // From here on traffic may arrive; it is dropped until the flag is set.

    UpdateControlsEnable();

    if (WSAStartup(MAKEWORD(2, 2), &m_WsaData) == 0)
        ++m_nWsaStartups;
    // The destination was checked above: a text that inet_addr would have made
    // 255.255.255.255 never reaches the socket that may broadcast.
    const SOCKET udp = OpenUdpSender(m_SendOptions, destination, m_szStartRefusal);
    if (udp == INVALID_SOCKET)
    {
        // A start without a socket must not look like a running stream.
        if (m_nWsaStartups > 0)
        {
            WSACleanup();
            --m_nWsaStartups;
        }
        StopWrite();
        return;
    }

    // The chunk length and the framing stay as they are now until the stream stops.
    m_nChunkSize = m_nTS * kTsPacketSize;
    Reset();
    // Like the aligner, the filter starts empty: the stream begins with a PAT
    // and a PMT of the programs, and no packet of the previous run is held.
    m_RunPrograms = m_Programs;
    m_ProgramFeed.Reset(m_RunPrograms);
    m_nProgramsPresent.store(-1, std::memory_order_relaxed);
    {
        // A traffic call that passed the flag test before the last stop may
        // still be on its way to a send: under the lock it sees either no
        // socket or the new socket with the whole new destination and framing.
        SafeCriticalSection guard(m_cs);
        m_Socket = udp;
        m_DestAddr = destination;
        m_RunFraming = m_SendOptions.Protocol;
        m_RunFec = m_SendOptions.Fec;
        m_SendFailures.Reset();
        BeginFec(destination);
        m_RtpTimestamps.Begin(RunTimestamps(m_SendOptions), PerformanceFrequency(), PerformanceCounter);
    }
    // Release: a traffic call that sees the flag also sees the chunk length
    // and the emptied aligner.
    m_bStreaming.store(1, std::memory_order_release);
}

void CPidDataWriter::StopWrite()
{
    m_cs.Lock();
    m_bStreaming.store(0, std::memory_order_relaxed);
    if (m_Socket != INVALID_SOCKET)
    {
        FinishFec();  // the last matrix goes out before the socket closes
        closesocket(m_Socket);
        m_Socket = INVALID_SOCKET;
    }
    m_cs.Unlock();

    // Outside the lock: the host may wait here for a traffic call to finish,
    // and that call may be waiting for the lock.
    if (m_nFilterHandle != 0)
    {
        if (m_CreateParams.pDevice != nullptr)
            m_CreateParams.pDevice->RemoveEngineFilter(m_nFilterHandle);
        m_nFilterHandle = 0;
    }
    m_HttpServer.Stop();  // every viewer's connection closes with it
}

// Under m_cs.
bool CPidDataWriter::SendTo(const sockaddr_in& destination, const unsigned char* datagram, int size)
{
    return sendto(m_Socket, reinterpret_cast<const char*>(datagram), size, 0,
                  reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == size;
}

void CPidDataWriter::EngineFilter_ReceiveTraffic(unsigned char* data, int length)
{
    ReceiveTraffic(data, length);
}

void CPidDataWriter::ReceiveTraffic(unsigned char* data, int length)
{
    if (m_bStreaming.load(std::memory_order_acquire) == 0)
        return;
    if (m_RunPrograms.Count == 0)
    {
        FeedInPacketSteps(*this, data, length);
        return;
    }
    // The URL server's whole-stream viewers get the source, not the cut.
    m_ProgramFeed.Feed(*this, data, length, m_nProgramsPresent, [this](const unsigned char* packets, int count) {
        m_HttpServer.PutTraffic(packets, count * kTsPacketSize);
    });
}

void CPidDataWriter::ReceiveAlignedTraffic(unsigned char* data, int length)
{
    // Outside the lock: the viewers' rings take the chunk without waiting.
    // With programs chosen, the aligner carries the cut stream: the viewers
    // had the source packets before the cut.
    if (m_RunPrograms.Count == 0)
        m_HttpServer.PutTraffic(data, length);
    // A change between failing and succeeding goes to the host's log after the
    // lock is released: a debugger attached to the host may hold the call.
    bool changed = false;
    CSendFailures failures;
    sockaddr_in destination;
    {
        SafeCriticalSection guard(m_cs);
        // A traffic call that passed the flag test just before a stop finds
        // the socket closed: there is nothing to send on.
        if (m_Socket == INVALID_SOCKET)
            return;
        auto send = [this](const unsigned char* datagram, int size) { return SendTo(m_DestAddr, datagram, size); };
        auto sendFec = [this](EFecDirection direction, const unsigned char* packet, int size) {
            SendFecPacket(direction, packet, size);
        };
        const long long accepted =
            SendChunks(data, length, m_nChunkSize, m_RunFraming, m_wRtpSeq, m_dwRtpTimestamp, m_RtpTimestamps,
                       ProtectedBy(m_Fec, m_SendFailures.Counting(send, GetTickCount, WSAGetLastError), sendFec));
        // Only this thread adds to the total: a plain load and store suffice.
        if (accepted != 0)
            m_llTotalBytes.store(m_llTotalBytes.load(std::memory_order_relaxed) + accepted,
                                 std::memory_order_relaxed);
        changed = m_SendFailures.TakeChange();
        if (changed)
        {
            failures = m_SendFailures;
            destination = m_DestAddr;
        }
    }
    if (changed)
        LogSendingChange(failures, destination);
}
