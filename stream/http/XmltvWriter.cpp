#include "http/XmltvWriter.h"

#include <algorithm>

#include "guide/ContentGenres.h"
#include "guide/DvbTime.h"
#include "http/ChannelId.h"
#include "http/TextWriter.h"

namespace
{
void PutTwoDigits(CTextWriter& writer, int value)
{
    writer.Put(static_cast<char>('0' + value / 10 % 10));
    writer.Put(static_cast<char>('0' + value % 10));
}

void PutXmltvTime(CTextWriter& writer, int64_t seconds)
{
    const SUtcFields f = UtcFields(seconds);
    writer.PutDecimal(static_cast<uint64_t>(f.Year));
    PutTwoDigits(writer, f.Month);
    PutTwoDigits(writer, f.Day);
    PutTwoDigits(writer, f.Hour);
    PutTwoDigits(writer, f.Minute);
    PutTwoDigits(writer, f.Second);
    writer.Put(" +0000");
}

// <name lang="xx">text</name>, nothing for an empty text.
void PutElement(CTextWriter& writer, const char* name, const char* lang, const char* text, size_t length)
{
    if (length == 0)
        return;
    writer.Put("    <");
    writer.Put(name);
    if (lang[0] != 0)
    {
        writer.Put(" lang=\"");
        writer.Put(lang);
        writer.Put('"');
    }
    writer.Put('>');
    writer.PutMarkupEscaped(text, length);
    writer.Put("</");
    writer.Put(name);
    writer.Put(">\n");
}

bool HasTitle(const SGuideEvent& e)
{
    for (int l = 0; l < e.nLanguages; ++l)
        if (e.Languages[l].TitleLength > 0)
            return true;
    return false;
}

// `end`: kGuideOpenEnd leaves the stop out (XMLTV allows that).
void PutProgramme(CTextWriter& writer, const CGuidePool& pool, int slot, int64_t end, const SListedProgram& program,
                  const SProgramList& programs, SXmltvScratch& scratch)
{
    const SGuideEvent& e = pool.Event(slot);
    writer.Put("  <programme start=\"");
    PutXmltvTime(writer, e.Start);
    if (end != kGuideOpenEnd)
    {
        writer.Put("\" stop=\"");
        PutXmltvTime(writer, end);
    }
    writer.Put("\" channel=\"");
    PutChannelId(writer, program.ProgramNumber, programs.TransportStreamId, programs.OriginalNetworkId);
    writer.Put("\">\n");
    const size_t length = pool.ReadText(slot, scratch.Text, sizeof scratch.Text);
    // Fields per language in the text: title, sub-title, desc. The DTD
    // wants every title first, then the sub-titles, then the descs.
    for (int field = 0; field < 3; ++field)
    {
        size_t at = 0;
        for (int l = 0; l < e.nLanguages; ++l)
        {
            const SGuideEvent::SLanguage& language = e.Languages[l];
            const size_t sizes[3] = {language.TitleLength, language.SubTitleLength, language.DescLength};
            size_t begin = at;
            for (int f = 0; f < field; ++f)
                begin += sizes[f];
            if (begin + sizes[field] <= length)
                PutElement(writer, field == 0 ? "title" : field == 1 ? "sub-title" : "desc", language.Code,
                           scratch.Text + begin, sizes[field]);
            at += sizes[0] + sizes[1] + sizes[2];
        }
    }
    for (int g = 0; g < e.nGenres; ++g)
    {
        const char* genre = ContentGenreName(e.Genres[g]);
        if (genre != nullptr)
        {
            writer.Put("    <category lang=\"en\">");
            writer.PutMarkupEscaped(genre);
            writer.Put("</category>\n");
        }
    }
    if (e.RatingAge > 0)
    {
        writer.Put("    <rating system=\"");
        writer.Put(e.RatingCountry);
        writer.Put("\">\n      <value>");
        writer.PutDecimal(e.RatingAge);
        writer.Put("</value>\n    </rating>\n");
    }
    writer.Put("  </programme>\n");
}
}  // namespace

size_t WriteXmltv(const SProgramList& programs, const CGuideCollector& guide, SXmltvScratch& scratch, char* out,
                  size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
               "<tv generator-info-name=\"Tovrin TS Streamer\">\n");
    const CGuidePool& pool = guide.Pool();

    // The events with a title by service slot (a counting sort), then each
    // service's in time order. Present/following repeat what the schedule
    // has: only those it lacks are added.
    int* starts = scratch.Starts;
    std::fill(starts, starts + kGuideMaxServices + 1, 0);
    auto wanted = [&pool](int slot) {
        const SGuideEvent& e = pool.Event(slot);
        return e.InUse && e.Service < kGuideMaxServices && HasTitle(e) &&
               (!e.IsPresentFollowing() || pool.Find(e.Service, e.EventId, false) < 0);
    };
    for (int i = 0; i < pool.Slots(); ++i)
        if (wanted(i))
            ++starts[pool.Event(i).Service + 1];
    for (int s = 0; s < kGuideMaxServices; ++s)
        starts[s + 1] += starts[s];
    int filled[kGuideMaxServices];
    std::copy(starts, starts + kGuideMaxServices, filled);
    for (int i = 0; i < pool.Slots(); ++i)
        if (wanted(i))
            scratch.Order[filled[pool.Event(i).Service]++] = i;
    for (int s = 0; s < kGuideMaxServices; ++s)
        std::sort(scratch.Order + starts[s], scratch.Order + starts[s + 1], [&pool](int a, int b) {
            return pool.Event(a).Start < pool.Event(b).Start;
        });

    // The guide's service slot of each listed program; -1: no events.
    int slots[kMaxListedPrograms];
    const int count = programs.nPrograms < 0 ? 0 : std::min(programs.nPrograms, kMaxListedPrograms);
    for (int p = 0; p < count; ++p)
    {
        slots[p] = -1;
        for (int k = 0; k < guide.ServiceCount(); ++k)
            if (guide.ServiceAt(k).ProgramNumber == programs.Programs[p].ProgramNumber)
            {
                const int slot = guide.ServiceSlotAt(k);
                if (starts[slot + 1] > starts[slot])
                    slots[p] = slot;
            }
    }
    for (int p = 0; p < count; ++p)
    {
        if (slots[p] < 0)
            continue;
        const SListedProgram& program = programs.Programs[p];
        writer.Put("  <channel id=\"");
        PutChannelId(writer, program.ProgramNumber, programs.TransportStreamId, programs.OriginalNetworkId);
        writer.Put("\">\n    <display-name>");
        if (DvbTextToUtf8(program.Name, program.NameLength, scratch.Name, sizeof scratch.Name) == 0)
            scratch.Name[0] = 0;
        PutProgramName(writer, scratch.Name, program.ProgramNumber, ENameText::Markup);
        writer.Put("</display-name>\n  </channel>\n");
    }
    for (int p = 0; p < count; ++p)
    {
        if (slots[p] < 0)
            continue;
        const int last = starts[slots[p] + 1];
        for (int i = starts[slots[p]]; i < last; ++i)
        {
            // A live event without a duration lasts until the next one starts.
            const int slot = scratch.Order[i];
            int64_t end = guide.EventEnd(slot);
            for (int next = i + 1; end == kGuideOpenEnd && next < last; ++next)
                if (pool.Event(scratch.Order[next]).Start > pool.Event(slot).Start)
                    end = pool.Event(scratch.Order[next]).Start;
            PutProgramme(writer, pool, slot, end, programs.Programs[p], programs, scratch);
        }
    }
    writer.Put("</tv>\n");
    return writer.Length();
}
