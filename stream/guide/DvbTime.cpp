#include "guide/DvbTime.h"

namespace
{
constexpr int64_t kMjdOfUnixEpoch = 40587;  // 1970-01-01

bool Bcd(unsigned char byte, int limit, int& value)
{
    const int high = byte >> 4, low = byte & 0x0F;
    if (high > 9 || low > 9)
        return false;
    value = high * 10 + low;
    return value <= limit;
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int& year, int& month, int& day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}
}  // namespace

bool DvbUtcTime(const unsigned char* field, int64_t& seconds)
{
    const int mjd = field[0] << 8 | field[1];
    if (mjd == 0xFFFF && field[2] == 0xFF && field[3] == 0xFF && field[4] == 0xFF)
        return false;
    int hours, minutes, secs;
    if (!Bcd(field[2], 23, hours) || !Bcd(field[3], 59, minutes) || !Bcd(field[4], 59, secs))
        return false;
    seconds = (mjd - kMjdOfUnixEpoch) * 86400 + hours * 3600 + minutes * 60 + secs;
    return true;
}

bool DvbDuration(const unsigned char* field, int32_t& seconds)
{
    int hours, minutes, secs;
    if (!Bcd(field[0], 99, hours) || !Bcd(field[1], 59, minutes) || !Bcd(field[2], 59, secs))
        return false;
    seconds = hours * 3600 + minutes * 60 + secs;
    return true;
}

SUtcFields UtcFields(int64_t seconds)
{
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0)
    {
        rest += 86400;
        --days;
    }
    SUtcFields f{};
    CivilFromDays(days, f.Year, f.Month, f.Day);
    f.Hour = static_cast<int>(rest / 3600);
    f.Minute = static_cast<int>(rest / 60 % 60);
    f.Second = static_cast<int>(rest % 60);
    return f;
}
