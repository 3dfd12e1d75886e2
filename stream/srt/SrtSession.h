#pragma once
// The sending half of one SRT output, on a thread of its own: what it does
// with its connections, apart from the library that carries them (ISrtLink),
// so that it runs natively under the sanitizers against a link of the
// tests' own.
//
// The traffic thread hands the output's stream to a CViewerFanOut and
// nothing else: it never calls into the library, which takes locks and may
// wait. Each connection reads that fan-out as a URL viewer reads its ring:
// from a packet boundary, the tables first. A connection whose far end
// cannot keep up falls a whole ring behind; it loses what was written over
// (counted) and goes on from the latest packet, tables first again, and the
// others lose nothing.
//
// A caller connects to its listener and, when it cannot or the far end goes
// away, tries again after 1 s, doubling up to 10 s. A listener serves up to
// kMaxSrtCallers connections at once and closes any beyond them.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "http/ViewerFanOut.h"
#include "ts/TsConstants.h"

constexpr int kMaxSrtCallers = 8;
constexpr int kSrtRetryFirstMs = 1000;
constexpr int kSrtRetryLastMs = 10000;
// How soon to look again when a connection had nothing to send or the
// library's buffer was full.
constexpr int kSrtIdleMs = 5;
// The messages one connection sends in one turn, so that a turn stays short
// and every connection gets its turn.
constexpr int kSrtMessagesPerTurn = 64;
// Live mode's largest message: seven transport stream packets.
constexpr int kMaxSrtMessagePackets = 7;
constexpr int kSrtReasonCapacity = 96;

using SrtReasonText = char[kSrtReasonCapacity];

enum class ESrtSend
{
    Sent,
    Full,  // the library's send buffer is full: the same message later
    Lost,  // the connection is gone
};

// The library's side of the connections. Connection numbers are the link's.
class ISrtLink
{
public:
    // Caller: one attempt to connect, at most a few seconds long. The
    // connection, or -1 with `why` saying why not.
    virtual int Connect(SrtReasonText& why) = 0;
    // Listener: a caller's connection that is waiting, without waiting; -1: none.
    virtual int Accept() = 0;
    // One message of whole packets.
    virtual ESrtSend Send(int connection, const unsigned char* data, int length) = 0;
    virtual void Close(int connection) = 0;

protected:
    ~ISrtLink() = default;
};

enum class ESrtState : int
{
    Connecting,  // caller: not connected; Reason() says why the latest attempt failed
    Connected,   // caller: connected
    Listening,   // listener: Connections() callers served
};

class CSrtSession
{
public:
    // `stream` is the output's, fed by the traffic thread; this session is
    // its only reader. `packetsPerMessage` 1..7.
    CSrtSession(CViewerFanOut& stream, ISrtLink& link, bool listener, int packetsPerMessage);
    ~CSrtSession();
    CSrtSession(const CSrtSession&) = delete;
    CSrtSession& operator=(const CSrtSession&) = delete;

    // Sender thread: one turn at `nowMs` (any monotonic clock): connects or
    // accepts when due, then sends what the stream has for each connection.
    // Returns the ms until the next turn is due (0: at once).
    int Step(uint64_t nowMs);
    // Sender thread: every connection closed (Stop).
    void CloseAll();

    // Any thread.
    ESrtState State() const { return static_cast<ESrtState>(m_nState.load(std::memory_order_relaxed)); }
    int Connections() const { return m_nConnections.load(std::memory_order_relaxed); }
    // Times a connection fell a ring behind and lost what was written over.
    uint64_t Drops() const { return m_nDrops.load(std::memory_order_relaxed); }
    // Callers closed at once because kMaxSrtCallers were served.
    uint64_t Refused() const { return m_nRefused.load(std::memory_order_relaxed); }
    // Sender thread: why the latest attempt failed or connection ended ("" when none did).
    const char* Reason() const { return m_szReason; }

private:
    struct SConnection
    {
        int Link = -1;    // the link's number; -1: a free slot
        int Viewer = -1;  // the connection's reader of the stream
    };

    bool Open(SConnection& connection, int link);
    void Close(SConnection& connection, const char* why);
    // Sends what the stream has; false when the connection ended.
    bool Drain(SConnection& connection, bool& more);
    void SetReason(const char* why);
    int Connect(uint64_t nowMs);
    void AcceptWaiting();

    CViewerFanOut& m_Stream;
    ISrtLink& m_Link;
    const bool m_bListener;
    const size_t m_nMessageBytes;
    SConnection m_Connections[kMaxSrtCallers];
    uint64_t m_nNextAttempt = 0;   // caller: when to connect again
    int m_nRetryMs = kSrtRetryFirstMs;
    SrtReasonText m_szReason = {};
    std::atomic<int> m_nState;
    std::atomic<int> m_nConnections{0};
    std::atomic<uint64_t> m_nDrops{0};
    std::atomic<uint64_t> m_nRefused{0};
    unsigned char m_Message[kMaxSrtMessagePackets * kTsPacketSize];
};
