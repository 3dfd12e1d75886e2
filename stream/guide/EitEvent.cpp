#include "guide/EitEvent.h"

#include <cstring>

#include "guide/DvbTime.h"
#include "psi/DvbText.h"

namespace
{
constexpr unsigned char kShortEventTag = 0x4D;
constexpr unsigned char kExtendedEventTag = 0x4E;
constexpr unsigned char kContentTag = 0x54;
constexpr unsigned char kParentalRatingTag = 0x55;

void CopyCode(const unsigned char* code, bool upper, char (&out)[4])
{
    for (int i = 0; i < 3; ++i)
    {
        unsigned char c = code[i];
        if (c >= 'A' && c <= 'Z' && !upper)
            c = static_cast<unsigned char>(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z' && upper)
            c = static_cast<unsigned char>(c - 'a' + 'A');
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
        {
            out[0] = 0;  // not a code a guide can name
            return;
        }
        out[i] = static_cast<char>(c);
    }
    out[3] = 0;
}

// The language slot for `code`: the one already named so, else a new one
// while there is room; -1 when both are taken by other languages.
int LanguageSlot(SDecodedEvent& event, SEventDecodeScratch& scratch, const unsigned char* code)
{
    char normal[4];
    CopyCode(code, false, normal);
    for (int i = 0; i < event.nLanguages; ++i)
        if (std::strcmp(event.Languages[i].Code, normal) == 0)
            return i;
    if (event.nLanguages >= kEventLanguages)
        return -1;
    const int slot = event.nLanguages++;
    SEventLanguage& language = event.Languages[slot];
    std::memcpy(language.Code, normal, sizeof normal);
    language.TitleLength = language.SubTitleLength = language.DescLength = 0;
    language.Title[0] = language.SubTitle[0] = language.Desc[0] = 0;
    scratch.RawLength[slot] = scratch.ShortLength[slot] = scratch.ItemsLength[slot] = 0;
    return slot;
}

// Appends UTF-8 to a field, after `separator` when the field is not empty;
// cut at a character boundary when it does not fit.
void AppendUtf8(char* field, size_t& length, size_t capacity, const char* separator, const char* text,
                size_t textLength)
{
    if (textLength == 0)
        return;
    const size_t separatorLength = length > 0 ? std::strlen(separator) : 0;
    if (length + separatorLength + 1 >= capacity)
        return;
    size_t room = capacity - 1 - length - separatorLength;
    if (textLength > room)
    {
        while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80)
            --room;  // never half a character
        textLength = room;
    }
    if (textLength == 0)
        return;
    std::memcpy(field + length, separator, separatorLength);
    std::memcpy(field + length + separatorLength, text, textLength);
    length += separatorLength + textLength;
    field[length] = 0;
}

// Appends DVB text, converted, as AppendUtf8 does.
void AppendDvbText(char* field, size_t& length, size_t capacity, const char* separator, const unsigned char* text,
                   size_t textLength)
{
    char converted[kEventDescCapacity];
    const size_t written = DvbTextToUtf8(text, textLength, converted, sizeof converted);
    AppendUtf8(field, length, capacity, separator, converted, written);
}

bool IsSubTitleItem(const char* name)
{
    static const char* const kNames[] = {"sub-title", "subtitle", "episode title", "episode"};
    for (const char* candidate : kNames)
    {
        size_t i = 0;
        for (; candidate[i] != 0 && name[i] != 0; ++i)
        {
            char c = name[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != candidate[i])
                break;
        }
        if (candidate[i] == 0 && name[i] == 0)
            return true;
    }
    return false;
}

// `d` and `length`: the descriptor's body.
void ReadShortEvent(const unsigned char* d, int length, SDecodedEvent& event, SEventDecodeScratch& scratch)
{
    if (length < 5)
        return;
    const int nameLength = d[3];
    if (4 + nameLength + 1 > length)
        return;
    const int textLength = d[4 + nameLength];
    if (5 + nameLength + textLength > length)
        return;
    const int slot = LanguageSlot(event, scratch, d);
    if (slot < 0)
        return;
    SEventLanguage& language = event.Languages[slot];
    if (language.TitleLength == 0)
        AppendDvbText(language.Title, language.TitleLength, sizeof language.Title, "", d + 4, nameLength);
    AppendDvbText(scratch.Short[slot], scratch.ShortLength[slot], sizeof scratch.Short[slot], " ",
                  d + 5 + nameLength, textLength);
}

void ReadExtendedEvent(const unsigned char* d, int length, SDecodedEvent& event, SEventDecodeScratch& scratch)
{
    if (length < 6)
        return;
    const int itemsLength = d[4];
    if (5 + itemsLength + 1 > length)
        return;
    const int textAt = 5 + itemsLength;
    const int textLength = d[textAt];
    if (textAt + 1 + textLength > length)
        return;
    const int slot = LanguageSlot(event, scratch, d + 1);
    if (slot < 0)
        return;
    SEventLanguage& language = event.Languages[slot];
    // Items are whole within their descriptor: each is a line of its own
    // ("Director: Jane Doe"), or the sub-title when it is named so.
    for (int at = 5; at < textAt;)
    {
        const int nameLength = d[at];
        if (at + 1 + nameLength + 1 > textAt)
            break;
        const int valueAt = at + 1 + nameLength + 1;
        const int valueLength = d[valueAt - 1];
        if (valueAt + valueLength > textAt)
            break;
        char name[kEventTitleCapacity];
        const size_t nameWritten = DvbTextToUtf8(d + at + 1, nameLength, name, sizeof name);
        char value[kEventTitleCapacity];
        const size_t valueWritten = DvbTextToUtf8(d + valueAt, valueLength, value, sizeof value);
        if (IsSubTitleItem(name))
        {
            if (language.SubTitleLength == 0)
                AppendUtf8(language.SubTitle, language.SubTitleLength, sizeof language.SubTitle, "", value,
                           valueWritten);
        }
        else if (valueWritten > 0)
        {
            char line[2 * kEventTitleCapacity + 2];
            size_t lineLength = 0;
            AppendUtf8(line, lineLength, sizeof line, "", name, nameWritten);
            if (lineLength > 0)
                AppendUtf8(line, lineLength, sizeof line, "", ":", 1);
            AppendUtf8(line, lineLength, sizeof line, " ", value, valueWritten);
            AppendUtf8(scratch.Items[slot], scratch.ItemsLength[slot], sizeof scratch.Items[slot], "\n", line,
                       lineLength);
        }
        at = valueAt + valueLength;
    }
    // The text runs on from descriptor to descriptor, a character possibly
    // split between two: joined as bytes, the repeated table selection of
    // the later pieces left out, and converted once at the end.
    const unsigned char* text = d + textAt + 1;
    size_t pieceLength = static_cast<size_t>(textLength);
    size_t& raw = scratch.RawLength[slot];
    if (raw > 0)
    {
        const size_t prefix = DvbTextTablePrefixLength(text, pieceLength);
        const size_t firstPrefix = DvbTextTablePrefixLength(scratch.Raw[slot], raw);
        if (prefix == firstPrefix && std::memcmp(text, scratch.Raw[slot], prefix) == 0)
        {
            text += prefix;
            pieceLength -= prefix;
        }
    }
    if (raw + pieceLength > kExtendedTextRawCapacity)
        pieceLength = kExtendedTextRawCapacity - raw;
    std::memcpy(scratch.Raw[slot] + raw, text, pieceLength);
    raw += pieceLength;
}

void ReadContent(const unsigned char* d, int length, SDecodedEvent& event)
{
    for (int at = 0; at + 2 <= length && event.nGenres < kEventMaxGenres; at += 2)
    {
        const uint8_t genre = d[at];
        const int level1 = genre >> 4;
        if (level1 == 0x0 || level1 == 0xF)
            continue;  // undefined and user defined: no name to give
        bool known = false;
        for (int i = 0; i < event.nGenres && !known; ++i)
            known = event.Genres[i] == genre;
        if (!known)
            event.Genres[event.nGenres++] = genre;
    }
}

void ReadParentalRating(const unsigned char* d, int length, SDecodedEvent& event)
{
    for (int at = 0; at + 4 <= length && event.RatingAge == 0; at += 4)
    {
        const unsigned char rating = d[at + 3];
        if (rating < 0x01 || rating > 0x0F)
            continue;  // undefined or the broadcaster's own
        CopyCode(d + at, true, event.RatingCountry);
        if (event.RatingCountry[0] != 0)
            event.RatingAge = static_cast<uint8_t>(rating + 3);
    }
}
}  // namespace

