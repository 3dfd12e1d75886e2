// Sending answers and streams, the sweep of the time limits, and closing.

#include "server/HttpServerLoop.h"

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

void CServerLoop::CloseAll(const wchar_t* why)
{
    for (SConnection& c : m_Connections.Items)
        if (c.State != EConnection::Free)
            Close(c, why);
}
