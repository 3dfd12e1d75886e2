#include "guide/GuideCollector.h"

#include <cstring>

#include "guide/DvbTime.h"
#include "psi/EitTable.h"
#include "psi/PatTable.h"
#include "psi/SdtTable.h"

namespace
{
constexpr unsigned char kTdtTableId = 0x70;
constexpr unsigned char kTotTableId = 0x73;
constexpr int kTdtSize = 8;            // table_id, length, UTC_time
constexpr int kTotMinSize = 8 + 2 + kSectionCrcSize;  // ..., descriptors_loop_length, CRC
constexpr int64_t kPruneIntervalMs = 1000;
}  // namespace

CGuideCollector::CGuideCollector()
{
    m_Pool.SetEvictedListener(&CGuideCollector::OnEvicted, this);
    Reset();
}

void CGuideCollector::OnEvicted(void* self, const SGuideEvent& event)
{
    static_cast<CGuideCollector*>(self)->Unsee(event);
}

void CGuideCollector::Unsee(const SGuideEvent& event)
{
    if (event.Service >= kGuideMaxServices || event.TableId < kEitFirstTableId || event.TableId > kEitLastTableId)
        return;
    m_Services[event.Service].Seen[event.TableId - kEitFirstTableId][event.Section / 8] &=
        static_cast<uint8_t>(~(1u << (event.Section % 8)));
}

void CGuideCollector::Reset()
{
    m_Pool.Clear();
    for (int i = 0; i < kGuideMaxServices; ++i)
        m_Services[i].InUse = false;
    m_nOrder = 0;
    m_bPat = m_bOnid = m_bBroadcastTime = m_bPruned = false;
    m_nTsid = m_nOnid = 0;
    m_Counters = SGuideCounters{};
    m_Pat.Reset();
    m_Sdt.Reset();
    m_Eit.Reset();
    m_Time.Reset();
}

int64_t CGuideCollector::Now(const SGuideClock& clock) const
{
    if (!m_bBroadcastTime)
        return clock.PcUtc;
    return m_BroadcastUtc + (clock.MonotonicMs - m_BroadcastAtMs) / 1000;
}

void CGuideCollector::PutPacket(const unsigned char* packet, const SGuideClock& clock)
{
    if (packet[0] != kTsSyncByte)
        return;
    const uint16_t pid = PacketPid(packet);
    CSectionAssembler* assembler = pid == kPatPid   ? &m_Pat
                                   : pid == kSdtPid ? &m_Sdt
                                   : pid == kEitPid ? &m_Eit
                                   : pid == kTdtPid ? &m_Time
                                                    : nullptr;
    if (assembler == nullptr)
        return;
    assembler->Start(packet);
    int length = 0;
    while (const unsigned char* section = assembler->Next(length))
    {
        if (pid == kPatPid)
            OnPat(section, length);
        else if (pid == kSdtPid)
            OnSdt(section, length);
        else if (pid == kEitPid)
            OnEit(section, length, clock);
        else
            OnTime(section, length, clock);
    }
    Tick(clock);
}

void CGuideCollector::Tick(const SGuideClock& clock)
{
    if (!m_bBroadcastTime)
        return;  // the PC's clock may be hours or years off the broadcast's
    if (m_bPruned && clock.MonotonicMs - m_LastPruneMs < kPruneIntervalMs && clock.MonotonicMs >= m_LastPruneMs)
        return;
    m_bPruned = true;
    m_LastPruneMs = clock.MonotonicMs;
    Prune(Now(clock));
}

int CGuideCollector::ServiceSlot(uint16_t programNumber) const
{
    for (int i = 0; i < m_nOrder; ++i)
        if (m_Services[m_Order[i]].ProgramNumber == programNumber)
            return m_Order[i];
    return -1;
}

void CGuideCollector::ForgetService(int slot)
{
    for (int i = 0; i < m_Pool.Slots(); ++i)
    {
        const SGuideEvent& e = m_Pool.Event(i);
        if (e.InUse && e.Service == slot)
            m_Pool.Remove(i);
    }
    m_Services[slot].InUse = false;
}

