// One SRT output's sender thread and its link to libsrt.

#include "outputs/SrtSender.h"

#include <srt/srt.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace
{
// A connection attempt waits this long at most: Stop waits for it.
constexpr int kConnectTimeoutMs = 1000;
// Callers waiting to be accepted; beyond kMaxSrtCallers they are closed at once.
constexpr int kListenBacklog = kMaxSrtCallers * 2;
// How long the thread sleeps at most between turns, so that it sees Stop.
constexpr int kLongestSleepMs = 50;

void CopyReason(SrtReasonText& out, const char* text)
{
    std::snprintf(out, sizeof out, "%s", text);
}
}  // namespace

// libsrt's side of CSrtSession: connection numbers are SRT sockets.
class CSrtSender::CLink final : public ISrtLink
{
public:
    CLink(const SSrtSettings& settings, const sockaddr_in& address) : m_Settings(settings), m_Address(address) {}
    ~CLink()
    {
        if (m_Waiting >= 0)
            srt_epoll_release(m_Waiting);
        if (m_Listener != SRT_INVALID_SOCK)
            srt_close(m_Listener);
    }

    // The options every socket of the output gets (a listener's callers
    // inherit them). False with `why`.
    bool Configure(SRTSOCKET s, SrtReasonText& why) const
    {
        const int latency = m_Settings.Latency;
        const int timeout = kConnectTimeoutMs;
        const int no = 0;
        bool ok = srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency) == 0 &&
                  srt_setsockflag(s, SRTO_CONNTIMEO, &timeout, sizeof timeout) == 0 &&
                  srt_setsockflag(s, SRTO_SNDSYN, &no, sizeof no) == 0;
        if (ok && m_Settings.Passphrase[0] != 0)
        {
            const int keyLength = m_Settings.KeyLength;
            ok = srt_setsockflag(s, SRTO_PASSPHRASE, m_Settings.Passphrase,
                                 static_cast<int>(std::strlen(m_Settings.Passphrase))) == 0 &&
                 srt_setsockflag(s, SRTO_PBKEYLEN, &keyLength, sizeof keyLength) == 0;
        }
        if (ok && m_Settings.StreamId[0] != 0)
            ok = srt_setsockflag(s, SRTO_STREAMID, m_Settings.StreamId,
                                 static_cast<int>(std::strlen(m_Settings.StreamId))) == 0;
        if (!ok)
            CopyReason(why, srt_getlasterror_str());
        return ok;
    }

    bool Listen(SrtReasonText& why)
    {
        m_Listener = srt_create_socket();
        const int no = 0;
        if (m_Listener == SRT_INVALID_SOCK || !Configure(m_Listener, why) ||
            srt_setsockflag(m_Listener, SRTO_RCVSYN, &no, sizeof no) != 0)
        {
            if (why[0] == 0)
                CopyReason(why, srt_getlasterror_str());
            return false;
        }
        if (srt_bind(m_Listener, reinterpret_cast<const sockaddr*>(&m_Address), sizeof m_Address) != 0 ||
            srt_listen(m_Listener, kListenBacklog) != 0)
        {
            std::snprintf(why, sizeof why, "cannot listen: %s", srt_getlasterror_str());
            return false;
        }
        // Accept only when a caller waits: an accept that finds none is
        // an error in the library's log.
        const int in = SRT_EPOLL_IN;
        m_Waiting = srt_epoll_create();
        if (m_Waiting < 0 || srt_epoll_add_usock(m_Waiting, m_Listener, &in) != 0)
        {
            CopyReason(why, srt_getlasterror_str());
            return false;
        }
        return true;
    }

    int Connect(SrtReasonText& why) override
    {
        const SRTSOCKET s = srt_create_socket();
        if (s == SRT_INVALID_SOCK)
        {
            CopyReason(why, srt_getlasterror_str());
            return -1;
        }
        if (Configure(s, why) &&
            srt_connect(s, reinterpret_cast<const sockaddr*>(&m_Address), sizeof m_Address) != SRT_ERROR)
            return s;
        if (why[0] == 0)
        {
            const int rejected = srt_getrejectreason(s);
            // A listener's refusal names its reason (a wrong passphrase);
            // otherwise the failure does (no answer).
            if (rejected != SRT_REJ_UNKNOWN && rejected != SRT_REJ_TIMEOUT)
                std::snprintf(why, sizeof why, "refused: %s", srt_rejectreason_str(rejected));
            else
                std::snprintf(why, sizeof why, "no answer: %s", srt_getlasterror_str());
        }
        srt_close(s);
        return -1;
    }

    int Accept() override
    {
        SRT_EPOLL_EVENT ready[1];
        if (m_Waiting < 0 || srt_epoll_uwait(m_Waiting, ready, 1, 0) <= 0)
            return -1;
        const SRTSOCKET s = srt_accept(m_Listener, nullptr, nullptr);
        return s == SRT_INVALID_SOCK ? -1 : s;
    }

    ESrtSend Send(int connection, const unsigned char* data, int length) override
    {
        if (srt_sendmsg2(connection, reinterpret_cast<const char*>(data), length, nullptr) != SRT_ERROR)
            return ESrtSend::Sent;
        return srt_getlasterror(nullptr) == SRT_EASYNCSND ? ESrtSend::Full : ESrtSend::Lost;
    }

    void Close(int connection) override { srt_close(connection); }

