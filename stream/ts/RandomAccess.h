#pragma once
// Where a player that joins a stream can start its video: a packet that
// begins a video PES packet and whose adaptation field sets
// random_access_indicator, so that the picture it starts decodes without
// anything before it.
//
// Normative reference: ISO/IEC 13818-1 (transport packet, adaptation field,
// PES packet).
//
//   byte 1   transport_error_indicator 0x80, payload_unit_start_indicator 0x40
//   byte 3   transport_scrambling_control 0xC0, adaptation_field_control 0x30
//   byte 4   adaptation_field_length (1..182 with a payload)
//   byte 5   flags: random_access_indicator 0x40
//   5 + adaptation_field_length: the payload, a PES packet's start
//            00 00 01 stream_id, video 0xE0..0xEF
//
// Only such a packet counts: one whose flags are set but whose PES header is
// elsewhere, scrambled or damaged gives no place to start from.

#include "ts/TsConstants.h"

constexpr int kPesStartBytes = 4;  // packet_start_code_prefix and stream_id

inline bool StartsVideoRandomAccess(const unsigned char* packet)
{
    // Adaptation field and payload, the payload a unit's start: most packets
    // leave here.
    if ((packet[3] & 0x30) != 0x30 || (packet[1] & 0x40) == 0)
        return false;
    if (packet[0] != kTsSyncByte || (packet[1] & 0x80) != 0 || (packet[3] & 0xC0) != 0)
        return false;
    const int length = packet[4];
    const int payload = 5 + length;
    if (length == 0 || payload + kPesStartBytes > kTsPacketSize || (packet[5] & 0x40) == 0)
        return false;
    return packet[payload] == 0x00 && packet[payload + 1] == 0x00 && packet[payload + 2] == 0x01 &&
           (packet[payload + 3] & 0xF0) == 0xE0;
}