void CGuideCollector::OnPat(const unsigned char* section, int length)
{
    // A PAT of more than one section is rare; its first section names the
    // services the guide follows.
    if (!IsValidPat(section, length) || !SectionIsCurrent(section) || SectionNumber(section) != 0)
    {
        if (SectionTableId(section) == kPatTableId && !IsValidPat(section, length))
            ++m_Counters.Damaged;
        return;
    }
    const uint16_t tsid = SectionTableIdExtension(section);
    if (m_bPat && tsid != m_nTsid)
    {
        // Another transport stream: nothing collected so far belongs to it.
        for (int i = 0; i < m_nOrder; ++i)
            ForgetService(m_Order[i]);
        m_nOrder = 0;
        m_bOnid = false;
    }
    m_bPat = true;
    m_nTsid = tsid;
    const int entries = PatEntryCount(length);
    // Services the PAT no longer lists go with their events.
    int kept = 0;
    for (int i = 0; i < m_nOrder; ++i)
    {
        bool listed = false;
        for (int e = 0; e < entries && !listed; ++e)
            listed = PatProgramNumber(section, e) == m_Services[m_Order[i]].ProgramNumber;
        if (listed)
            m_Order[kept++] = m_Order[i];
        else
            ForgetService(m_Order[i]);
    }
    m_nOrder = kept;
    for (int e = 0; e < entries; ++e)
    {
        const uint16_t number = PatProgramNumber(section, e);
        if (number == 0 || ServiceSlot(number) >= 0)
            continue;
        int slot = 0;
        while (slot < kGuideMaxServices && m_Services[slot].InUse)
            ++slot;
        if (slot == kGuideMaxServices)
            break;
        SGuideService& service = m_Services[slot];
        service.InUse = true;
        service.ProgramNumber = number;
        service.Present = service.Following = -1;
        std::memset(service.Version, 0xFF, sizeof service.Version);
        std::memset(service.Seen, 0, sizeof service.Seen);
        m_Order[m_nOrder++] = slot;
    }
}

void CGuideCollector::OnSdt(const unsigned char* section, int length)
{
    if (SectionTableId(section) != kSdtActualTableId)
        return;
    if (!IsValidSdt(section, length))
    {
        ++m_Counters.Damaged;
        return;
    }
    if (!SectionIsCurrent(section) || (m_bPat && SectionTableIdExtension(section) != m_nTsid))
        return;
    m_nOnid = SdtOriginalNetworkId(section);
    m_bOnid = true;
}

void CGuideCollector::RemoveSegment(int slot, uint8_t tableId, int segment)
{
    for (int i = 0; i < m_Pool.Slots(); ++i)
    {
        const SGuideEvent& e = m_Pool.Event(i);
        if (e.InUse && e.Service == slot && e.TableId == tableId && e.Section / 8 == segment)
            m_Pool.Remove(i);
    }
}

void CGuideCollector::OnEit(const unsigned char* section, int length, const SGuideClock& clock)
{
    const unsigned char tableId = SectionTableId(section);
    if (tableId < kEitFirstTableId || tableId > kEitLastTableId)
        return;  // stuffing tables and others share the PID
    if (!IsValidEit(section, length))
    {
        ++m_Counters.Damaged;
        return;
    }
    if (!SectionIsCurrent(section))
        return;
    const int slot = ServiceSlot(SectionTableIdExtension(section));
    // Another transport stream's service of the same number is another service.
    if (slot < 0 || EitTransportStreamId(section) != m_nTsid ||
        (m_bOnid && EitOriginalNetworkId(section) != m_nOnid))
    {
        ++m_Counters.Ignored;
        return;
    }
    if (!m_bOnid && IsEitActualTableId(tableId))
    {
        m_nOnid = EitOriginalNetworkId(section);
        m_bOnid = true;
    }
    SGuideService& service = m_Services[slot];
    const int table = tableId - kEitFirstTableId;
    const int number = SectionNumber(section);
    const int segment = number / 8;
    const uint8_t bit = static_cast<uint8_t>(1u << (number % 8));
    const uint8_t version = static_cast<uint8_t>(SectionVersion(section));
    if (service.Version[table][segment] != version)
    {
        if (service.Version[table][segment] != 0xFF)
            RemoveSegment(slot, tableId, segment);
        service.Version[table][segment] = version;
        service.Seen[table][segment] = 0;
    }
    if (service.Seen[table][segment] & bit)
    {
        ++m_Counters.Repeats;
        return;
    }
    ++m_Counters.Sections;

    const int64_t now = m_bBroadcastTime ? Now(clock) : INT64_MIN;
    bool complete = true;
    int offset = 0;
    SEitEventEntry entry;
    while (EitNextEvent(section, length, offset, entry))
    {
        complete = TakeEvent(entry, slot, tableId, number, now) && complete;
        if (tableId <= 0x4F)
            break;  // one event per p/f section
    }
    if (complete)
        service.Seen[table][segment] |= bit;
}