private:
    const SSrtSettings m_Settings;
    const sockaddr_in m_Address;
    SRTSOCKET m_Listener = SRT_INVALID_SOCK;
    int m_Waiting = -1;  // epoll of the listener: a caller waits
};

CSrtSender::CSrtSender()
{
    // The output's stream only: the guide is the URL server's.
    m_FanOut.CollectGuide(false);
}

CSrtSender::~CSrtSender()
{
    Stop();
}

bool CSrtSender::Start(const SSrtSettings& settings, const sockaddr_in& address, int packetsPerMessage,
                       SrtReasonText& refusal)
{
    Stop();
    refusal[0] = 0;
    srt_startup();
    m_Link.reset(new CLink(settings, address));
    const bool listener = settings.Mode == ESrtMode::Listener;
    if (listener && !m_Link->Listen(refusal))
    {
        m_Link.reset();
        srt_cleanup();
        return false;
    }
    m_Session.reset(new CSrtSession(m_FanOut, *m_Link, listener, packetsPerMessage));
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_bStop = false;
        m_szReason[0] = 0;
    }
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CSrtSender::Stop()
{
    if (!m_Thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_bStop = true;
    }
    m_Wake.notify_all();
    m_Thread.join();
    m_Session.reset();
    m_Link.reset();
    srt_cleanup();
    // The next start's connections join a fresh stream.
    m_FanOut.ForgetStream();
}

void CSrtSender::Run()
{
    std::unique_lock<std::mutex> lock(m_Lock);
    while (!m_bStop)
    {
        lock.unlock();
        const uint64_t now = static_cast<uint64_t>(GetTickCount64());
        int wait = m_Session->Step(now);
        lock.lock();
        if (std::strcmp(m_szReason, m_Session->Reason()) != 0)
            CopyReason(m_szReason, m_Session->Reason());
        if (wait > 0)
            m_Wake.wait_for(lock, std::chrono::milliseconds(wait < kLongestSleepMs ? wait : kLongestSleepMs),
                            [this] { return m_bStop; });
    }
    lock.unlock();
    m_Session->CloseAll();
}

ESrtState CSrtSender::State() const
{
    return m_Session != nullptr ? m_Session->State() : ESrtState::Connecting;
}

int CSrtSender::Connections() const
{
    return m_Session != nullptr ? m_Session->Connections() : 0;
}

uint64_t CSrtSender::Drops() const
{
    return m_Session != nullptr ? m_Session->Drops() : 0;
}

uint64_t CSrtSender::Refused() const
{
    return m_Session != nullptr ? m_Session->Refused() : 0;
}

void CSrtSender::Reason(SrtReasonText& out) const
{
    std::lock_guard<std::mutex> guard(m_Lock);
    CopyReason(out, m_szReason);
}
