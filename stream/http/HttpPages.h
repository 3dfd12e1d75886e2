#pragma once
// The playlists the server serves (IndexPage.h writes the page), from a
// fixed-size record of the transponder's programs that the server fills from
// the PAT (numbers) and the SDT (names). Names arrive as DVB text
// (EN 300 468 Annex A) and leave as valid UTF-8.

#include <cstddef>
#include <cstdint>

#include "http/HttpRequest.h"
#include "http/TextWriter.h"
#include "psi/DvbText.h"

constexpr int kMaxListedPrograms = 128;   // a transponder carries a few dozen at most
constexpr int kServiceTextMaxBytes = 255; // an SDT name or provider is at most 255 bytes

struct SListedProgram
{
    uint16_t ProgramNumber = 0;                     // 1..65535 (service_id)
    uint8_t NameLength = 0;                         // bytes used in Name; 0: none known
    uint8_t ProviderLength = 0;                     // bytes used in Provider; 0: none known
    uint8_t ServiceType = 0;                        // of the service descriptor; 0: none known
    unsigned char Name[kServiceTextMaxBytes] = {};     // service name as broadcast, DVB text
    unsigned char Provider[kServiceTextMaxBytes] = {}; // provider name as broadcast, DVB text
};

struct SProgramList
{
    uint16_t TransportStreamId = 0;          // the PAT's
    uint16_t OriginalNetworkId = 0;          // the SDT actual's; 0 until one came
    int nPrograms = 0;                       // entries used, 0..kMaxListedPrograms, in PAT order
    SListedProgram Programs[kMaxListedPrograms];
};

// Worst-case sizes, for buffers the server sizes once. A broadcast byte
// becomes at most 3 bytes of UTF-8 (a replacement character) and, escaped
// for HTML, at most 6 ('"' as "&quot;").
constexpr size_t kDvbTextUtf8Capacity = kServiceTextMaxBytes * 3 + 4;
constexpr size_t kPlaylistCapacity = 64 + 2 * kHttpHostTextCapacity + kMaxListedPrograms * (512 + kHttpHostTextCapacity + kDvbTextUtf8Capacity);

// The writers behave like snprintf: they return the length of the whole
// text, write as much of it as fits into `capacity`-1 bytes and end it with
// a NUL (capacity 0: nothing written). A return value >= capacity means cut.

// The "/playlist.m3u" text: "#EXTM3U" naming the guide at
// "http://<hostPort>/epg.xml" (url-tvg, x-tvg-url), then per program its
// #EXTINF line (tvg-id as the guide's channel id, tvg-chno its number,
// radio="true" for a radio service),
// "#KODIPROP:mimetype=video/mp2t" and "http://<hostPort>/program/<n>.ts".
// `hostPort` is a plain host[:port] (see ChoosePlaylistHost).
size_t WritePlaylist(const SProgramList& programs, const char* hostPort, char* out, size_t capacity);

// "/program/<n>.m3u": the playlist's head and the one entry of `program`, a
// file that a phone or PC hands to its player (browsers cannot play the
// stream itself). 0, and nothing written, when the list lacks the program.
size_t WriteProgramPlaylist(const SProgramList& programs, uint16_t program, const char* hostPort, char* out,
                            size_t capacity);

// The host[:port] the playlist's URLs use: the request's Host when it is
// plain, else the connection's local IPv4 address (host byte order, a.b.c.d
// = a<<24|...) and port (":port" left out for 80). Always NUL-terminated.
void ChoosePlaylistHost(bool hasPlainHost, const char* plainHost, uint32_t localAddress, uint16_t localPort,
                        char* out, size_t capacity);

// Entries used of the list, 0..kMaxListedPrograms whatever nPrograms says.
int ListedProgramCount(const SProgramList& programs);

// "/program/<n>" and `suffix` (".ts", ".m3u").
void PutProgramPath(CTextWriter& writer, uint16_t number, const char* suffix);
