#pragma once
// The programme guide of the transponder, collected from its tables: the
// services of the PAT (with the transport stream id) and the original
// network id (SDT actual), the events of EIT present/following and schedule,
// actual and other (tables 0x4E-0x6F) for those services, and the
// transponder's own time (TDT, TOT). Runs on the URL server's thread, fed
// the packets of those PIDs through CGuideFeed; never on the traffic thread.
//
// Sections are reassembled and checked (CRC, lengths, loops); per service,
// table id and segment (8 sections, 3 hours of schedule) the version and the
// sections seen are kept, and a new version replaces the segment's events.
// A section counts as seen only while every event of it is stored: one with
// an event left out (ended, or no room) is read again at its next repeat,
// and so is one whose event was pruned or made room for another, so that a
// wrong time or a full pool loses nothing for good.
//
// Events are judged ended by the transponder's time only (TDT, TOT): until
// the first one nothing is, whatever the PC's clock says. Events that have
// ended by it are pruned.

#include <cstdint>

#include "guide/EitEvent.h"
#include "guide/GuidePool.h"
#include "psi/PsiSection.h"

constexpr int kGuideMaxServices = 128;  // as many as the page lists
constexpr int kEitTableIds = 0x6F - 0x4E + 1;
constexpr int kEitSegments = 32;        // 256 sections of 8
constexpr int64_t kGuideOpenEnd = INT64_MAX;

// The PC's clock, which the collector reads only through this: UTC seconds
// and a monotonic millisecond count.
struct SGuideClock
{
    int64_t PcUtc = 0;
    int64_t MonotonicMs = 0;
};

struct SGuideService
{
    uint16_t ProgramNumber = 0;  // service_id
    bool InUse = false;
    int Present = -1;            // pool slots of EIT p/f section 0 and 1; -1: none
    int Following = -1;
    uint8_t Version[kEitTableIds][kEitSegments];  // 0xFF: none seen
    uint8_t Seen[kEitTableIds][kEitSegments];     // sections of the segment read at that version
};

struct SGuideCounters
{
    uint64_t Sections = 0;       // EIT sections read (again while an event of theirs is missing)
    uint64_t Repeats = 0;        // EIT sections skipped as already read
    uint64_t Damaged = 0;        // sections of the four PIDs refused (CRC, lengths)
    uint64_t Ignored = 0;        // EIT of services this transponder's PAT does not list
    uint64_t Pruned = 0;         // events that ended
};

class CGuideCollector
{
public:
    CGuideCollector();
    CGuideCollector(const CGuideCollector&) = delete;
    CGuideCollector& operator=(const CGuideCollector&) = delete;

    // Forgets everything (a new stream).
    void Reset();
    // One whole packet of PID 0x00, 0x11, 0x12 or 0x14 (others are ignored).
    void PutPacket(const unsigned char* packet, const SGuideClock& clock);
    // Prunes what has ended by the transponder's time (at most once a second).
    void Tick(const SGuideClock& clock);

    // The transponder's time: the latest TDT/TOT plus the time since it
    // came; the PC's clock until the first one (for showing only: nothing
    // is judged ended by it).
    int64_t Now(const SGuideClock& clock) const;
    bool HasBroadcastTime() const { return m_bBroadcastTime; }

    // The PAT's services in its order.
    int ServiceCount() const { return m_nOrder; }
    const SGuideService& ServiceAt(int index) const { return m_Services[m_Order[index]]; }
    int ServiceSlotAt(int index) const { return m_Order[index]; }
    uint16_t TransportStreamId() const { return m_nTsid; }
    bool HasTransportStreamId() const { return m_bPat; }
    uint16_t OriginalNetworkId() const { return m_nOnid; }
    bool HasOriginalNetworkId() const { return m_bOnid; }

    // The pool slot of the event EIT present/following names now (`which`
    // 0) or next (1) for the service at `index`; -1 when there is none.
    int PresentFollowing(int index, int which) const;

    // When the event in pool slot `slot` ends: its start and duration; for
    // a present event whose duration is undefined (a live event), the start
    // of the following event, or kGuideOpenEnd while none is known.
    int64_t EventEnd(int slot) const;

    const CGuidePool& Pool() const { return m_Pool; }
    const SGuideCounters& Counters() const { return m_Counters; }

private:
    void OnPat(const unsigned char* section, int length);
    void OnSdt(const unsigned char* section, int length);
    void OnEit(const unsigned char* section, int length, const SGuideClock& clock);
    void OnTime(const unsigned char* section, int length, const SGuideClock& clock);
    int ServiceSlot(uint16_t programNumber) const;
    void ForgetService(int slot);
    void RemoveSegment(int slot, uint8_t tableId, int segment);
    void Prune(int64_t now);
    int PresentFollowingOf(int slot, int which) const;
    // EventEnd's rule for an event of service slot `service`, of p/f section
    // `pfSection` (-1: of the schedule).
    int64_t EndOf(int service, int pfSection, int64_t start, int32_t duration) const;
    // Takes the event in `entry` from section `number` of `tableId`; false
    // when it is left out for now (ended, no room).
    bool TakeEvent(const SEitEventEntry& entry, int slot, uint8_t tableId, int number, int64_t now);
    // The section of a stored event is to be read again.
    void Unsee(const SGuideEvent& event);
    static void OnEvicted(void* self, const SGuideEvent& event);

    CGuidePool m_Pool;
    SGuideService m_Services[kGuideMaxServices];
    int m_Order[kGuideMaxServices] = {};  // slots in PAT order
    int m_nOrder = 0;
    bool m_bPat = false;
    uint16_t m_nTsid = 0;
    bool m_bOnid = false;
    uint16_t m_nOnid = 0;
    bool m_bBroadcastTime = false;
    int64_t m_BroadcastUtc = 0;
    int64_t m_BroadcastAtMs = 0;
    int64_t m_LastPruneMs = 0;
    bool m_bPruned = false;
    SGuideCounters m_Counters;
    SDecodedEvent m_Decoded;              // one event at a time
    SEventDecodeScratch m_Scratch;
    unsigned char m_PatBuffer[kMaxPsiSectionSize];
    CSectionAssembler m_Pat{m_PatBuffer, kMaxPsiSectionSize};
    unsigned char m_SdtBuffer[kMaxSiSectionSize];
    CSectionAssembler m_Sdt{m_SdtBuffer, kMaxSiSectionSize};
    unsigned char m_EitBuffer[kMaxSiSectionSize];
    CSectionAssembler m_Eit{m_EitBuffer, kMaxSiSectionSize};
    unsigned char m_TimeBuffer[kMaxPsiSectionSize];
    CSectionAssembler m_Time{m_TimeBuffer, kMaxPsiSectionSize};
};
