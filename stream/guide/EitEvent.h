#pragma once
// One event of an EIT section decoded for the guide: times in UTC seconds,
// texts as UTF-8 per language (short and extended event descriptors), genres
// (content descriptor) and the parental rating. Decoded on the collector's
// side, never on the traffic thread; fixed buffers, no allocation.
//
// Descriptors read (EN 300 468 6.2):
//   0x4D short event:    ISO_639_language_code(24) event_name_length(8) event_name
//                        text_length(8) text
//   0x4E extended event: descriptor_number(4) last_descriptor_number(4)
//                        ISO_639_language_code(24) length_of_items(8)
//                        { item_description_length(8) item_description item_length(8) item }
//                        text_length(8) text
//   0x54 content:        { content_nibble_level_1(4) level_2(4) user_byte(8) }
//   0x55 parental rating:{ country_code(24) rating(8) }   rating 0x01..0x0F: age rating + 3

#include <cstddef>
#include <cstdint>

#include "psi/EitTable.h"

constexpr int kEventLanguages = 2;          // the first two languages an event names; others are left out
constexpr size_t kEventTitleCapacity = 768;  // 255 broadcast bytes, each at most 3 of UTF-8
constexpr size_t kEventDescCapacity = 6144;  // short text, the extended text of 16 descriptors, items
constexpr int kEventMaxGenres = 4;
constexpr size_t kExtendedTextRawCapacity = 16 * 255;  // 16 descriptors' text
// The duration of an event that runs live and has no announced end (all ones).
constexpr int32_t kEventDurationUndefined = -1;

struct SEventLanguage
{
    char Code[4] = {};                       // ISO 639-2, lower case; empty when none or not letters
    size_t TitleLength = 0;
    char Title[kEventTitleCapacity] = {};
    size_t SubTitleLength = 0;
    char SubTitle[kEventTitleCapacity] = {};
    size_t DescLength = 0;
    char Desc[kEventDescCapacity] = {};
};

struct SDecodedEvent
{
    uint16_t EventId = 0;
    int64_t Start = 0;                       // UTC seconds since 1970
    int32_t Duration = 0;                    // seconds, or kEventDurationUndefined
    uint8_t RunningStatus = 0;               // 0 undefined, 1 not running, 2 starts soon, 3 pausing, 4 running
    int nGenres = 0;
    uint8_t Genres[kEventMaxGenres] = {};    // content nibbles level 1 << 4 | level 2
    char RatingCountry[4] = {};              // upper case; empty: no rating
    uint8_t RatingAge = 0;                   // years; 0: none
    int nLanguages = 0;
    SEventLanguage Languages[kEventLanguages];
};

// The parts of each language's description while its descriptors are read:
// short text, the extended text joined across descriptors (as broadcast
// bytes), the extended items.
struct SEventDecodeScratch
{
    size_t RawLength[kEventLanguages] = {};
    unsigned char Raw[kEventLanguages][kExtendedTextRawCapacity];
    size_t ShortLength[kEventLanguages] = {};
    char Short[kEventLanguages][kEventTitleCapacity];
    size_t ItemsLength[kEventLanguages] = {};
    char Items[kEventLanguages][kEventDescCapacity];
};

// An event entry's start and duration, read without its descriptors; false
// when the start is undefined or either is no time (an event without a
// start has no place in a guide). An undefined duration (all ones) is
// kEventDurationUndefined.
bool EitEventTimes(const SEitEventEntry& entry, int64_t& start, int32_t& duration);

// Decodes one event entry; false as EitEventTimes. Descriptors that do not
// fit their loop end the reading of the loop.
bool DecodeEitEvent(const SEitEventEntry& entry, SDecodedEvent& event, SEventDecodeScratch& scratch);
