#include "guide/GuidePool.h"

#include <cstring>

CGuidePool::CGuidePool()
{
    Clear();
}

void CGuidePool::Clear()
{
    for (int i = 0; i < m_nEventHighWater; ++i)
        m_Events[i].InUse = false;
    m_FirstFreeEvent = -1;
    m_nEventHighWater = 0;
    m_nEvents = 0;
    m_FirstFreeBlock = -1;
    m_nBlockHighWater = 0;
    m_nFreeBlocks = kGuideTextBlocks;
    std::memset(m_Index, 0xFF, sizeof m_Index);  // -1 everywhere
}

int CGuidePool::TakeEvent()
{
    if (m_FirstFreeEvent >= 0)
    {
        const int slot = m_FirstFreeEvent;
        m_FirstFreeEvent = m_NextFreeEvent[slot];
        return slot;
    }
    return m_nEventHighWater < kGuideMaxEvents ? m_nEventHighWater++ : -1;
}

int32_t CGuidePool::TakeBlock()
{
    --m_nFreeBlocks;
    if (m_FirstFreeBlock >= 0)
    {
        const int32_t block = m_FirstFreeBlock;
        m_FirstFreeBlock = m_NextBlock[block];
        return block;
    }
    return m_nBlockHighWater++;
}

int CGuidePool::Find(uint16_t service, uint16_t eventId, bool presentFollowing) const
{
    const uint32_t key = Key(service, eventId, presentFollowing);
    for (uint32_t at = Home(key);; at = (at + 1) & (kGuideIndexSize - 1))
    {
        const int slot = m_Index[at];
        if (slot < 0)
            return -1;
        const SGuideEvent& e = m_Events[slot];
        if (Key(e.Service, e.EventId, e.IsPresentFollowing()) == key)
            return slot;
    }
}

void CGuidePool::IndexInsert(uint32_t key, int slot)
{
    uint32_t at = Home(key);
    while (m_Index[at] >= 0)
        at = (at + 1) & (kGuideIndexSize - 1);
    m_Index[at] = slot;
}

void CGuidePool::IndexErase(uint32_t key)
{
    uint32_t at = Home(key);
    for (;; at = (at + 1) & (kGuideIndexSize - 1))
    {
        const int slot = m_Index[at];
        if (slot < 0)
            return;
        const SGuideEvent& e = m_Events[slot];
        if (Key(e.Service, e.EventId, e.IsPresentFollowing()) == key)
            break;
    }
    // Linear probing without tombstones: the entries after the hole move
    // back when their home lies at or before it.
    uint32_t hole = at;
    for (uint32_t next = (hole + 1) & (kGuideIndexSize - 1);; next = (next + 1) & (kGuideIndexSize - 1))
    {
        const int slot = m_Index[next];
        if (slot < 0)
            break;
        const SGuideEvent& e = m_Events[slot];
        const uint32_t home = Home(Key(e.Service, e.EventId, e.IsPresentFollowing()));
        if (((next - home) & (kGuideIndexSize - 1)) >= ((next - hole) & (kGuideIndexSize - 1)))
        {
            m_Index[hole] = slot;
            hole = next;
        }
    }
    m_Index[hole] = -1;
}

void CGuidePool::Remove(int slot)
{
    if (slot < 0 || slot >= kGuideMaxEvents || !m_Events[slot].InUse)
        return;
    SGuideEvent& e = m_Events[slot];
    IndexErase(Key(e.Service, e.EventId, e.IsPresentFollowing()));
    for (int32_t block = e.FirstBlock; block >= 0;)
    {
        const int32_t next = m_NextBlock[block];
        m_NextBlock[block] = m_FirstFreeBlock;
        m_FirstFreeBlock = block;
        ++m_nFreeBlocks;
        block = next;
    }
    e.FirstBlock = -1;
    e.InUse = false;
    m_NextFreeEvent[slot] = m_FirstFreeEvent;
    m_FirstFreeEvent = slot;
    --m_nEvents;
}

bool CGuidePool::CanMakeRoom(int blocks, int64_t start, int replaced) const
{
    int64_t freeBlocks = m_nFreeBlocks;
    bool record = m_FirstFreeEvent >= 0 || m_nEventHighWater < kGuideMaxEvents;
    for (int i = 0; i < m_nEventHighWater && (freeBlocks < blocks || !record); ++i)
    {
        const SGuideEvent& e = m_Events[i];
        if (e.InUse && (i == replaced || e.Start > start))
        {
            freeBlocks += BlocksFor(e.TextBytes);
            record = true;
        }
    }
    return freeBlocks >= blocks && record;
}

