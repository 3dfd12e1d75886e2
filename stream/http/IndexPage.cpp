#include "http/IndexPage.h"

#include "http/ChannelId.h"

#include "guide/DvbTime.h"
#include "guide/GuideNow.h"
#include "psi/SdtTable.h"

namespace
{
// Readable on a phone without zooming; long names and URLs wrap instead of
// widening the page. Well-formed XML as well as HTML (void elements closed
// with "/>"), so that a strict parser can check what a broadcast put in it.
constexpr char kHead[] =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\"><head><meta charset=\"utf-8\"/>\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
    "<title>Tovrin TS Streamer</title>\n"
    "<style>\n"
    "body{font:16px/1.45 system-ui,-apple-system,\"Segoe UI\",Roboto,sans-serif;margin:0 auto;max-width:46em;"
    "padding:0 12px 24px;color:#111;background:#fff;overflow-wrap:anywhere}\n"
    "h1{font-size:1.35em;margin:12px 0 4px}\n"
    "h2{font-size:1.15em;margin:0}\n"
    "p{margin:4px 0}\n"
    ".note{color:#555;font-size:.9em}\n"
    ".program{border-top:1px solid #ccc;padding:10px 0}\n"
    ".number{color:#555;margin-right:.4em}\n"
    ".kind{font-size:.7em;font-weight:normal;border:1px solid #888;border-radius:4px;padding:0 4px;"
    "margin-left:.5em;vertical-align:2px}\n"
    ".provider{color:#555;font-size:.9em}\n"
    ".time{font-variant-numeric:tabular-nums;white-space:nowrap;margin-right:.3em}\n"
    "a.play{display:inline-block;padding:8px 16px;margin:6px 10px 2px 0;background:#1558b0;color:#fff;"
    "border-radius:6px;text-decoration:none}\n"
    ".url{font-family:ui-monospace,monospace;font-size:.9em;word-break:break-all;user-select:all}\n"
    "ul{padding-left:1.2em}\n"
    "</style></head>\n<body>\n<h1>Tovrin TS Streamer</h1>\n";

void PutTwoDigits(CTextWriter& writer, int value)
{
    writer.Put(static_cast<char>('0' + value / 10 % 10));
    writer.Put(static_cast<char>('0' + value % 10));
}

void PutClock(CTextWriter& writer, int64_t seconds)
{
    const SUtcFields f = UtcFields(seconds);
    PutTwoDigits(writer, f.Hour);
    writer.Put(':');
    PutTwoDigits(writer, f.Minute);
}

// Local time when the system can say what time it is here now, else UTC for
// the whole page. (An event it cannot convert, from a date no calendar of
// the system holds, keeps its UTC time.)
bool UsesLocalTime(const SIndexPage& page, int64_t& offset)
{
    int64_t local = 0;
    if (page.LocalTime == nullptr || !page.LocalTime(page.Now, local))
        return false;
    offset = local - page.Now;
    return true;
}

void PutShownTime(CTextWriter& writer, const SIndexPage& page, bool local, int64_t utc)
{
    int64_t shown = utc;
    if (local && !page.LocalTime(utc, shown))
        shown = utc;
    PutClock(writer, shown);
}

void PutUrl(CTextWriter& writer, const SIndexPage& page, const char* path, uint16_t number, const char* suffix)
{
    writer.Put("<span class=\"url\">http://");
    writer.PutMarkupEscaped(page.HostPort);
    if (number != 0)
        PutProgramPath(writer, number, suffix);
    else
        writer.Put(path);
    writer.Put("</span>");
}

void PutViewers(CTextWriter& writer, const SIndexPage& page, uint16_t program)
{
    int count = 0;
    for (int i = 0; i < page.nViewerPrograms; ++i)
        count += page.ViewerPrograms[i] == program ? 1 : 0;
    writer.Put(" Viewers: ");
    writer.PutDecimal(static_cast<uint64_t>(count));
}

// The first language's title that is there, cut to kPageTitleMaxBytes.
void PutTitle(CTextWriter& writer, const CGuidePool& pool, int slot, SIndexPageScratch& scratch)
{
    const SGuideEvent& e = pool.Event(slot);
    const size_t length = pool.ReadText(slot, scratch.Text, sizeof scratch.Text);
    size_t at = 0;
    for (int l = 0; l < e.nLanguages && l < kEventLanguages; ++l)
    {
        const SGuideEvent::SLanguage& language = e.Languages[l];
        if (language.TitleLength > 0 && at + language.TitleLength <= length)
        {
            size_t shown = language.TitleLength;
            const bool cut = shown > kPageTitleMaxBytes;
            if (cut)
            {
                shown = kPageTitleMaxBytes;
                // Never half a character: back to the start of the one cut.
                while (shown > 0 && (static_cast<unsigned char>(scratch.Text[at + shown]) & 0xC0) == 0x80)
                    --shown;
            }
            writer.PutMarkupEscaped(scratch.Text + at, shown);
            if (cut)
                writer.Put("\xE2\x80\xA6");  // ellipsis
            return;
        }
        at += static_cast<size_t>(language.TitleLength) + language.SubTitleLength + language.DescLength;
    }
    writer.Put("(no title)");
}

void PutEvents(CTextWriter& writer, const SIndexPage& page, bool local, uint16_t program, SIndexPageScratch& scratch)
{
    if (page.Guide == nullptr)
        return;
    const CGuideCollector& guide = *page.Guide;
    for (int k = 0; k < guide.ServiceCount(); ++k)
    {
        if (guide.ServiceAt(k).ProgramNumber != program)
            continue;
        for (int which = 0; which < 2; ++which)
        {
            // As the dialog's column: present/following, else the schedule.
            const int slot = GuideEventAt(guide, k, which, page.Now);
            if (slot < 0)
                continue;
            const SGuideEvent& e = guide.Pool().Event(slot);
            writer.Put(which == 0 ? "<p class=\"event\"><b>Now</b> <span class=\"time\">"
                                  : "<p class=\"event\"><b>Next</b> <span class=\"time\">");
            PutShownTime(writer, page, local, e.Start);
            writer.Put("\xE2\x80\x93");  // en dash
            const int64_t end = guide.EventEnd(slot);
            if (end != kGuideOpenEnd)  // a live event with nothing following yet: no end to show
                PutShownTime(writer, page, local, end);
            writer.Put("</span> ");
            PutTitle(writer, guide.Pool(), slot, scratch);
            writer.Put("</p>\n");
        }
        return;
    }
}

const char* KindLabel(uint8_t serviceType)
{
    switch (ServiceKindOf(serviceType))
    {
    case EServiceKind::Television: return "TV";
    case EServiceKind::Radio: return "Radio";
    case EServiceKind::Data: return "Data";
    case EServiceKind::Unknown: break;
    }
    return nullptr;
}

void PutProgram(CTextWriter& writer, const SIndexPage& page, bool local, const SListedProgram& program,
                SIndexPageScratch& scratch)
{
    DvbTextToUtf8(program.Name, program.NameLength, scratch.Name, sizeof scratch.Name);
    DvbTextToUtf8(program.Provider, program.ProviderLength, scratch.Provider, sizeof scratch.Provider);
    writer.Put("<section class=\"program\" id=\"p");
    writer.PutDecimal(program.ProgramNumber);
    writer.Put("\">\n<h2><span class=\"number\">");
    writer.PutDecimal(program.ProgramNumber);
    writer.Put("</span>");
    PutProgramName(writer, scratch.Name, program.ProgramNumber, ENameText::Markup);
    if (const char* kind = KindLabel(program.ServiceType))
    {
        writer.Put("<span class=\"kind\">");
        writer.Put(kind);
        writer.Put("</span>");
    }
    writer.Put("</h2>\n");
    if (scratch.Provider[0] != 0)
    {
        writer.Put("<p class=\"provider\">");
        writer.PutMarkupEscaped(scratch.Provider);
        writer.Put("</p>\n");
    }
    PutEvents(writer, page, local, program.ProgramNumber, scratch);
    writer.Put("<p><a class=\"play\" href=\"");
    PutProgramPath(writer, program.ProgramNumber, ".m3u");
    writer.Put("\">Watch</a>");
    PutViewers(writer, page, program.ProgramNumber);
    writer.Put("</p>\n<p>Stream URL: ");
    PutUrl(writer, page, nullptr, program.ProgramNumber, ".ts");
    writer.Put("</p>\n</section>\n");
}

void PutAddress(CTextWriter& writer, const uint8_t (&address)[4])
{
    for (int i = 0; i < 4; ++i)
    {
        if (i > 0)
            writer.Put('.');
        writer.PutDecimal(address[i]);
    }
}

void PutOutputs(CTextWriter& writer, const SServedOutputs& outputs)
{
    const int count = outputs.Count < 0 ? 0 : outputs.Count > kMaxServedOutputs ? kMaxServedOutputs : outputs.Count;
    if (count == 0)
        return;
    writer.Put("<section class=\"program\">\n<h2>Outputs</h2>\n<ul>\n");
    for (int i = 0; i < count; ++i)
    {
        const SServedOutput& o = outputs.Items[i];
        writer.Put("<li>Output ");
        writer.PutDecimal(static_cast<uint64_t>(o.Number < 0 ? 0 : o.Number));
        writer.Put(o.Session.Rtp ? ": RTP to " : ": UDP to ");
        PutAddress(writer, o.Session.Group);
        writer.Put(':');
        writer.PutDecimal(o.Session.Port);
        if (o.nPrograms <= 0)
            writer.Put(", the whole transponder");
        else if (o.nPrograms == 1)
        {
            writer.Put(", program ");
            writer.PutDecimal(o.Program);
        }
        else
        {
            writer.Put(", ");
            writer.PutDecimal(static_cast<uint64_t>(o.nPrograms));
            writer.Put(" programs");
        }
        if (o.Session.Fec)
            writer.Put(", with FEC");
        writer.Put(": <a href=\"/output/");
        writer.PutDecimal(static_cast<uint64_t>(o.Number < 0 ? 0 : o.Number));
        writer.Put(".sdp\">SDP</a></li>\n");
    }
    writer.Put("</ul>\n</section>\n");
}

void PutOffset(CTextWriter& writer, int64_t offset)
{
    writer.Put("UTC");
    writer.Put(offset < 0 ? '-' : '+');
    const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    PutTwoDigits(writer, static_cast<int>(minutes / 60 % 100));
    writer.Put(':');
    PutTwoDigits(writer, static_cast<int>(minutes % 60));
}
}  // namespace

