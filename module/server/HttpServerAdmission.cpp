// Admission: who is accepted (the allow list, the places for requests and
// for outsiders' refusals), reading a request head, and refusals.

#include "server/HttpServerLoop.h"

#include <cstring>

#include "net/SocketErrorText.h"
#include "http/HttpResponse.h"

int CServerLoop::Pending() const
{
    int pending = 0;
    for (const SConnection& c : m_Connections.Items)
        pending += c.State == EConnection::Reading ? 1 : 0;
    return pending;
}

int CServerLoop::PendingLimit() const
{
    return m_Options.MaxClients > kMinPendingRequests
               ? (m_Options.MaxClients < kMaxPendingRequests ? m_Options.MaxClients : kMaxPendingRequests)
               : kMinPendingRequests;
}

int CServerLoop::Outsiders() const
{
    int outsiders = 0;
    for (const SConnection& c : m_Connections.Items)
        outsiders += c.State != EConnection::Free && c.Outsider ? 1 : 0;
    return outsiders;
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
        else if (free == nullptr || (allowed && Pending() >= PendingLimit()) ||
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
    if (outcome == EHttpParse::Complete && request.Method == EHttpMethod::Post &&
        HttpStatusFor(outcome, request) == 200)
    {
        // A body is read into the request's own buffer, head and body within
        // kHttpRequestLimit (a Browse is some 600 bytes): a larger one is
        // refused as too large, one still coming is waited for.
        const size_t whole = request.nHeadLength + request.nContentLength;
        if (whole > kHttpRequestLimit)
            request.nContentLength = kHttpBodyLimit + 1;
        else if (c.nRequest < whole)
            return;
    }
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
