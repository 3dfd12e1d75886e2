#pragma once
// The Output2 ... Output16 keys: one more destination each, in one line.
//
//   Output3=239.255.1.3:5000 programs=202 packets=7 protocol=rtp ttl=4 fec=5x5 from=192.168.1.20
//   Output4=192.168.1.30:1234 sndbuf=1048576 timestamps=clock
//   Output5=203.0.113.7:9000 protocol=srt mode=caller passphrase=... latency=400
//
// An address and port, then any of the options, each once, separated by
// blanks; an option left out takes the default of output 1's key, not output
// 1's value. Unlike output 1's keys, which a dialog writes and which fall
// back to the default when they do not parse, an Output key is the user's own
// text: anything that does not parse refuses the start with a reason, so that
// no destination is silently left out or sent something the user did not ask
// for. Portable, so that the sanitizers and the fuzzer can check it.

#include <cstdint>
#include <type_traits>

#include "settings/OutputKeyText.h"
#include "settings/OutputSettings.h"
#include "settings/ProgramList.h"
#include "settings/SendOptions.h"

constexpr int kFirstOutputKey = 2;
constexpr int kLastOutputKey = 16;
// Read capacity of one key: a line with every option, 16 programs, the
// longest passphrase and stream ID fits; a longer one is refused as cut.
constexpr int kOutputKeyTextCapacity = 512;
// Why a key was refused, without the output's name.
constexpr int kOutputKeyErrorCapacity = 96;
// One option's value: 16 program numbers and their commas, and an SRT
// stream ID, fit.
constexpr int kOutputValueCapacity = kMaxSrtStreamId;
static_assert(kOutputValueCapacity >= kMaxSelectedPrograms * 6 && kOutputValueCapacity >= kMaxSrtPassphrase,
              "every value that parses fits");

enum class EOutputKey
{
    Absent,   // no key, or only blanks: no such output
    Parsed,   // the settings are filled in
    Refused,  // the error says why
};

