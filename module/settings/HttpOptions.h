#pragma once
// The optional keys of the URL server, each read from its text into one
// fixed-size record. Portable, so that the sanitizers and the fuzzer can
// check it. Absent or invalid HttpPort: no server at all, as before these
// keys existed.

#include <cstdint>

#include "settings/SendOptions.h"

constexpr int32_t kMaxHttpClientsLimit = 64;    // stream connections at once; each holds a buffer of its own
constexpr int32_t kDefaultHttpClients = 8;
// Some 30 networks. The list is read into kHttpAllowTextCapacity characters,
// so a read gives at most one less; a text that filled them may have been
// cut there, and a cut list's last entry could widen ("10.0.0.0/12" read as
// "10.0.0.0/1"). So the longest list taken is one shorter still, and the
// dialog and Start refuse a longer one alike (HttpAllowTooLong, and the key
// table's kHttpAllowTooLongReason).
constexpr int kHttpAllowTextCapacity = 512;
constexpr int kHttpAllowMaxLength = kHttpAllowTextCapacity - 2;
constexpr int kHttpAddressTextCapacity = kSendAddressTextCapacity;

struct SHttpOptions
{
    uint16_t Port = 0;                                       // 1..65535; 0: no server
    uint8_t Address[4] = {};                                 // listen address, network order; all zero: every interface
    int32_t HasAddress = 0;                                  // 1 when Address names one
    wchar_t szAddress[kHttpAddressTextCapacity] = {};        // as the user wrote it, for a refusal
    int32_t MaxClients = kDefaultHttpClients;                // 1..64
    wchar_t szAllow[kHttpAllowTextCapacity] = {};            // the networks let in, as written; empty: the default
    int32_t AllowTooLong = 0;                                // 1: HttpAllowTooLong; szAllow may hold a cut text
};

// Whether a list of `length` characters, blanks included, is refused: the
// one check of the dialog (on the field's text) and of Start (on the key's).
inline bool HttpAllowTooLong(unsigned long length)
{
    return length > static_cast<unsigned long>(kHttpAllowMaxLength);
}

// 1..65535; 0 and everything else: 0, no server.
template <class Char>
uint16_t ParseHttpPort(const Char* text)
{
    long long value = 0;
    return SendOptionText::ParseWholeNumber(text, 65535, &value) ? static_cast<uint16_t>(value) : 0;
}

// 1..64; anything else: the default.
template <class Char>
int32_t ParseHttpMaxClients(const Char* text)
{
    long long value = 0;
    if (!SendOptionText::ParseWholeNumber(text, kMaxHttpClientsLimit, &value) || value < 1)
        return kDefaultHttpClients;
    return static_cast<int32_t>(value);
}

// A dotted IPv4 address other than 0.0.0.0 names the one interface to listen
// on; empty or 0.0.0.0: every interface. Any other text is kept as written
// with HasAddress set and Address zero, so that Start refuses it instead of
// opening the server on every interface the user did not mean.
template <class Char>
void ParseHttpAddress(const Char* text, SHttpOptions& options)
{
    SSendOptions parsed;
    ParseLocalAddress(text, parsed);
    for (int i = 0; i < kHttpAddressTextCapacity; ++i)
        options.szAddress[i] = parsed.szLocalAddress[i];
    for (int i = 0; i < 4; ++i)
        options.Address[i] = parsed.LocalAddress[i];
    options.HasAddress = parsed.HasLocalAddress;
    if (options.HasAddress != 0 || options.szAddress[0] == 0)
        return;
    unsigned char octets[4];
    if (!ParseDottedQuad(options.szAddress, octets))
        options.HasAddress = 1;  // not an address: refused at Start
}

// Whether ParseHttpAddress found text that is no address.
inline bool HttpAddressMalformed(const SHttpOptions& options)
{
    return options.HasAddress != 0 && (options.Address[0] | options.Address[1] | options.Address[2] |
                                        options.Address[3]) == 0;
}
