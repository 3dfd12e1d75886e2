// One broadcast character must not break a whole document: titles and names
// with what XML 1.0 forbids (a UCS-2 0xFFFF or 0xFFFE unit, a lone
// surrogate, in UTF-8 too) still give a /epg.xml and a page that a strict
// parser reads. Native only: expat is Debian's.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "XmlCheck.h"
#include "XmltvFixture.h"
#include "http/IndexPage.h"

using namespace psitest;
using namespace xmltvtest;

namespace
{
// UCS-2: "A", U+FFFF, a lone high surrogate, "B", U+FFFE, a lone low one.
const Bytes kUcs2Title{0x11, 0x00, 'A', 0xFF, 0xFF, 0xD8, 0x00, 0x00, 'B', 0xFF, 0xFE, 0xDC, 0x01};
// UTF-8 (table 0x15) with U+FFFF and U+FFFE as three bytes each.
const Bytes kUtf8Name{0x15, 'N', 0xEF, 0xBF, 0xBF, 'o', 0xEF, 0xBF, 0xBE};

TEST_F(Xmltv, ForbiddenCharactersLeaveTheGuideWellFormed)
{
    // The SDT's name reaches the display-name, the title every element.
    programs->Programs[2].NameLength = static_cast<uint8_t>(kUtf8Name.size());
    std::copy(kUtf8Name.begin(), kUtf8Name.end(), programs->Programs[2].Name);
    Put(0x0012, EitEventsSection({0x50, 204, 1, 0xFF01, 0, 0, 0},
                                 {{1, kNow, 1800, ShortEventDescriptor("eng", kUcs2Title, kUcs2Title)}}));
    const std::string xml = Write();
    ASSERT_NE(xml.find("<title lang=\"eng\">A"), std::string::npos) << xml;
    EXPECT_EQ(XmlFault(xml), "") << xml;
}

TEST_F(Xmltv, ForbiddenCharactersLeaveThePageWellFormed)
{
    programs->Programs[2].NameLength = static_cast<uint8_t>(kUtf8Name.size());
    std::copy(kUtf8Name.begin(), kUtf8Name.end(), programs->Programs[2].Name);
    programs->Programs[2].ProviderLength = static_cast<uint8_t>(kUcs2Title.size());
    std::copy(kUcs2Title.begin(), kUcs2Title.end(), programs->Programs[2].Provider);
    Put(0x0012, EitEventsSection({0x4E, 204, 1, 0xFF01, 0, 0, 1},
                                 {{1, kNow - 60, 1800, ShortEventDescriptor("eng", kUcs2Title, Text(""))}}));
    SIndexPage page;
    page.Programs = programs.get();
    page.Guide = guide.get();
    page.Now = kNow;
    page.HostPort = "tv:8001";
    std::unique_ptr<SIndexPageScratch> pageScratch(new SIndexPageScratch);
    std::string html(kIndexPageCapacity, '\0');
    html.resize(WriteIndexPage(page, *pageScratch, &html[0], html.size()));
    ASSERT_NE(html.find("<b>Now</b>"), std::string::npos) << html;
    EXPECT_EQ(XmlFault(html), "") << html;
}
}  // namespace
