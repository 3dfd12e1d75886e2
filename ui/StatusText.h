#pragma once
// Texts of the options dialog's status fields. Portable, so that they can be
// checked natively under the sanitizers.

#include <cstdint>

// Longest digit-group text: the largest 64-bit value, 9223372 036 854 775 807,
// is 23 characters.
constexpr int kTrafficTextCapacity = 32;
// Longest running-time text: 1193:02:47 (the 32-bit millisecond range).
constexpr int kElapsedTextCapacity = 16;

// Writes `value` in groups of three digits separated by blanks ("1 234 567");
// the first group has no leading zeros and is not limited to three digits
// (10^15 is "1000 000 000 000 000"). A negative value is shown as 0. `text` must hold
// kTrafficTextCapacity characters.
template <class Char>
Char* FormatDigitGroups(long long value, Char* text)
{
    if (value < 0)
        value = 0;
    int length = 0;
    for (long long divisor = 1000000000000LL; divisor != 0; divisor /= 1000)
    {
        const long long group = value / divisor;
        if (group > 0 || length > 0 || divisor == 1)
        {
            Char digits[24];
            int count = 0;
            long long rest = group;
            do
            {
                digits[count++] = static_cast<Char>('0' + rest % 10);
                rest /= 10;
            } while (rest != 0);
            if (length > 0)
                while (count < 3)
                    digits[count++] = '0';
            while (count > 0)
                text[length++] = digits[--count];
            text[length++] = ' ';
            value %= divisor;
        }
    }
    text[length - 1] = 0;  // drop the blank after the last group
    return text;
}

// "HH:MM:SS" of whole seconds; hours are not taken modulo 24.
template <class Char>
Char* FormatElapsed(uint32_t elapsedMs, Char* text)
{
    const uint32_t seconds = elapsedMs / 1000;
    const uint32_t fields[3] = {seconds / 3600, seconds % 3600 / 60, seconds % 60};
    int length = 0;
    for (int i = 0; i < 3; ++i)
    {
        Char digits[12];
        int count = 0;
        uint32_t rest = fields[i];
        do
        {
            digits[count++] = static_cast<Char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0 || count < 2);
        if (i > 0)
            text[length++] = ':';
        while (count > 0)
            text[length++] = digits[--count];
    }
    text[length] = 0;
    return text;
}
