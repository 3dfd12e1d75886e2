#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "PsiTestStreams.h"
#include "Utf8Check.h"
#include "guide/EitEvent.h"

using namespace psitest;

namespace
{
constexpr int64_t kStart = 1796990400;  // 2026-12-11 12:00:00 UTC

// Decodes the single event of a section built by the tests' writer.
struct Decoded
{
    bool Ok = false;
    std::unique_ptr<SDecodedEvent> Event{new SDecodedEvent};
    std::unique_ptr<SEventDecodeScratch> Scratch{new SEventDecodeScratch};
};

Decoded DecodeOne(const TestEvent& event)
{
    const Bytes section = EitEventsSection({0x50, 28106, 1, 0xFF01}, {event});
    Decoded d;
    EXPECT_TRUE(IsValidEit(section.data(), static_cast<int>(section.size())));
    int offset = 0;
    SEitEventEntry entry;
    EXPECT_TRUE(EitNextEvent(section.data(), static_cast<int>(section.size()), offset, entry));
    d.Ok = DecodeEitEvent(entry, *d.Event, *d.Scratch);
    EXPECT_FALSE(EitNextEvent(section.data(), static_cast<int>(section.size()), offset, entry));
    return d;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Field(const char* text, size_t length) { return std::string(text, length); }

struct LanguageExpected
{
    std::string Code, Title, SubTitle, Desc;
};

struct EventCase
{
    const char* Name;
    Bytes Descriptors;
    std::vector<LanguageExpected> Languages;
};

// UCS-2 bytes of an ASCII text, after the table byte 0x11.
Bytes Ucs2(const std::string& text)
{
    Bytes out{0x11};
    for (char c : text)
    {
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

const std::string kLong(600, 'x');

std::vector<EventCase> TextCases()
{
    return {
        {"short event, default table",
         ShortEventDescriptor("eng", Text("News"), Text("The day's news")),
         {{"eng", "News", "", "The day's news"}}},
        {"ISO 8859-5 title, ISO 8859-7 text",
         ShortEventDescriptor("RUS", Bytes{0x01, 0xBD, 0xDE, 0xD2, 0xDE, 0xE1, 0xE2, 0xD8},
                              Bytes{0x03, 0xD9, 0xF1, 0xE1}),
         {{"rus", "Новости", "", "Ωρα"}}},
        {"UTF-8 and emphasis marks dropped",
         ShortEventDescriptor("deu", Bytes{0x15, 'K', 0xC3, 0xA4, 's', 'e'}, Bytes{0x86, 'L', 'a', 'u', 't', 0x87}),
         {{"deu", "Käse", "", "Laut"}}},
        {"extended text across three descriptors, items, a sub-title",
         Join({ShortEventDescriptor("eng", Text("Film"), Text("Short.")),
               ExtendedEventDescriptors("eng", {{Text("Director"), Text("Jane Doe")}, {Text("Sub-title"), Text("Part 2")}},
                                        Text(kLong), 200)}),
         {{"eng", "Film", "Part 2", "Short.\n" + kLong + "\nDirector: Jane Doe"}}},
        {"UCS-2 extended text with a character split between descriptors",
         ExtendedEventDescriptors("fra", {}, Ucs2("abcdef"), 3, 1),
         {{"fra", "", "", "abcdef"}}},
        {"two languages, a third left out",
         Join({ShortEventDescriptor("deu", Text("Tatort"), Text("Krimi")),
               ShortEventDescriptor("eng", Text("Crime scene"), Text("")),
               ShortEventDescriptor("fra", Text("Scene"), Text("")),
               ExtendedEventDescriptors("eng", {}, Text("More."), 200)}),
         {{"deu", "Tatort", "", "Krimi"}, {"eng", "Crime scene", "", "More."}}},
        {"language code that is no letters",
         ShortEventDescriptor(std::string("e1\xff", 3), Text("T"), Text("")),
         {{"", "T", "", ""}}},
        {"descriptor longer than its loop: nothing of it",
         Join({ShortEventDescriptor("eng", Text("Kept"), Text("")), Bytes{0x4D, 40, 'e', 'n', 'g', 3}}),
         {{"eng", "Kept", "", ""}}},
        {"short event whose name runs past the descriptor",
         Bytes{0x4D, 6, 'e', 'n', 'g', 9, 'a', 'b'},
         {}},
    };
}

TEST(EitEvent, TextsPerLanguage)
{
    for (const EventCase& c : TextCases())
    {
        const Decoded d = DecodeOne({7, kStart, 3600, c.Descriptors});
        ASSERT_TRUE(d.Ok) << c.Name;
        ASSERT_EQ(d.Event->nLanguages, static_cast<int>(c.Languages.size())) << c.Name;
        for (size_t i = 0; i < c.Languages.size(); ++i)
        {
            const SEventLanguage& got = d.Event->Languages[i];
            EXPECT_EQ(std::string(got.Code), c.Languages[i].Code) << c.Name;
            EXPECT_EQ(Field(got.Title, got.TitleLength), c.Languages[i].Title) << c.Name;
            EXPECT_EQ(Field(got.SubTitle, got.SubTitleLength), c.Languages[i].SubTitle) << c.Name;
            EXPECT_EQ(Field(got.Desc, got.DescLength), c.Languages[i].Desc) << c.Name;
            EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(got.Desc), got.DescLength)) << c.Name;
        }
    }
}

TEST(EitEvent, TimesGenresAndRating)
{
    const Decoded d = DecodeOne({0x1234, kStart, 5400,
                                 Join({ContentDescriptor({0x14, 0x00, 0x14, 0xF3, 0x43}),
                                       ParentalRatingDescriptor("deu", 0x00), ParentalRatingDescriptor("deu", 0x09)}),
                                 4});
    ASSERT_TRUE(d.Ok);
    EXPECT_EQ(d.Event->EventId, 0x1234);
    EXPECT_EQ(d.Event->Start, kStart);
    EXPECT_EQ(d.Event->Duration, 5400);
    EXPECT_EQ(d.Event->RunningStatus, 4);
    // Undefined (0x0) and user-defined (0xF) genres have no name; repeats once.
    ASSERT_EQ(d.Event->nGenres, 2);
    EXPECT_EQ(d.Event->Genres[0], 0x14);
    EXPECT_EQ(d.Event->Genres[1], 0x43);
    EXPECT_STREQ(d.Event->RatingCountry, "DEU");
    EXPECT_EQ(d.Event->RatingAge, 12);
}

TEST(EitEvent, LongExtendedTextIsCutWholeCharacters)
{
    // 16 descriptors of bytes that are no UTF-8: each becomes a 3-byte
    // replacement character, more than the description holds.
    std::string text(1, '\x15');
    text += std::string(3800, '\xFF');
    Bytes descriptors = ExtendedEventDescriptors("eng", {}, Text(text), 240, 1);
    const Decoded d = DecodeOne({1, kStart, 60, descriptors});
    ASSERT_TRUE(d.Ok);
    const SEventLanguage& got = d.Event->Languages[0];
    EXPECT_GT(got.DescLength, kEventDescCapacity - 4);
    EXPECT_LT(got.DescLength, kEventDescCapacity);
    EXPECT_EQ(got.DescLength % 3, 0u);
    EXPECT_TRUE(IsValidUtf8(reinterpret_cast<const unsigned char*>(got.Desc), got.DescLength));
}

TEST(EitEvent, UndefinedStartIsNoGuideEvent)
{
    Bytes section = EitEventsSection({0x4E, 1, 1, 1}, {{1, kStart, 60, {}}});
    // Start undefined (all ones), as NVOD reference events have it.
    for (int i = 16; i < 21; ++i)
        section[i] = 0xFF;
    int offset = 0;
    SEitEventEntry entry;
    ASSERT_TRUE(EitNextEvent(section.data(), static_cast<int>(section.size()), offset, entry));
    std::unique_ptr<SDecodedEvent> event(new SDecodedEvent);
    std::unique_ptr<SEventDecodeScratch> scratch(new SEventDecodeScratch);
    EXPECT_FALSE(DecodeEitEvent(entry, *event, *scratch));
}
}  // namespace
