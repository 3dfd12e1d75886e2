#pragma once
// What a TV is told about a program's stream before it plays it: the
// protocolInfo of the item's res (UPnP ConnectionManager:1 2.5.2, DLNA
// guidelines 7.4.1.3.17) and the contentFeatures.dlna.org header of the
// stream's answer:
//
//   http-get:*:<MIME type>:<fourth field>
//   fourth field: DLNA.ORG_PN=<profile>;DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=<32 hex digits>
//
// The stream is a live 188-byte transport stream: the profiles are those of
// MPEG-2 and H.264 video in a TS without timestamps (ending in _ISO), no
// seeking (OP=00), not converted (CI=0), and the flags say streaming
// transfer, background transfer, connection stall allowed, DLNA 1.5. A
// program no profile fits gets "*" as its fourth field; radio gets an audio
// MIME type, since players that sort by MIME type list nothing else under
// music.

#include <cstdint>

#include "http/TextWriter.h"

// The codecs of a program as its PMT names them: the first video and the
// first audio stream's stream_type (0: none, or not known). DVB carries AC-3
// and E-AC-3 as private data (stream_type 6) with a descriptor: those are
// given as kStreamTypeAc3 and kStreamTypeEac3.
struct SProgramCodecs
{
    uint8_t VideoStreamType = 0;
    uint8_t AudioStreamType = 0;
};

constexpr uint8_t kStreamTypeMpeg1Video = 0x01;
constexpr uint8_t kStreamTypeMpeg2Video = 0x02;
constexpr uint8_t kStreamTypeH264 = 0x1B;
constexpr uint8_t kStreamTypeHevc = 0x24;
constexpr uint8_t kStreamTypeAc3 = 0x81;
constexpr uint8_t kStreamTypeEac3 = 0x87;

// Reads the codecs from a valid PMT section (IsValidPmt).
SProgramCodecs PmtCodecs(const unsigned char* section, int length);

enum class EDlnaMedia : uint8_t
{
    Video, // an item of class videoItem.videoBroadcast
    Audio, // audioItem.audioBroadcast
};

struct SDlnaFormat
{
    EDlnaMedia Media = EDlnaMedia::Video;
    const char* MimeType = "video/mpeg";
    const char* Profile = nullptr; // DLNA.ORG_PN; null: none fits
};

// The format of a program from its SDT service type and, where known, its
// PMT's codecs (`codecs` null: not known). The PMT decides video or audio
// when it is known; otherwise the service type does (a radio service type,
// or nothing but audio, is audio).
SDlnaFormat DlnaFormatOf(uint8_t serviceType, const SProgramCodecs* codecs);

// "DLNA.ORG_PN=...;DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=..." (without
// a profile: the same without DLNA.ORG_PN), for contentFeatures.dlna.org.
void PutContentFeatures(CTextWriter& writer, const SDlnaFormat& format);

// The whole protocolInfo: "http-get:*:<MIME>:" and the content features, or
// "*" as the fourth field where no profile fits.
void PutProtocolInfo(CTextWriter& writer, const SDlnaFormat& format);
