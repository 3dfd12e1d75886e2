#pragma once
// An in-phase transport stream made in memory: sync byte, one PID, a running
// continuity counter and a payload that changes from packet to packet.

#include <cstdint>
#include <vector>

#include "ts/TsConstants.h"

inline std::vector<unsigned char> MakeTsPackets(int count)
{
    std::vector<unsigned char> stream(static_cast<size_t>(count) * kTsPacketSize);
    uint32_t noise = 0x12345678u;
    for (int p = 0; p < count; ++p)
    {
        unsigned char* packet = stream.data() + static_cast<size_t>(p) * kTsPacketSize;
        packet[0] = kTsSyncByte;
        packet[1] = 0x01;                                          // PID 0x100
        packet[2] = 0x00;
        packet[3] = static_cast<unsigned char>(0x10 | (p & 0x0F)); // payload only, continuity counter
        for (int i = 4; i < kTsPacketSize; ++i)
        {
            noise = noise * 1664525u + 1013904223u;                // a cheap LCG: only variety matters
            packet[i] = static_cast<unsigned char>(noise >> 24);
        }
    }
    return stream;
}

// Cuts the stream into blocks of `block` bytes (the last one shorter) and
// hands each to `feed(data, length)`.
template <class Feed>
inline void ForEachBlock(std::vector<unsigned char>& stream, int block, Feed&& feed)
{
    const size_t size = stream.size();
    for (size_t offset = 0; offset < size; offset += static_cast<size_t>(block))
    {
        const size_t left = size - offset;
        feed(stream.data() + offset, static_cast<int>(left < static_cast<size_t>(block) ? left : block));
    }
}
