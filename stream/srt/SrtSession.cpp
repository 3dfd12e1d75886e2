// One SRT output's connections on its sender thread: connect or accept,
// and each connection's share of the stream into messages of whole packets.

#include "srt/SrtSession.h"

#include <cstring>

CSrtSession::CSrtSession(CViewerFanOut& stream, ISrtLink& link, bool listener, int packetsPerMessage)
    : m_Stream(stream),
      m_Link(link),
      m_bListener(listener),
      m_nMessageBytes(static_cast<size_t>(packetsPerMessage < 1                       ? 1
                                          : packetsPerMessage > kMaxSrtMessagePackets ? kMaxSrtMessagePackets
                                                                                      : packetsPerMessage) *
                      kTsPacketSize),
      m_nState(static_cast<int>(listener ? ESrtState::Listening : ESrtState::Connecting))
{
}

CSrtSession::~CSrtSession()
{
    CloseAll();
}

void CSrtSession::SetReason(const char* why)
{
    std::strncpy(m_szReason, why, kSrtReasonCapacity - 1);
    m_szReason[kSrtReasonCapacity - 1] = 0;
}

bool CSrtSession::Open(SConnection& connection, int link)
{
    EViewerAttach outcome = EViewerAttach::Attached;
    const int viewer = m_Stream.Attach(0, outcome);
    if (viewer < 0)
    {
        m_Link.Close(link);
        SetReason("no memory for the connection's stream");
        return false;
    }
    connection.Link = link;
    connection.Viewer = viewer;
    m_nConnections.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void CSrtSession::Close(SConnection& connection, const char* why)
{
    if (connection.Link < 0)
        return;
    m_Stream.Detach(connection.Viewer);
    m_Link.Close(connection.Link);
    connection = SConnection();
    m_nConnections.fetch_sub(1, std::memory_order_relaxed);
    if (why != nullptr)
        SetReason(why);
}

void CSrtSession::CloseAll()
{
    for (SConnection& connection : m_Connections)
        Close(connection, nullptr);
    if (!m_bListener)
        m_nState.store(static_cast<int>(ESrtState::Connecting), std::memory_order_relaxed);
}

bool CSrtSession::Drain(SConnection& connection, bool& more)
{
    for (int sent = 0; sent < kSrtMessagesPerTurn; ++sent)
    {
        const size_t length = m_Stream.CopyNext(connection.Viewer, m_Message, m_nMessageBytes);
        if (length == kViewerBehind)
        {
            // The far end fell a ring behind: what was written over is lost;
            // it goes on from the latest packet, tables first.
            m_nDrops.fetch_add(1, std::memory_order_relaxed);
            m_Stream.Detach(connection.Viewer);
            EViewerAttach outcome = EViewerAttach::Attached;
            connection.Viewer = m_Stream.Attach(0, outcome);
            if (connection.Viewer < 0)
            {
                m_Link.Close(connection.Link);
                connection = SConnection();
                m_nConnections.fetch_sub(1, std::memory_order_relaxed);
                SetReason("no memory for the connection's stream");
                return false;
            }
            continue;
        }
        if (length == 0)
            return true;
        const ESrtSend result = m_Link.Send(connection.Link, m_Message, static_cast<int>(length));
        if (result == ESrtSend::Lost)
        {
            Close(connection, "the connection was lost");
            return false;
        }
        if (result == ESrtSend::Full)
            return true;
        m_Stream.Consume(connection.Viewer, length);
    }
    more = true;
    return true;
}

int CSrtSession::Connect(uint64_t nowMs)
{
    SConnection& connection = m_Connections[0];
    if (connection.Link >= 0)
        return 0;
    if (nowMs < m_nNextAttempt)
        return static_cast<int>(m_nNextAttempt - nowMs);
    SrtReasonText why = {};
    const int link = m_Link.Connect(why);
    if (link >= 0 && Open(connection, link))
    {
        m_nRetryMs = kSrtRetryFirstMs;
        m_szReason[0] = 0;
        m_nState.store(static_cast<int>(ESrtState::Connected), std::memory_order_relaxed);
        return 0;
    }
    if (link < 0)
    {
        why[kSrtReasonCapacity - 1] = 0;
        SetReason(why[0] != 0 ? why : "no connection");
    }
    m_nNextAttempt = nowMs + static_cast<uint64_t>(m_nRetryMs);
    const int wait = m_nRetryMs;
    m_nRetryMs = m_nRetryMs * 2 < kSrtRetryLastMs ? m_nRetryMs * 2 : kSrtRetryLastMs;
    return wait;
}

void CSrtSession::AcceptWaiting()
{
    for (int link = m_Link.Accept(); link >= 0; link = m_Link.Accept())
    {
        SConnection* free = nullptr;
        for (SConnection& connection : m_Connections)
            if (connection.Link < 0 && free == nullptr)
                free = &connection;
        if (free == nullptr)
        {
            m_Link.Close(link);
            m_nRefused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        Open(*free, link);
    }
}

int CSrtSession::Step(uint64_t nowMs)
{
    int wait = kSrtIdleMs;
    if (m_bListener)
    {
        AcceptWaiting();
    }
    else
    {
        const int due = Connect(nowMs);
        if (m_Connections[0].Link < 0)
            return due;
    }
    bool more = false;
    for (SConnection& connection : m_Connections)
    {
        if (connection.Link < 0)
            continue;
        if (!Drain(connection, more) && !m_bListener)
        {
            // Gone: the next attempt after the first delay.
            m_nState.store(static_cast<int>(ESrtState::Connecting), std::memory_order_relaxed);
            m_nNextAttempt = nowMs + static_cast<uint64_t>(kSrtRetryFirstMs);
            m_nRetryMs = kSrtRetryFirstMs * 2;
            wait = kSrtRetryFirstMs;
        }
    }
    return more ? 0 : wait;
}
