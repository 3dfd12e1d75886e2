#pragma once
// Copies on the traffic path are whole 188-byte packets or less. Copied as
// fixed-size packets they compile to a few vector moves; one memcpy of a
// length the compiler knows only to be at most a chunk becomes a string
// instruction (rep movs) whose start-up costs about as much as the copy
// itself, at every packet.

#include <cstring>

#include "ts/TsConstants.h"

// Copies `size` bytes (0 or more) from `from` to `to`; the ranges do not overlap.
inline void CopyPackets(unsigned char* to, const unsigned char* from, int size)
{
    int offset = 0;
    for (; size - offset >= kTsPacketSize; offset += kTsPacketSize)
        std::memcpy(to + offset, from + offset, kTsPacketSize);
    if (offset < size)
        std::memcpy(to + offset, from + offset, static_cast<size_t>(size - offset));
}
