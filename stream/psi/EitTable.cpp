#include "psi/EitTable.h"

bool IsValidEit(const unsigned char* section, int length)
{
    const unsigned char tableId = SectionTableId(section);
    if (!IsValidLongSection(section, length) || tableId < kEitFirstTableId || tableId > kEitLastTableId ||
        length < kEitEventsOffset + kSectionCrcSize)
        return false;
    return LoopEntriesFit(section, kEitEventsOffset, length - kSectionCrcSize, kEitEventHeaderSize,
                          kEitEventLoopLengthAt);
}

bool EitNextEvent(const unsigned char* section, int length, int& offset, SEitEventEntry& event)
{
    const int at = offset == 0 ? kEitEventsOffset : offset;
    const int end = length - kSectionCrcSize;
    if (at + kEitEventHeaderSize > end)
        return false;
    const unsigned char* header = section + at;
    const int loop = ((header[kEitEventLoopLengthAt] & 0x0F) << 8) | header[kEitEventLoopLengthAt + 1];
    if (at + kEitEventHeaderSize + loop > end)
        return false;
    event.Header = header;
    event.Descriptors = header + kEitEventHeaderSize;
    event.DescriptorsLength = loop;
    offset = at + kEitEventHeaderSize + loop;
    return true;
}
