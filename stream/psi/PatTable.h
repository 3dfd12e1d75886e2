#pragma once
// The program association table (ISO/IEC 13818-1 2.4.4.3), PID 0, table_id
// 0x00, transport_stream_id as table_id_extension. After the 8-byte long
// section header, 4-byte entries up to the CRC:
//
//   program_number(16) reserved(3) PID(13)
//
// Program 0's PID is the NIT's; every other program's is its PMT's.

#include <cstdint>

#include "psi/PsiSection.h"

constexpr unsigned char kPatTableId = 0x00;
constexpr int kPatEntrySize = 4;
// Entries that fit a PAT section of kMaxPsiSectionSize bytes.
constexpr int kMaxPatEntries = (kMaxPsiSectionSize - kMinLongSectionSize) / kPatEntrySize;  // 253

// A complete, current-or-next PAT section with a right CRC and whole entries.
bool IsValidPat(const unsigned char* section, int length);

inline int PatEntryCount(int length) { return (length - kMinLongSectionSize) / kPatEntrySize; }
inline uint16_t PatProgramNumber(const unsigned char* section, int entry)
{
    const unsigned char* field = section + kLongSectionHeaderSize + entry * kPatEntrySize;
    return static_cast<uint16_t>((field[0] << 8) | field[1]);
}
inline uint16_t PatPid(const unsigned char* section, int entry)
{
    const unsigned char* field = section + kLongSectionHeaderSize + entry * kPatEntrySize;
    return static_cast<uint16_t>(((field[2] & 0x1F) << 8) | field[3]);
}

// The PMT PID of `program` in a valid PAT section; false when it is not listed.
bool PatFindPmtPid(const unsigned char* section, int length, uint16_t program, uint16_t& pmtPid);

// Writes a one-section PAT (section 0 of 0, current) of `count` programs
// (at most kMaxPatEntries) into `section`; returns its length.
int WritePat(unsigned char* section, uint16_t transportStreamId, int version,
             const uint16_t* programs, const uint16_t* pmtPids, int count);
