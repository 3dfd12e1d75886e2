// The page for phones and PCs: each program with its kind, now and next in
// the PC's local time, its links and viewers; escaping and the size bound
// with the worst a broadcast can send.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "PsiTestStreams.h"
#include "Utf8Check.h"
#include "http/IndexPage.h"

using namespace psitest;

namespace
{
constexpr int64_t kNow = 1796990400;  // 2026-12-11 12:00:00 UTC
constexpr size_t kLongestTitle = 250;  // a short event descriptor's 255 bytes less code and lengths

// An hour ahead of UTC until kNow + 1 h, two after: a switch to summer time
// on the page's day, so that each time must be converted on its own date.
bool ZoneWithASwitch(int64_t utc, int64_t& local)
{
    local = utc + (utc < kNow + 3600 ? 3600 : 7200);
    return true;
}

bool NoZone(int64_t, int64_t&)
{
    return false;
}

void SetText(unsigned char* field, uint8_t& length, const std::string& text)
{
    std::memcpy(field, text.data(), text.size());
    length = static_cast<uint8_t>(text.size());
}

class IndexPage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        clock.PcUtc = kNow;
        Put(0x0000, PatSection(1, 0, {{202, 0x100}, {203, 0x200}, {204, 0x300}, {205, 0x400}}));
        Put(0x0014, TdtSection(kNow));
        programs->TransportStreamId = 1;
        programs->OriginalNetworkId = 0xFF01;
        programs->nPrograms = 4;
        const struct
        {
            uint16_t Number;
            uint8_t Type;
            const char* Name;
            const char* Provider;
        } listed[] = {
            {202, 0x19, "Film & <More>", "Tovrin's"},  // H.264 HD television
            {203, 0x02, "Quiet", ""},                  // radio
            {204, 0x00, "", ""},                       // no service descriptor
            {205, 0x0C, "</h2><script>x()</script>", ""},  // data broadcast
        };
        for (int i = 0; i < 4; ++i)
        {
            SListedProgram& p = programs->Programs[i];
            p.ProgramNumber = listed[i].Number;
            p.ServiceType = listed[i].Type;
            SetText(p.Name, p.NameLength, listed[i].Name);
            SetText(p.Provider, p.ProviderLength, listed[i].Provider);
        }
        page.Programs = programs.get();
        page.Guide = guide.get();
        page.Now = kNow;
        page.LocalTime = ZoneWithASwitch;
        page.HostPort = "tv.local:8001";
        page.State.bReceiving = true;
        page.State.nViewers = 3;
        page.State.nMaxViewers = 8;
    }

    void Put(uint16_t pid, const Bytes& section)
    {
        for (const Packet& packet : maker.Sections(pid, {section}))
            guide->PutPacket(packet.data(), clock);
    }

    // EIT present/following of `service`: section 0 now, 1 next.
    void PutPresentFollowing(uint16_t service, int number, uint16_t id, int64_t start, int duration,
                             const Bytes& title, const char* language = "deu")
    {
        Put(0x0012, EitEventsSection({0x4E, service, 1, 0xFF01, 0, number, 1},
                                     {{id, start, duration, ShortEventDescriptor(language, title, Text(""))}}));
    }

    std::string Write()
    {
        const size_t length = WriteIndexPage(page, *scratch, nullptr, 0);
        std::string text(length + 1, '\0');
        EXPECT_EQ(WriteIndexPage(page, *scratch, &text[0], text.size()), length);
        text.resize(length);
        EXPECT_LT(length, kIndexPageCapacity);
        EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
        EXPECT_EQ(text.find("<script"), std::string::npos);
        return text;
    }

    // The part of the page about one program.
    static std::string Section(const std::string& text, uint16_t number)
    {
        const size_t at = text.find("<section class=\"program\" id=\"p" + std::to_string(number) + "\">");
        if (at == std::string::npos)
            return "";
        return text.substr(at, text.find("</section>", at) - at);
    }

    std::unique_ptr<CGuideCollector> guide{new CGuideCollector};
    std::unique_ptr<SIndexPageScratch> scratch{new SIndexPageScratch};
    std::unique_ptr<SProgramList> programs{new SProgramList};
    SIndexPage page;
    PacketMaker maker;
    SGuideClock clock;
};

