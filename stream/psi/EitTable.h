#pragma once
// The event information table (ETSI EN 300 468 5.2.4), PID 0x12,
// service_id as table_id_extension. Table 0x4E: present/following of this
// transport stream ("actual"), 0x4F of another; 0x50-0x5F: schedule actual,
// 0x60-0x6F: schedule other. After the 8-byte long section header:
//
//   transport_stream_id(16) original_network_id(16)
//   segment_last_section_number(8) last_table_id(8)
//   per event, up to the CRC:
//     event_id(16) start_time(40) duration(24) running_status(3) free_CA_mode(1)
//     descriptors_loop_length(12) descriptors

#include "psi/PsiSection.h"

constexpr unsigned char kEitActualPresentFollowingTableId = 0x4E;
constexpr unsigned char kEitFirstTableId = 0x4E;
constexpr unsigned char kEitLastTableId = 0x6F;
constexpr int kEitEventsOffset = 14;
constexpr int kEitEventHeaderSize = 12;
constexpr int kEitEventLoopLengthAt = 10;  // descriptors_loop_length within the event header

inline bool IsEitActualTableId(unsigned char tableId)
{
    return tableId == kEitActualPresentFollowingTableId || (tableId >= 0x50 && tableId <= 0x5F);
}

// A complete EIT section with a right CRC whose event loop ends exactly at the CRC.
bool IsValidEit(const unsigned char* section, int length);

inline uint16_t EitTransportStreamId(const unsigned char* section)
{
    return static_cast<uint16_t>((section[8] << 8) | section[9]);
}
inline uint16_t EitOriginalNetworkId(const unsigned char* section)
{
    return static_cast<uint16_t>((section[10] << 8) | section[11]);
}

// One event entry of an EIT section; the pointers point into the section.
struct SEitEventEntry
{
    const unsigned char* Header;       // event_id .. descriptors_loop_length, kEitEventHeaderSize bytes
    const unsigned char* Descriptors;
    int DescriptorsLength;
};

// Walks the events of a valid EIT section: start with `offset` 0; each call
// fills `event` and moves on; false after the last one.
bool EitNextEvent(const unsigned char* section, int length, int& offset, SEitEventEntry& event);