size_t WriteIndexPage(const SIndexPage& page, SIndexPageScratch& scratch, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put(kHead);
    writer.Put("<p>");
    writer.Put(page.State.bReceiving ? "Receiving the transport stream." : "Waiting for the transport stream.");
    writer.Put(" Viewers: ");
    writer.PutDecimal(static_cast<uint64_t>(page.State.nViewers < 0 ? 0 : page.State.nViewers));
    writer.Put(" of ");
    writer.PutDecimal(static_cast<uint64_t>(page.State.nMaxViewers < 0 ? 0 : page.State.nMaxViewers));
    writer.Put(".</p>\n<p class=\"note\">");
    int64_t offset = 0;
    const bool local = UsesLocalTime(page, offset);
    if (local)
    {
        writer.Put("Times are this PC's local time (");
        PutOffset(writer, offset);
        writer.Put(").");
    }
    else
        writer.Put("Times are UTC.");
    writer.Put(" Watch opens the program in your player (VLC or an IPTV app).</p>\n");

    const int count = page.Programs != nullptr ? ListedProgramCount(*page.Programs) : 0;
    if (count == 0)
        writer.Put("<p>No program known yet.</p>\n");
    for (int i = 0; i < count; ++i)
        PutProgram(writer, page, local, page.Programs->Programs[i], scratch);

    writer.Put("<section class=\"program\">\n<h2>Whole transponder</h2>\n<p><a class=\"play\" href=\"/stream.ts\">"
               "Stream</a>");
    PutViewers(writer, page, 0);
    writer.Put("</p>\n<p>Stream URL: ");
    PutUrl(writer, page, "/stream.ts", 0, nullptr);
    writer.Put("</p>\n<p>Every program for an IPTV app: <a href=\"/playlist.m3u\">playlist</a> ");
    PutUrl(writer, page, "/playlist.m3u", 0, nullptr);
    writer.Put("</p>\n<p>Its guide (XMLTV): <a href=\"/epg.xml\">guide</a> ");
    PutUrl(writer, page, "/epg.xml", 0, nullptr);
    writer.Put("</p>\n</section>\n");
    if (page.Outputs != nullptr)
        PutOutputs(writer, *page.Outputs);
    writer.Put("</body></html>\n");
    return writer.Length();
}
