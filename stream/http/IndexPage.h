#pragma once
// The "/" page, for a phone as much as for a PC: a viewport, text readable
// without zooming, no scripts. Per program its number, name, kind (TV,
// radio, data), the events now and next (EIT present/following, else the
// schedule: as the dialog's column) with their
// start and end in the PC's local time, a link to "/program/<n>.m3u" (a
// one-entry playlist the system hands to a player: browsers cannot play the
// stream), the stream's URL to copy and its viewers; then the whole
// transponder, the playlist and guide, and each output with its SDP.
// Everything from the broadcast is escaped, valid UTF-8 and bounded in size.

#include <cstddef>
#include <cstdint>

#include "guide/GuideCollector.h"
#include "http/HttpPages.h"
#include "http/OutputDescriptions.h"

// UTC seconds to the PC's local wall-clock time, as seconds since 1970 read
// with UtcFields (the offset that holds on that date, summer time included);
// false when the system cannot say.
using LocalTimeFunction = bool (*)(int64_t utc, int64_t& local);

// What the page says about the stream.
struct SServerState
{
    bool bReceiving = false; // transport stream has arrived since Start
    int nViewers = 0;        // stream clients connected now
    int nMaxViewers = 0;     // HttpMaxClients
};

struct SIndexPage
{
    const SProgramList* Programs = nullptr;
    const CGuideCollector* Guide = nullptr;     // null: no guide
    int64_t Now = 0;                            // the guide's time (the transponder's), UTC seconds
    LocalTimeFunction LocalTime = nullptr;      // null: times are shown as UTC
    const char* HostPort = "";                  // plain host[:port] of the URLs (ChoosePlaylistHost)
    SServerState State;
    const uint16_t* ViewerPrograms = nullptr;   // each viewer's program; 0: the whole transponder
    int nViewerPrograms = 0;
    const SServedOutputs* Outputs = nullptr;    // null: none listed
};

// Titles longer than this are cut (at a character) on the page: a phone
// shows a line or two, and the page's size stays bounded.
constexpr size_t kPageTitleMaxBytes = 160;

// Working space of the writer, some 16 KB: the caller keeps it.
struct SIndexPageScratch
{
    char Text[kGuideEventTextCapacity];
    char Name[kDvbTextUtf8Capacity];
    char Provider[kDvbTextUtf8Capacity];
};

// Worst case: every name, provider and title made of '"' (6 bytes escaped),
// every host at its longest.
constexpr size_t kIndexPageCapacity =
    4096 + 4 * kHttpHostTextCapacity + kMaxServedOutputs * 256 +
    kMaxListedPrograms * (1024 + 2 * 6 * kServiceTextMaxBytes + 2 * 6 * (kPageTitleMaxBytes + 3) +
                          2 * kHttpHostTextCapacity);

// Behaves like snprintf (see HttpPages.h): returns the whole text's length.
size_t WriteIndexPage(const SIndexPage& page, SIndexPageScratch& scratch, char* out, size_t capacity);
