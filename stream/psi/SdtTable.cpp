#include "psi/SdtTable.h"

#include <cstring>

namespace
{
int LoopLength(const unsigned char* field) { return ((field[0] & 0x0F) << 8) | field[1]; }
}

bool IsValidSdt(const unsigned char* section, int length)
{
    const unsigned char tableId = SectionTableId(section);
    if (!IsValidLongSection(section, length) || (tableId != kSdtActualTableId && tableId != kSdtOtherTableId) ||
        length < kSdtServicesOffset + kSectionCrcSize)
        return false;
    return LoopEntriesFit(section, kSdtServicesOffset, length - kSectionCrcSize, kSdtServiceHeaderSize,
                          kSdtServiceLoopLengthAt);
}

bool SdtNextService(const unsigned char* section, int length, int& offset, SSdtService& service)
{
    if (offset < kSdtServicesOffset)
        offset = kSdtServicesOffset;
    if (offset + kSdtServiceHeaderSize > length - kSectionCrcSize)
        return false;
    const unsigned char* entry = section + offset;
    service.ServiceId = static_cast<uint16_t>((entry[0] << 8) | entry[1]);
    service.Entry = entry;
    service.Descriptors = entry + kSdtServiceHeaderSize;
    service.DescriptorsLength = LoopLength(entry + 3);
    service.EntrySize = kSdtServiceHeaderSize + service.DescriptorsLength;
    offset += service.EntrySize;
    return true;
}

bool SdtServiceNames(const SSdtService& service, SServiceNames& names)
{
    const unsigned char* descriptor = service.Descriptors;
    const unsigned char* end = service.Descriptors + service.DescriptorsLength;
    while (end - descriptor >= 2)
    {
        const int size = descriptor[1];
        const unsigned char* body = descriptor + 2;
        if (end - body < size)
            break;
        if (descriptor[0] == kServiceDescriptorTag && size >= 3)
        {
            const int providerLength = body[1];
            if (2 + providerLength + 1 <= size)
            {
                const int nameLength = body[2 + providerLength];
                if (2 + providerLength + 1 + nameLength <= size)
                {
                    names.ServiceType = body[0];
                    names.Provider = body + 2;
                    names.ProviderLength = providerLength;
                    names.Name = body + 3 + providerLength;
                    names.NameLength = nameLength;
                    return true;
                }
            }
        }
        descriptor = body + size;
    }
    return false;
}

bool SdtFindServiceNames(const unsigned char* section, int length, uint16_t serviceId, SServiceNames& names)
{
    int offset = 0;
    SSdtService service;
    while (SdtNextService(section, length, offset, service))
    {
        if (service.ServiceId == serviceId)
            return SdtServiceNames(service, names);
    }
    return false;
}

int WriteSdtSubset(const unsigned char* source, int length, const uint16_t* keep, int count,
                   int version, unsigned char* out)
{
    std::memcpy(out, source, kSdtServicesOffset);
    out[5] = static_cast<unsigned char>((out[5] & 0xC1) | ((version & 0x1F) << 1));
    int written = kSdtServicesOffset;
    int offset = 0;
    SSdtService service;
    while (SdtNextService(source, length, offset, service))
    {
        for (int i = 0; i < count; ++i)
        {
            if (keep[i] == service.ServiceId)
            {
                std::memcpy(out + written, service.Entry, static_cast<size_t>(service.EntrySize));
                written += service.EntrySize;
                break;
            }
        }
    }
    written += kSectionCrcSize;
    FinishLongSection(out, written);
    return written;
}