void CGuidePool::MakeRoom(int blocks)
{
    while (m_nFreeBlocks < blocks || (m_FirstFreeEvent < 0 && m_nEventHighWater == kGuideMaxEvents))
    {
        int farthest = -1;
        for (int i = 0; i < m_nEventHighWater; ++i)
            if (m_Events[i].InUse && (farthest < 0 || m_Events[i].Start > m_Events[farthest].Start))
                farthest = i;
        if (farthest < 0)
            return;
        if (m_pEvicted != nullptr)
            m_pEvicted(m_pEvictedContext, m_Events[farthest]);
        Remove(farthest);
        ++m_nEvicted;
    }
}

int CGuidePool::Add(const SDecodedEvent& event, uint16_t service, uint8_t tableId, uint8_t section)
{
    const bool presentFollowing = tableId <= 0x4F;
    size_t textBytes = 0;
    for (int l = 0; l < event.nLanguages; ++l)
        textBytes += event.Languages[l].TitleLength + event.Languages[l].SubTitleLength + event.Languages[l].DescLength;
    const int blocks = BlocksFor(textBytes);
    // Decided before anything goes: the stored copy it replaces and the
    // events later than it are what may make room.
    const int replaced = Find(service, event.EventId, presentFollowing);
    if (!CanMakeRoom(blocks, event.Start, replaced))
    {
        ++m_nRefused;
        return -1;
    }
    Remove(replaced);
    MakeRoom(blocks);

    const int slot = TakeEvent();
    ++m_nEvents;
    SGuideEvent& e = m_Events[slot];
    e.Start = event.Start;
    e.Duration = event.Duration;
    e.EventId = event.EventId;
    e.Service = service;
    e.TableId = tableId;
    e.Section = section;
    e.RunningStatus = event.RunningStatus;
    e.nGenres = static_cast<uint8_t>(event.nGenres);
    std::memcpy(e.Genres, event.Genres, sizeof e.Genres);
    std::memcpy(e.RatingCountry, event.RatingCountry, sizeof e.RatingCountry);
    e.RatingAge = event.RatingAge;
    e.nLanguages = static_cast<uint8_t>(event.nLanguages);
    e.InUse = true;
    e.TextBytes = static_cast<uint32_t>(textBytes);
    e.FirstBlock = -1;

    // The texts, field after field, into a chain of blocks.
    int32_t* link = &e.FirstBlock;
    int32_t block = -1;
    size_t used = kGuideTextBlockBytes;  // of the current block
    auto put = [&](const char* text, size_t length) {
        while (length > 0)
        {
            if (used == kGuideTextBlockBytes)
            {
                block = TakeBlock();
                m_NextBlock[block] = -1;
                *link = block;
                link = &m_NextBlock[block];
                used = 0;
            }
            const size_t n = length < kGuideTextBlockBytes - used ? length : kGuideTextBlockBytes - used;
            std::memcpy(m_Blocks[block] + used, text, n);
            used += n;
            text += n;
            length -= n;
        }
    };
    for (int l = 0; l < event.nLanguages; ++l)
    {
        const SEventLanguage& source = event.Languages[l];
        SGuideEvent::SLanguage& target = e.Languages[l];
        std::memcpy(target.Code, source.Code, sizeof target.Code);
        target.TitleLength = static_cast<uint16_t>(source.TitleLength);
        target.SubTitleLength = static_cast<uint16_t>(source.SubTitleLength);
        target.DescLength = static_cast<uint16_t>(source.DescLength);
        put(source.Title, source.TitleLength);
        put(source.SubTitle, source.SubTitleLength);
        put(source.Desc, source.DescLength);
    }
    IndexInsert(Key(service, event.EventId, presentFollowing), slot);
    return slot;
}

size_t CGuidePool::ReadText(int slot, char* out, size_t capacity) const
{
    const SGuideEvent& e = m_Events[slot];
    size_t copied = 0;
    for (int32_t block = e.FirstBlock; block >= 0 && copied < e.TextBytes; block = m_NextBlock[block])
    {
        size_t n = e.TextBytes - copied < kGuideTextBlockBytes ? e.TextBytes - copied : kGuideTextBlockBytes;
        if (n > capacity - copied)
            n = capacity - copied;
        std::memcpy(out + copied, m_Blocks[block], n);
        copied += n;
        if (copied == capacity)
            break;
    }
    return copied;
}
