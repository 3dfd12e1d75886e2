#include "psi/PatTable.h"

bool IsValidPat(const unsigned char* section, int length)
{
    return IsValidLongSection(section, length) && SectionTableId(section) == kPatTableId &&
           (length - kMinLongSectionSize) % kPatEntrySize == 0;
}

bool PatFindPmtPid(const unsigned char* section, int length, uint16_t program, uint16_t& pmtPid)
{
    const int count = PatEntryCount(length);
    for (int entry = 0; entry < count; ++entry)
    {
        if (PatProgramNumber(section, entry) == program)
        {
            pmtPid = PatPid(section, entry);
            return true;
        }
    }
    return false;
}

int WritePat(unsigned char* section, uint16_t transportStreamId, int version,
             const uint16_t* programs, const uint16_t* pmtPids, int count)
{
    if (count > kMaxPatEntries)
        count = kMaxPatEntries;
    WriteLongSectionHeader(section, kPatTableId, transportStreamId, version, 0, 0);
    unsigned char* field = section + kLongSectionHeaderSize;
    for (int entry = 0; entry < count; ++entry, field += kPatEntrySize)
    {
        field[0] = static_cast<unsigned char>(programs[entry] >> 8);
        field[1] = static_cast<unsigned char>(programs[entry] & 0xFF);
        field[2] = static_cast<unsigned char>(0xE0 | (pmtPids[entry] >> 8));
        field[3] = static_cast<unsigned char>(pmtPids[entry] & 0xFF);
    }
    const int length = kMinLongSectionSize + count * kPatEntrySize;
    FinishLongSection(section, length);
    return length;
}
