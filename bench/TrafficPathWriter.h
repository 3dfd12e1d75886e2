#pragma once
// One output of the module object with the socket taken out: the same
// aligner, the same lock taken the same way, the same datagram state
// (stream/rtp/DatagramStream.h), and the send replaced by a sink. Feed and
// ReceiveAlignedTraffic are line for line those of COutput
// (module/outputs/Output.cpp), so what is measured or checked here is what the
// module does per packet short of the system calls: where the module asks
// WSAGetLastError, the sink's refusal counts with error 0, and where it writes
// a line to the host's log, the change is counted. With programs selected
// (SelectPrograms before Start), the traffic goes through the program filter
// as in the module.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>

#include "ts/CriticalSection.h"
#include "programs/ProgramFeed.h"
#include "rtp/DatagramStream.h"
#include "ts/TsAligner.h"

// Sink: callable as bool(const unsigned char* datagram, int size), standing in
// for sendto; true means the datagram was accepted.
template <class Sink>
class CTrafficPathWriter final : public CTsAligner
{
public:
    explicit CTrafficPathWriter(int packetsPerDatagram, Sink sink = Sink(),
                                EDatagramFraming framing = EDatagramFraming::Rtp, SFecMatrix fec = SFecMatrix())
        : m_Framing(framing), m_FecMatrix(fec), m_Sink(std::move(sink))
    {
        m_nChunkSize = packetsPerDatagram * kTsPacketSize;
    }

    // As the Programs key: taken at the next Start.
    void SelectPrograms(const SProgramSelection& programs) { m_Programs = programs; }

    // As StartWrite: the aligner and the filter are emptied before the flag
    // lets traffic in.
    void Start()
    {
        Reset();
        m_RunPrograms = m_Programs;
        m_ProgramFeed.Reset(m_RunPrograms);
        m_nProgramsPresent.store(-1, std::memory_order_relaxed);
        m_llTotalBytes.store(0, std::memory_order_relaxed);
        {
            SafeCriticalSection guard(m_cs);
            // As the module: the 90 kHz clock with FEC, read for every datagram.
            m_Stream.Begin(m_Framing, m_FecMatrix,
                           m_FecMatrix.Columns != 0 ? ERtpTimestamps::Clock : ERtpTimestamps::Counter,
                           kNanosecondsPerSecond, SteadyNanoseconds);
        }
        m_bStreaming.store(1, std::memory_order_release);
    }

    // As StopWrite: the flag is cleared and the last FEC matrix completed
    // under the lock.
    void Stop()
    {
        m_cs.Lock();
        m_bStreaming.store(0, std::memory_order_release);
        m_Stream.Finish(m_nChunkSize, m_Sink, FecSink(), TickCount, NoError);
        m_cs.Unlock();
    }

    // The host's block: dropped while stopped, else one packet at a time.
    void ReceiveTraffic(unsigned char* data, int length)
    {
        if (m_bStreaming.load(std::memory_order_acquire) == 0)
            return;
        if (m_RunPrograms.Count == 0)
        {
            FeedInPacketSteps(*this, data, length);
            return;
        }
        m_ProgramFeed.Feed(*this, data, length, m_nProgramsPresent);
    }

    using CTsAligner::ReceiveNotAlignedTraffic;

    int ProgramsPresent() const { return m_nProgramsPresent.load(std::memory_order_relaxed); }
    long long TotalBytes() const { return m_llTotalBytes.load(std::memory_order_relaxed); }
    uint16_t NextSequence() const { return m_Stream.Sequence(); }
    uint16_t FecPackets() const
    {
        return static_cast<uint16_t>(m_Stream.Fec().ColumnSequence() + m_Stream.Fec().RowSequence());
    }
    const CSendFailures& SendFailures() const { return m_Stream.Failures(); }
    long ReportedChanges() const { return m_nReportedChanges; }
    Sink& GetSink() { return m_Sink; }

protected:
    void ReceiveAlignedTraffic(unsigned char* data, int length) override
    {
        bool changed = false;
        {
            SafeCriticalSection guard(m_cs);
            const long long accepted = m_Stream.Send(data, length, m_nChunkSize, m_Sink, FecSink(), TickCount, NoError);
            if (accepted != 0)
                m_llTotalBytes.store(m_llTotalBytes.load(std::memory_order_relaxed) + accepted,
                                     std::memory_order_relaxed);
            changed = m_Stream.Failures().TakeChange();
        }
        if (changed)
            ++m_nReportedChanges;
    }

    static int NoError() { return 0; }

    // FEC packets go to the same sink, counted as the module counts them.
    auto FecSink()
    {
        return [this](EFecDirection, const unsigned char* packet, int size) { return m_Sink(packet, size); };
    }

    static constexpr uint64_t kNanosecondsPerSecond = 1000000000;
    static uint64_t SteadyNanoseconds()
    {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    }

    static uint32_t TickCount()
    {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }

private:
    critical_section m_cs;                  // held while sending and while stopping
    std::atomic<int32_t> m_bStreaming{0};   // 1 while streaming; read without the lock
    std::atomic<int64_t> m_llTotalBytes{0}; // payload bytes accepted since the latest start
    long m_nReportedChanges = 0;            // where the module writes to the host's log
    EDatagramFraming m_Framing;             // RTP header or the chunk alone
    SFecMatrix m_FecMatrix;                 // parity asked for; none by default
    CDatagramStream m_Stream;               // counters, parity, refusals; under m_cs
    Sink m_Sink;                            // where sendto would be
    SProgramSelection m_Programs{};         // the Programs key; Count 0: all
    SProgramSelection m_RunPrograms{};      // fixed at Start
    CProgramFeed m_ProgramFeed;             // traffic thread only, Reset at Start
    std::atomic<int32_t> m_nProgramsPresent{-1};  // the filter's ProgramsPresent(), for the dialog
};

// The module object's ReceiveTraffic with several outputs: the host's block
// to each output in turn, on the one traffic thread.
template <class Writer>
void FeedOutputs(Writer* const* outputs, int count, unsigned char* data, int length)
{
    for (int i = 0; i < count; ++i)
        outputs[i]->ReceiveTraffic(data, length);
}
