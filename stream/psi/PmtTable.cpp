#include "psi/PmtTable.h"

namespace
{
constexpr int kProgramInfoOffset = 12;   // first program descriptor
constexpr int kStreamHeaderSize = 5;

int TwelveBits(const unsigned char* field) { return ((field[0] & 0x0F) << 8) | field[1]; }

// True when the descriptors in [begin, end) each fit in it.
bool DescriptorsFit(const unsigned char* section, int begin, int end)
{
    while (begin < end)
    {
        if (end - begin < 2 || begin + 2 + section[begin + 1] > end)
            return false;
        begin += 2 + section[begin + 1];
    }
    return true;
}

// Adds the CA_PIDs of the CA descriptors in [begin, end) (already checked to fit).
void CollectCaPids(const unsigned char* section, int begin, int end, uint16_t* pids, int capacity, int& count)
{
    while (begin < end)
    {
        const int size = section[begin + 1];
        if (section[begin] == kCaDescriptorTag && size >= 4 && count < capacity)
            pids[count++] = static_cast<uint16_t>(((section[begin + 4] & 0x1F) << 8) | section[begin + 5]);
        begin += 2 + size;
    }
}
}

bool IsValidPmt(const unsigned char* section, int length)
{
    if (!IsValidLongSection(section, length) || SectionTableId(section) != kPmtTableId ||
        length < kProgramInfoOffset + kSectionCrcSize)
        return false;
    const int end = length - kSectionCrcSize;
    int position = kProgramInfoOffset + TwelveBits(section + 10);
    if (position > end || !DescriptorsFit(section, kProgramInfoOffset, position))
        return false;
    while (position < end)
    {
        if (end - position < kStreamHeaderSize)
            return false;
        const int descriptors = position + kStreamHeaderSize;
        const int next = descriptors + TwelveBits(section + position + 3);
        if (next > end || !DescriptorsFit(section, descriptors, next))
            return false;
        position = next;
    }
    return true;
}

int PmtCollectPids(const unsigned char* section, int length, uint16_t* pids, int capacity)
{
    int count = 0;
    const uint16_t pcrPid = PmtPcrPid(section);
    if (pcrPid != kNullPid && count < capacity)
        pids[count++] = pcrPid;
    int position = kProgramInfoOffset + TwelveBits(section + 10);
    CollectCaPids(section, kProgramInfoOffset, position, pids, capacity, count);
    const int end = length - kSectionCrcSize;
    while (position < end)
    {
        if (count < capacity)
            pids[count++] = static_cast<uint16_t>(((section[position + 1] & 0x1F) << 8) | section[position + 2]);
        const int descriptors = position + kStreamHeaderSize;
        const int next = descriptors + TwelveBits(section + position + 3);
        CollectCaPids(section, descriptors, next, pids, capacity, count);
        position = next;
    }
    return count;
}
