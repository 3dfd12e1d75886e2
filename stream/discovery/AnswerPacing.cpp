#include "discovery/AnswerPacing.h"

bool CAnswerBudget::Take(uint64_t nowMs)
{
    if (!m_bStarted || nowMs - m_nSecondStartMs >= 1000 || nowMs < m_nSecondStartMs)
    {
        m_bStarted = true;
        m_nSecondStartMs = nowMs;
        m_nTaken = 0;
    }
    if (m_nTaken >= kAnswersPerSecond)
        return false;
    ++m_nTaken;
    return true;
}

bool CPendingSearches::Add(const SPendingSearch& search)
{
    if (m_nCount == kPendingSearches)
        return false;
    m_Searches[m_nCount++] = search;
    return true;
}

bool CPendingSearches::TakeDue(uint64_t nowMs, SPendingSearch& search)
{
    int earliest = -1;
    for (int i = 0; i < m_nCount; ++i)
        if (m_Searches[i].DueMs <= nowMs && (earliest < 0 || m_Searches[i].DueMs < m_Searches[earliest].DueMs))
            earliest = i;
    if (earliest < 0)
        return false;
    search = m_Searches[earliest];
    m_Searches[earliest] = m_Searches[--m_nCount];
    return true;
}

uint64_t CPendingSearches::NextDueMs() const
{
    uint64_t next = UINT64_MAX;
    for (int i = 0; i < m_nCount; ++i)
        if (m_Searches[i].DueMs < next)
            next = m_Searches[i].DueMs;
    return next;
}

void CAnnounceSchedule::Start(uint64_t startMs, int maxAgeSeconds)
{
    m_nNextMs = startMs;
    m_nRepeatMs = static_cast<uint64_t>(maxAgeSeconds > 3 ? maxAgeSeconds : 3) * 1000 / 3;
    m_nSent = 0;
}

bool CAnnounceSchedule::Due(uint64_t nowMs)
{
    if (nowMs < m_nNextMs)
        return false;
    ++m_nSent;
    // The first three close together, then the long repeat.
    m_nNextMs = nowMs + (m_nSent == 1 ? 1000 : m_nSent == 2 ? 2000 : m_nRepeatMs);
    return true;
}
