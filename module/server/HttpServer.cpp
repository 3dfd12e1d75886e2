// The URL server's object: Start and Stop on the module's thread, the
// server thread's own loop (Run), and what other threads read of it.

#include "server/HttpServer.h"

#include <cstring>
#include <new>

#include "net/SocketErrorText.h"
#include "net/UdpSender.h"
#include "settings/OptionKeys.h"
#include "server/HttpServerLoop.h"

namespace
{
bool IsPrivateAddress(uint32_t a)
{
    return (a >> 24) == 10 || (a >> 20) == (172u << 4 | 1) || (a >> 16) == (192u << 8 | 168);
}

void CopyEventsNow(const SGuideNowList& from, SGuideNowList& to)
{
    to.Count = from.Count;
    for (int i = 0; i < from.Count; ++i)
        to.Services[i] = from.Services[i];
}
}  // namespace

CHttpServer::CHttpServer() = default;

CHttpServer::~CHttpServer()
{
    Stop();
}

// The computer's name (UTF-8, "PC" when Windows cannot say) and what the
// tuner clients and TVs know this server by, from that name and the port.
static void NameThisServer(uint16_t port, SHttpConnections& connections)
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    char* utf8 = connections.ComputerName;
    const int written = GetComputerNameW(name, &length)
                            ? WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), utf8,
                                                  static_cast<int>(sizeof connections.ComputerName) - 1, nullptr, nullptr)
                            : 0;
    if (written <= 0)
        lstrcpyA(utf8, "PC");
    else
        utf8[written] = 0;
    connections.TunerId = TunerDeviceId(utf8, port);
    FormatUuid(MediaServerUuid(utf8, port), connections.Udn);
}

bool CHttpServer::Start(const SHttpOptions& options, wchar_t (&refusal)[kHttpRefusalCapacity])
{
    refusal[0] = 0;
    Stop();
    m_Options = options;
    // No entry is ever taken from a cut list: it could let in more than
    // the user wrote.
    if (options.AllowTooLong != 0)
    {
        lstrcpynW(refusal, kHttpAllowTooLongReason, kHttpRefusalCapacity);
        return false;
    }

    std::unique_ptr<SHttpConnections> connections(new (std::nothrow) SHttpConnections);
    if (connections == nullptr)
    {
        wsprintfW(refusal, L"Cannot listen on port %u: not enough memory", static_cast<unsigned>(options.Port));
        return false;
    }
    if (options.szAllow[0] != 0)
        connections->Allow.Parse(options.szAllow);
    NameThisServer(options.Port, *connections);

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0)
        ++m_nWsaStartups;

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(options.Port);
    if (options.HasAddress != 0)
        std::memcpy(&address.sin_addr, options.Address, 4);

    int error = 0;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        error = WSAGetLastError();
    if (error == 0)
    {
        // No other program may take over the port while the server has it.
        BOOL exclusive = TRUE;
        setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive);
        u_long nonBlocking = 1;
        if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, kListenBacklog) != 0 || ioctlsocket(listener, FIONBIO, &nonBlocking) != 0)
            error = WSAGetLastError();
    }
    if (error != 0)
    {
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(error, reason);
        wsprintfW(refusal, L"Cannot listen on port %u: %.90s", static_cast<unsigned>(options.Port), reason);
        if (listener != INVALID_SOCKET)
            closesocket(listener);
        Stop();  // releases the socket library again
        return false;
    }

    // The address the dialog shows: the one listened on, else one of this
    // PC on a private network, else loopback.
    m_ShownAddress = HostOrder(address.sin_addr);
    if (options.HasAddress == 0)
    {
        m_ShownAddress = 0x7F000001;
        VisitAddressesOfThisMachine(
            [](uint32_t candidate, void* context) {
                const uint32_t a = ntohl(candidate);
                if (!IsPrivateAddress(a))
                    return true;
                *static_cast<uint32_t*>(context) = a;
                return false;
            },
            &m_ShownAddress);
    }

    if (m_pFanOut == nullptr)
        m_pFanOut.reset(new (std::nothrow) CViewerFanOut);
    if (m_pFanOut == nullptr)
    {
        wsprintfW(refusal, L"Cannot listen on port %u: not enough memory", static_cast<unsigned>(options.Port));
        closesocket(listener);
        Stop();
        return false;
    }
    {
        // This run's outputs come with UseOutputs; none of the previous run's.
        SafeCriticalSection lock(m_Outputs.Lock);
        m_Outputs.Outputs.Count = 0;
        ++m_Outputs.Changes;
    }
    m_Listener = listener;
    m_Connections = std::move(connections);
    {
        // Without memory for it the dialog shows no events; nothing else changes.
        SafeCriticalSection lock(m_GuideNowLock);
        if (m_pGuideNow == nullptr)
            m_pGuideNow.reset(new (std::nothrow) SGuideNowList);
        if (m_pGuideNow != nullptr)
            m_pGuideNow->Count = 0;
    }
    m_pFanOut->ForgetStream();
    m_pFanOut->UseProgramDirectory(m_pPrograms);
    m_bStopRequested.store(false);
    m_hThread = CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr);
    if (m_hThread == nullptr)
    {
        const DWORD threadError = GetLastError();
        wsprintfW(refusal, L"Cannot listen on port %u: no server thread (error %lu)",
                  static_cast<unsigned>(options.Port), threadError);
        closesocket(m_Listener);
        m_Listener = INVALID_SOCKET;
        Stop();
        return false;
    }
    m_bAccepting.store(true, std::memory_order_release);
    return true;
}

