#pragma once
// When discovery answers and announcements go out, on the URL server's
// thread, with fixed storage:
//
// - a budget of answers per second, whatever arrives: a flood of searches
//   (or searches with a forged sender) never makes this PC send more than
//   kAnswersPerSecond datagrams a second in reply;
// - searches waiting for their answer time (a random delay within the
//   search's MX, so that the devices of a home do not all answer at once);
//   a search that finds the queue full goes unanswered, as a lost datagram
//   would;
// - the alive announcements: at Start, twice more in the first seconds
//   (datagrams get lost), then again well before max-age runs out.
//
// Times are milliseconds of a monotonic clock the caller reads.

#include <cstdint>

constexpr int kAnswersPerSecond = 20;      // datagrams a second, all answers together
constexpr int kPendingSearches = 16;       // searches waiting for their answer time

class CAnswerBudget
{
public:
    // Takes one answer from the budget at time `nowMs`; false when this
    // second's answers are spent.
    bool Take(uint64_t nowMs);

private:
    uint64_t m_nSecondStartMs = 0;
    int m_nTaken = 0;
    bool m_bStarted = false;
};

struct SPendingSearch
{
    uint32_t Address = 0;   // the searcher's, host byte order
    uint16_t Port = 0;
    uint32_t LocalAddress = 0; // the address the search reached (for LOCATION)
    unsigned Types = 0;     // SsdpTypesFor's bits still to answer
    uint64_t DueMs = 0;
};

class CPendingSearches
{
public:
    // Queues a search due at `dueMs`; false when the queue is full.
    bool Add(const SPendingSearch& search);
    // Takes the earliest search due at `nowMs`; false when none is.
    bool TakeDue(uint64_t nowMs, SPendingSearch& search);
    // The earliest due time, or UINT64_MAX when none waits.
    uint64_t NextDueMs() const;
    int Count() const { return m_nCount; }
    void Clear() { m_nCount = 0; }

private:
    SPendingSearch m_Searches[kPendingSearches];
    int m_nCount = 0;
};

// The alive announcements' times: at `startMs`, 1 and 3 s later, then every
// third of max-age (UDA 1.1: before half of it has passed).
class CAnnounceSchedule
{
public:
    void Start(uint64_t startMs, int maxAgeSeconds);
    // True (once) when an announcement is due at `nowMs`.
    bool Due(uint64_t nowMs);
    uint64_t NextMs() const { return m_nNextMs; }

private:
    uint64_t m_nNextMs = UINT64_MAX;
    uint64_t m_nRepeatMs = 0;
    int m_nSent = 0;
};
