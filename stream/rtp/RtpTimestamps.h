#pragma once
// The media datagrams' RTP timestamps. By default a counter that adds 90 for
// every datagram. It claims the 90 kHz clock but runs at 90 x datagrams a
// second: slower than real time below 1000 datagrams a second, faster above.
// Receivers that place packets by their timestamps (an FEC decoder's jitter
// buffer, with repaired packets arriving late) then misplace them. The clock
// gives each datagram the time at which it is sent, in 90 kHz ticks of a
// monotonic counter (the transmission time that RFC 2250 names).
//
// A run starts where the previous one stopped: its first datagram's
// timestamp is the last one sent plus the ticks since Begin, so the
// timestamps never step back across Stop and Start, whichever way each run
// counted. Two datagrams within one tick share a timestamp, as RTP allows;
// a counter that seems to go back counts as standing still.
//
// Portable and without a clock of its own: the caller names the counter and
// its frequency (QueryPerformanceCounter on Windows), so the native tests
// can drive it.

#include <cstdint>

#include "rtp/RtpFraming.h"

// Which timestamps a run sends: the key's values.
enum class ERtpTimestamps : int32_t
{
    Counter = 0,  // 90 per datagram
    Clock = 1,    // 90 kHz, when sent
};

constexpr uint64_t kRtpClockRate = 90000;

// `counts` of a counter running at `frequency` a second, in 90 kHz ticks
// (rounded down) modulo 2^64: whole seconds and the rest apart, so that
// nothing overflows before the modulo that the 32-bit timestamp takes
// anyway. `frequency` > 0.
uint64_t CountsToRtpTicks(uint64_t counts, uint64_t frequency);

class CRtpTimestamps
{
public:
    using ReadCounter = uint64_t (*)();

    // A new run. For the clock, `frequency` is the counts a second of the
    // monotonic counter that `read` answers; without one (0, or no `read`)
    // the run counts instead.
    void Begin(ERtpTimestamps mode, uint64_t frequency, ReadCounter read);
    ERtpTimestamps Mode() const { return m_eMode; }

    // The timestamp of the datagram sent now, after one that carried
    // `previous`.
    uint32_t operator()(uint32_t previous)
    {
        if (m_eMode == ERtpTimestamps::Counter)
            return SRtpCounterStep()(previous);
        return FromClock(previous, m_pRead());
    }

private:
    uint32_t FromClock(uint32_t previous, uint64_t now);

    ERtpTimestamps m_eMode = ERtpTimestamps::Counter;
    ReadCounter m_pRead = nullptr;
    uint64_t m_nFrequency = 0;
    uint64_t m_nBegin = 0;       // the counter at Begin
    uint64_t m_nLatest = 0;      // the latest reading taken, never lower than m_nBegin
    uint32_t m_dwBase = 0;       // the previous run's last timestamp
    bool m_bHaveBase = false;    // the run's first datagram has taken m_dwBase
};