void CHttpServer::Stop()
{
    m_bAccepting.store(false, std::memory_order_release);
    if (m_hThread != nullptr)
    {
        m_bStopRequested.store(true);
        WaitForSingleObject(m_hThread, INFINITE);  // one poll period; the thread waits for nothing else
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    if (m_Listener != INVALID_SOCKET)
    {
        closesocket(m_Listener);
        m_Listener = INVALID_SOCKET;
    }
    m_Connections.reset();
    for (; m_nWsaStartups > 0; --m_nWsaStartups)
        WSACleanup();
}

void CHttpServer::FormatUrl(wchar_t (&text)[kHttpUrlCapacity]) const
{
    text[0] = 0;
    if (!Running())
        return;
    const uint32_t a = m_ShownAddress;
    wsprintfW(text, L"http://%u.%u.%u.%u:%u/", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255,
              static_cast<unsigned>(m_Options.Port));
}

DWORD WINAPI CHttpServer::ThreadEntry(void* self)
{
    static_cast<CHttpServer*>(self)->Run();
    return 0;
}

void CHttpServer::Run()
{
    CServerLoop loop(m_Listener, *m_Connections, *m_pFanOut, m_Options, m_Outputs);
    std::unique_ptr<SHttpViewerSnapshot> viewers(new (std::nothrow) SHttpViewerSnapshot);
    std::unique_ptr<SGuideNowList> eventsNow(new (std::nothrow) SGuideNowList);
    constexpr DWORD kEventsNowPeriodMs = 1000;  // the dialog shows them each second
    DWORD eventsListedAt = GetTickCount() - kEventsNowPeriodMs;
    while (!m_bStopRequested.load())
    {
        loop.Round();
        // Built outside the lock: a reader waits only for the copy.
        if (viewers != nullptr)
        {
            loop.ListViewers(*viewers);
            SafeCriticalSection lock(m_ViewersLock);
            m_Viewers = *viewers;
        }
        if (eventsNow != nullptr && GetTickCount() - eventsListedAt >= kEventsNowPeriodMs)
        {
            eventsListedAt = GetTickCount();
            loop.ListEventsNow(*eventsNow);
            SafeCriticalSection lock(m_GuideNowLock);
            if (m_pGuideNow != nullptr)
                CopyEventsNow(*eventsNow, *m_pGuideNow);
        }
    }
    loop.CloseAll(L"the stream stopped");
    {
        SafeCriticalSection lock(m_GuideNowLock);
        if (m_pGuideNow != nullptr)
            m_pGuideNow->Count = 0;
    }
    SafeCriticalSection lock(m_ViewersLock);
    m_Viewers.Count = 0;
}

void CHttpServer::SnapshotGuideNow(SGuideNowList& events) const
{
    SafeCriticalSection lock(m_GuideNowLock);
    events.Count = 0;
    if (m_pGuideNow != nullptr)
        CopyEventsNow(*m_pGuideNow, events);
}

void CHttpServer::UseOutputs(const SServedOutputs& outputs)
{
    SafeCriticalSection lock(m_Outputs.Lock);
    m_Outputs.Outputs = outputs;
    ++m_Outputs.Changes;
}

void CHttpServer::SnapshotViewers(SHttpViewerSnapshot& viewers) const
{
    SafeCriticalSection lock(m_ViewersLock);
    viewers.Count = m_Viewers.Count;
    for (int i = 0; i < m_Viewers.Count; ++i)
        viewers.Viewers[i] = m_Viewers.Viewers[i];
}
