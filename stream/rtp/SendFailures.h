#pragma once
// Datagrams that the socket refused, as the sender sees them: how many since
// the stream started, the last error, and whether sending is failing right
// now. Portable and without a clock of its own, so that the rules can be
// checked natively.
//
// Sending "fails" from the first refused datagram on. It "succeeds again"
// only after a clean run: kCleanRunDatagrams or more accepted in a row that
// span at least kCleanRunMs. A link that drops every other datagram therefore
// stays failing, and the failing state changes at most twice a second however
// the refusals are spread, so a log line per change is never a line per
// datagram.
//
// Everything here runs under the sender's lock, on the traffic thread: plain
// fields, no allocation, no system call of its own. The caller's clock is read
// only while failing, and never for a refused datagram: when a clean run
// begins and once every kCleanRunDatagrams of it.

#include <cstdint>

class CSendFailures
{
public:
    static constexpr uint32_t kCleanRunDatagrams = 32;
    static constexpr uint32_t kCleanRunMs = 1000;

    void Reset() { *this = CSendFailures(); }

    void Refused(int error)
    {
        ++m_nRefused;
        m_nLastError = error;
        m_nAcceptedInARow = 0;
        if (!m_bFailing)
        {
            m_bFailing = true;
            m_nRefusedBeforeEpisode = m_nRefused - 1;
        }
    }

    // `now` answers a millisecond tick count (wrapping at 2^32).
    template <class Clock>
    void Accepted(Clock&& now)
    {
        if (!m_bFailing)
            return;
        if (m_nAcceptedInARow++ == 0)
        {
            m_dwCleanSince = static_cast<uint32_t>(now());
            return;
        }
        if (m_nAcceptedInARow % kCleanRunDatagrams != 0)
            return;
        if (static_cast<uint32_t>(static_cast<uint32_t>(now()) - m_dwCleanSince) >= kCleanRunMs)
            m_bFailing = false;
    }

    uint64_t Refused() const { return m_nRefused; }
    int LastError() const { return m_nLastError; }
    bool Failing() const { return m_bFailing; }
    // Refused in the latest episode, the current one while failing.
    uint64_t RefusedInEpisode() const { return m_nRefused - m_nRefusedBeforeEpisode; }

    // True once per change of Failing(): the change has to be reported now.
    bool TakeChange()
    {
        if (m_bReportedFailing == m_bFailing)
            return false;
        m_bReportedFailing = m_bFailing;
        return true;
    }

    // `send` (bool(const unsigned char* datagram, int size), true when the
    // socket accepted it) with every outcome counted here; `lastError()`
    // answers the error of a refused datagram.
    template <class Send, class Clock, class LastError>
    auto Counting(Send&& send, Clock&& now, LastError&& lastError)
    {
        return [this, &send, &now, &lastError](const unsigned char* datagram, int size) {
            if (send(datagram, size))
            {
                Accepted(now);
                return true;
            }
            Refused(lastError());
            return false;
        };
    }

private:
    uint64_t m_nRefused = 0;               // since the stream started
    uint64_t m_nRefusedBeforeEpisode = 0;  // m_nRefused when the latest episode began
    int m_nLastError = 0;
    uint32_t m_nAcceptedInARow = 0;        // while failing: since the last refusal
    uint32_t m_dwCleanSince = 0;           // tick of the first of them
    bool m_bFailing = false;
    bool m_bReportedFailing = false;       // what the latest reported change said
};