namespace OutputKeyText
{
// "a.b.c.d:port": the address as output 1 takes it (strict dotted quad
// outside 0.0.0.0/8) into `settings.szAddress`, the port 1..65535.
template <class Char>
bool ParseDestination(const Char* begin, const Char* end, SOutputSettings& settings, CReason& reason)
{
    const Char* colon = begin;
    while (colon != end && *colon != ':' && *colon != '=')
        ++colon;
    if (colon != end && *colon == '=')
    {
        // An option's name alone: its value may be a passphrase.
        reason.Add("the address and port come first, not ").Quote(begin, colon);
        return false;
    }
    if (colon == end)
    {
        reason.Add("no port after the address: ").Quote(begin, end);
        return false;
    }
    // 0.0.0.0 (every adapter) is taken here for an SRT listener: the key's
    // end refuses it for any other output.
    wchar_t address[kAddressCapacity] = {};
    unsigned char octets[4];
    const bool fits = colon - begin < kAddressCapacity;
    if (fits)
        for (const Char* c = begin; c != colon; ++c)
            address[c - begin] = Widen(*c);
    if (!fits || !ParseDottedQuad(address, octets) ||
        (octets[0] == 0 && (octets[1] | octets[2] | octets[3]) != 0))
    {
        reason.Add("not an IPv4 address: ").Quote(begin, colon);
        return false;
    }
    long long port = 0;
    int digits = 0;
    for (const Char* c = colon + 1; c != end; ++c)
    {
        if (*c < '0' || *c > '9' || ++digits > 5)
        {
            port = -1;
            break;
        }
        port = port * 10 + (*c - '0');
    }
    if (digits == 0 || port < 1 || port > 65535)
    {
        reason.Add("not a port: ").Quote(colon + 1, end);
        return false;
    }
    for (int i = 0; i < kAddressCapacity; ++i)
        settings.szAddress[i] = address[i];
    settings.Port = static_cast<uint16_t>(port);
    return true;
}

// One "name=value" option into `settings`; false with the reason.
// The options in `seen`'s bits, and protocol=srt in one of its own.
enum : int
{
    kOptionMode = 8,
    kOptionPassphrase,
    kOptionKeyLength,
    kOptionLatency,
    kOptionStreamId,
    kOptionCount,
};
constexpr unsigned kSeenSrt = 1u << 31;

template <class Char>
bool ParseOption(const Char* begin, const Char* end, SOutputSettings& settings, unsigned& seen, CReason& reason)
{
    const Char* equals = begin;
    while (equals != end && *equals != '=')
        ++equals;
    static const char* const kNames[] = {"programs",   "packets", "protocol", "ttl",
                                         "fec",        "from",    "sndbuf",   "timestamps",
                                         "mode",       "passphrase", "pbkeylen", "latency", "streamid"};
    static_assert(sizeof kNames / sizeof kNames[0] == kOptionCount, "one bit of `seen` each");
    int option = -1;
    for (int i = 0; i < static_cast<int>(sizeof kNames / sizeof kNames[0]); ++i)
        if (Equals(begin, equals, kNames[i]))
            option = i;
    if (option < 0 || equals == end)
    {
        // The name alone: the value may be a mistyped passphrase.
        reason.Add("not an option: ").Quote(begin, equals);
        return false;
    }
    if ((seen & (1u << option)) != 0)
    {
        reason.Add(kNames[option]).Add(" given twice");
        return false;
    }
    seen |= 1u << option;

    // The value on its own, terminated, for the value parsers; none that
    // parses is longer.
    Char value[kOutputValueCapacity + 1] = {};
    const Char* valueBegin = equals + 1;
    bool valid = end - valueBegin > 0 && end - valueBegin <= kOutputValueCapacity;
    if (valid)
        for (const Char* c = valueBegin; c != end; ++c)
            value[c - valueBegin] = *c;
    long long number = 0;
    if (valid && option == 0)
    {
        // Numbers separated by commas, each 1..65535, at most 16 of them; a
        // wrong entry is refused rather than skipped.
        SProgramSelection programs{};
        int entries = 0;
        for (const Char* c = valueBegin; c != end && valid;)
        {
            const Char* entry = c;
            while (c != end && *c != ',')
                ++c;
            uint16_t number16 = 0;
            valid = ProgramListText::ParseEntry(entry, c, &number16) && ++entries <= kMaxSelectedPrograms;
            if (c != end)
                ++c;
            if (valid && c == end && c[-1] == ',')
                valid = false;
        }
        if (valid)
        {
            // The list is whole and plain here: the lenient parser takes it as written.
            wchar_t list[kOutputValueCapacity + 1] = {};
            for (int i = 0; value[i] != 0; ++i)
                list[i] = Widen(value[i]);
            ParseProgramList(list, programs);
            settings.Programs = programs;
        }
    }
    else if (valid && option == 1)
    {
        valid = SendOptionText::ParseWholeNumber(value, kMaxPacketsPerChunk, &number) &&
                number >= kMinPacketsPerChunk;
        if (valid)
            settings.Packets = static_cast<int32_t>(number);
    }
    else if (valid && option == 2)
    {
        const bool srt = SendOptionText::IsWordInAnyCase(value, "SRT");
        valid = srt || SendOptionText::IsWordInAnyCase(value, "RTP") || SendOptionText::IsWordInAnyCase(value, "UDP");
        // SRT carries the chunk alone: no RTP header.
        if (valid)
            settings.Send.Protocol = srt ? EDatagramFraming::Udp : ParseSendProtocol(value);
        if (srt)
            seen |= kSeenSrt;
    }
    else if (valid && option == 3)
    {
        valid = SendOptionText::ParseWholeNumber(value, kMaxTtl, &number) && number >= 1;
        if (valid)
            settings.Send.Ttl = static_cast<int32_t>(number);
    }
    else if (valid && option == 4)
    {
        settings.Send.Fec = ParseFecMatrix(value);
        valid = settings.Send.Fec.Columns != 0;
    }
    else if (valid && option == 5)
    {
        ParseLocalAddress(value, settings.Send);
        valid = settings.Send.HasLocalAddress != 0;
    }
    else if (valid && option == 6)
    {
        valid = SendOptionText::ParseWholeNumber(value, INT32_MAX, &number) && number >= 1;
        if (valid)
            settings.Send.SendBufferSize = static_cast<int32_t>(number);
    }
    else if (valid && option == 7)
    {
        valid = SendOptionText::IsWordInAnyCase(value, "COUNTER") || SendOptionText::IsWordInAnyCase(value, "CLOCK");
        if (valid)
            settings.Send.RtpTimestamps = ParseRtpTimestamps(value);
    }
    else if (valid && option == kOptionMode)
    {
        settings.Srt.Mode = SrtText::ParseMode(valueBegin, end);
        valid = settings.Srt.Mode != ESrtMode::None;
    }
    else if (valid && option == kOptionPassphrase)
    {
        valid = end - valueBegin >= kMinSrtPassphrase &&
                SrtText::CopyPrintable(valueBegin, end, settings.Srt.Passphrase, kMaxSrtPassphrase);
    }
    else if (valid && option == kOptionKeyLength)
    {
        valid = SendOptionText::ParseWholeNumber(value, 32, &number) && (number == 16 || number == 24 || number == 32);
        if (valid)
            settings.Srt.KeyLength = static_cast<int32_t>(number);
    }
    else if (valid && option == kOptionLatency)
    {
        valid = SendOptionText::ParseWholeNumber(value, kMaxSrtLatency, &number) && number >= kMinSrtLatency;
        if (valid)
            settings.Srt.Latency = static_cast<int32_t>(number);
    }
    else if (valid && option == kOptionStreamId)
    {
        valid = SrtText::CopyPrintable(valueBegin, end, settings.Srt.StreamId, kMaxSrtStreamId);
    }
    if (!valid && option == kOptionPassphrase)
        reason.Add("bad passphrase: ").Add(static_cast<unsigned long long>(kMinSrtPassphrase)).Add(" to ")
            .Add(static_cast<unsigned long long>(kMaxSrtPassphrase)).Add(" printable characters, no blanks");
    else if (!valid && option == kOptionLatency)
        reason.Add("bad latency: ").Quote(valueBegin, end).Add(" (")
            .Add(static_cast<unsigned long long>(kMinSrtLatency)).Add(" to ")
            .Add(static_cast<unsigned long long>(kMaxSrtLatency)).Add(" ms)");
    else if (!valid)
        reason.Add("bad ").Add(kNames[option]).Add(": ").Quote(valueBegin, end);
    return valid;
}

// After every word: the options that go together. protocol=srt needs a
// mode and takes none of the datagram options; the SRT options need
// protocol=srt; pbkeylen needs a passphrase; 0.0.0.0 only for a listener.
inline bool CheckCombination(SOutputSettings& settings, unsigned seen, CReason& reason)
{
    const bool srt = (seen & kSeenSrt) != 0;
    static const char* const kDatagramOnly[] = {"ttl", "fec", "from", "sndbuf", "timestamps"};
    static const int kDatagramOptions[] = {3, 4, 5, 6, 7};
    static const char* const kSrtOnly[] = {"mode", "passphrase", "pbkeylen", "latency", "streamid"};
    for (int i = 0; i < 5; ++i)
    {
        if (srt && (seen & (1u << kDatagramOptions[i])) != 0)
        {
            reason.Add(kDatagramOnly[i]).Add(" is not for protocol=srt");
            return false;
        }
        if (!srt && (seen & (1u << (kOptionMode + i))) != 0)
        {
            reason.Add(kSrtOnly[i]).Add(" needs protocol=srt");
            return false;
        }
    }
    if (srt && settings.Srt.Mode == ESrtMode::None)
    {
        reason.Add("protocol=srt needs mode=caller or mode=listener");
        return false;
    }
    if (settings.Srt.KeyLength != 0 && settings.Srt.Passphrase[0] == 0)
    {
        reason.Add("pbkeylen needs a passphrase");
        return false;
    }
    if (settings.Srt.Passphrase[0] != 0 && settings.Srt.KeyLength == 0)
        settings.Srt.KeyLength = kDefaultSrtKeyLength;
    unsigned char octets[4] = {};
    ParseDottedQuad(settings.szAddress, octets);
    if (octets[0] == 0 && settings.Srt.Mode != ESrtMode::Listener)
    {
        const wchar_t* address = settings.szAddress;
        const wchar_t* end = address;
        while (*end != 0)
            ++end;
        reason.Add("not an IPv4 address: ").Quote(address, end);
        if (srt)
            reason.Add(" (every adapter: for mode=listener only)");
        return false;
    }
    return true;
}
}  // namespace OutputKeyText

