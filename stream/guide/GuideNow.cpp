#include "guide/GuideNow.h"

#include <cstring>

int GuideEventAt(const CGuideCollector& guide, int index, int which, int64_t now)
{
    const int present = guide.PresentFollowing(index, which);
    if (present >= 0)
        return present;
    // The schedule's: one pass over the pool, what the page and the dialog
    // ask once a second.
    const int service = guide.ServiceSlotAt(index);
    const CGuidePool& pool = guide.Pool();
    int found = -1;
    for (int i = 0; i < pool.Slots(); ++i)
    {
        const SGuideEvent& e = pool.Event(i);
        if (!e.InUse || e.Service != service || e.IsPresentFollowing() || guide.EventEnd(i) <= now)
            continue;
        if (which == 0 && e.Start <= now)
            return i;
        if (which == 1 && e.Start > now && (found < 0 || e.Start < pool.Event(found).Start))
            found = i;
    }
    return found;
}

void GuideEventTitle(const CGuidePool& pool, int slot, char* scratch, char* title, size_t capacity)
{
    title[0] = 0;
    const SGuideEvent& e = pool.Event(slot);
    const size_t length = pool.ReadText(slot, scratch, kGuideEventTextCapacity);
    size_t at = 0;
    for (int l = 0; l < e.nLanguages; ++l)
    {
        const SGuideEvent::SLanguage& language = e.Languages[l];
        if (language.TitleLength > 0 && at + language.TitleLength <= length)
        {
            size_t n = language.TitleLength < capacity - 1 ? language.TitleLength : capacity - 1;
            // Not inside a character: continuation bytes are 10xxxxxx.
            while (n > 0 && n < language.TitleLength && (static_cast<unsigned char>(scratch[at + n]) & 0xC0) == 0x80)
                --n;
            std::memcpy(title, scratch + at, n);
            title[n] = 0;
            return;
        }
        at += static_cast<size_t>(language.TitleLength) + language.SubTitleLength + language.DescLength;
    }
}

void ListEventsNow(const CGuideCollector& guide, int64_t now, char* scratch, SGuideNowList& list)
{
    list.Count = 0;
    for (int i = 0; i < guide.ServiceCount() && list.Count < kGuideMaxServices; ++i)
    {
        SGuideEventNow& entry = list.Services[list.Count++];
        entry.ProgramNumber = guide.ServiceAt(i).ProgramNumber;
        const int slot = GuideEventAt(guide, i, 0, now);
        entry.Known = slot >= 0;
        entry.Start = entry.End = 0;
        entry.Title[0] = 0;
        if (slot < 0)
            continue;
        const SGuideEvent& e = guide.Pool().Event(slot);
        entry.Start = e.Start;
        const int64_t end = guide.EventEnd(slot);
        entry.End = end == kGuideOpenEnd ? -1 : end;
        GuideEventTitle(guide.Pool(), slot, scratch, entry.Title, sizeof entry.Title);
    }
}
