#pragma once
// Fixed-capacity wide-text helpers for host records and settings fields.

#include <cstddef>

// Copies `text` into `field`, cut to `capacity` characters, the rest zero.
// The field is left unterminated only when the text fills it (as the host's
// zero-filled record fields allow).
template <size_t capacity>
void CopyZeroFilled(wchar_t (&field)[capacity], const wchar_t* text)
{
    size_t i = 0;
    for (; i < capacity && text[i] != 0; ++i)
        field[i] = text[i];
    for (; i < capacity; ++i)
        field[i] = 0;
}
