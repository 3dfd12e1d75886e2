#include "psi/DvbText.h"

#include <cstring>

#include "psi/Iso8859Tables.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Writes code points as UTF-8 into a fixed buffer, never half a character.
class CUtf8Sink
{
public:
    CUtf8Sink(char* out, size_t capacity) : m_pOut(out), m_nCapacity(capacity)
    {
        if (capacity > 0)
            out[0] = 0;
    }

    // The one rule for every broadcast text on its way to XML, HTML or a
    // playlist: nothing XML 1.0 forbids leaves here. Control characters are
    // dropped, and so are the Unicode line and paragraph separators
    // (playlist and guide readers end a line there); surrogates, U+FFFE,
    // U+FFFF and what lies beyond Unicode become U+FFFD. The DVB line break
    // is a blank.
    void PutCodePoint(uint32_t c)
    {
        if (c == 0xE08A)
            c = ' ';
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xE080 && c <= 0xE09F) || c == 0x2028 || c == 0x2029)
            return;
        if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF)
            c = kReplacement;
        unsigned char bytes[4];
        size_t count;
        if (c < 0x80)
        {
            bytes[0] = static_cast<unsigned char>(c);
            count = 1;
        }
        else if (c < 0x800)
        {
            bytes[0] = static_cast<unsigned char>(0xC0 | c >> 6);
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            count = 2;
        }
        else if (c < 0x10000)
        {
            bytes[0] = static_cast<unsigned char>(0xE0 | c >> 12);
            bytes[1] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            count = 3;
        }
        else
        {
            bytes[0] = static_cast<unsigned char>(0xF0 | c >> 18);
            bytes[1] = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            count = 4;
        }
        if (m_bFull || m_nCapacity == 0 || m_nLength + count > m_nCapacity - 1)
        {
            m_bFull = true; // later, shorter characters would leave a gap in the text
            return;
        }
        std::memcpy(m_pOut + m_nLength, bytes, count);
        m_nLength += count;
        m_pOut[m_nLength] = 0;
    }

    size_t Length() const { return m_nLength; }

private:
    char* m_pOut;
    size_t m_nCapacity;
    size_t m_nLength = 0;
    bool m_bFull = false;
};

// Unicode combining marks for the default table's diacritics 0xC1..0xCF,
// which come before the letter they belong to; 0: none.
constexpr uint16_t kCombiningMarks[15] = {
    0x0300, 0x0301, 0x0302, 0x0303, 0x0304, 0x0306, 0x0307, 0x0308, // grave .. diaeresis
    0,      0x030A, 0x0327, 0,      0x030B, 0x0328, 0x030C,         // ring, cedilla, double acute, ogonek, caron
};

bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

enum class ETable
{
    Default, // the DVB default table, read as Latin-1 with its diacritics
    Iso8859, // an ISO 8859 part
    Ucs2,
    Utf8,
    Unknown, // only the ASCII is kept
};

void ConvertSingleByte(const unsigned char* text, size_t length, ETable table, unsigned part, CUtf8Sink& sink)
{
    for (size_t i = 0; i < length; ++i)
    {
        const unsigned char c = text[i];
        if (c < 0x80 || table == ETable::Unknown)
        {
            if (c < 0x80 || c == 0x8A)
                sink.PutCodePoint(c == 0x8A ? ' ' : c);
            continue;
        }
        if (c <= 0x9F)
        {
            if (c == 0x8A)
                sink.PutCodePoint(' ');
            continue;
        }
        if (table == ETable::Default && c >= 0xC1 && c <= 0xCF)
        {
            const uint16_t mark = kCombiningMarks[c - 0xC1];
            if (mark != 0 && i + 1 < length && IsAsciiLetter(text[i + 1]))
            {
                sink.PutCodePoint(text[i + 1]);
                sink.PutCodePoint(mark);
                ++i;
            }
            continue;
        }
        sink.PutCodePoint(table == ETable::Iso8859 ? kIso8859Upper[part][c - 0xA0] : c);
    }
}

void ConvertUcs2(const unsigned char* text, size_t length, CUtf8Sink& sink)
{
    for (size_t i = 0; i + 1 < length; i += 2)
        sink.PutCodePoint(static_cast<uint32_t>(text[i]) << 8 | text[i + 1]);
}

void ConvertUtf8(const unsigned char* text, size_t length, CUtf8Sink& sink)
{
    size_t i = 0;
    while (i < length)
    {
        const unsigned char lead = text[i];
        size_t count;
        uint32_t c;
        uint32_t minimum;
        if (lead < 0x80)
        {
            sink.PutCodePoint(lead);
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF)
            count = 1, c = lead & 0x1Fu, minimum = 0x80;
        else if (lead >= 0xE0 && lead <= 0xEF)
            count = 2, c = lead & 0x0Fu, minimum = 0x800;
        else if (lead >= 0xF0 && lead <= 0xF4)
            count = 3, c = lead & 0x07u, minimum = 0x10000;
        else
        {
            sink.PutCodePoint(kReplacement);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= count && i + k < length && (text[i + k] & 0xC0) == 0x80; ++k)
            c = c << 6 | (text[i + k] & 0x3Fu);
        if (k <= count || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        {
            // Only the lead byte is replaced; the next byte starts afresh.
            sink.PutCodePoint(kReplacement);
            ++i;
            continue;
        }
        sink.PutCodePoint(c);
        i += count + 1;
    }
}

} // namespace

size_t DvbTextToUtf8(const unsigned char* text, size_t length, char* out, size_t capacity)
{
    CUtf8Sink sink(out, capacity);
    if (text == nullptr || length == 0)
        return 0;
    ETable table = ETable::Default;
    unsigned part = 0;
    size_t start = 0;
    const unsigned char first = text[0];
    if (first >= 0x20)
        table = ETable::Default;
    else if (first >= 0x01 && first <= 0x0B)
    {
        // One byte: parts 5 (0x01) to 15 (0x0B); 0x08 would be the part that never was.
        part = first + 4u;
        table = IsIso8859Part(part) ? ETable::Iso8859 : ETable::Unknown, start = 1;
    }
    else if (first == 0x10)
    {
        // Three bytes: 0x10, then the ISO 8859 part as a 16-bit number.
        start = length < 3 ? length : 3;
        part = length < 3 ? 0u : (static_cast<unsigned>(text[1]) << 8 | text[2]);
        table = IsIso8859Part(part) ? ETable::Iso8859 : ETable::Unknown;
    }
    else if (first == 0x11)
        table = ETable::Ucs2, start = 1;
    else if (first == 0x15)
        table = ETable::Utf8, start = 1;
    else if (first == 0x1F)
        table = ETable::Unknown, start = length < 2 ? length : 2; // encoding_type_id follows
    else
        table = ETable::Unknown, start = 1;

    if (table == ETable::Ucs2)
        ConvertUcs2(text + start, length - start, sink);
    else if (table == ETable::Utf8)
        ConvertUtf8(text + start, length - start, sink);
    else
        ConvertSingleByte(text + start, length - start, table, part, sink);
    return sink.Length();
}

size_t DvbTextTablePrefixLength(const unsigned char* text, size_t length)
{
    if (text == nullptr || length == 0 || text[0] >= 0x20)
        return 0;
    const size_t prefix = text[0] == 0x10 ? 3 : text[0] == 0x1F ? 2 : 1;
    return prefix < length ? prefix : length;
}