// One Output key's text (`length` characters; it need not be terminated).
// Absent for blanks only; else Parsed with `settings` filled in from
// defaults, or Refused with `reason` saying why ("not an IPv4 address:
// "239.255.1"").
template <class Char>
EOutputKey ParseOutputKey(const Char* text, int length, SOutputSettings& settings,
                          wchar_t (&reason)[kOutputKeyErrorCapacity])
{
    OutputKeyText::CReason why(reason);
    settings = SOutputSettings();
    if (text == nullptr || length <= 0)
        return EOutputKey::Absent;
    const Char* const end = text + length;
    const Char* c = text;
    bool destination = false;
    unsigned seen = 0;
    while (true)
    {
        while (c != end && IsBlank(*c))
            ++c;
        if (c == end)
            break;
        const Char* word = c;
        while (c != end && !IsBlank(*c))
            ++c;
        const bool ok = destination ? OutputKeyText::ParseOption(word, c, settings, seen, why)
                                    : OutputKeyText::ParseDestination(word, c, settings, why);
        if (!ok)
            return EOutputKey::Refused;
        destination = true;
    }
    if (destination && !OutputKeyText::CheckCombination(settings, seen, why))
        return EOutputKey::Refused;
    return destination ? EOutputKey::Parsed : EOutputKey::Absent;
}

