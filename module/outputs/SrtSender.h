#pragma once
// One SRT output's sender: the output's stream goes into a fan-out of its own
// (the traffic thread's only part: an append that never waits), and a thread
// of its own drains it into the SRT library (libsrt, which takes locks and
// may wait) through a CSrtSession: a caller connecting and trying again, or a
// listener serving its callers.

#include <winsock2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "http/ViewerFanOut.h"
#include "settings/SrtSettings.h"
#include "srt/SrtSession.h"

class CSrtSender
{
public:
    CSrtSender();
    ~CSrtSender();
    CSrtSender(const CSrtSender&) = delete;
    CSrtSender& operator=(const CSrtSender&) = delete;

    // The thread that starts and stops. A listener binds and listens here,
    // so that a port in use refuses the start; then the thread starts.
    // False with `refusal` saying why.
    bool Start(const SSrtSettings& settings, const sockaddr_in& address, int packetsPerMessage,
               SrtReasonText& refusal);
    // Every socket closed and the thread joined: within about a second (a
    // connection attempt under way ends by its own timeout).
    void Stop();

    // Traffic thread, while started: whole packets of the output's stream.
    void PutPackets(const unsigned char* packets, int count) { m_FanOut.PutPackets(packets, count); }

    // Any thread.
    ESrtState State() const;
    int Connections() const;
    uint64_t Drops() const;
    uint64_t Refused() const;
    // Why the latest attempt failed or connection ended ("" when none did).
    void Reason(SrtReasonText& out) const;

private:
    class CLink;
    void Run();

    CViewerFanOut m_FanOut;
    std::unique_ptr<CLink> m_Link;          // made by Start, freed by Stop
    std::unique_ptr<CSrtSession> m_Session; // likewise
    std::thread m_Thread;
    mutable std::mutex m_Lock;         // guards m_bStop's wake-up and m_szReason
    std::condition_variable m_Wake;
    bool m_bStop = false;
    SrtReasonText m_szReason = {};
};
