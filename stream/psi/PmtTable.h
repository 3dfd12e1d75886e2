#pragma once
// The program map table (ISO/IEC 13818-1 2.4.4.8), table_id 0x02,
// program_number as table_id_extension. After the 8-byte long section header:
//
//   reserved(3) PCR_PID(13) reserved(4) program_info_length(12)
//   program descriptors (program_info_length bytes)
//   per elementary stream, up to the CRC:
//     stream_type(8) reserved(3) elementary_PID(13) reserved(4) ES_info_length(12)
//     stream descriptors (ES_info_length bytes)
//
// A CA descriptor (tag 0x09) at either level names an ECM PID:
//   tag(8) length(8) CA_system_ID(16) reserved(3) CA_PID(13) private bytes

#include <cstdint>

#include "psi/PsiSection.h"

constexpr unsigned char kPmtTableId = 0x02;
constexpr unsigned char kCaDescriptorTag = 0x09;

// A complete PMT section with a right CRC whose descriptor and stream loops
// end exactly at the CRC.
bool IsValidPmt(const unsigned char* section, int length);

inline uint16_t PmtPcrPid(const unsigned char* section)
{
    return static_cast<uint16_t>(((section[8] & 0x1F) << 8) | section[9]);
}

// The PIDs a valid PMT section names, in the order they appear: PCR_PID
// (unless 0x1FFF, "no PCR"), the ECM PIDs of the program's CA descriptors,
// then each stream's PID and its ECM PIDs. At most `capacity` are stored;
// returns how many were.
int PmtCollectPids(const unsigned char* section, int length, uint16_t* pids, int capacity);
