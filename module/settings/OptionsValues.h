#pragma once
// How the three settings' texts become values, the same for the INI file and
// the dialog. Portable, so that the sanitizers and the fuzzer can check it.

#include <climits>
#include <cstdint>

#include "ts/TsConstants.h"

// The blanks that the C runtime's number parsing skips: space, \t to \r.
template <class Char>
bool IsBlank(Char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

template <class Char>
const Char* SkipBlanks(const Char* text)
{
    while (IsBlank(*text))
        ++text;
    return text;
}

// Decimal parsing as the C runtime's _wtoi does it (leading blanks, optional
// sign, digits up to the first other character, 0 without digits), except
// that a value beyond the int range saturates instead of overflowing.
template <class Char>
int ParseLeadingInt(const Char* text)
{
    if (text == nullptr)
        return 0;
    text = SkipBlanks(text);
    bool negative = false;
    if (*text == '-' || *text == '+')
        negative = (*text++ == '-');
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
    {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// The port field is 16 bits wide: a stored 70000 is 4464, -1 is 65535.
inline uint16_t PortFromInt(int value)
{
    return static_cast<uint16_t>(static_cast<unsigned int>(value) & 0xFFFFu);
}

// The aligner's and the sender's buffers hold at most 7 packets, and a chunk of
// 0 packets cannot be framed: anything else is brought into 1..7.
inline int ClampPacketsPerDatagram(int value)
{
    if (value < kMinPacketsPerChunk)
        return kMinPacketsPerChunk;
    if (value > kMaxPacketsPerChunk)
        return kMaxPacketsPerChunk;
    return value;
}

// Strict dotted-quad IPv4 text ("192.168.0.1"): four decimal fields of 0..255
// and nothing else. A field with a leading zero is refused: some parsers read
// "010" as octal 8.
template <class Char>
bool ParseDottedQuad(const Char* text, unsigned char (&octets)[4])
{
    if (text == nullptr)
        return false;
    for (int field = 0; field < 4; ++field)
    {
        if (field > 0 && *text++ != '.')
            return false;
        const Char* first = text;
        int value = 0;
        int digits = 0;
        for (; *text >= '0' && *text <= '9'; ++text)
        {
            value = value * 10 + (*text - '0');
            if (++digits > 3 || value > 255)
                return false;
        }
        if (digits == 0 || (digits > 1 && *first == '0'))
            return false;
        octets[field] = static_cast<unsigned char>(value);
    }
    return *text == 0;
}
