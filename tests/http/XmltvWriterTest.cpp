#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Utf8Check.h"
#include "XmltvFixture.h"

using namespace psitest;
using namespace xmltvtest;

namespace
{
TEST_F(Xmltv, ChannelsAndProgrammesAsTheDtdOrdersThem)
{
    Bytes film = ShortEventDescriptor("deu", Text("Der \"Film\""), Text("Kurz & <gut>"));
    const Bytes english = ShortEventDescriptor("eng", Text("The Film"), Text(""));
    const Bytes extended = ExtendedEventDescriptors("deu", {{Text("Episode title"), Text("Teil 2")}}, Text("Lang."));
    const Bytes rest = ContentDescriptor({0x14, 0xB1});
    const Bytes rating = ParentalRatingDescriptor("deu", 9);
    for (const Bytes* part : {&english, &extended, &rest, &rating})
        film.insert(film.end(), part->begin(), part->end());
    Put(0x0012, EitEventsSection({0x50, 202, 1, 0xFF01, 0, 0, 0},
                                 {{2, kNow + 3600, 1800, ShortEventDescriptor("eng", Text("Later"), Text(""))},
                                  {1, kNow - 600, 5400, film}}));
    // Present/following repeats event 1 and adds one the schedule lacks.
    Put(0x0012, EitEventsSection({0x4E, 202, 1, 0xFF01, 0, 0, 1}, {{1, kNow - 600, 5400, film}}));
    Put(0x0012, EitEventsSection({0x4E, 204, 1, 0xFF01, 0, 1, 1},
                                 {{7, kNow + 60, 60, ShortEventDescriptor("eng", Text("Next"), Text(""))}}));

    const std::string xml = Write();
    EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(xml.data()), xml.size()));
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
        "<tv generator-info-name=\"Tovrin TS Streamer\">\n"
        "  <channel id=\"202.1.ff01.dvb\">\n    <display-name>Film &amp; &lt;More&gt;</display-name>\n  </channel>\n"
        "  <channel id=\"204.1.ff01.dvb\">\n    <display-name>Quiet</display-name>\n  </channel>\n"
        "  <programme start=\"20261211115000 +0000\" stop=\"20261211132000 +0000\" channel=\"202.1.ff01.dvb\">\n"
        "    <title lang=\"deu\">Der &quot;Film&quot;</title>\n"
        "    <title lang=\"eng\">The Film</title>\n"
        "    <sub-title lang=\"deu\">Teil 2</sub-title>\n"
        "    <desc lang=\"deu\">Kurz &amp; &lt;gut&gt;\nLang.</desc>\n"
        "    <category lang=\"en\">Comedy</category>\n"
        "    <rating system=\"DEU\">\n      <value>12</value>\n    </rating>\n"
        "  </programme>\n"
        "  <programme start=\"20261211130000 +0000\" stop=\"20261211133000 +0000\" channel=\"202.1.ff01.dvb\">\n"
        "    <title lang=\"eng\">Later</title>\n"
        "  </programme>\n"
        "  <programme start=\"20261211120100 +0000\" stop=\"20261211120200 +0000\" channel=\"204.1.ff01.dvb\">\n"
        "    <title lang=\"eng\">Next</title>\n"
        "  </programme>\n"
        "</tv>\n";
    EXPECT_EQ(xml, expected);
}

TEST_F(Xmltv, CutLikeSnprintf)
{
    Put(0x0012, EitEventsSection({0x50, 203, 1, 0xFF01, 0, 0, 0},
                                 {{1, kNow, 60, ShortEventDescriptor("eng", Text("Short"), Text(""))}}));
    const std::string whole = Write();
    EXPECT_NE(whole.find("<display-name>Program 203</display-name>"), std::string::npos);
    char small[64 + 4];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(WriteXmltv(*programs, *guide, *scratch, small, 64), whole.size());
    EXPECT_EQ(std::string(small), whole.substr(0, 63));
    EXPECT_EQ(std::string(small + 64, 4), "####");
}

// A live event without a duration stops where the next one starts; one with
// nothing after it has no stop (the DTD allows that).
TEST_F(Xmltv, ALiveEventStopsWhereTheNextStarts)
{
    Put(0x0012, EitEventsSection({0x4E, 202, 1, 0xFF01, 0, 0, 1},
                                 {{1, kNow - 600, -1, ShortEventDescriptor("eng", Text("Live"), Text(""))}}));
    Put(0x0012, EitEventsSection({0x4E, 202, 1, 0xFF01, 0, 1, 1},
                                 {{2, kNow + 900, 1800, ShortEventDescriptor("eng", Text("Next"), Text(""))}}));
    Put(0x0012, EitEventsSection({0x4E, 204, 1, 0xFF01, 0, 0, 0},
                                 {{3, kNow - 60, -1, ShortEventDescriptor("eng", Text("Open"), Text(""))}}));
    const std::string xml = Write();
    EXPECT_NE(xml.find("<programme start=\"20261211115000 +0000\" stop=\"20261211121500 +0000\" "
                       "channel=\"202.1.ff01.dvb\">\n    <title lang=\"eng\">Live</title>"),
              std::string::npos) << xml;
    EXPECT_NE(xml.find("<programme start=\"20261211115900 +0000\" channel=\"204.1.ff01.dvb\">\n"
                       "    <title lang=\"eng\">Open</title>"),
              std::string::npos) << xml;
}
}  // namespace
