#pragma once
// The URL server's thread, for the files of server/ that make it up (no one
// else includes this): the limits, each connection's record, and the loop
// that owns every connection. HttpServer.cpp starts and stops the thread;
// HttpServerLoop.cpp runs one round of select() and writes the log lines;
// HttpServerAdmission.cpp accepts, reads requests and refuses;
// HttpServerAnswers.cpp routes a request and starts a viewer's stream;
// HttpServerPages.cpp answers with the page, the playlists and the output
// descriptions, HttpServerGuide.cpp with the guide, HttpServerTuner.cpp with
// the network tuner's documents and the media server's descriptions;
// HttpServerSending.cpp sends, sweeps and closes.

#include "server/HttpServer.h"

#include <cstddef>
#include <cstdint>
#include <memory>

#include "http/HttpPages.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/IndexPage.h"
#include "http/NetworkAllowList.h"
#include "http/RefusalLog.h"
#include "http/XmltvWriter.h"
#include "discovery/MediaServerControl.h"
#include "discovery/NameUuid.h"
#include "discovery/TunerDocuments.h"

// Connections still sending their request: as many as HttpMaxClients
// allows, so that a burst of players (an app probing every channel at once,
// every viewer back after a Wi-Fi drop) all get in, and never fewer than
// this. More at once are closed at accept: a flood of silent connections
// holds places of its own, never the viewers'.
constexpr int kMinPendingRequests = 16;
constexpr int kMaxPendingRequests = kMaxHttpClientsLimit;
// Clients outside HttpAllow get their 403 from places of their own, so that
// anyone who reaches the port cannot keep viewers out; more at once are
// closed at accept.
constexpr int kMaxOutsiderRefusals = 8;
constexpr int kMaxConnections = kMaxViewers + kMaxPendingRequests + kMaxOutsiderRefusals;
// (HttpServerLoop.cpp sets FD_SETSIZE so that one socket set holds them all
// and the listener.)

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
// A burst waits in the system's queue until the next round takes it all.
constexpr int kListenBacklog = kMaxConnections;
constexpr int kPathLogCapacity = kHttpViewerPathCapacity;  // the path in the log and the dialog, cut
// Each /epg.xml reply is a buffer of the whole document (17.7 MB for the
// pool full of a dense week, bench/README.md section 11): at most this many
// are being sent at once, the others get 503 with Retry-After.
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
    // Who this server is to tuner clients and TVs: the same for this PC and
    // port after every restart (nothing stored).
    char ComputerName[kComputerNameMaxBytes + 1] = {};  // UTF-8
    uint32_t TunerId = 0;                               // TunerDeviceId
    char Udn[kUuidTextCapacity] = {};                   // MediaServerUuid, "uuid:..."
    // A control request's working space: the request read, the DIDL-Lite
    // scratch, the events on now that describe the items.
    SSoapRequest Soap;
    SDidlScratch Didl;
    SGuideNowList EventsNow;
};

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
    // HttpServerAdmission.cpp
    void Accept();
    void AcceptFailed(int error);
    void NoteRefusal(const sockaddr_in& peer, const wchar_t* why);
    void Read(SConnection& c);
    void Refuse(SConnection& c, int status, bool withBody);
    int Pending() const;
    int PendingLimit() const;  // as many as HttpMaxClients, at least kMinPendingRequests
    int Outsiders() const;
    // HttpServerAnswers.cpp
    void Answer(SConnection& c, const SHttpRequest& request, EHttpParse outcome);
    void AnswerStream(SConnection& c, const SHttpRequest& request, bool head);
    void ReplyWith(SConnection& c, bool head, const char* type, const char* body, size_t length);
    void HostForUrls(const SConnection& c, const SHttpRequest& request, char (&host)[kHttpHostTextCapacity]) const;
    // HttpServerPages.cpp
    void AnswerPage(SConnection& c, const SHttpRequest& request, bool head);
    void AnswerPlaylist(SConnection& c, const SHttpRequest& request, bool head);
    void AnswerOutputDescription(SConnection& c, uint16_t number, bool head);
    void TakeOutputs();
    // HttpServerGuide.cpp
    void CollectGuide();
    void AnswerGuide(SConnection& c, bool head);
    int GuideReplies() const;
    // HttpServerTuner.cpp
    void AnswerTuner(SConnection& c, const SHttpRequest& request, bool head);
    // HttpServerMediaServer.cpp
    void AnswerUpnpDescription(SConnection& c, const SHttpRequest& request, bool head);
    void AnswerControl(SConnection& c, const SHttpRequest& request);
    // A document measured first (`write` given no room), then written into
    // a reply of its size, with `status`.
    template <class Write>
    void ReplyMeasured(SConnection& c, bool head, const char* type, Write write, int status = 200);
    // HttpServerSending.cpp
    void Send(SConnection& c);
    void Drain(SConnection& c);
    void Sweep(SConnection& c, DWORD now);
    // Abortively, unless the client has closed first after its answer.
    void Close(SConnection& c, const wchar_t* why, bool clientClosedFirst = false);

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

inline uint32_t HostOrder(const in_addr& address)
{
    return ntohl(address.s_addr);
}

// One line in the host's log about one client: "HTTP a.b.c.d:port " and
// the rest as `format` says (wsprintfW's format: %S for 8-bit text).
void Log(const sockaddr_in& peer, const wchar_t* format, ...);
// One line about the server itself: "HTTP " and the rest.
void LogServer(const wchar_t* format, ...);
// Closes `s` with a reset instead of a FIN (see HttpServerSending.cpp).
void CloseAbortively(SOCKET s);
// The reply buffer of a connection, `size` bytes; false when there is no
// memory for it (the connection is then closed).
bool MakeReply(SConnection& c, size_t size);
// The guide's clock: the PC's UTC and the monotonic milliseconds.
SGuideClock GuideClock();

template <class Write>
void CServerLoop::ReplyMeasured(SConnection& c, bool head, const char* type, Write write, int status)
{
    const size_t length = write(nullptr, 0);
    if (!MakeReply(c, kHttpResponseHeadCapacity + (head ? 0 : length + 1)))
    {
        Close(c, L"no memory for a reply");
        return;
    }
    c.nReply = WriteContentResponseHead(c.Reply.get(), kHttpResponseHeadCapacity, type, length, status);
    if (!head)
        c.nReply += write(c.Reply.get() + c.nReply, length + 1);
    c.State = EConnection::Replying;
}