TEST_F(IndexPage, EachProgramWithItsKindNowAndNextLinksAndViewers)
{
    PutPresentFollowing(202, 0, 1, kNow - 600, 5400, Text("Der \"Film\""));
    PutPresentFollowing(202, 1, 2, kNow + 4800, 1800, Text("Later"), "eng");
    PutPresentFollowing(203, 1, 3, kNow + 60, 60, Text("\x15" "Caf\xC3\xA9 \xE2\x80\x93 Musik"));
    const uint16_t viewers[] = {202, 0, 202};
    page.ViewerPrograms = viewers;
    page.nViewerPrograms = 3;
    SServedOutputs outputs;
    outputs.Count = 2;
    outputs.Items[0].Number = 1;
    const uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(outputs.Items[0].Session.Group, loopback, 4);
    outputs.Items[0].Session.Port = 43000;
    outputs.Items[1].Number = 3;
    outputs.Items[1].nPrograms = 1;
    outputs.Items[1].Program = 202;
    const uint8_t group[4] = {239, 255, 1, 3};
    std::memcpy(outputs.Items[1].Session.Group, group, 4);
    outputs.Items[1].Session.Port = 5000;
    outputs.Items[1].Session.Rtp = false;
    page.Outputs = &outputs;

    const std::string text = Write();
    // A phone shows it at its own width, without scripts.
    EXPECT_EQ(text.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(text.find("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>"), std::string::npos);
    EXPECT_NE(text.find("Receiving the transport stream. Viewers: 3 of 8."), std::string::npos);
    EXPECT_NE(text.find("Times are this PC's local time (UTC+01:00)."), std::string::npos);

    const std::string film = Section(text, 202);
    EXPECT_NE(film.find("<h2><span class=\"number\">202</span>Film &amp; &lt;More&gt;<span class=\"kind\">TV</span></h2>"),
              std::string::npos) << film;
    EXPECT_NE(film.find("<p class=\"provider\">Tovrin&#39;s</p>"), std::string::npos);
    // 11:50-13:20 UTC: the start an hour ahead, the end after the switch two.
    EXPECT_NE(film.find("<b>Now</b> <span class=\"time\">12:50\xE2\x80\x93" "15:20</span> Der &quot;Film&quot;</p>"),
              std::string::npos) << film;
    EXPECT_NE(film.find("<b>Next</b> <span class=\"time\">15:20\xE2\x80\x93" "15:50</span> Later</p>"),
              std::string::npos) << film;
    EXPECT_LT(film.find("<b>Now</b>"), film.find("<b>Next</b>"));
    EXPECT_NE(film.find("<a class=\"play\" href=\"/program/202.m3u\">Watch</a> Viewers: 2</p>"), std::string::npos);
    EXPECT_NE(film.find("Stream URL: <span class=\"url\">http://tv.local:8001/program/202.ts</span>"), std::string::npos);

    const std::string quiet = Section(text, 203);
    EXPECT_NE(quiet.find("Quiet<span class=\"kind\">Radio</span></h2>"), std::string::npos) << quiet;
    EXPECT_EQ(quiet.find("<b>Now</b>"), std::string::npos) << "no present event: no line for it";
    EXPECT_NE(quiet.find("<b>Next</b> <span class=\"time\">13:01\xE2\x80\x93" "13:02</span> Caf\xC3\xA9 \xE2\x80\x93 Musik"),
              std::string::npos) << quiet;
    EXPECT_NE(quiet.find("Watch</a> Viewers: 0</p>"), std::string::npos);
    EXPECT_EQ(quiet.find("provider"), std::string::npos);

    const std::string unnamed = Section(text, 204);
    EXPECT_NE(unnamed.find("<span class=\"number\">204</span>Program 204</h2>"), std::string::npos) << unnamed;
    EXPECT_EQ(unnamed.find("<b>N"), std::string::npos);
    EXPECT_NE(Section(text, 205).find("&lt;/h2&gt;&lt;script&gt;x()&lt;/script&gt;<span class=\"kind\">Data</span>"),
              std::string::npos);

    const size_t whole = text.find("<h2>Whole transponder</h2>");
    ASSERT_NE(whole, std::string::npos);
    EXPECT_NE(text.find("href=\"/stream.ts\">Stream</a> Viewers: 1</p>", whole), std::string::npos);
    EXPECT_NE(text.find("<span class=\"url\">http://tv.local:8001/stream.ts</span>", whole), std::string::npos);
    EXPECT_NE(text.find("<a href=\"/playlist.m3u\">playlist</a> <span class=\"url\">http://tv.local:8001/playlist.m3u"),
              std::string::npos);
    EXPECT_NE(text.find("<a href=\"/epg.xml\">guide</a>"), std::string::npos);
    EXPECT_NE(text.find("<li>Output 1: RTP to 127.0.0.1:43000, the whole transponder: <a href=\"/output/1.sdp\">SDP</a></li>"),
              std::string::npos);
    EXPECT_NE(text.find("<li>Output 3: UDP to 239.255.1.3:5000, program 202: <a href=\"/output/3.sdp\">SDP</a></li>"),
              std::string::npos);
}

// Now and next as the dialog's column has them: present/following, else the
// schedule; a live event without a duration until the following starts.
TEST_F(IndexPage, NowAndNextAsTheDialogHasThem)
{
    page.LocalTime = nullptr;
    Put(0x0012, EitEventsSection({0x50, 203, 1, 0xFF01, 0, 0, 0},
                                 {{5, kNow - 60, 600, ShortEventDescriptor("eng", Text("On air"), Text(""))},
                                  {6, kNow + 540, 600, ShortEventDescriptor("eng", Text("Soon"), Text(""))}}));
    PutPresentFollowing(202, 0, 1, kNow - 600, -1, Text("Live"));
    std::string film = Section(Write(), 202);
    EXPECT_NE(film.find("<b>Now</b> <span class=\"time\">11:50\xE2\x80\x93</span> Live</p>"), std::string::npos)
        << film;
    PutPresentFollowing(202, 1, 2, kNow + 900, 1800, Text("Later"));
    film = Section(Write(), 202);
    EXPECT_NE(film.find("<b>Now</b> <span class=\"time\">11:50\xE2\x80\x93" "12:15</span> Live</p>"),
              std::string::npos) << film;

    const std::string quiet = Section(Write(), 203);
    EXPECT_NE(quiet.find("<b>Now</b> <span class=\"time\">11:59\xE2\x80\x93" "12:09</span> On air</p>"),
              std::string::npos) << quiet;
    EXPECT_NE(quiet.find("<b>Next</b> <span class=\"time\">12:09\xE2\x80\x93" "12:19</span> Soon</p>"),
              std::string::npos) << quiet;
}

TEST_F(IndexPage, UtcWhenThePcCannotSayItsZoneAndNothingBeforeAnyProgram)
{
    PutPresentFollowing(202, 0, 1, kNow - 600, 5400, Text("Film"));
    for (LocalTimeFunction zone : {static_cast<LocalTimeFunction>(nullptr), NoZone})
    {
        page.LocalTime = zone;
        const std::string text = Write();
        EXPECT_NE(text.find("Times are UTC."), std::string::npos);
        EXPECT_NE(Section(text, 202).find("<span class=\"time\">11:50\xE2\x80\x93" "13:20</span> Film"), std::string::npos);
    }
    SProgramList none;
    page.Programs = &none;
    page.Guide = nullptr;
    page.State = SServerState();
    const std::string text = Write();
    EXPECT_NE(text.find("Waiting for the transport stream. Viewers: 0 of 0."), std::string::npos);
    EXPECT_NE(text.find("No program known yet."), std::string::npos);
    EXPECT_EQ(text.find("<section class=\"program\" id="), std::string::npos);
    EXPECT_EQ(text.find("<h2>Outputs</h2>"), std::string::npos);
}

TEST_F(IndexPage, ALongTitleIsCutAtACharacter)
{
    // 83 euro signs: the longest title a short event descriptor holds (250
    // bytes), cut to 53 whole ones (159 bytes).
    std::string euros;
    for (int i = 0; i < 83; ++i)
        euros += "\xE2\x82\xAC";
    PutPresentFollowing(202, 0, 1, kNow - 600, 5400, Text("\x15" + euros));
    const std::string film = Section(Write(), 202);
    EXPECT_NE(film.find("</span> " + euros.substr(0, 159) + "\xE2\x80\xA6</p>"), std::string::npos) << film;
}

// Every name, provider and title at its longest and all of '"', 128
// programs with now and next, the longest host: within the capacity, and
// cut like snprintf when the buffer is smaller.
TEST_F(IndexPage, TheWorstCaseFitsItsCapacity)
{
    guide.reset(new CGuideCollector);
    page.Guide = guide.get();
    maker = PacketMaker();
    ProgramList pat;
    for (int i = 0; i < kMaxListedPrograms; ++i)
        pat.push_back({static_cast<uint16_t>(60000 + i), static_cast<uint16_t>(0x100 + i)});
    Put(0x0000, PatSection(1, 0, pat));
    Put(0x0014, TdtSection(kNow));
    programs->nPrograms = kMaxListedPrograms;
    const std::string quotes(kServiceTextMaxBytes, '"');
    for (int i = 0; i < kMaxListedPrograms; ++i)
    {
        SListedProgram& p = programs->Programs[i];
        p.ProgramNumber = static_cast<uint16_t>(60000 + i);
        p.ServiceType = 0x01;
        SetText(p.Name, p.NameLength, quotes);
        SetText(p.Provider, p.ProviderLength, quotes);
        PutPresentFollowing(p.ProgramNumber, 0, 1, kNow - 60, 3600, Text(quotes.substr(0, kLongestTitle)));
        PutPresentFollowing(p.ProgramNumber, 1, 2, kNow + 3540, 3600, Text(quotes.substr(0, kLongestTitle)));
    }
    const std::string host(kHttpHostTextCapacity - 1, 'h');
    page.HostPort = host.c_str();
    std::unique_ptr<uint16_t[]> viewers(new uint16_t[64]());
    page.ViewerPrograms = viewers.get();
    page.nViewerPrograms = 64;
    SServedOutputs outputs;
    outputs.Count = kMaxServedOutputs;
    for (SServedOutput& o : outputs.Items)
    {
        o.Number = 16;
        o.nPrograms = 16;
        o.Session.Port = 65535;
        o.Session.Fec = true;
        std::memset(o.Session.Group, 255, 4);
    }
    page.Outputs = &outputs;
    const std::string text = Write();
    const std::string last = Section(text, 60000 + kMaxListedPrograms - 1);
    EXPECT_NE(last.find("<b>Next</b>"), std::string::npos) << "every program has its now and next";
    EXPECT_EQ(last.find("(no title)"), std::string::npos);

    char small[100 + 8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(WriteIndexPage(page, *scratch, small, 100), text.size());
    EXPECT_EQ(small[99], 0);
    EXPECT_EQ(std::string(small, 99), text.substr(0, 99));
    EXPECT_EQ(std::string(small + 100, 8), "########");
}
}  // namespace
