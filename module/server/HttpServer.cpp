// Before winsock2.h: the socket sets must hold every connection and the
// listener; Winsock's default of 64 would not.
#define FD_SETSIZE 128

#include "server/HttpServer.h"

#include <ws2tcpip.h>

#include <cstdarg>
#include <cstring>
#include <new>

#include "net/SocketErrorText.h"
#include "net/UdpSender.h"
#include "http/HttpPages.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/IndexPage.h"
#include "http/NetworkAllowList.h"
#include "http/RefusalLog.h"
#include "http/StreamRing.h"
#include "http/XmltvWriter.h"

namespace
{
// Connections still sending their request. More at once are closed at
// accept: a flood of silent connections must not crowd out the viewers.
constexpr int kMaxPendingRequests = 16;
// Clients outside HttpAllow get their 403 from places of their own, so that
// anyone who reaches the port cannot keep viewers out; more at once are
// closed at accept.
constexpr int kMaxOutsiderRefusals = 8;
constexpr int kMaxConnections = kMaxViewers + kMaxPendingRequests + kMaxOutsiderRefusals;
static_assert(FD_SETSIZE >= kMaxConnections + 1, "every connection and the listener fit one socket set");

constexpr DWORD kRequestTimeMs = 5000;   // a request head takes a player milliseconds
constexpr DWORD kStallTimeMs = 10000;    // a viewer that takes nothing this long is gone or stuck
constexpr DWORD kLingerTimeMs = 1000;    // after an answer: time for the client to read it and close
constexpr DWORD kAcceptRetryMs = 100;    // a failing accept is tried again this often, not in a loop
// The traffic thread never signals the server (that would be a system call
// on its path): while viewers watch, the loop looks at their rings this
// often. At 60 Mbit/s that is 75 KB a viewer, far below a ring.
constexpr long kPollMicroseconds = 10000;
// With nobody watching, select() wakes for every connection and request by
// itself; the loop only looks for Stop and the time limits this often.
constexpr long kIdlePollMicroseconds = 200000;
constexpr size_t kSendSliceBytes = 256 * 1024;  // per viewer and round, so that one fast viewer cannot starve the others
// A viewer's stream is copied out of its shared ring (and checked) before it
// is sent, this much at a time: the traffic thread may write over the ring
// while send() reads.
constexpr size_t kViewerCopyBytes = 64 * 1024;
constexpr int kListenBacklog = 16;
constexpr int kPathLogCapacity = kHttpViewerPathCapacity;  // the path in the log and the dialog, cut
// Each /epg.xml reply is a buffer of the whole document (17.7 MB for the
// pool full of a dense week, see README): at most this many are being sent
// at once, the others get 503 with Retry-After.
constexpr int kMaxGuideReplies = 2;
// A client that takes the guide slower than this keeps others from it.
constexpr DWORD kGuideReplyTimeMs = 120000;

enum class EConnection
{
    Free,
    Reading,    // request head arriving
    Replying,   // head (and page) being sent; Draining after it
    Streaming,  // head, then the viewer's ring, until it leaves or falls behind
    Draining,   // reply handed over: reading until the client closes (or kLingerTimeMs, then reset)
};

struct SConnection
{
    EConnection State = EConnection::Free;
    SOCKET Socket = INVALID_SOCKET;
    sockaddr_in Peer{};
    sockaddr_in Local{};
    DWORD Since = 0;               // accepted at, or the reply done at (Draining)
    DWORD LastProgress = 0;        // the client last took bytes
    bool Logged = false;           // its connect line went out: its disconnect line follows
    bool Outsider = false;         // not in HttpAllow: holds one of the outsiders' places
    size_t nRequest = 0;
    char Request[kHttpRequestLimit];
    std::unique_ptr<char[]> Reply; // head, and the body of a page
    bool GuideReply = false;       // Reply holds the guide: counts against kMaxGuideReplies
    size_t nReply = 0;
    size_t nReplySent = 0;
    int Slot = -1;                      // a viewer's place in the fan-out
    uint16_t Program = 0;               // a viewer's program; 0: the whole transponder
    uint64_t nSent = 0;                 // bytes the client took, heads included
    uint64_t StreamingSince = 0;        // FILETIME at which its stream began
    char Path[kPathLogCapacity] = {};
};
}  // namespace

