#include "EitTable.h"

bool IsValidEit(const unsigned char* section, int length)
{
    const unsigned char tableId = SectionTableId(section);
    if (!IsValidLongSection(section, length) || tableId < kEitFirstTableId || tableId > kEitLastTableId ||
        length < kEitEventsOffset + kSectionCrcSize)
        return false;
    const int end = length - kSectionCrcSize;
    int position = kEitEventsOffset;
    while (position < end)
    {
        if (end - position < kEitEventHeaderSize)
            return false;
        const unsigned char* loopLength = section + position + 10;
        const int next = position + kEitEventHeaderSize + (((loopLength[0] & 0x0F) << 8) | loopLength[1]);
        if (next > end)
            return false;
        position = next;
    }
    return true;
}