bool CGuideCollector::TakeEvent(const SEitEventEntry& entry, int slot, uint8_t tableId, int number, int64_t now)
{
    const bool presentFollowing = tableId <= 0x4F;
    int64_t start = 0;
    int32_t duration = 0;
    // No start, a duration of nothing, an undefined one outside
    // present/following: nothing a guide can place, now or later.
    if (!EitEventTimes(entry, start, duration) || duration == 0 ||
        (duration == kEventDurationUndefined && !presentFollowing))
        return true;
    // Ended by the transponder's time (`now` is the earliest time until it
    // is known): left out, and the section is read again should that time
    // have been wrong.
    if (EndOf(slot, presentFollowing ? number : -1, start, duration) <= now)
        return false;
    SGuideService& service = m_Services[slot];
    const uint16_t eventId = static_cast<uint16_t>(entry.Header[0] << 8 | entry.Header[1]);
    int stored = m_Pool.Find(static_cast<uint16_t>(slot), eventId, presentFollowing);
    const SGuideEvent* known = stored >= 0 ? &m_Pool.Event(stored) : nullptr;
    // A section read again keeps what it stored before, undecoded.
    if (known == nullptr || known->TableId != tableId || known->Section != number || known->Start != start ||
        known->Duration != duration)
    {
        if (!DecodeEitEvent(entry, m_Decoded, m_Scratch))
            return true;
        stored = m_Pool.Add(m_Decoded, static_cast<uint16_t>(slot), tableId, static_cast<uint8_t>(number));
    }
    if (presentFollowing && number <= 1)
        (number == 0 ? service.Present : service.Following) = stored;
    // A following event ends a live present one: pruned at once when that
    // has happened already.
    const int present = PresentFollowingOf(slot, 0);
    if (presentFollowing && number == 1 && present >= 0 && !m_Pool.Event(present).HasDuration())
        m_bPruned = false;
    return stored >= 0;
}

void CGuideCollector::OnTime(const unsigned char* section, int length, const SGuideClock& clock)
{
    const unsigned char tableId = SectionTableId(section);
    if (tableId != kTdtTableId && tableId != kTotTableId)
        return;
    const bool valid = tableId == kTdtTableId
                           ? length == kTdtSize
                           : length >= kTotMinSize && Crc32Mpeg(section, length) == 0 &&
                                 10 + (((section[8] & 0x0F) << 8) | section[9]) + kSectionCrcSize == length;
    int64_t utc = 0;
    if (!valid || !DvbUtcTime(section + 3, utc))
    {
        ++m_Counters.Damaged;
        return;
    }
    m_BroadcastUtc = utc;
    m_BroadcastAtMs = clock.MonotonicMs;
    m_bBroadcastTime = true;
    m_bPruned = false;  // a new time: prune by it at once
}

int CGuideCollector::PresentFollowing(int index, int which) const
{
    return PresentFollowingOf(m_Order[index], which);
}

int CGuideCollector::PresentFollowingOf(int slot, int which) const
{
    const SGuideService& service = m_Services[slot];
    const int stored = which == 0 ? service.Present : service.Following;
    if (stored < 0)
        return -1;
    // The slot may since have been pruned or reused.
    const SGuideEvent& e = m_Pool.Event(stored);
    return e.InUse && e.Service == slot && e.IsPresentFollowing() && e.Section == which ? stored : -1;
}

int64_t CGuideCollector::EventEnd(int slot) const
{
    const SGuideEvent& e = m_Pool.Event(slot);
    return EndOf(e.Service, e.IsPresentFollowing() ? e.Section : -1, e.Start, e.Duration);
}

int64_t CGuideCollector::EndOf(int service, int pfSection, int64_t start, int32_t duration) const
{
    if (duration != kEventDurationUndefined)
        return start + duration;
    const int following = pfSection == 0 && service < kGuideMaxServices ? PresentFollowingOf(service, 1) : -1;
    return following >= 0 && m_Pool.Event(following).Start > start ? m_Pool.Event(following).Start : kGuideOpenEnd;
}

void CGuideCollector::Prune(int64_t now)
{
    for (int i = 0; i < m_Pool.Slots(); ++i)
    {
        const SGuideEvent& e = m_Pool.Event(i);
        if (e.InUse && EventEnd(i) <= now)
        {
            // Should the time have been wrong, the next repeat brings it back.
            Unsee(e);
            m_Pool.Remove(i);
            ++m_Counters.Pruned;
        }
    }
}
