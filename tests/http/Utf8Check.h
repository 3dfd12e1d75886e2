#pragma once
// A strict UTF-8 check, written apart from the converter it checks: shortest
// forms only, no surrogates, nothing above U+10FFFF.

#include <cstddef>

inline bool IsValidUtf8(const unsigned char* text, size_t length)
{
    size_t i = 0;
    while (i < length)
    {
        const unsigned char lead = text[i];
        size_t follow;
        unsigned long c;
        if (lead < 0x80)
        {
            ++i;
            continue;
        }
        else if ((lead & 0xE0) == 0xC0)
            follow = 1, c = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0)
            follow = 2, c = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0)
            follow = 3, c = lead & 0x07;
        else
            return false;
        if (i + follow >= length)
            return false;
        for (size_t k = 1; k <= follow; ++k)
        {
            if ((text[i + k] & 0xC0) != 0x80)
                return false;
            c = c << 6 | (text[i + k] & 0x3F);
        }
        const unsigned long minimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < minimum[follow] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += follow + 1;
    }
    return true;
}
