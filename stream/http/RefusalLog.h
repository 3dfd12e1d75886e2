#pragma once
// How often the URL server writes a line about a connection it refused or
// closed at once: anyone who can reach the port can bring thousands a
// second, and a line each would flood the host's log. The first refusal
// after a quiet second gets its line at once; the ones that follow within
// the second are counted, and one line a second later gives their number.
//
// Times are milliseconds of a wrapping 32-bit tick count (GetTickCount).

#include <cstdint>

constexpr uint32_t kRefusalLogIntervalMs = 1000;

class CRefusalLog
{
public:
    // A refusal at `now`. True: write its line now. False: counted for the
    // next line (TakeCounted).
    bool Note(uint32_t now)
    {
        if (m_nCounted == 0 && (!m_bWritten || now - m_LastLine >= kRefusalLogIntervalMs))
        {
            m_bWritten = true;
            m_LastLine = now;
            return true;
        }
        ++m_nCounted;
        return false;
    }

    // The refusals counted since the latest line, once a second has passed
    // since it (a line with their number is then due); 0 otherwise.
    uint32_t TakeCounted(uint32_t now)
    {
        if (m_nCounted == 0 || now - m_LastLine < kRefusalLogIntervalMs)
            return 0;
        const uint32_t counted = m_nCounted;
        m_nCounted = 0;
        m_LastLine = now;
        return counted;
    }

private:
    uint32_t m_LastLine = 0;  // when the latest line went out
    uint32_t m_nCounted = 0;  // refusals since then without a line of their own
    bool m_bWritten = false;  // any line yet
};
