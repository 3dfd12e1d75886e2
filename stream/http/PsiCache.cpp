#include "http/PsiCache.h"

#include <cstring>

#include "psi/PatTable.h"
#include "psi/PmtTable.h"

CPsiCache::CPsiCache() { Reset(); }

void CPsiCache::Reset()
{
    m_Pat.Stored.nPackets = 0;
    m_Pat.Pending.nPackets = 0;
    ForgetPmts();
}

void CPsiCache::ForgetPmts()
{
    for (int i = 0; i < m_nPmts; ++i)
        m_PmtSlot[m_Pmts[i].Pid] = 0;
    m_nPmts = 0;
}

void CPsiCache::ObservePackets(const unsigned char* packets, int count)
{
    for (int i = 0; i < count; ++i)
        Observe(packets + static_cast<size_t>(i) * kTsPacketSize);
}

void CPsiCache::Observe(const unsigned char* packet)
{
    // Damaged packets (sync lost, transport_error_indicator) are not kept.
    if (packet[0] != kTsSyncByte || (packet[1] & 0x80) != 0)
        return;
    const int pid = PacketPid(packet);
    if (pid == 0)
        ObservePid(m_Pat, packet, true);
    else if (m_PmtSlot[pid] != 0)
        ObservePid(m_Pmts[m_PmtSlot[pid] - 1], packet, false);
}

void CPsiCache::ObservePid(SPidSections& sections, const unsigned char* packet, bool isPat)
{
    const int adaptation = packet[3] >> 4 & 0x3;
    if ((adaptation & 0x1) == 0)
        return; // no payload
    int offset = 4;
    if (adaptation == 0x3)
        offset += 1 + packet[4];
    if (offset >= kTsPacketSize)
        return;
    const bool unitStart = (packet[1] & 0x40) != 0;
    SSectionPackets& pending = sections.Pending;

    if (!unitStart)
    {
        if (pending.nPackets == 0)
            return; // joined in the middle of a section
        if (pending.nPackets == kPsiSectionMaxPackets)
        {
            pending.nPackets = 0; // longer than any section can be
            return;
        }
        std::memcpy(pending.Packets[pending.nPackets++], packet, kTsPacketSize);
        if (FeedSection(sections, packet + offset, kTsPacketSize - offset, isPat))
            CompleteSection(sections, isPat);
        return;
    }

    // pointer_field: the bytes before the new section end the previous one.
    const int pointer = packet[offset];
    const int start = offset + 1 + pointer;
    if (pending.nPackets > 0)
    {
        if (pending.nPackets < kPsiSectionMaxPackets)
        {
            std::memcpy(pending.Packets[pending.nPackets++], packet, kTsPacketSize);
            const int tail = start <= kTsPacketSize ? pointer : kTsPacketSize - offset - 1;
            if (FeedSection(sections, packet + offset + 1, tail, isPat))
                CompleteSection(sections, isPat);
        }
        pending.nPackets = 0;
    }
    if (start >= kTsPacketSize)
        return;
    std::memcpy(pending.Packets[0], packet, kTsPacketSize);
    pending.nPackets = 1;
    sections.nSectionBytes = 0;
    sections.nSectionLength = -1;
    sections.Crc = 0xFFFFFFFFu;
    if (FeedSection(sections, packet + start, kTsPacketSize - start, isPat))
        CompleteSection(sections, isPat);
}

