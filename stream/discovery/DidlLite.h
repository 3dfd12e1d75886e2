#pragma once
// The media server's library as DIDL-Lite (UPnP ContentDirectory:1, 2.8.2
// and annex B): one root container "0" holding one item per program of the
// transponder, "p<number>", in the PAT's order.
//
//   <item id="p101" parentID="0" restricted="1">
//     <dc:title>Alpha</dc:title>
//     <upnp:class>object.item.videoItem.videoBroadcast</upnp:class>
//     <upnp:channelNr>101</upnp:channelNr>
//     <upnp:channelName>Alpha</upnp:channelName>
//     <dc:description>the event on now</dc:description>
//     <res protocolInfo="http-get:*:video/mpeg:DLNA.ORG_PN=...">http://host/program/101.ts</res>
//   </item>
//
// Radio is object.item.audioItem.audioBroadcast with an audio MIME type.
// Everything from the broadcast is escaped and valid UTF-8.

#include <cstddef>
#include <cstdint>

#include "discovery/DlnaProfile.h"
#include "guide/GuideNow.h"
#include "http/HttpPages.h"
#include "http/TextWriter.h"

struct SMediaLibrary
{
    const SProgramList* Programs = nullptr;
    const SProgramCodecs* Codecs = nullptr; // parallel to Programs' entries; null: not known
    const SGuideNowList* Now = nullptr;     // the events on now; null: none
    const char* HostPort = "";              // plain host[:port] the client reached
    const char* Title = "";                 // the root container's title (UTF-8)
};

enum class EBrowse : uint8_t
{
    Found,        // the result is written
    NoSuchObject, // UPnP error 701
    NoSuchContainer, // children of an item asked for: 710
};

struct SBrowseCounts
{
    uint32_t Returned = 0; // objects written
    uint32_t Total = 0;    // TotalMatches: all children (1 for metadata)
};

// Largest DIDL-Lite text of one object, before the envelope escapes it.
constexpr size_t kDidlObjectCapacity = 1024 + 2 * 6 * kDvbTextUtf8Capacity + 6 * kGuideNowTitleCapacity + kHttpHostTextCapacity;

// Working space of the writer: the caller keeps it (some 14 KB).
struct SDidlScratch
{
    char Object[kDidlObjectCapacity];
    char Name[kDvbTextUtf8Capacity];
};

// Writes, escaped once more for the SOAP envelope's Result element, the
// DIDL-Lite answer to a Browse of `objectId`: its metadata, or from its
// children those from `start` on, at most `count` (0: all). Objects that
// would take the escaped text past `budget` bytes (counted from the
// writer's length on entry) are left out, so the answer stays bounded and
// the client pages on by NumberReturned and TotalMatches.
EBrowse WriteBrowseResult(const SMediaLibrary& library, const char* objectId, bool children, uint32_t start,
                          uint32_t count, size_t budget, SDidlScratch& scratch, CTextWriter& out, SBrowseCounts& counts);

// The distinct protocolInfo values of the library's programs, joined by
// commas (ConnectionManager's GetProtocolInfo Source).
void PutSourceProtocolInfo(const SMediaLibrary& library, CTextWriter& out);

// A ui4 that changes when the programs change (numbers, names, kinds),
// never 0: ContentDirectory's SystemUpdateID.
uint32_t ProgramListUpdateId(const SProgramList& programs);
