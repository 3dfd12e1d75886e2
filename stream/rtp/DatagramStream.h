#pragma once
// One destination's datagram state: its framing, RTP sequence and timestamp
// (a counter, or the 90 kHz clock), parity encoder and count of refused
// datagrams, and the one way chunks become datagrams through them. Portable,
// so that the module's outputs and the benchmarks' copy of the traffic path
// run the same code.
//
// Everything here runs under the sender's lock on the traffic thread: plain
// fields, no allocation, no system call of its own. The caller passes the
// sends (`send(datagram, size)`, `sendFec(direction, packet, size)`, each
// true when the socket accepted it), a millisecond clock and the error of a
// refused send.

#include <cstdint>

#include "rtp/FecEncoder.h"
#include "rtp/RtpFraming.h"
#include "rtp/RtpTimestamps.h"
#include "rtp/SendFailures.h"

class CDatagramStream
{
public:
    // A new run: framing, parity and timestamps as the run asks, no refusals
    // yet. The RTP counters run on from the previous run, so that a receiver
    // sees one stream across Stop and Start. For the clock, `read` answers a
    // monotonic counter of `frequency` counts a second.
    void Begin(EDatagramFraming framing, SFecMatrix fec, ERtpTimestamps timestamps, uint64_t frequency,
               CRtpTimestamps::ReadCounter read)
    {
        m_Framing = framing;
        m_RunFec = fec;
        m_Failures.Reset();
        m_Fec.Begin(fec);
        m_Timestamps.Begin(timestamps, frequency, read);
    }

    // Every whole chunk of `data` as one datagram, each protected on its way
    // and every outcome counted. Returns the payload bytes accepted.
    template <class SendMedia, class SendFec, class Clock, class LastError>
    long long Send(const unsigned char* data, int length, int chunkSize, SendMedia&& send, SendFec&& sendFec,
                   Clock&& now, LastError&& lastError)
    {
        auto fec = CountedFec(sendFec, now, lastError);
        return SendChunks(data, length, chunkSize, m_Framing, m_wSequence, m_dwTimestamp, m_Timestamps,
                          ProtectedBy(m_Fec, m_Failures.Counting(send, now, lastError), fec));
    }

    // The end of a run, before the socket closes: the last matrix is
    // completed and its parity sent, so that a loss among the last datagrams
    // can be repaired too. Nothing is sent without parity.
    template <class SendMedia, class SendFec, class Clock, class LastError>
    void Finish(int chunkSize, SendMedia&& send, SendFec&& sendFec, Clock&& now, LastError&& lastError)
    {
        if (!m_Fec.Active())
            return;
        auto fec = CountedFec(sendFec, now, lastError);
        CompleteFecMatrix(m_Fec, chunkSize, m_wSequence, m_dwTimestamp, m_Timestamps,
                          ProtectedBy(m_Fec, m_Failures.Counting(send, now, lastError), fec), fec);
        m_Fec.End();
    }

    EDatagramFraming Framing() const { return m_Framing; }
    const SFecMatrix& RunFec() const { return m_RunFec; }
    const CFecEncoder& Fec() const { return m_Fec; }
    CSendFailures& Failures() { return m_Failures; }
    const CSendFailures& Failures() const { return m_Failures; }
    uint16_t Sequence() const { return m_wSequence; }
    uint32_t Timestamp() const { return m_dwTimestamp; }
    void SetCounters(uint16_t sequence, uint32_t timestamp)
    {
        m_wSequence = sequence;
        m_dwTimestamp = timestamp;
    }

private:
    template <class SendFec, class Clock, class LastError>
    auto CountedFec(SendFec& sendFec, Clock& now, LastError& lastError)
    {
        return [this, &sendFec, &now, &lastError](EFecDirection direction, const unsigned char* packet, int size) {
            auto one = [&sendFec, direction](const unsigned char* p, int n) { return sendFec(direction, p, n); };
            m_Failures.Counting(one, now, lastError)(packet, size);
        };
    }

    EDatagramFraming m_Framing = EDatagramFraming::Rtp;  // fixed at the run's start
    SFecMatrix m_RunFec;                                  // parity of the run, fixed at its start
    uint16_t m_wSequence = 0;                             // sequence number of the next datagram
    uint32_t m_dwTimestamp = 0;                           // timestamp of the previous datagram
    CRtpTimestamps m_Timestamps;                          // counter or clock, fixed at the run's start
    CFecEncoder m_Fec;                                    // parity of the running stream
    CSendFailures m_Failures;                             // datagrams refused since the run began
};
