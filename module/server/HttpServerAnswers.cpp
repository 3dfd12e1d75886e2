// A request's answer by its route, the stream's own answer (a viewer
// attached to the fan-out), and what every answer is made of.

#include "server/HttpServerLoop.h"

#include <cstring>
#include <new>

#include "discovery/DlnaProfile.h"
#include "http/HttpResponse.h"
#include "http/StreamRing.h"

namespace
{
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
}  // namespace

bool MakeReply(SConnection& c, size_t size)
{
    c.Reply.reset(new (std::nothrow) char[size]);
    c.nReply = 0;
    c.nReplySent = 0;
    return c.Reply != nullptr;
}

void CServerLoop::Answer(SConnection& c, const SHttpRequest& request, EHttpParse outcome)
{
    const int status = HttpStatusFor(outcome, request);
    const bool head = outcome == EHttpParse::Complete && request.Method == EHttpMethod::Head;
    if (outcome == EHttpParse::Complete)
    {
        CopyPathForLog(c.Request, c.nRequest, c.Path);
        Log(c.Peer, L"connected: %s %S",
            request.Method == EHttpMethod::Get    ? L"GET"
            : request.Method == EHttpMethod::Head ? L"HEAD"
            : request.Method == EHttpMethod::Post ? L"POST"
                                                  : L"(method not served)",
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
    case EHttpRoute::TunerDiscover:
    case EHttpRoute::TunerLineup:
    case EHttpRoute::TunerLineupStatus:
    case EHttpRoute::TunerLineupPost:
        AnswerTuner(c, request, head);
        return;
    case EHttpRoute::UpnpDescription:
    case EHttpRoute::UpnpService:
        AnswerUpnpDescription(c, request, head);
        return;
    case EHttpRoute::UpnpControl:
        AnswerControl(c, request);
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
    AnswerStream(c, request, head);
}

// The stream, or a program of it: the head, then the viewer's ring.
void CServerLoop::AnswerStream(SConnection& c, const SHttpRequest& request, bool head)
{
    if (!MakeReply(c, kHttpResponseHeadCapacity))
    {
        Close(c, L"no memory for a reply");
        return;
    }
    if (request.WantsContentFeatures)
    {
        // A TV: the DLNA headers of the program's format (a live stream, no
        // profile for the whole transponder).
        SDlnaFormat format;
        if (request.Route == EHttpRoute::Program)
        {
            m_FanOut.Programs().Snapshot(m_Connections.Programs);
            const int count = ListedProgramCount(m_Connections.Programs);
            for (int i = 0; i < count; ++i)
                if (m_Connections.Programs.Programs[i].ProgramNumber == request.ProgramNumber)
                    format = DlnaFormatOf(m_Connections.Programs.Programs[i].ServiceType, nullptr);
        }
        char features[128];
        CTextWriter writer(features, sizeof features);
        PutContentFeatures(writer, format);
        c.nReply = WriteDlnaStreamResponseHead(c.Reply.get(), kHttpResponseHeadCapacity, format.MimeType, features);
    }
    else
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
