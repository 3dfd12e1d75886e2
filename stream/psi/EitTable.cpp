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
