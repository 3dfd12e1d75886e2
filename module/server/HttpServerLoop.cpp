// Before winsock2.h: the socket sets must hold every connection and the
// listener; Winsock's default of 64 would not.
#define FD_SETSIZE 160

// One round of the server thread: what is ready is accepted, read, answered
// and sent, then every connection is swept; and the lines it writes.

#include "server/HttpServerLoop.h"

#include <cstdarg>
#include <cstring>

static_assert(FD_SETSIZE >= kMaxConnections + 1, "every connection and the listener fit one socket set");

namespace
{
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
}  // namespace

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

void LogServer(const wchar_t* format, ...)
{
    wchar_t line[kLogLineCapacity];
    const int n = wsprintfW(line, L"%s", kLogPrefix);
    va_list args;
    va_start(args, format);
    PutLogLine(line, n, format, args);
    va_end(args);
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
