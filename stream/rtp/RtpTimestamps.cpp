#include "rtp/RtpTimestamps.h"

namespace
{
// The rest of a second times 90000 fits 64 bits up to this frequency.
constexpr uint64_t kLargestExactFrequency = UINT64_MAX / kRtpClockRate;
}  // namespace

uint64_t CountsToRtpTicks(uint64_t counts, uint64_t frequency)
{
    const uint64_t wholeSeconds = counts / frequency;
    uint64_t rest = counts % frequency;
    // No counter runs this fast today; halving both keeps the product in
    // range, within a tick of the exact value.
    while (frequency > kLargestExactFrequency)
    {
        frequency >>= 1;
        rest >>= 1;
    }
    return wholeSeconds * kRtpClockRate + rest * kRtpClockRate / frequency;
}

void CRtpTimestamps::Begin(ERtpTimestamps mode, uint64_t frequency, ReadCounter read)
{
    m_eMode = mode == ERtpTimestamps::Clock && frequency != 0 && read != nullptr ? ERtpTimestamps::Clock
                                                                                : ERtpTimestamps::Counter;
    m_pRead = read;
    m_nFrequency = frequency;
    m_bHaveBase = false;
    if (m_eMode == ERtpTimestamps::Clock)
        m_nBegin = m_nLatest = read();
}

uint32_t CRtpTimestamps::FromClock(uint32_t previous, uint64_t now)
{
    if (!m_bHaveBase)
    {
        m_dwBase = previous;
        m_bHaveBase = true;
    }
    // Differences, not values: a counter that wraps around 2^64 still counts
    // on. One that reads lower than before stands still instead.
    if (static_cast<int64_t>(now - m_nLatest) > 0)
        m_nLatest = now;
    return m_dwBase + static_cast<uint32_t>(CountsToRtpTicks(m_nLatest - m_nBegin, m_nFrequency));
}
