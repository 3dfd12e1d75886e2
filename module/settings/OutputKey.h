#pragma once
// The Output2 ... Output16 keys: one more destination each, in one line.
//
//   Output3=239.255.1.3:5000 programs=202 packets=7 protocol=rtp ttl=4 fec=5x5 from=192.168.1.20
//   Output4=192.168.1.30:1234 sndbuf=1048576 timestamps=clock
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

#include "settings/OutputSettings.h"
#include "settings/ProgramList.h"
#include "settings/SendOptions.h"

constexpr int kFirstOutputKey = 2;
constexpr int kLastOutputKey = 16;
// Read capacity of one key: a line with every option and 16 programs fits
// many times over; a longer one is refused as cut.
constexpr int kOutputKeyTextCapacity = 512;
// Why a key was refused, without the output's name.
constexpr int kOutputKeyErrorCapacity = 96;
// The user's text quoted in a reason is cut to this many characters.
constexpr int kOutputKeyQuoteLength = 40;
// One option's value: 16 program numbers and their commas fit.
constexpr int kOutputValueCapacity = kMaxSelectedPrograms * 6;

enum class EOutputKey
{
    Absent,   // no key, or only blanks: no such output
    Parsed,   // the settings are filled in
    Refused,  // the error says why
};

namespace OutputKeyText
{
// A character as a wide one, 8-bit text read as unsigned, so that both
// kinds of text quote the same.
template <class Char>
wchar_t Widen(Char c)
{
    return static_cast<wchar_t>(static_cast<typename std::make_unsigned<Char>::type>(c));
}

// Appends to a fixed wide buffer, cutting at its end.
class CReason
{
public:
    template <int Capacity>
    explicit CReason(wchar_t (&text)[Capacity]) : m_Text(text), m_nCapacity(Capacity)
    {
        m_Text[0] = 0;
    }

    CReason& Add(const char* ascii)
    {
        for (; *ascii != 0; ++ascii)
            Put(static_cast<wchar_t>(*ascii));
        return *this;
    }

    CReason& Add(const wchar_t* text)
    {
        for (; *text != 0; ++text)
            Put(*text);
        return *this;
    }

    CReason& Add(unsigned long long number)
    {
        char digits[24];
        int n = 0;
        do
        {
            digits[n++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (n > 0)
            Put(static_cast<wchar_t>(digits[--n]));
        return *this;
    }

    // `"text"` from begin to end, cut to kOutputKeyQuoteLength characters.
    template <class Char>
    CReason& Quote(const Char* begin, const Char* end)
    {
        Put(L'"');
        int n = 0;
        for (; begin != end && n < kOutputKeyQuoteLength; ++begin, ++n)
            Put(Widen(*begin));
        if (begin != end)
            Add("...");
        Put(L'"');
        return *this;
    }

    int Length() const { return m_nLength; }

private:
    void Put(wchar_t c)
    {
        if (m_nLength < m_nCapacity - 1)
        {
            m_Text[m_nLength++] = c;
            m_Text[m_nLength] = 0;
        }
    }

    wchar_t* m_Text;
    int m_nCapacity;
    int m_nLength = 0;
};

template <class Char>
bool Equals(const Char* begin, const Char* end, const char* word)
{
    for (; begin != end && *word != 0; ++begin, ++word)
        if (*begin != static_cast<Char>(*word))
            return false;
    return begin == end && *word == 0;
}

// "a.b.c.d:port": the address as output 1 takes it (strict dotted quad
// outside 0.0.0.0/8) into `settings.szAddress`, the port 1..65535.
template <class Char>
bool ParseDestination(const Char* begin, const Char* end, SOutputSettings& settings, CReason& reason)
{
    const Char* colon = begin;
    while (colon != end && *colon != ':')
        ++colon;
    if (colon == end)
    {
        reason.Add("no port after the address: ").Quote(begin, end);
        return false;
    }
    wchar_t address[kAddressCapacity] = {};
    unsigned char octets[4];
    const bool fits = colon - begin < kAddressCapacity;
    if (fits)
        for (const Char* c = begin; c != colon; ++c)
            address[c - begin] = Widen(*c);
    if (!fits || !ParseDottedQuad(address, octets) || octets[0] == 0)
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
template <class Char>
bool ParseOption(const Char* begin, const Char* end, SOutputSettings& settings, unsigned& seen, CReason& reason)
{
    const Char* equals = begin;
    while (equals != end && *equals != '=')
        ++equals;
    static const char* const kNames[] = {"programs", "packets", "protocol", "ttl",
                                         "fec",      "from",    "sndbuf",   "timestamps"};
    int option = -1;
    for (int i = 0; i < static_cast<int>(sizeof kNames / sizeof kNames[0]); ++i)
        if (Equals(begin, equals, kNames[i]))
            option = i;
    if (option < 0 || equals == end)
    {
        reason.Add("not an option: ").Quote(begin, end);
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
        valid = SendOptionText::IsWordInAnyCase(value, "RTP") || SendOptionText::IsWordInAnyCase(value, "UDP");
        if (valid)
            settings.Send.Protocol = ParseSendProtocol(value);
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
    if (!valid)
        reason.Add("bad ").Add(kNames[option]).Add(": ").Quote(valueBegin, end);
    return valid;
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

// Room for an Output key as written back: every option and 16 programs.
constexpr int kOutputKeyWrittenCapacity = 320;

// Parsed settings as the key's text: the destination, then each option that
// differs from its default, in one order, so that the same settings are
// always written alike.
inline void FormatOutputKey(const SOutputSettings& s, wchar_t (&text)[kOutputKeyWrittenCapacity])
{
    OutputKeyText::CReason out(text);
    out.Add(s.szAddress).Add(":").Add(static_cast<unsigned long long>(s.Port));
    for (int i = 0; i < s.Programs.Count; ++i)
        out.Add(i == 0 ? " programs=" : ",").Add(static_cast<unsigned long long>(s.Programs.Numbers[i]));
    if (s.Packets != kDefaultPacketsPerDatagram)
        out.Add(" packets=").Add(static_cast<unsigned long long>(s.Packets));
    if (s.Send.Protocol == EDatagramFraming::Udp)
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
