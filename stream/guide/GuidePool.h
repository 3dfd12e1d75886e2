#pragma once
// The guide's events in fixed memory: a table of event records, their texts
// in chains of fixed blocks, and an index by service and event id. Made once
// (some 16 MB, see kGuidePoolBytes), never grown: sized for 7 days of 64
// services with long texts. When it is full, the events farthest in the
// future go first; an event later than every stored one is not taken, and
// nothing goes for an event that would not be taken in the end. One thread
// only (the collector's).

#include <cstddef>
#include <cstdint>

#include "guide/EitEvent.h"

constexpr int kGuideMaxEvents = 20480;       // 64 services x 7 days x 45 events
constexpr int kGuideTextBlockBytes = 128;
// 13.5 MiB: 600 bytes of text an event on average, and each event's last
// block half empty on average (at 12 MiB the dense 7-day schedule of the
// benchmarks, 600 bytes an event, did not fit: 978 events evicted).
constexpr int kGuideTextBlocks = 110592;
constexpr int kGuideIndexSize = 32768;       // a power of two, 1.6 x the events
// An event's texts together: every field of both languages at their largest.
constexpr size_t kGuideEventTextCapacity = kEventLanguages * (2 * kEventTitleCapacity + kEventDescCapacity);

struct SGuideEvent
{
    int64_t Start = 0;               // UTC seconds since 1970
    int32_t Duration = 0;            // seconds, or kEventDurationUndefined (see CGuideCollector::EventEnd)
    uint16_t EventId = 0;
    uint16_t Service = 0;            // the collector's service slot
    uint8_t TableId = 0;             // where it came from: table and section
    uint8_t Section = 0;
    uint8_t RunningStatus = 0;
    uint8_t nGenres = 0;
    uint8_t Genres[kEventMaxGenres] = {};
    char RatingCountry[4] = {};
    uint8_t RatingAge = 0;
    uint8_t nLanguages = 0;
    bool InUse = false;
    struct SLanguage
    {
        char Code[4];
        uint16_t TitleLength, SubTitleLength, DescLength;  // in the text: title, sub-title, desc, per language
    } Languages[kEventLanguages] = {};
    int32_t FirstBlock = -1;         // its text's first block; -1: no text
    uint32_t TextBytes = 0;

    bool IsPresentFollowing() const { return TableId <= 0x4F; }
    bool HasDuration() const { return Duration >= 0; }
};

// Told of each event the pool takes out to make room, before it goes.
using GuideEvictedFunction = void (*)(void* context, const SGuideEvent& event);

class CGuidePool
{
public:
    CGuidePool();
    CGuidePool(const CGuidePool&) = delete;
    CGuidePool& operator=(const CGuidePool&) = delete;

    void Clear();
    void SetEvictedListener(GuideEvictedFunction function, void* context)
    {
        m_pEvicted = function;
        m_pEvictedContext = context;
    }

    // Stores `event` of service slot `service` from `tableId` / `section`,
    // replacing a stored one with the same service, event id and kind
    // (present/following or schedule). The slot, or -1 when there is no
    // room even with every event later than it gone; then nothing went.
    int Add(const SDecodedEvent& event, uint16_t service, uint8_t tableId, uint8_t section);
    void Remove(int slot);
    // The slot of an event, -1 when not stored.
    int Find(uint16_t service, uint16_t eventId, bool presentFollowing) const;

    const SGuideEvent& Event(int slot) const { return m_Events[slot]; }
    // Slots ever used since Clear: every stored event lies below.
    int Slots() const { return m_nEventHighWater; }
    int Count() const { return m_nEvents; }
    int BlocksInUse() const { return kGuideTextBlocks - m_nFreeBlocks; }
    // Text blocks ever used since Clear: with Slots(), what the pool has
    // touched of its memory (the system commits pages as they are touched).
    int BlockHighWater() const { return m_nBlockHighWater; }
    // Copies the event's texts (at most kGuideEventTextCapacity bytes) into `out`.
    size_t ReadText(int slot, char* out, size_t capacity) const;

    uint64_t Evicted() const { return m_nEvicted; }  // taken out for nearer ones
    uint64_t Refused() const { return m_nRefused; }  // not taken: farther than all

private:
    static uint32_t Key(uint16_t service, uint16_t eventId, bool presentFollowing)
    {
        return static_cast<uint32_t>(service) << 17 | (presentFollowing ? 1u << 16 : 0u) | eventId;
    }
    static uint32_t Home(uint32_t key) { return (key * 2654435761u) >> 17 & (kGuideIndexSize - 1); }
    void IndexInsert(uint32_t key, int slot);
    void IndexErase(uint32_t key);
    static int BlocksFor(size_t textBytes)
    {
        return static_cast<int>((textBytes + kGuideTextBlockBytes - 1) / kGuideTextBlockBytes);
    }
    // Whether `blocks` blocks and an event record can be had with `replaced`
    // (a slot or -1) and the events later than `start` gone.
    bool CanMakeRoom(int blocks, int64_t start, int replaced) const;
    // Frees the farthest events until `blocks` blocks and an event record
    // are free (CanMakeRoom said they can be).
    void MakeRoom(int blocks);

    int TakeEvent();
    int32_t TakeBlock();

    // Records and blocks are handed out from their free lists, else from
    // the never used ones above the high-water mark: clearing and scanning
    // cost what has been used, not the whole pool.
    SGuideEvent m_Events[kGuideMaxEvents];
    int32_t m_NextFreeEvent[kGuideMaxEvents];
    int32_t m_FirstFreeEvent = -1;
    int m_nEventHighWater = 0;
    int m_nEvents = 0;
    unsigned char m_Blocks[kGuideTextBlocks][kGuideTextBlockBytes];
    int32_t m_NextBlock[kGuideTextBlocks];  // the chain of an event's text, or of the free blocks
    int32_t m_FirstFreeBlock = -1;
    int m_nBlockHighWater = 0;
    int m_nFreeBlocks = 0;
    int32_t m_Index[kGuideIndexSize];       // event slot, -1: empty
    uint64_t m_nEvicted = 0;
    uint64_t m_nRefused = 0;
    GuideEvictedFunction m_pEvicted = nullptr;
    void* m_pEvictedContext = nullptr;
};

constexpr size_t kGuidePoolBytes = sizeof(CGuidePool);
