// The documents made per request: the page, the playlists and the
// outputs' descriptions (SDP).

#include "server/HttpServerLoop.h"

#include <cstring>

#include "http/HttpResponse.h"

namespace
{
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
}  // namespace

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
// changes with its text and only then.
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
            CarryOutputVersion(output, *before);
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