bool EitEventTimes(const SEitEventEntry& entry, int64_t& start, int32_t& duration)
{
    const unsigned char* h = entry.Header;
    if (!DvbUtcTime(h + 2, start))
        return false;
    if (h[7] == 0xFF && h[8] == 0xFF && h[9] == 0xFF)
    {
        duration = kEventDurationUndefined;
        return true;
    }
    return DvbDuration(h + 7, duration);
}

bool DecodeEitEvent(const SEitEventEntry& entry, SDecodedEvent& event, SEventDecodeScratch& scratch)
{
    const unsigned char* h = entry.Header;
    event.EventId = static_cast<uint16_t>(h[0] << 8 | h[1]);
    event.nGenres = 0;
    event.RatingCountry[0] = 0;
    event.RatingAge = 0;
    event.nLanguages = 0;
    if (!EitEventTimes(entry, event.Start, event.Duration))
        return false;
    event.RunningStatus = static_cast<uint8_t>(h[10] >> 5);

    const unsigned char* d = entry.Descriptors;
    const int end = entry.DescriptorsLength;
    for (int at = 0; at + 2 <= end;)
    {
        const int length = d[at + 1];
        if (at + 2 + length > end)
            break;
        const unsigned char* body = d + at + 2;
        switch (d[at])
        {
        case kShortEventTag:
            ReadShortEvent(body, length, event, scratch);
            break;
        case kExtendedEventTag:
            ReadExtendedEvent(body, length, event, scratch);
            break;
        case kContentTag:
            ReadContent(body, length, event);
            break;
        case kParentalRatingTag:
            ReadParentalRating(body, length, event);
            break;
        default:
            break;
        }
        at += 2 + length;
    }
    // The description: short text, extended text, items, a line each.
    for (int slot = 0; slot < event.nLanguages; ++slot)
    {
        SEventLanguage& language = event.Languages[slot];
        AppendUtf8(language.Desc, language.DescLength, sizeof language.Desc, "\n", scratch.Short[slot],
                   scratch.ShortLength[slot]);
        AppendDvbText(language.Desc, language.DescLength, sizeof language.Desc, "\n", scratch.Raw[slot],
                      scratch.RawLength[slot]);
        AppendUtf8(language.Desc, language.DescLength, sizeof language.Desc, "\n", scratch.Items[slot],
                   scratch.ItemsLength[slot]);
    }
    return true;
}
