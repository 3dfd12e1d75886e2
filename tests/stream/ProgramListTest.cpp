// The Programs key as the INI file holds it, a table: the text, and the
// programs the module makes of it. No valid number leaves the whole stream.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/ProgramList.h"

namespace {

std::vector<int> Numbers(const SProgramSelection& programs)
{
    return std::vector<int>(programs.Numbers, programs.Numbers + programs.Count);
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::wstring Repeat(const std::wstring& entry, int times)
{
    std::wstring text;
    for (int i = 0; i < times; ++i)
        text += entry;
    return text;
}

}  // namespace

TEST(ProgramList, Parse)
{
    struct Case { std::wstring text; std::vector<int> numbers; };
    const Case cases[] = {
        {L"28106", {28106}},
        {L"28106, 28107", {28106, 28107}},
        {L"28106,28107", {28106, 28107}},
        {L"28106 28107", {28106, 28107}},
        {L" \t28106 ,, 28107 , ", {28106, 28107}},
        {L"1", {1}},
        {L"65535", {65535}},
        {L"00042", {42}},
        {L"28107,28106", {28107, 28106}},        // kept in the order written
        {L"28106, 28106, 28107, 28106", {28106, 28107}},  // repeats once
        {L"", {}},
        {L"   ", {}},
        {L",,,", {}},
        {L"0", {}},                              // no program has number 0 (it names the NIT)
        {L"65536", {}},
        {L"99999999999999999999", {}},
        {L"-5", {}},
        {L"+5", {}},
        {L"0x6DCA", {}},
        {L"28106;28107", {}},                    // one entry, not a number
        {L"abc, 28107", {28107}},                // invalid entries are skipped
        {L"28106a 28107", {28107}},
        {L"28106, 0, 70000, -1, 28107", {28106, 28107}},
        {L"4.5, 7", {7}},
        {L"\u0661\u0662, 12", {12}},             // digits of other scripts are not decimal digits here
    };
    for (const Case& c : cases)
    {
        SProgramSelection programs;
        programs.Count = -7;
        ParseProgramList(c.text.c_str(), programs);
        EXPECT_EQ(Numbers(programs), c.numbers) << "\"" << Narrow(c.text) << "\"";
    }
    SProgramSelection programs;
    ParseProgramList(static_cast<const wchar_t*>(nullptr), programs);
    EXPECT_EQ(programs.Count, 0);
    ParseProgramList("28106, 5", programs);  // 8-bit text alike
    EXPECT_EQ(Numbers(programs), (std::vector<int>{28106, 5}));
}

TEST(ProgramList, AtMostSixteenProgramsTheFirstOnes)
{
    std::wstring text;
    std::vector<int> first16;
    for (int i = 1; i <= 20; ++i)
    {
        text += std::to_wstring(100 + i) + L", ";
        if (i <= kMaxSelectedPrograms)
            first16.push_back(100 + i);
    }
    SProgramSelection programs;
    ParseProgramList(text.c_str(), programs);
    EXPECT_EQ(Numbers(programs), first16);

    // Repeats and invalid entries do not use up places.
    ParseProgramList((Repeat(L"7, x, 0, ", 40) + text).c_str(), programs);
    std::vector<int> expected = {7};
    expected.insert(expected.end(), first16.begin(), first16.end() - 1);
    EXPECT_EQ(Numbers(programs), expected);
}

TEST(ProgramList, AnEntryCutByTheBufferIsDropped)
{
    struct Case { std::wstring text; int capacity; std::wstring kept; };
    const Case cases[] = {
        {L"28106, 28107", 10, L"28106, "},     // "28106, 28" would select program 28
        {L"28106, 28107", 8, L"28106, "},      // cut right after the separator: nothing lost
        {L"28106, 28107", 14, L"28106, 28107"},  // room to spare: not cut
        {L"28106, 28107", 13, L"28106, "},     // filled exactly: it may have been cut
        {L"28106, 28107", 12, L"28106, "},     // the last digit would be lost
        {L"28106", 5, L""},
        {L"", 4, L""},
    };
    for (const Case& c : cases)
    {
        std::wstring buffer = c.text.substr(0, c.capacity - 1);
        buffer.resize(c.capacity, L'\0');
        DropCutEntry(&buffer[0], c.capacity);
        EXPECT_EQ(std::wstring(buffer.c_str()), c.kept) << "\"" << Narrow(c.text) << "\" in " << c.capacity;
    }
}

TEST(ProgramList, NumbersForTheDialogLine)
{
    struct Case { std::vector<uint16_t> numbers; std::wstring text; };
    const Case cases[] = {
        {{}, L""},
        {{28106}, L"28106"},
        {{28106, 28107}, L"28106, 28107"},
        {{28106, 28107, 1}, L"28106, 28107 +1"},
        {{28106, 28107, 1, 65535}, L"28106, 28107 +2"},
        {std::vector<uint16_t>(kMaxSelectedPrograms, 65535), L"65535, 65535 +14"},
    };
    for (const Case& c : cases)
    {
        wchar_t text[kProgramNumbersTextCapacity + 4];
        for (wchar_t& ch : text)
            ch = L'#';
        FormatProgramNumbers(c.numbers.data(), static_cast<int>(c.numbers.size()), text);
        EXPECT_EQ(std::wstring(text), c.text);
        for (int i = kProgramNumbersTextCapacity; i < kProgramNumbersTextCapacity + 4; ++i)
            EXPECT_EQ(text[i], L'#') << "written past the capacity";
    }
}
