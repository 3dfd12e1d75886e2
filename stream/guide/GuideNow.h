#pragma once
// What is on a service now and next, from the collected guide: EIT
// present/following where the transponder sends it, else the schedule's
// event at that time. For the dialog's program list and the page; the
// collector's thread only (it reads the pool).

#include <cstddef>
#include <cstdint>

#include "guide/GuideCollector.h"

constexpr size_t kGuideNowTitleCapacity = 256;  // UTF-8 with its NUL, cut at a character

// The pool slot of the event on now (`which` 0) or next (1) on the service
// at `index` of the collector's list at the transponder's time `now`; -1
// when the guide knows none. Present/following first; without it, the
// schedule's event that covers `now`, or the first to start after it.
int GuideEventAt(const CGuideCollector& guide, int index, int which, int64_t now);

// An event's title in its first language that has one, as UTF-8, cut to
// fit `capacity` (at least 1) at a character boundary; `scratch` holds the
// event's texts on the way (kGuideEventTextCapacity bytes).
void GuideEventTitle(const CGuidePool& pool, int slot, char* scratch, char* title, size_t capacity);

struct SGuideEventNow
{
    uint16_t ProgramNumber = 0;
    bool Known = false;        // the guide has an event on now
    int64_t Start = 0;         // UTC seconds since 1970
    int64_t End = 0;           // -1 while not known (a live event, nothing following yet)
    char Title[kGuideNowTitleCapacity] = {};
};

// Every service of the PAT, in its order, with its event on now.
struct SGuideNowList
{
    int Count = 0;
    SGuideEventNow Services[kGuideMaxServices];
};

void ListEventsNow(const CGuideCollector& guide, int64_t now, char* scratch, SGuideNowList& list);
