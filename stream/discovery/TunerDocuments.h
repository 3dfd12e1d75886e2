#pragma once
// The network tuner's HTTP documents, as the media servers that take live TV
// from a network tuner read them (Plex, Jellyfin, Emby, Channels DVR):
//
//   /discover.json        the device: name, id, tuner count, base and lineup URLs
//   /lineup.json          one entry per program: number, name, stream URL
//   /lineup_status.json   no scan running, none possible (the host tunes)
//
// Read-only, like the playlist: the scan request (/lineup.post) changes
// nothing. Every text from the broadcast or the PC is escaped for JSON.

#include <cstddef>
#include <cstdint>

#include "http/HttpPages.h"
#include "http/TextWriter.h"

// The device id, 8 hexadecimal digits: the same for one computer name
// (ASCII letters in either case) and port across restarts, and never written
// anywhere. Its last digit is the check digit that tuner clients verify, its
// first is 2 (no id of an older model that those clients would treat as a
// device without base URL), so it is never the wildcard 0xFFFFFFFF.
uint32_t TunerDeviceId(const char* computerName, uint16_t port);

// True for an id whose check digit is right (what the clients accept).
bool IsValidTunerDeviceId(uint32_t id);

// "1A2B3C4D": upper-case hexadecimal, 8 digits, as the documents write it.
void PutTunerDeviceId(CTextWriter& writer, uint32_t id);

struct STunerDevice
{
    const char* ComputerName = "";  // UTF-8, as the friendly name shows it
    uint32_t DeviceId = 0;          // TunerDeviceId
    int nTuners = 0;                // HttpMaxClients: viewers at once
    const char* HostPort = "";      // plain host[:port] the client reached (ChoosePlaylistHost)
};

// Each writer behaves like snprintf (see HttpPages.h).
size_t WriteDiscoverJson(const STunerDevice& device, char* out, size_t capacity);

// Per program: "GuideNumber" (its number), "GuideName", "URL" of
// /program/<n>.ts; "HD": 1 for a high-definition television service,
// "AudioOnly": 1 for a radio service (both from the SDT's service type).
size_t WriteLineupJson(const SProgramList& programs, const char* hostPort, char* out, size_t capacity);

size_t WriteLineupStatusJson(char* out, size_t capacity);

// Worst case for the lineup: every name made of '"' (2 bytes each escaped;
// converted names hold no control characters), every URL at the longest
// host. For discover.json, a computer name of up to kComputerNameMaxBytes.
constexpr size_t kLineupJsonCapacity =
    16 + kMaxListedPrograms * (128 + 2 * kDvbTextUtf8Capacity + kHttpHostTextCapacity);
constexpr size_t kComputerNameMaxBytes = 64;
constexpr size_t kDiscoverJsonCapacity = 512 + 2 * kComputerNameMaxBytes * 6 + 3 * kHttpHostTextCapacity;
