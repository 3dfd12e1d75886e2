#pragma once
// Times as DVB tables carry them (EN 300 468 annex C): a 16-bit Modified
// Julian Date and hours, minutes, seconds in BCD, always UTC; durations as
// BCD hours, minutes, seconds.

#include <cstdint>

// Seconds since 1970-01-01 00:00 UTC of a 40-bit MJD + BCD time at `field`;
// false for digits that are no BCD, an hour past 23, a minute or second past
// 59, or the all-ones "undefined" time.
bool DvbUtcTime(const unsigned char* field, int64_t& seconds);

// Seconds of a 24-bit BCD duration (hhmmss, hours up to 99); false for
// digits that are no BCD or minutes or seconds past 59.
bool DvbDuration(const unsigned char* field, int32_t& seconds);

// The civil date and time of `seconds` since 1970 (UTC), for texts.
struct SUtcFields
{
    int Year, Month, Day, Hour, Minute, Second;
};
SUtcFields UtcFields(int64_t seconds);
