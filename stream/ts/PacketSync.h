#pragma once
// How the traffic path finds a packet start again, for every stage that cuts
// the host's bytes into packets (the aligner, the program feed): where a packet
// is due and the byte there is not the sync byte, the bytes up to the next
// 0x47 are dropped. A single 0x47 is taken as a packet start; the following
// packet's sync byte is not consulted, so a lost or stray byte costs a packet
// or two and no wait. Bytes that complete a packet already begun are not
// examined.

#include <cstddef>
#include <cstring>

#include "ts/TsConstants.h"

// The bytes in front of the first sync byte of the `length` bytes at `data`
// (all of them when there is none): where a packet is due at `data`, they are
// dropped. 0 when `data` begins with the sync byte or `length` is not positive.
inline int BytesBeforeSync(const unsigned char* data, int length)
{
    if (length <= 0 || *data == kTsSyncByte)
        return 0;
    const void* sync = std::memchr(data, kTsSyncByte, static_cast<size_t>(length));
    return sync != nullptr ? static_cast<int>(static_cast<const unsigned char*>(sync) - data) : length;
}