struct SHttpConnections
{
    SConnection Items[kMaxConnections];
    CNetworkAllowList Allow;
    SProgramList Programs;
    CGuideCollector Guide;   // the programme guide, collected on the server thread
    SXmltvScratch Xmltv;
    SIndexPageScratch PageScratch;
    unsigned char ViewerCopy[kViewerCopyBytes];  // what a viewer is sent next, out of its ring
    SServedOutputs Outputs;      // as the server describes them (names, versions)
    uint32_t OutputChanges = 0;  // the mailbox's count when they were taken
    static_assert(kPlaylistCapacity >= kSapPacketCapacity, "a description fits where a playlist does");
    char Page[kPlaylistCapacity];  // a playlist or a description; the page is measured and made per request
};

namespace
{
uint32_t HostOrder(const in_addr& address)
{
    return ntohl(address.s_addr);
}

bool IsPrivateAddress(uint32_t a)
{
    return (a >> 24) == 10 || (a >> 20) == (172u << 4 | 1) || (a >> 16) == (192u << 8 | 168);
}

constexpr wchar_t kLogPrefix[] = L"Tovrin TS Streamer: HTTP ";
constexpr int kLogLineCapacity = 400;

// Writes the line in `line`, `n` characters of it written, completed as
// `format` says (wsprintfW's format: %S for 8-bit text).
void PutLogLine(wchar_t (&line)[kLogLineCapacity], int n, const wchar_t* format, va_list args)
{
    n += wvsprintfW(line + n, format, args);  // every argument is bounded: the line holds the longest
    line[n++] = L'\n';
    line[n] = 0;
    OutputDebugStringW(line);
}

// One line in the host's log about one client: "HTTP a.b.c.d:port " and
// the rest as `format` says.
void Log(const sockaddr_in& peer, const wchar_t* format, ...)
{
    const uint32_t ip = HostOrder(peer.sin_addr);
    wchar_t line[kLogLineCapacity];
    const int n = wsprintfW(line, L"%s%u.%u.%u.%u:%u ", kLogPrefix, ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255,
                            ip & 255, static_cast<unsigned>(ntohs(peer.sin_port)));
    va_list args;
    va_start(args, format);
    PutLogLine(line, n, format, args);
    va_end(args);
}

// One line about the server itself: "HTTP " and the rest.
void LogServer(const wchar_t* format, ...)
{
    wchar_t line[kLogLineCapacity];
    const int n = wsprintfW(line, L"%s", kLogPrefix);
    va_list args;
    va_start(args, format);
    PutLogLine(line, n, format, args);
    va_end(args);
}

// Closes `s` with a reset instead of a FIN: nothing still queued for the
// client is sent, and the connection is gone at once. Windows refuses the
// listener's exclusive bind at the next Start while a connection accepted
// on the port is still active, and one closed gracefully stays active as
// long as its client does not read (a paused player, an idle TV) or, after
// the server's FIN, in TIME_WAIT.
void CloseAbortively(SOCKET s)
{
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(s);
}

// The path as the request line has it, for the log: printable ASCII only,
// cut. The parser has accepted the head, so the request line is there.
void CopyPathForLog(const char* request, size_t length, char (&path)[kPathLogCapacity])
{
    size_t i = 0;
    while (i < length && request[i] != ' ')
        ++i;
    ++i;
    int n = 0;
    for (; i < length && request[i] != ' ' && request[i] != '\r' && request[i] != '\n' && n < kPathLogCapacity - 1; ++i)
        path[n++] = (request[i] > 0x20 && request[i] < 0x7F) ? request[i] : '?';
    path[n] = 0;
}

// The reply buffer of a connection, `size` bytes; false when there is no
// memory for it (the connection is then closed).
bool MakeReply(SConnection& c, size_t size)
{
    c.Reply.reset(new (std::nothrow) char[size]);
    c.nReply = 0;
    c.nReplySent = 0;
    return c.Reply != nullptr;
}
}  // namespace

CHttpServer::CHttpServer() = default;

