#pragma once
// What one output is set to send: destination, packets per datagram, the
// sending options and the programs. Output 1 reads them from the section's
// own keys, the others from an Output<k> key each. Portable, so that the
// sanitizers and the fuzzer can check the parsing.

#include <cstdint>

#include "settings/SendOptions.h"
#include "settings/SrtSettings.h"
#include "settings/TextCapacities.h"
#include "programs/ProgramFilter.h"

constexpr int kDefaultPacketsPerDatagram = 7;

struct SOutputSettings
{
    wchar_t szAddress[kAddressCapacity] = {};          // destination, dotted IPv4 text as written
    uint16_t Port = 0;                                 // destination port, host byte order
    int32_t Packets = kDefaultPacketsPerDatagram;      // packets per datagram, 1..7
    SSendOptions Send;                                 // framing, TTL, source, buffer, FEC
    SProgramSelection Programs{};                      // Count 0: the complete transport stream
    SSrtSettings Srt;                                  // Mode None: datagrams as Send says
};
