#pragma once
// The service description table (ETSI EN 300 468 5.2.3), PID 0x11, table_id
// 0x42 (this transport stream, "actual") or 0x46 (another one, "other"),
// transport_stream_id as table_id_extension. After the 8-byte long section
// header:
//
//   original_network_id(16) reserved(8)
//   per service, up to the CRC:
//     service_id(16) reserved(6) EIT_schedule_flag(1) EIT_present_following_flag(1)
//     running_status(3) free_CA_mode(1) descriptors_loop_length(12)
//     descriptors (descriptors_loop_length bytes)
//
// The service descriptor (tag 0x48) names the service:
//   tag(8) length(8) service_type(8) provider_name_length(8) provider_name
//   service_name_length(8) service_name
// Names are DVB text (EN 300 468 annex A): an optional character-table byte, then the text.

#include <cstdint>

#include "psi/PsiSection.h"

constexpr unsigned char kSdtActualTableId = 0x42;
constexpr unsigned char kSdtOtherTableId = 0x46;
constexpr unsigned char kServiceDescriptorTag = 0x48;
constexpr int kSdtServicesOffset = 11;  // first service entry
constexpr int kSdtServiceHeaderSize = 5;
constexpr int kSdtServiceLoopLengthAt = 3;  // descriptors_loop_length within the service header

// A complete SDT section (actual or other) with a right CRC whose service
// and descriptor loops end exactly at the CRC.
bool IsValidSdt(const unsigned char* section, int length);

inline uint16_t SdtOriginalNetworkId(const unsigned char* section)
{
    return static_cast<uint16_t>((section[8] << 8) | section[9]);
}

// One service entry of an SDT section; the pointers point into the section.
struct SSdtService
{
    uint16_t ServiceId;
    const unsigned char* Entry;        // the whole entry, header and descriptors
    int EntrySize;
    const unsigned char* Descriptors;
    int DescriptorsLength;
};

// Walks the services of a valid SDT section: start with `offset` 0; each call
// fills `service` and moves on; false after the last one.
bool SdtNextService(const unsigned char* section, int length, int& offset, SSdtService& service);

// The names of a service descriptor, as DVB text bytes (not terminated).
struct SServiceNames
{
    unsigned char ServiceType = 0;
    const unsigned char* Provider = nullptr;
    int ProviderLength = 0;
    const unsigned char* Name = nullptr;
    int NameLength = 0;
};

// The first service descriptor of `service` whose names fit inside it; false when there is none.
bool SdtServiceNames(const SSdtService& service, SServiceNames& names);

// The names of service `serviceId` in a valid SDT section; false when the
// section does not list it or lists it without a service descriptor.
bool SdtFindServiceNames(const unsigned char* section, int length, uint16_t serviceId, SServiceNames& names);

// Writes into `out` a copy of the valid SDT section `source` that keeps only
// the services `keep` lists (`count` ids), with `version`; returns its length.
// `out` must hold as many bytes as `source`.
int WriteSdtSubset(const unsigned char* source, int length, const uint16_t* keep, int count,
                   int version, unsigned char* out);

// What a service is, from its descriptor's service_type (EN 300 468 table
// 87): television in any coding, radio, or anything else (data, teletext,
// ...). 0 (no descriptor) is unknown.
enum class EServiceKind
{
    Unknown,
    Television,
    Radio,
    Data,
};

inline EServiceKind ServiceKindOf(unsigned char serviceType)
{
    switch (serviceType)
    {
    case 0x00:
        return EServiceKind::Unknown;
    case 0x01:  // MPEG-2 SD
    case 0x11:  // MPEG-2 HD
    case 0x16:  // H.264 SD
    case 0x17:  // H.264 SD NVOD time-shifted
    case 0x18:  // H.264 SD NVOD reference
    case 0x19:  // H.264 HD
    case 0x1A:
    case 0x1B:
    case 0x1C:  // H.264 frame-compatible 3D HD
    case 0x1D:
    case 0x1E:
    case 0x1F:  // HEVC
    case 0x20:  // HEVC UHD
        return EServiceKind::Television;
    case 0x02:  // MPEG-1 Layer II radio
    case 0x07:  // FM radio
    case 0x0A:  // advanced codec radio
        return EServiceKind::Radio;
    default:
        return EServiceKind::Data;
    }
}
