#pragma once
// The optional Programs key: which programs of the transponder to send, as
// the INI file holds them. Portable, so that the sanitizers and the fuzzer can
// check it.

#include <cstdint>

#include "settings/OptionsValues.h"
#include "programs/ProgramFilter.h"

// The dialog's line names at most this many programs, then "+N" for the rest.
constexpr int kProgramsNamedOnLine = 2;
// "28106, 28107 +14" and its terminator.
constexpr int kProgramNumbersTextCapacity = kProgramsNamedOnLine * 7 + 4 + 1;

namespace ProgramListText
{
template <class Char>
bool IsSeparator(Char c)
{
    return c == ',' || IsBlank(c);
}

// One entry: decimal digits only (leading zeros allowed), 1..65535.
template <class Char>
bool ParseEntry(const Char* begin, const Char* end, uint16_t* number)
{
    long value = 0;
    for (const Char* c = begin; c != end; ++c)
    {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + (*c - '0');
        if (value > 65535)
            return false;
    }
    if (begin == end || value == 0)
        return false;
    *number = static_cast<uint16_t>(value);
    return true;
}
}  // namespace ProgramListText

// Program numbers separated by commas and/or blanks ("28106, 28107"). An entry
// that is not a number of 1..65535 is skipped, a repeat counts once, and
// after kMaxSelectedPrograms numbers the rest is ignored. No valid number:
// Count 0, the whole transport stream.
template <class Char>
void ParseProgramList(const Char* text, SProgramSelection& programs)
{
    programs.Count = 0;
    for (uint16_t& number : programs.Numbers)
        number = 0;
    if (text == nullptr)
        return;
    while (*text != 0 && programs.Count < kMaxSelectedPrograms)
    {
        while (*text != 0 && ProgramListText::IsSeparator(*text))
            ++text;
        const Char* begin = text;
        while (*text != 0 && !ProgramListText::IsSeparator(*text))
            ++text;
        uint16_t number = 0;
        if (!ProgramListText::ParseEntry(begin, text, &number))
            continue;
        bool repeat = false;
        for (int i = 0; i < programs.Count; ++i)
            repeat = repeat || programs.Numbers[i] == number;
        if (!repeat)
            programs.Numbers[programs.Count++] = number;
    }
}

// A text read into `capacity` characters that fills them may end in the
// front part of a longer entry ("28106" cut to "2810", another program):
// such a last entry is removed. The terminator stays within `capacity`.
template <class Char>
void DropCutEntry(Char* text, int capacity)
{
    int length = 0;
    while (length < capacity - 1 && text[length] != 0)
        ++length;
    text[length] = 0;
    if (length < capacity - 1)
        return;
    while (length > 0 && !ProgramListText::IsSeparator(text[length - 1]))
        text[--length] = 0;
}

// `count` program numbers as the dialog's line names them: "28106",
// "28106, 28107", "28106, 28107 +3". `text` holds
// kProgramNumbersTextCapacity characters.
inline wchar_t* FormatProgramNumbers(const uint16_t* numbers, int count, wchar_t* text)
{
    int length = 0;
    auto put = [&](wchar_t c) {
        if (length < kProgramNumbersTextCapacity - 1)
            text[length++] = c;
    };
    auto putNumber = [&](unsigned value) {
        wchar_t digits[10];
        int n = 0;
        do
        {
            digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0 && n < 10);
        while (n > 0)
            put(digits[--n]);
    };
    if (count < 0)
        count = 0;
    if (count > kMaxSelectedPrograms)
        count = kMaxSelectedPrograms;
    const int named = count < kProgramsNamedOnLine ? count : kProgramsNamedOnLine;
    for (int i = 0; i < named; ++i)
    {
        if (i > 0)
        {
            put(L',');
            put(L' ');
        }
        putNumber(numbers[i]);
    }
    if (count > named)
    {
        put(L' ');
        put(L'+');
        putNumber(static_cast<unsigned>(count - named));
    }
    text[length] = 0;
    return text;
}