CHttpServer::~CHttpServer()
{
    Stop();
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
        wsprintfW(refusal, L"HttpAllow is longer than %d characters: shorten the list", kHttpAllowMaxLength);
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

// ---------------------------------------------------------------------------
// The server thread

namespace
{
class CServerLoop
{
public:
    CServerLoop(SOCKET listener, SHttpConnections& connections, CViewerFanOut& fanOut, const SHttpOptions& options,
                SOutputsMailbox& outputs)
        : m_Listener(listener), m_Connections(connections), m_FanOut(fanOut), m_Options(options), m_Outputs(outputs)
    {
    }

    void Round();
    void CloseAll(const wchar_t* why);
    void ListViewers(SHttpViewerSnapshot& viewers) const;
    void ListEventsNow(SGuideNowList& events);

private:
    void CollectGuide();
    void AnswerGuide(SConnection& c, bool head);
    int GuideReplies() const;
    void AnswerPage(SConnection& c, const SHttpRequest& request, bool head);
    void AnswerPlaylist(SConnection& c, const SHttpRequest& request, bool head);
    void AnswerOutputDescription(SConnection& c, uint16_t number, bool head);
    void ReplyWith(SConnection& c, bool head, const char* type, const char* body, size_t length);
    void TakeOutputs();
    void HostForUrls(const SConnection& c, const SHttpRequest& request, char (&host)[kHttpHostTextCapacity]) const;
    void Accept();
    void AcceptFailed(int error);
    void NoteRefusal(const sockaddr_in& peer, const wchar_t* why);
    void Read(SConnection& c);
    void Answer(SConnection& c, const SHttpRequest& request, EHttpParse outcome);
    void Refuse(SConnection& c, int status, bool withBody);
    void Send(SConnection& c);
    void Drain(SConnection& c);
    void Sweep(SConnection& c, DWORD now);
    // Abortively, unless the client has closed first after its answer.
    void Close(SConnection& c, const wchar_t* why, bool clientClosedFirst = false);
    int Pending() const;
    int Outsiders() const;

    SOCKET m_Listener;
    SHttpConnections& m_Connections;
    CViewerFanOut& m_FanOut;
    const SHttpOptions& m_Options;
    SOutputsMailbox& m_Outputs;
    CRefusalLog m_RefusalLog;
    sockaddr_in m_LatestRefused{};         // the latest refusal counted without a line of its own
    const wchar_t* m_LatestRefusal = L"";  // and why
    bool m_bAcceptFailing = false;         // its line went out; the listener rests between tries
    DWORD m_AcceptFailedAt = 0;
};

int CServerLoop::Pending() const
{
    int pending = 0;
    for (const SConnection& c : m_Connections.Items)
        pending += c.State == EConnection::Reading ? 1 : 0;
    return pending;
}

int CServerLoop::GuideReplies() const
{
    int replies = 0;
    for (const SConnection& c : m_Connections.Items)
        replies += c.State == EConnection::Replying && c.GuideReply ? 1 : 0;
    return replies;
}

int CServerLoop::Outsiders() const
{
    int outsiders = 0;
    for (const SConnection& c : m_Connections.Items)
        outsiders += c.State != EConnection::Free && c.Outsider ? 1 : 0;
    return outsiders;
}

SGuideClock GuideClock()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
    SGuideClock clock;
    clock.PcUtc = (ticks - 116444736000000000LL) / 10000000;  // 100 ns since 1601 -> s since 1970
    clock.MonotonicMs = static_cast<int64_t>(GetTickCount64());
    return clock;
}

// The guide's table packets that the traffic thread queued since the last round.
void CServerLoop::CollectGuide()
{
    CGuideFeed& feed = m_FanOut.Guide();
    const SGuideClock clock = GuideClock();
    for (int n = 0; n < kGuideFeedPackets; ++n)
    {
        const unsigned char* packet = feed.Front();
        if (packet == nullptr)
            break;
        m_Connections.Guide.PutPacket(packet, clock);
        feed.Pop();
    }
    m_Connections.Guide.Tick(clock);
}

void CServerLoop::Round()
{
    CollectGuide();
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    const bool listening = !m_bAcceptFailing || GetTickCount() - m_AcceptFailedAt >= kAcceptRetryMs;
    if (listening)
        FD_SET(m_Listener, &readable);
    bool watched = false;
    for (SConnection& c : m_Connections.Items)
    {
        switch (c.State)
        {
        case EConnection::Free:
            break;
        case EConnection::Reading:
        case EConnection::Draining:
            FD_SET(c.Socket, &readable);
            break;
        case EConnection::Replying:
            FD_SET(c.Socket, &writable);
            break;
        case EConnection::Streaming:
        {
            FD_SET(c.Socket, &readable);  // a viewer that leaves is seen here
            watched = true;
            if (c.nReplySent < c.nReply || m_FanOut.HasNext(c.Slot))
                FD_SET(c.Socket, &writable);
            break;
        }
        }
    }
    timeval timeout = {0, watched || !listening ? kPollMicroseconds : kIdlePollMicroseconds};
    if (readable.fd_count + writable.fd_count == 0)
        Sleep(kPollMicroseconds / 1000);  // select() refuses empty sets
    else if (select(0, &readable, &writable, nullptr, &timeout) == SOCKET_ERROR)
    {
        Sleep(kPollMicroseconds / 1000);  // never spin on a failing select
        return;
    }
    if (listening && FD_ISSET(m_Listener, &readable))
        Accept();
    for (SConnection& c : m_Connections.Items)
    {
        if (c.State == EConnection::Free)
            continue;
        const bool canRead = FD_ISSET(c.Socket, &readable) != 0;
        const bool canWrite = FD_ISSET(c.Socket, &writable) != 0;
        if (c.State == EConnection::Reading && canRead)
            Read(c);
        else if ((c.State == EConnection::Draining || c.State == EConnection::Streaming) && canRead)
            Drain(c);
        if ((c.State == EConnection::Replying || c.State == EConnection::Streaming) && canWrite)
            Send(c);
    }
    // After the round: every time stamp it set lies before `now`.
    const DWORD now = GetTickCount();
    for (SConnection& c : m_Connections.Items)
        if (c.State != EConnection::Free)
            Sweep(c, now);
    if (const uint32_t counted = m_RefusalLog.TakeCounted(now))
        Log(m_LatestRefused, L"%s (the latest of %u refused since the previous line)", m_LatestRefusal, counted);
}

// At most a line a second, however many connections a flood brings.
void CServerLoop::NoteRefusal(const sockaddr_in& peer, const wchar_t* why)
{
    if (m_RefusalLog.Note(GetTickCount()))
    {
        Log(peer, L"%s", why);
        return;
    }
    m_LatestRefused = peer;
    m_LatestRefusal = why;
}

// A failed accept leaves the connection waiting and the listener readable
// (no handles, no buffers): trying again at once would take a whole CPU.
void CServerLoop::AcceptFailed(int error)
{
    if (!m_bAcceptFailing)
    {
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(error, reason);
        LogServer(L"cannot accept connections: %.90s; trying again every %u ms", reason,
                  static_cast<unsigned>(kAcceptRetryMs));
    }
    m_bAcceptFailing = true;
    m_AcceptFailedAt = GetTickCount();
}

void CServerLoop::Accept()
{
    // Several may wait: take them all, up to the room there is.
    for (int taken = 0; taken < kListenBacklog; ++taken)
    {
        sockaddr_in peer;
        int peerLength = sizeof peer;
        SOCKET s = accept(m_Listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (s == INVALID_SOCKET)
        {
            // A connection reset while it waited is that one's own affair.
            const int error = WSAGetLastError();
            if (error == WSAECONNRESET)
                continue;
            if (error != WSAEWOULDBLOCK)
                AcceptFailed(error);
            return;
        }
        if (m_bAcceptFailing)
        {
            LogServer(L"accepts connections again");
            m_bAcceptFailing = false;
        }
        SConnection* free = nullptr;
        for (SConnection& c : m_Connections.Items)
            if (c.State == EConnection::Free)
            {
                free = &c;
                break;
            }
        // The client's address decides, never the one of this PC it reached.
        const bool allowed = m_Connections.Allow.Contains(HostOrder(peer.sin_addr));
        const wchar_t* closedWhy = nullptr;
        u_long nonBlocking = 1;
        if (!allowed && Outsiders() >= kMaxOutsiderRefusals)
            closedWhy = L"closed at once: its network is not in HttpAllow, and refusals are pending";
        else if (free == nullptr || (allowed && Pending() >= kMaxPendingRequests) ||
                 ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
            closedWhy = L"closed at once: too many connections waiting";
        if (closedWhy != nullptr)
        {
            NoteRefusal(peer, closedWhy);
            CloseAbortively(s);
            continue;
        }
        SConnection& c = *free;
        c.Socket = s;
        c.Peer = peer;
        int localLength = sizeof c.Local;
        if (getsockname(s, reinterpret_cast<sockaddr*>(&c.Local), &localLength) != 0)
            std::memset(&c.Local, 0, sizeof c.Local);
        c.Since = c.LastProgress = GetTickCount();
        c.Logged = false;
        c.nRequest = 0;
        c.nReply = c.nReplySent = 0;
        c.GuideReply = false;
        c.nSent = 0;
        c.Slot = -1;
        c.Path[0] = 0;
        c.State = EConnection::Reading;
        c.Outsider = !allowed;
        if (!allowed)
        {
            // Nothing of what it sends is read: the refusal goes out at once.
            NoteRefusal(peer, L"refused (403): its network is not in HttpAllow");
            Refuse(c, 403, true);
        }
    }
}

void CServerLoop::Read(SConnection& c)
{
    const int room = static_cast<int>(kHttpRequestLimit - c.nRequest);
    const int got = room > 0 ? recv(c.Socket, c.Request + c.nRequest, room, 0) : 0;
    if (got == 0 || (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK))
    {
        Close(c, L"left before its request was complete", got == 0);
        return;
    }
    if (got < 0)
        return;
    c.nRequest += static_cast<size_t>(got);
    SHttpRequest request;
    EHttpParse outcome = ParseHttpRequest(c.Request, c.nRequest, request);
    if (outcome == EHttpParse::Incomplete && c.nRequest >= kHttpRequestLimit)
        outcome = EHttpParse::TooLarge;
    if (outcome != EHttpParse::Incomplete)
        Answer(c, request, outcome);
}

void CServerLoop::Refuse(SConnection& c, int status, bool withBody)
{
    if (!MakeReply(c, kHttpResponseHeadCapacity))
    {
        Close(c, L"no memory for a reply");
        return;
    }
    c.nReply = WriteErrorResponse(c.Reply.get(), kHttpResponseHeadCapacity, status, withBody);
    c.State = EConnection::Replying;
}

void CServerLoop::Answer(SConnection& c, const SHttpRequest& request, EHttpParse outcome)
{
    const int status = HttpStatusFor(outcome, request);
    const bool head = outcome == EHttpParse::Complete && request.Method == EHttpMethod::Head;
    if (outcome == EHttpParse::Complete)
    {
        CopyPathForLog(c.Request, c.nRequest, c.Path);
        Log(c.Peer, L"connected: %s %S",
            request.Method == EHttpMethod::Get ? L"GET" : request.Method == EHttpMethod::Head ? L"HEAD" : L"(method not served)",
            c.Path);
        c.Logged = true;
    }
    if (status != 200)
    {
        Refuse(c, status, !head);
        return;
    }
    switch (request.Route)
    {
    case EHttpRoute::Index:
        AnswerPage(c, request, head);
        return;
    case EHttpRoute::Playlist:
    case EHttpRoute::ProgramPlaylist:
        AnswerPlaylist(c, request, head);
        return;
    case EHttpRoute::OutputDescription:
        AnswerOutputDescription(c, request.OutputNumber, head);
        return;
    case EHttpRoute::Guide:
        AnswerGuide(c, head);
        return;
    case EHttpRoute::Stream:
        break;
    case EHttpRoute::Program:
        if (m_FanOut.Programs().Lists(request.ProgramNumber))
            break;
        Refuse(c, 404, !head);  // not in the PAT (yet)
        return;
    case EHttpRoute::NotFound:
        Refuse(c, 404, !head);
        return;
    }

    if (!MakeReply(c, kHttpResponseHeadCapacity))
    {
        Close(c, L"no memory for a reply");
        return;
    }
    c.nReply = WriteStreamResponseHead(c.Reply.get(), kHttpResponseHeadCapacity);
    if (head)
    {
        c.State = EConnection::Replying;
        return;
    }
    if (m_FanOut.Viewers() >= m_Options.MaxClients)
    {
        Log(c.Peer, L"refused (503): %d viewers already", m_FanOut.Viewers());
        Refuse(c, 503, true);
        return;
    }
    // It shares the buffer (and cut) of its stream's viewers, made for the
    // first of them. Without memory for them the viewer is refused; the
    // host goes on.
    EViewerAttach attach = EViewerAttach::NoSlot;
    c.Slot = m_FanOut.Attach(request.Route == EHttpRoute::Program ? request.ProgramNumber : 0, attach);
    c.Program = request.Route == EHttpRoute::Program ? request.ProgramNumber : 0;
    if (c.Slot < 0)
    {
        if (attach == EViewerAttach::NoMemoryForRing)
            Log(c.Peer, L"refused (503): no memory for a stream's buffer of %u bytes",
                static_cast<unsigned>(kStreamRingBytes));
        else if (attach == EViewerAttach::NoMemoryForFilter)
            Log(c.Peer, L"refused (503): no memory for a program filter");
        else if (attach == EViewerAttach::NoMemoryForPrefix)
            Log(c.Peer, L"refused (503): no memory for a viewer's tables of %u bytes",
                static_cast<unsigned>(kViewerPrefixBytes));
        Refuse(c, 503, true);
        return;
    }
    c.LastProgress = GetTickCount();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    c.StreamingSince = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    c.State = EConnection::Streaming;
}

void CServerLoop::HostForUrls(const SConnection& c, const SHttpRequest& request,
                              char (&host)[kHttpHostTextCapacity]) const
{
    ChoosePlaylistHost(request.HasPlainHost, request.szHost, HostOrder(c.Local.sin_addr), ntohs(c.Local.sin_port),
                       host, sizeof host);
}

// A whole answer: the head, and unless answering HEAD the body.
void CServerLoop::ReplyWith(SConnection& c, bool head, const char* type, const char* body, size_t length)
{
    if (!MakeReply(c, kHttpResponseHeadCapacity + (head ? 0 : length)))
    {
        Close(c, L"no memory for a reply");
        return;
    }
    c.nReply = WriteContentResponseHead(c.Reply.get(), kHttpResponseHeadCapacity, type, length);
    if (!head)
    {
        std::memcpy(c.Reply.get() + c.nReply, body, length);
        c.nReply += length;
    }
    c.State = EConnection::Replying;
}

void CServerLoop::AnswerPlaylist(SConnection& c, const SHttpRequest& request, bool head)
{
    char host[kHttpHostTextCapacity];
    HostForUrls(c, request, host);
    m_FanOut.Programs().Snapshot(m_Connections.Programs);
    char* page = m_Connections.Page;
    const size_t length =
        request.Route == EHttpRoute::Playlist
            ? WritePlaylist(m_Connections.Programs, host, page, sizeof m_Connections.Page)
            : WriteProgramPlaylist(m_Connections.Programs, request.ProgramNumber, host, page,
                                   sizeof m_Connections.Page);
    if (length == 0)
        Refuse(c, 404, !head);  // a program the PAT does not list (yet)
    else if (length >= sizeof m_Connections.Page)
        Refuse(c, 500, !head);
    else
        ReplyWith(c, head, "audio/x-mpegurl", page, length);
}

// The outputs as the module's thread last described them; each one's name
// and version go on where the number stays, so that a description's version
// changes only with its text.
void CServerLoop::TakeOutputs()
{
    SafeCriticalSection lock(m_Outputs.Lock);
    if (m_Outputs.Changes == m_Connections.OutputChanges)
        return;
    SServedOutputs next = m_Outputs.Outputs;
    for (int i = 0; i < next.Count && i < kMaxServedOutputs; ++i)
    {
        SServedOutput& output = next.Items[i];
        if (const SServedOutput* before = FindServedOutput(m_Connections.Outputs, output.Number))
        {
            std::memcpy(output.Session.Name, before->Session.Name, sizeof output.Session.Name);
            std::memcpy(output.Session.Provider, before->Session.Provider, sizeof output.Session.Provider);
            output.Session.Version = before->Session.Version;
        }
    }
    m_Connections.Outputs = next;
    m_Connections.OutputChanges = m_Outputs.Changes;
}

void CServerLoop::AnswerOutputDescription(SConnection& c, uint16_t number, bool head)
{
    TakeOutputs();
    SServedOutput* output = FindServedOutput(m_Connections.Outputs, number);
    if (output == nullptr)
    {
        Refuse(c, 404, !head);  // no output of that number in this stream
        return;
    }
    m_FanOut.Programs().Snapshot(m_Connections.Programs);
    const int length = WriteOutputDescription(*output, m_Connections.Programs, m_Connections.Page,
                                              static_cast<int>(sizeof m_Connections.Page));
    if (length <= 0)
        Refuse(c, 500, !head);
    else
        ReplyWith(c, head, "application/sdp", m_Connections.Page, static_cast<size_t>(length));
}

// UTC seconds to this PC's local time on that date (Windows' zone rules,
// summer time included).
bool LocalTimeOfPc(int64_t utc, int64_t& local)
{
    constexpr int64_t kEpochTicks = 116444736000000000LL;  // 1970 in 100 ns since 1601
    constexpr int64_t kTicksPerSecond = 10000000;
    if (utc < 0 || utc > (INT64_MAX - kEpochTicks) / kTicksPerSecond)
        return false;
    const uint64_t ticks = static_cast<uint64_t>(utc * kTicksPerSecond + kEpochTicks);
    FILETIME utcFile{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utcTime, localTime;
    FILETIME localFile;
    if (!FileTimeToSystemTime(&utcFile, &utcTime) || !SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &localTime) ||
        !SystemTimeToFileTime(&localTime, &localFile))
        return false;
    const int64_t localTicks =
        static_cast<int64_t>(static_cast<uint64_t>(localFile.dwHighDateTime) << 32 | localFile.dwLowDateTime);
    local = (localTicks - kEpochTicks) / kTicksPerSecond;
    return true;
}

void CServerLoop::AnswerPage(SConnection& c, const SHttpRequest& request, bool head)
{
    TakeOutputs();
    char host[kHttpHostTextCapacity];
    HostForUrls(c, request, host);
    m_FanOut.Programs().Snapshot(m_Connections.Programs);
    uint16_t viewerPrograms[kMaxConnections];
    int nViewers = 0;
    for (const SConnection& other : m_Connections.Items)
        if (other.State == EConnection::Streaming)
            viewerPrograms[nViewers++] = other.Program;
    SIndexPage page;
    page.Programs = &m_Connections.Programs;
    page.Guide = &m_Connections.Guide;
    page.Now = m_Connections.Guide.Now(GuideClock());
    page.LocalTime = LocalTimeOfPc;
    page.HostPort = host;
    page.State.bReceiving = m_FanOut.Receiving();
    page.State.nViewers = m_FanOut.Viewers();
    page.State.nMaxViewers = m_Options.MaxClients;
    page.ViewerPrograms = viewerPrograms;
    page.nViewerPrograms = nViewers;
    page.Outputs = &m_Connections.Outputs;
    // Measured first, then written into a reply of its size: at most
    // kIndexPageCapacity, most often a few kilobytes.
    const size_t length = WriteIndexPage(page, m_Connections.PageScratch, nullptr, 0);
    if (length >= kIndexPageCapacity)
    {
        Refuse(c, 500, !head);
        return;
    }
    if (!MakeReply(c, kHttpResponseHeadCapacity + (head ? 0 : length + 1)))
    {
        Close(c, L"no memory for a reply");
        return;
    }
    c.nReply = WriteContentResponseHead(c.Reply.get(), kHttpResponseHeadCapacity, "text/html; charset=utf-8", length);
    if (!head)
        c.nReply += WriteIndexPage(page, m_Connections.PageScratch, c.Reply.get() + c.nReply, length + 1);
    c.State = EConnection::Replying;
}

void CServerLoop::AnswerGuide(SConnection& c, bool head)
{
    // Measured first, then written into a reply of its size: the guide of
    // a dense transponder runs to megabytes, allocated per request, not kept.
    // A HEAD answer needs the length only, not room for the guide itself,
    // and is never refused for the others.
    if (!head && GuideReplies() >= kMaxGuideReplies)
    {
        Log(c.Peer, L"refused (503): %d guide replies being sent already", kMaxGuideReplies);
        Refuse(c, 503, true);
        return;
    }
    m_FanOut.Programs().Snapshot(m_Connections.Programs);
    const size_t body = WriteXmltv(m_Connections.Programs, m_Connections.Guide, m_Connections.Xmltv, nullptr, 0);
    if (!MakeReply(c, kHttpResponseHeadCapacity + (head ? 0 : body + 1)))
    {
        Log(c.Peer, L"refused (503): no memory for the guide's %I64u bytes", static_cast<uint64_t>(body));
        Refuse(c, 503, !head);
        return;
    }
    c.GuideReply = !head;
    c.Since = GetTickCount();
    c.nReply = WriteContentResponseHead(c.Reply.get(), kHttpResponseHeadCapacity, "application/xml; charset=utf-8",
                                        body);
    if (!head)
        c.nReply += WriteXmltv(m_Connections.Programs, m_Connections.Guide, m_Connections.Xmltv,
                               c.Reply.get() + c.nReply, body + 1);
    c.State = EConnection::Replying;
}

void CServerLoop::Send(SConnection& c)
{
    size_t sentThisRound = 0;
    while (sentThisRound < kSendSliceBytes)
    {
        const char* data;
        size_t available;
        const bool replying = c.nReplySent < c.nReply;
        if (replying)
        {
            data = c.Reply.get() + c.nReplySent;
            available = c.nReply - c.nReplySent;
        }
        else if (c.State == EConnection::Streaming)
        {
            const size_t room = kSendSliceBytes - sentThisRound;
            available = m_FanOut.CopyNext(c.Slot, m_Connections.ViewerCopy,
                                          room < kViewerCopyBytes ? room : kViewerCopyBytes);
            if (available == kViewerBehind)
                break;  // closed below; the copy is not sent
            data = reinterpret_cast<const char*>(m_Connections.ViewerCopy);
        }
        else
        {
            // The whole reply is out: the client reads it, then closes
            // first (Connection: close, and every answer's length is known).
            // A server that closed first would keep the connection in
            // TIME_WAIT, and with it the port from the next Start.
            c.State = EConnection::Draining;
            c.Since = GetTickCount();
            // All of it is with the system now: the buffer (megabytes for
            // the guide) goes at once, not when the client closes.
            c.Reply.reset();
            c.nReply = c.nReplySent = 0;
            c.GuideReply = false;
            return;
        }
        if (available == 0)
            break;
        const size_t want = available < kSendSliceBytes - sentThisRound ? available : kSendSliceBytes - sentThisRound;
        const int sent = send(c.Socket, data, static_cast<int>(want), 0);
        if (sent < 0)
        {
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                Close(c, L"the connection failed");
            break;
        }
        if (sent == 0)
            break;
        if (replying)
            c.nReplySent += static_cast<size_t>(sent);
        else
            m_FanOut.Consume(c.Slot, static_cast<size_t>(sent));
        c.nSent += static_cast<uint64_t>(sent);
        sentThisRound += static_cast<size_t>(sent);
        c.LastProgress = GetTickCount();
        if (static_cast<size_t>(sent) < want)
            break;  // the socket is full: what was copied and not sent is copied again next time
    }
    // The stream has been written over where the viewer stands: it goes,
    // and no one else waited for it.
    if (c.State == EConnection::Streaming && m_FanOut.Behind(c.Slot))
        Close(c, L"a whole buffer behind");
}

void CServerLoop::Drain(SConnection& c)
{
    char discard[4096];
    const int got = recv(c.Socket, discard, sizeof discard, 0);
    if (got == 0)
        Close(c, c.State == EConnection::Streaming ? L"the viewer closed the connection" : L"done",
              c.State == EConnection::Draining);
    else if (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
        Close(c, c.State == EConnection::Streaming ? L"the connection failed" : L"done");
}

void CServerLoop::Sweep(SConnection& c, DWORD now)
{
    switch (c.State)
    {
    case EConnection::Reading:
        if (now - c.Since >= kRequestTimeMs)
            Close(c, L"no complete request within 5 s");
        break;
    case EConnection::Draining:
        if (now - c.Since >= kLingerTimeMs)
            Close(c, L"done");
        break;
    case EConnection::Replying:
    case EConnection::Streaming:
    {
        if (c.GuideReply && now - c.Since >= kGuideReplyTimeMs)
        {
            Close(c, L"took the guide too slowly");
            break;
        }
        // Seen here too, not only after a send: a viewer whose socket stays
        // full is a whole buffer behind long before it is 10 s late.
        if (c.Slot >= 0 && m_FanOut.Behind(c.Slot))
        {
            Close(c, L"a whole buffer behind");
            break;
        }
        const bool waiting = c.nReplySent < c.nReply || (c.Slot >= 0 && m_FanOut.HasNext(c.Slot));
        if (!waiting)
            c.LastProgress = now;  // nothing to send is not the client's fault
        else if (now - c.LastProgress >= kStallTimeMs)
            Close(c, L"took nothing for 10 s");
        break;
    }
    case EConnection::Free:
        break;
    }
}

// A viewer's unsent stream is worthless, and so is the rest of an answer
// whose client did not take it in time: only a client that has closed first
// after its whole answer gets a graceful close.
void CServerLoop::Close(SConnection& c, const wchar_t* why, bool clientClosedFirst)
{
    if (c.Slot >= 0)
        m_FanOut.Detach(c.Slot);
    c.Slot = -1;
    c.Reply.reset();
    c.GuideReply = false;
    if (clientClosedFirst)
        closesocket(c.Socket);
    else
        CloseAbortively(c.Socket);
    c.Socket = INVALID_SOCKET;
    if (c.Logged)
        Log(c.Peer, L"disconnected: %s, %I64u bytes sent (%S)", why, c.nSent, c.Path);
    c.Logged = false;
    c.State = EConnection::Free;
}

void CServerLoop::ListViewers(SHttpViewerSnapshot& viewers) const
{
    viewers.Count = 0;
    for (const SConnection& c : m_Connections.Items)
    {
        if (c.State != EConnection::Streaming || viewers.Count >= kMaxViewers)
            continue;
        SHttpViewer& v = viewers.Viewers[viewers.Count++];
        v.Address = HostOrder(c.Peer.sin_addr);
        v.Port = ntohs(c.Peer.sin_port);
        static_assert(sizeof v.Path == sizeof c.Path, "the path is copied whole");
        std::memcpy(v.Path, c.Path, sizeof v.Path);
        v.Since = c.StreamingSince;
        v.Sent = c.nSent;
    }
}

void CServerLoop::ListEventsNow(SGuideNowList& events)
{
    const CGuideCollector& guide = m_Connections.Guide;
    ::ListEventsNow(guide, guide.Now(GuideClock()), m_Connections.Xmltv.Text, events);
}

void CServerLoop::CloseAll(const wchar_t* why)
{
    for (SConnection& c : m_Connections.Items)
        if (c.State != EConnection::Free)
            Close(c, why);
}
}  // namespace

namespace
{
void CopyEventsNow(const SGuideNowList& from, SGuideNowList& to)
{
    to.Count = from.Count;
    for (int i = 0; i < from.Count; ++i)
        to.Services[i] = from.Services[i];
}
}  // namespace

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
