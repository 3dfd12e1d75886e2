#pragma once
// DVB text (EN 300 468 Annex A), as service names and event texts arrive,
// turned into UTF-8 for pages, playlists, guides and dialogs.

#include <cstddef>

// Converts DVB text to UTF-8: the default table read as Latin-1 (with its
// combining diacritics 0xC1..0xCF placed after their letter), the ISO 8859
// parts (0x01..0x0B, 0x10 0x00 nn), 0x11 (UCS-2) and 0x15 (UTF-8) converted;
// control codes and U+2028/U+2029 dropped, CR/LF (0x8A) as a space; invalid
// sequences, surrogates and U+FFFE/U+FFFF become U+FFFD (what comes out is
// fit for XML 1.0); unknown tables keep only their ASCII. Writes at
// most `capacity`-1 bytes and a NUL, never cutting a character; returns the
// bytes written.
size_t DvbTextToUtf8(const unsigned char* text, size_t length, char* out, size_t capacity);

// Bytes of the character-table selection at the start of `text` (0 for the
// default table): what a text continued in a later descriptor repeats.
size_t DvbTextTablePrefixLength(const unsigned char* text, size_t length);