// Whether two outputs' datagrams would meet at one address and port: the
// same media destination, or one's media or FEC port on the other's FEC or
// media port (FEC sends to port + 2 and + 4). Both are parsed settings.
inline bool OutputsCollide(const SOutputSettings& a, const SOutputSettings& b, bool& sameDestination)
{
    sameDestination = false;
    for (int i = 0; i < kAddressCapacity; ++i)
    {
        if (a.szAddress[i] != b.szAddress[i])
            return false;
        if (a.szAddress[i] == 0)
            break;
    }
    int portsA[3] = {a.Port, -1, -1};
    int portsB[3] = {b.Port, -1, -1};
    if (a.Send.Fec.Columns != 0)
    {
        portsA[1] = a.Port + kFecColumnPortOffset;
        portsA[2] = a.Port + kFecRowPortOffset;
    }
    if (b.Send.Fec.Columns != 0)
    {
        portsB[1] = b.Port + kFecColumnPortOffset;
        portsB[2] = b.Port + kFecRowPortOffset;
    }
    sameDestination = a.Port == b.Port;
    for (int pa : portsA)
        for (int pb : portsB)
            if (pa >= 0 && pa == pb)
                return true;
    return false;
}

// Why two outputs cannot both run, as Start says it after "Output<k>: "
// ("same address and port as Output2", "FEC ports meet those of output 1");
// false when they can. `otherNumber` is the other output's number.
inline bool OutputCollisionReason(const SOutputSettings& output, const SOutputSettings& other, int otherNumber,
                                  wchar_t (&reason)[kOutputKeyErrorCapacity])
{
    OutputKeyText::CReason why(reason);
    bool sameDestination = false;
    if (!OutputsCollide(output, other, sameDestination))
        return false;
    why.Add(sameDestination ? "same address and port as " : "FEC ports meet those of ");
    if (otherNumber == 1)
        why.Add("output 1");
    else
        why.Add("Output").Add(static_cast<unsigned long long>(otherNumber));
    return true;
}

// Room for an Output key as written back: every option, 16 programs, the
// longest passphrase and stream ID; Start reads what is written.
constexpr int kOutputKeyWrittenCapacity = 448;
static_assert(kOutputKeyWrittenCapacity <= kOutputKeyTextCapacity - 2, "a written key is read whole");

// How the passphrase is written: as it is (the INI file), or as stars
// (what a dialog shows; never parsed back).
enum class EPassphraseText
{
    AsIs,
    Masked,
};

// Parsed settings as the key's text: the destination, then each option that
// differs from its default, in one order, so that the same settings are
// always written alike.
inline void FormatOutputKey(const SOutputSettings& s, wchar_t (&text)[kOutputKeyWrittenCapacity],
                            EPassphraseText passphrase = EPassphraseText::AsIs)
{
    OutputKeyText::CReason out(text);
    out.Add(s.szAddress).Add(":").Add(static_cast<unsigned long long>(s.Port));
    for (int i = 0; i < s.Programs.Count; ++i)
        out.Add(i == 0 ? " programs=" : ",").Add(static_cast<unsigned long long>(s.Programs.Numbers[i]));
    if (s.Packets != kDefaultPacketsPerDatagram)
        out.Add(" packets=").Add(static_cast<unsigned long long>(s.Packets));
    if (s.Srt.Mode != ESrtMode::None)
    {
        out.Add(" protocol=srt mode=").Add(s.Srt.Mode == ESrtMode::Caller ? "caller" : "listener");
        if (s.Srt.Passphrase[0] != 0)
            out.Add(" passphrase=").Add(passphrase == EPassphraseText::AsIs ? s.Srt.Passphrase : "********");
        if (s.Srt.KeyLength != kDefaultSrtKeyLength && s.Srt.KeyLength != 0)
            out.Add(" pbkeylen=").Add(static_cast<unsigned long long>(s.Srt.KeyLength));
        if (s.Srt.Latency != kDefaultSrtLatency)
            out.Add(" latency=").Add(static_cast<unsigned long long>(s.Srt.Latency));
        if (s.Srt.StreamId[0] != 0)
            out.Add(" streamid=").Add(s.Srt.StreamId);
    }
    else if (s.Send.Protocol == EDatagramFraming::Udp)
        out.Add(" protocol=udp");
    if (s.Send.Ttl != 0)
        out.Add(" ttl=").Add(static_cast<unsigned long long>(s.Send.Ttl));
    if (s.Send.Fec.Columns != 0)
        out.Add(" fec=")
            .Add(static_cast<unsigned long long>(s.Send.Fec.Columns))
            .Add("x")
            .Add(static_cast<unsigned long long>(s.Send.Fec.Rows));
    if (s.Send.HasLocalAddress != 0)
        out.Add(" from=").Add(s.Send.szLocalAddress);
    if (s.Send.SendBufferSize != 0)
        out.Add(" sndbuf=").Add(static_cast<unsigned long long>(s.Send.SendBufferSize));
    if (s.Send.RtpTimestamps == ERtpTimestamps::Clock)
        out.Add(" timestamps=clock");
}
