#include "discovery/DlnaProfile.h"

#include "psi/PmtTable.h"

namespace {
// Streaming transfer (bit 24), background transfer (22), connection stall
// (21), DLNA 1.5 (20); the other 24 hex digits are reserved zeros.
constexpr char kLiveFlags[] = "01700000000000000000000000000000";

bool IsVideo(uint8_t type)
{
    return type == kStreamTypeMpeg1Video || type == kStreamTypeMpeg2Video || type == kStreamTypeH264 ||
           type == kStreamTypeHevc;
}

bool IsAudio(uint8_t type)
{
    return type == 0x03 || type == 0x04 || type == 0x0F || type == 0x11 || type == kStreamTypeAc3 ||
           type == kStreamTypeEac3;
}

// DVB's descriptors for audio carried as private data (EN 300 468 annex D, 6.2).
uint8_t PrivateAudioType(const unsigned char* descriptors, int length)
{
    for (int at = 0; at + 2 <= length;)
    {
        const unsigned char tag = descriptors[at];
        const int size = descriptors[at + 1];
        if (at + 2 + size > length)
            break;
        if (tag == 0x6A)
            return kStreamTypeAc3;
        if (tag == 0x7A)
            return kStreamTypeEac3;
        if (tag == 0x7C)
            return 0x11;  // AAC
        at += 2 + size;
    }
    return 0;
}
} // namespace

SProgramCodecs PmtCodecs(const unsigned char* section, int length)
{
    SProgramCodecs codecs;
    const int end = length - kSectionCrcSize;
    const int programInfoLength = ((section[10] & 0x0F) << 8) | section[11];
    for (int at = 12 + programInfoLength; at + 5 <= end;)
    {
        uint8_t type = section[at];
        const int infoLength = ((section[at + 3] & 0x0F) << 8) | section[at + 4];
        if (at + 5 + infoLength > end)
            break;
        if (type == 0x06)
            type = PrivateAudioType(section + at + 5, infoLength);
        if (codecs.VideoStreamType == 0 && IsVideo(type))
            codecs.VideoStreamType = type;
        else if (codecs.AudioStreamType == 0 && IsAudio(type))
            codecs.AudioStreamType = type;
        at += 5 + infoLength;
    }
    return codecs;
}

SDlnaFormat DlnaFormatOf(uint8_t serviceType, const SProgramCodecs* codecs)
{
    const bool codecsKnown = codecs != nullptr && (codecs->VideoStreamType != 0 || codecs->AudioStreamType != 0);
    const bool radio = serviceType == 0x02 || serviceType == 0x07 || serviceType == 0x0A;
    SDlnaFormat format;
    if (codecsKnown ? codecs->VideoStreamType == 0 : radio)
    {
        format.Media = EDlnaMedia::Audio;
        format.MimeType = "audio/mpeg";
        return format;
    }
    // The video codec from the PMT, else from the service type (EN 300 468 table 87).
    uint8_t video = codecsKnown ? codecs->VideoStreamType : 0;
    if (video == 0)
    {
        if (serviceType == 0x01 || serviceType == 0x11)
            video = kStreamTypeMpeg2Video;
        else if (serviceType >= 0x16 && serviceType <= 0x1E)
            video = kStreamTypeH264;
    }
    const bool hd = serviceType == 0x11 || (serviceType >= 0x19 && serviceType <= 0x1E);
    if (video == kStreamTypeMpeg2Video)
        format.Profile = hd ? "MPEG_TS_HD_EU_ISO" : "MPEG_TS_SD_EU_ISO";
    else if (video == kStreamTypeH264)
        format.Profile = "AVC_TS_HD_EU_ISO";
    return format;
}

void PutContentFeatures(CTextWriter& writer, const SDlnaFormat& format)
{
    if (format.Profile != nullptr)
    {
        writer.Put("DLNA.ORG_PN=");
        writer.Put(format.Profile);
        writer.Put(';');
    }
    writer.Put("DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=");
    writer.Put(kLiveFlags);
}

void PutProtocolInfo(CTextWriter& writer, const SDlnaFormat& format)
{
    writer.Put("http-get:*:");
    writer.Put(format.MimeType);
    writer.Put(':');
    if (format.Profile == nullptr)
        writer.Put('*');
    else
        PutContentFeatures(writer, format);
}
