#pragma once
// The URL server beside the RTP stream: players on this PC or the home
// network open http://<pc>:<port>/stream.ts (or the page, or the playlist)
// and get the whole transport stream over TCP.
//
// One thread of its own runs one select() loop that owns every connection:
// it accepts, reads and answers requests, and sends each viewer what the
// traffic thread left in that viewer's ring. The traffic thread only calls
// PutPackets, which appends and never waits (see CViewerFanOut).

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "outputs/TrafficTap.h"
#include "settings/HttpOptions.h"
#include "guide/GuideNow.h"
#include "http/OutputDescriptions.h"
#include "http/ViewerFanOut.h"
#include "ts/CriticalSection.h"

constexpr int kHttpRefusalCapacity = 128;  // as a sending refusal: the dialog line shows either
constexpr int kHttpUrlCapacity = 64;       // "http://255.255.255.255:65535/" and more
constexpr int kHttpViewerPathCapacity = 48;

// The viewers watching now, as the dialog lists them.
struct SHttpViewer
{
    uint32_t Address = 0;                       // host order
    uint16_t Port = 0;
    char Path[kHttpViewerPathCapacity] = {};    // what it watches, as requested (printable ASCII)
    uint64_t Since = 0;                         // FILETIME (UTC) at which its stream began
    uint64_t Sent = 0;                          // bytes it took, head included
};

struct SHttpViewerSnapshot
{
    int Count = 0;
    SHttpViewer Viewers[kMaxViewers];
};

struct SHttpConnections;

struct SOutputsMailbox
{
    critical_section Lock;
    SServedOutputs Outputs;
    uint32_t Changes = 0;   // counts UseOutputs calls
};

class CHttpServer final : public ITrafficTap
{
public:
    CHttpServer();
    ~CHttpServer();

    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Listens as `options` say (Port not 0) and starts the server thread.
    // False, with `refusal` saying why, when it cannot; then nothing is open.
    bool Start(const SHttpOptions& options, wchar_t (&refusal)[kHttpRefusalCapacity]);
    // Closes every connection and the listening socket; returns once the
    // thread has ended (within one poll period). Nothing when not running.
    void Stop();
    bool Running() const { return m_hThread != nullptr; }

    // Traffic thread: `length` bytes of whole packets.
    void PutTraffic(const unsigned char* data, int length) override
    {
        if (m_bAccepting.load(std::memory_order_acquire))
            m_pFanOut->PutPackets(data, length / kTsPacketSize);
    }

    // Between streams: the program list the module feeds itself, for the
    // page and the program URLs (see CViewerFanOut::UseProgramDirectory).
    void UseProgramDirectory(CProgramDirectory* programs) { m_pPrograms = programs; }

    // While running, on the thread that starts and stops: the outputs the
    // stream goes to, for "/output/<k>.sdp" and the page (none until then).
    void UseOutputs(const SServedOutputs& outputs);

    int Viewers() const { return m_pFanOut != nullptr ? m_pFanOut->Viewers() : 0; }
    // The address to open, e.g. "http://192.168.1.20:8001/": the listen
    // address, or for every interface an address of this PC on a private
    // network (loopback when it has none). Empty when not running.
    void FormatUrl(wchar_t (&text)[kHttpUrlCapacity]) const;
    // Any thread: the viewers as the server thread saw them at its latest
    // round (none when not running).
    void SnapshotViewers(SHttpViewerSnapshot& viewers) const;
    // Any thread: each program's event on now, as the server thread's
    // guide had it at most a second ago (none when not running).
    void SnapshotGuideNow(SGuideNowList& events) const;

private:
    static DWORD WINAPI ThreadEntry(void* self);
    void Run();

    SHttpOptions m_Options;                         // as at the latest Start
    SOCKET m_Listener = INVALID_SOCKET;             // the listening socket while running
    HANDLE m_hThread = nullptr;                     // the server thread while running
    std::atomic<bool> m_bStopRequested{false};      // the thread ends at its next poll
    std::atomic<bool> m_bAccepting{false};          // traffic reaches the viewers
    int32_t m_nWsaStartups = 0;                     // this object's own WSAStartup calls
    uint32_t m_ShownAddress = 0;                    // the URL's address, host order
    std::unique_ptr<SHttpConnections> m_Connections; // every connection's record, made at Start
    // The traffic thread's side, some 300 KB of tables: made at the first
    // Start that wants a server, kept to the object's end (the traffic thread
    // may still be on its way in when a Stop clears m_bAccepting).
    std::unique_ptr<CViewerFanOut> m_pFanOut;
    CProgramDirectory* m_pPrograms = nullptr;       // the module's, handed to the fan-out at Start
    // The outputs as UseOutputs gave them, for the server thread to take.
    SOutputsMailbox m_Outputs;
    // The server thread's copy of its viewers for other threads, under its
    // own lock (never the module's: the dialog reads it while sending runs).
    mutable critical_section m_ViewersLock;
    SHttpViewerSnapshot m_Viewers;
    // Likewise the guide's events on now, under a lock of their own.
    mutable critical_section m_GuideNowLock;
    std::unique_ptr<SGuideNowList> m_pGuideNow;     // made at Start
};
