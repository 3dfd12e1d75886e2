// The programme guide on the server thread: collected from the packets the
// traffic thread queued, answered as /epg.xml, listed for the dialog.

#include "server/HttpServerLoop.h"

#include "http/HttpResponse.h"

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

int CServerLoop::GuideReplies() const
{
    int replies = 0;
    for (const SConnection& c : m_Connections.Items)
        replies += c.State == EConnection::Replying && c.GuideReply ? 1 : 0;
    return replies;
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

void CServerLoop::ListEventsNow(SGuideNowList& events)
{
    const CGuideCollector& guide = m_Connections.Guide;
    ::ListEventsNow(guide, guide.Now(GuideClock()), m_Connections.Xmltv.Text, events);
}