bool CPsiCache::FeedSection(SPidSections& sections, const unsigned char* bytes, int count, bool isPat)
{
    if (sections.Pending.nPackets == 0 || sections.nSectionBytes < 0)
        return false;
    int used = 0;
    while (used < count && sections.nSectionBytes < 3)
    {
        const unsigned char b = bytes[used++];
        if (isPat)
            m_PatBytes[sections.nSectionBytes] = b;
        sections.Head[sections.nSectionBytes++] = b;
        sections.Crc = Crc32Mpeg(&b, 1, sections.Crc);
        if (sections.nSectionBytes == 3)
        {
            const int length = kSectionHeaderSize + SectionLength(sections.Head);
            const unsigned char expected = isPat ? kPatTableId : kPmtTableId;
            // Too short for a header and a CRC, too long, or another table.
            if (sections.Head[0] != expected || length < kMinLongSectionSize || length > kMaxPsiSectionSize)
            {
                sections.Pending.nPackets = 0;
                return false;
            }
            sections.nSectionLength = length;
        }
    }
    if (sections.nSectionLength < 0)
        return false;
    int take = count - used;
    const int missing = sections.nSectionLength - sections.nSectionBytes;
    if (take > missing)
        take = missing;
    if (isPat)
        std::memcpy(m_PatBytes + sections.nSectionBytes, bytes + used, static_cast<size_t>(take));
    sections.Crc = Crc32Mpeg(bytes + used, take, sections.Crc);
    sections.nSectionBytes += take;
    if (sections.nSectionBytes < sections.nSectionLength)
        return false;
    const bool valid = sections.Crc == 0;
    if (!valid)
        sections.Pending.nPackets = 0;
    return valid;
}

void CPsiCache::CompleteSection(SPidSections& sections, bool isPat)
{
    SSectionPackets& pending = sections.Pending;
    if (isPat)
    {
        // Only the current, first section of a PAT: the one a player needs
        // to find the programs; later sections of a long PAT arrive live.
        if (!SectionIsCurrent(m_PatBytes) || SectionNumber(m_PatBytes) != 0)
        {
            pending.nPackets = 0;
            return;
        }
    }
    std::memcpy(sections.Stored.Packets, pending.Packets, static_cast<size_t>(pending.nPackets) * kTsPacketSize);
    sections.Stored.nPackets = pending.nPackets;
    pending.nPackets = 0;
    if (isPat)
        ReadPat();
}

void CPsiCache::ReadPat()
{
    const int length = m_Pat.nSectionLength;
    uint16_t pids[kPsiCacheMaxPmts];
    int count = 0;
    for (int entry = 0; entry < PatEntryCount(length) && count < kPsiCacheMaxPmts; ++entry)
    {
        const int program = PatProgramNumber(m_PatBytes, entry);
        const uint16_t pid = PatPid(m_PatBytes, entry);
        if (program == 0 || pid == 0)
            continue; // the NIT's entry; PID 0 is the PAT's own
        bool repeated = false;
        for (int i = 0; i < count; ++i)
            repeated = repeated || pids[i] == pid;
        if (!repeated)
            pids[count++] = pid;
    }
    bool same = count == m_nPmts;
    for (int i = 0; same && i < count; ++i)
        same = m_Pmts[i].Pid == pids[i];
    if (same)
        return;
    // Other programs: their PMTs are collected afresh.
    ForgetPmts();
    for (int i = 0; i < count; ++i)
    {
        SPidSections& pmt = m_Pmts[i];
        pmt.Pid = pids[i];
        pmt.Stored.nPackets = 0;
        pmt.Pending.nPackets = 0;
        m_PmtSlot[pids[i]] = static_cast<uint8_t>(i + 1);
    }
    m_nPmts = count;
}

int CPsiCache::PrefixPackets() const
{
    if (m_Pat.Stored.nPackets == 0)
        return 0;
    int packets = m_Pat.Stored.nPackets;
    for (int i = 0; i < m_nPmts; ++i)
        packets += m_Pmts[i].Stored.nPackets;
    return packets;
}

int CPsiCache::CopyPrefix(unsigned char* out, int capacity) const
{
    if (m_Pat.Stored.nPackets == 0 || m_Pat.Stored.nPackets > capacity)
        return 0;
    int copied = 0;
    auto copy = [&](const SSectionPackets& section) {
        if (section.nPackets == 0 || copied + section.nPackets > capacity)
            return;
        std::memcpy(out + static_cast<size_t>(copied) * kTsPacketSize, section.Packets,
                    static_cast<size_t>(section.nPackets) * kTsPacketSize);
        copied += section.nPackets;
    };
    copy(m_Pat.Stored);
    for (int i = 0; i < m_nPmts; ++i)
        copy(m_Pmts[i].Stored);
    return copied;
}
