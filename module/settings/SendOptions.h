#pragma once
// The optional sending keys of the INI section, each read from its text into
// one fixed-size record. Portable, so that the sanitizers and the fuzzer can
// check it.
//
// A key that is absent, empty, out of range or not a number/address leaves
// its field at the default, and the default is what the module did before
// these keys existed: RTP, the system's TTL, the system's choice of source
// address, the system's send buffer.

#include <climits>
#include <cstdint>

#include "settings/OptionsValues.h"
#include "rtp/FecEncoder.h"
#include "rtp/RtpFraming.h"
#include "rtp/RtpTimestamps.h"

constexpr int kSendAddressTextCapacity = 20;  // as the destination address: 19 characters and a terminator
constexpr int32_t kMaxTtl = 255;              // the IPv4 TTL field is one byte

struct SSendOptions
{
    EDatagramFraming Protocol = EDatagramFraming::Rtp;      // RTP header or the chunk alone
    int32_t Ttl = 0;                                        // 1..255; 0: the system's default
    int32_t SendBufferSize = 0;                             // SO_SNDBUF in bytes; 0: the system's default
    uint8_t LocalAddress[4] = {};                           // source address, network order
    int32_t HasLocalAddress = 0;                            // 1 when LocalAddress names one
    wchar_t szLocalAddress[kSendAddressTextCapacity] = {};  // as the user wrote it, for a refusal
    SFecMatrix Fec;                                         // column and row parity; 0 columns: none
    ERtpTimestamps RtpTimestamps = ERtpTimestamps::Counter; // 90 per datagram, or the 90 kHz clock
};

namespace SendOptionText
{
// Whole text, blanks around it allowed: decimal digits and nothing else, at
// most `high`. False for anything else (a sign, letters, overflow).
template <class Char>
bool ParseWholeNumber(const Char* text, long long high, long long* value)
{
    if (text == nullptr)
        return false;
    text = SkipBlanks(text);
    long long v = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; ++text, ++digits)
    {
        v = v * 10 + (*text - '0');
        if (v > high)
            return false;
    }
    if (digits == 0 || *SkipBlanks(text) != 0)
        return false;
    *value = v;
    return true;
}

// Whole text, blanks around it allowed: `word` (upper case) in any letter case.
template <class Char>
bool IsWordInAnyCase(const Char* text, const char* word)
{
    if (text == nullptr)
        return false;
    text = SkipBlanks(text);
    for (; *word != 0; ++text, ++word)
    {
        Char c = *text;
        if (c >= 'a' && c <= 'z')
            c = static_cast<Char>(c - 'a' + 'A');
        if (c != static_cast<Char>(*word))
            return false;
    }
    return *SkipBlanks(text) == 0;
}
}  // namespace SendOptionText

// "RTP" or "UDP" in any letter case; anything else is RTP, as if absent.
template <class Char>
EDatagramFraming ParseSendProtocol(const Char* text)
{
    if (SendOptionText::IsWordInAnyCase(text, "UDP"))
        return EDatagramFraming::Udp;
    return EDatagramFraming::Rtp;
}

// 1..255; 0 and everything else: 0, the system's default.
template <class Char>
int32_t ParseTtl(const Char* text)
{
    long long value = 0;
    return SendOptionText::ParseWholeNumber(text, kMaxTtl, &value) ? static_cast<int32_t>(value) : 0;
}

// Bytes up to the option's own int range; 0 and everything else: 0.
template <class Char>
int32_t ParseSendBufferSize(const Char* text)
{
    long long value = 0;
    return SendOptionText::ParseWholeNumber(text, INT_MAX, &value) ? static_cast<int32_t>(value) : 0;
}

// "CLOCK" in any letter case; anything else is the counter, as if absent.
template <class Char>
ERtpTimestamps ParseRtpTimestamps(const Char* text)
{
    if (SendOptionText::IsWordInAnyCase(text, "CLOCK"))
        return ERtpTimestamps::Clock;
    return ERtpTimestamps::Counter;
}

// What a run stamps its datagrams with. FEC always takes the clock: its
// decoder's jitter buffer places the late, repaired datagrams by their
// timestamps.
inline ERtpTimestamps RunTimestamps(const SSendOptions& options)
{
    return options.Fec.Columns != 0 ? ERtpTimestamps::Clock : options.RtpTimestamps;
}

// "LxD" (L columns, D rows; 'x' in either case, blanks around the whole):
// each 4..20 and L x D at most 100. Anything else: no FEC.
template <class Char>
SFecMatrix ParseFecMatrix(const Char* text)
{
    SFecMatrix none;
    if (text == nullptr)
        return none;
    text = SkipBlanks(text);
    int values[2] = {0, 0};
    for (int part = 0; part < 2; ++part)
    {
        if (part == 1 && *text != 'x' && *text != 'X')
            return none;
        if (part == 1)
            ++text;
        int digits = 0;
        for (; *text >= '0' && *text <= '9'; ++text)
            if (++digits > 2)
                return none;
            else
                values[part] = values[part] * 10 + (*text - '0');
        if (digits == 0)
            return none;
    }
    if (*SkipBlanks(text) != 0 || !IsValidFecMatrix(values[0], values[1]))
        return none;
    SFecMatrix matrix;
    matrix.Columns = values[0];
    matrix.Rows = values[1];
    return matrix;
}

// A dotted IPv4 address names the source; empty, 0.0.0.0 (any address) or a
// text that is no address leaves the choice to the system. The text is kept
// as written (cut to 19 characters), so that a refusal can name it.
template <class Char>
void ParseLocalAddress(const Char* text, SSendOptions& options)
{
    options.HasLocalAddress = 0;
    for (uint8_t& octet : options.LocalAddress)
        octet = 0;
    for (wchar_t& c : options.szLocalAddress)
        c = 0;
    if (text == nullptr)
        return;
    text = SkipBlanks(text);
    int length = 0;
    for (; length < kSendAddressTextCapacity - 1 && text[length] != 0; ++length)
        options.szLocalAddress[length] = static_cast<wchar_t>(text[length]);
    const bool cut = text[length] != 0;  // no address is that long
    while (length > 0 && IsBlank(options.szLocalAddress[length - 1]))
        options.szLocalAddress[--length] = 0;

    unsigned char octets[4];
    if (cut || !ParseDottedQuad(options.szLocalAddress, octets))
        return;
    if ((octets[0] | octets[1] | octets[2] | octets[3]) == 0)
        return;
    for (int i = 0; i < 4; ++i)
        options.LocalAddress[i] = octets[i];
    options.HasLocalAddress = 1;
}

// The destination is a multicast group (224.0.0.0/4): TTL and source
// interface then go through the multicast options.
inline bool IsMulticastAddress(const uint8_t (&octets)[4])
{
    return (octets[0] & 0xF0) == 0xE0;
}
