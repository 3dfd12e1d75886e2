#include "settings/OptionKeys.h"

#include <cwchar>

#include "settings/OptionsValues.h"
#include "settings/ProgramList.h"
#include "http/NetworkAllowList.h"

const wchar_t kHttpAllowTooLongReason[] = L"HttpAllow: at most 510 characters of networks";

namespace
{
using Canonical = wchar_t[kOptionTextCapacity];

const wchar_t* const kKeyNames[kOptionKeyCount] = {
    L"Protocol", L"TTL",      L"LocalIPAddress", L"SendBufferSize", L"FEC",      L"RtpTimestamps",
    L"Programs", L"HttpPort", L"HttpAddress",    L"HttpMaxClients", L"HttpAllow", L"Announce",
    L"Output2",  L"Output3",  L"Output4",        L"Output5",        L"Output6",  L"Output7",
    L"Output8",  L"Output9",  L"Output10",       L"Output11",       L"Output12", L"Output13",
    L"Output14", L"Output15", L"Output16",
};

const wchar_t kWhyProtocol[] = L"RTP or UDP";
const wchar_t kWhyTtl[] = L"A TTL is 1 to 255, or empty for the system's";
const wchar_t kWhyAddress[] = L"Not an IPv4 address of four numbers 0 to 255";
const wchar_t kWhySendBuffer[] = L"Bytes, 1 to 2147483647, or empty for the system's";
const wchar_t kWhyFec[] = L"L x D: each 4 to 20, L x D at most 100";
const wchar_t kWhyRtpTimestamps[] = L"clock, or counter (the default)";
const wchar_t kWhyPrograms[] = L"Program numbers 1 to 65535, at most 16";
const wchar_t kWhyHttpPort[] = L"A port is 1 to 65535";
const wchar_t kWhyHttpClients[] = L"1 to 64 viewers";
const wchar_t kWhyHttpAllow[] = L"Networks such as 192.168.1.0/24, commas between";
const wchar_t kWhyAnnounce[] = L"1 to announce the multicast outputs; 0 or empty not to";
const wchar_t kWhyOutput[] = L"An address:port, then options such as ttl=4";

int Length(const wchar_t* text)
{
    int n = 0;
    while (n < kOptionTextCapacity && text[n] != 0)
        ++n;
    return n;
}

// `text` without blanks around it, cut to the capacity.
void Trimmed(const wchar_t* text, Canonical& out)
{
    text = SkipBlanks(text);
    int n = 0;
    for (; n < kOptionTextCapacity - 1 && text[n] != 0; ++n)
        out[n] = text[n];
    while (n > 0 && IsBlank(out[n - 1]))
        --n;
    out[n] = 0;
}

// Appends at `at` within the capacity; returns the new end.
int Append(Canonical& out, int at, const wchar_t* text)
{
    for (; at < kOptionTextCapacity - 1 && *text != 0; ++at, ++text)
        out[at] = *text;
    out[at] = 0;
    return at;
}

int AppendNumber(Canonical& out, int at, unsigned long long value)
{
    wchar_t digits[24];
    int n = 0;
    do
    {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    wchar_t reversed[24];
    for (int i = 0; i < n; ++i)
        reversed[i] = digits[n - 1 - i];
    reversed[n] = 0;
    return Append(out, at, reversed);
}

// A whole number low..high, or empty for the default; a value equal to
// `defaultValue` is written as the default (no key).
bool CanonicalNumber(const wchar_t* text, long long low, long long high, long long defaultValue, Canonical& out)
{
    if (*SkipBlanks(text) == 0)
        return true;
    long long value = 0;
    if (!SendOptionText::ParseWholeNumber(text, high, &value))
        return false;
    if (value == defaultValue)
        return true;
    if (value < low)
        return false;
    AppendNumber(out, 0, static_cast<unsigned long long>(value));
    return true;
}

// A dotted IPv4 address; 0.0.0.0 means "the system chooses", the default.
bool CanonicalAddress(const wchar_t* text, Canonical& out)
{
    Canonical trimmed;
    Trimmed(text, trimmed);
    if (trimmed[0] == 0)
        return true;
    unsigned char octets[4];
    if (!ParseDottedQuad(trimmed, octets))
        return false;
    if ((octets[0] | octets[1] | octets[2] | octets[3]) != 0)
        Append(out, 0, trimmed);
    return true;
}

bool CanonicalFec(const wchar_t* text, Canonical& out)
{
    if (*SkipBlanks(text) == 0)
        return true;
    const SFecMatrix matrix = ParseFecMatrix(text);
    if (matrix.Columns == 0)
        return false;
    const int at = AppendNumber(out, 0, static_cast<unsigned>(matrix.Columns));
    AppendNumber(out, Append(out, at, L"x"), static_cast<unsigned>(matrix.Rows));
    return true;
}

// Every entry a number 1..65535 (the reader skips others), at most 16
// different ones (it ignores the rest); a repeat counts once.
bool CanonicalPrograms(const wchar_t* text, Canonical& out)
{
    uint16_t numbers[kMaxSelectedPrograms];
    int count = 0;
    for (const wchar_t* c = text; *c != 0;)
    {
        while (*c != 0 && ProgramListText::IsSeparator(*c))
            ++c;
        const wchar_t* begin = c;
        while (*c != 0 && !ProgramListText::IsSeparator(*c))
            ++c;
        uint16_t number = 0;
        if (begin == c)
            continue;
        if (!ProgramListText::ParseEntry(begin, c, &number))
            return false;
        bool repeat = false;
        for (int i = 0; i < count; ++i)
            repeat = repeat || numbers[i] == number;
        if (repeat)
            continue;
        if (count == kMaxSelectedPrograms)
            return false;
        numbers[count++] = number;
    }
    int at = 0;
    for (int i = 0; i < count; ++i)
        at = AppendNumber(out, i == 0 ? at : Append(out, at, L", "), numbers[i]);
    return true;
}

// Start's check, on the text as typed, blanks and all: a field that is full
// may hold a paste it cut (its limit is one beyond the longest list), which
// must not pass for the list the user meant.
bool AllowTooLong(const wchar_t* text)
{
    return HttpAllowTooLong(static_cast<unsigned long>(Length(text)));
}

// Networks as the URL server reads them, every entry valid, and short
// enough that the server's buffer holds the whole list.
bool CanonicalAllow(const wchar_t* text, Canonical& out)
{
    if (AllowTooLong(text))
        return false;
    Canonical trimmed;
    Trimmed(text, trimmed);
    if (trimmed[0] == 0)
        return true;
    CNetworkAllowList list;
    if (list.Parse(trimmed) != 0 || list.Count() == 0)
        return false;
    Append(out, 0, trimmed);
    return true;
}

// 0 or 1; 0 is the default.
bool CanonicalAnnounce(const wchar_t* text, Canonical& out)
{
    if (*SkipBlanks(text) == 0)
        return true;
    long long on = 0;
    if (!SendOptionText::ParseWholeNumber(text, 1, &on))
        return false;
    if (on == 1)
        Append(out, 0, L"1");
    return true;
}

// As Start parses it; written back with the options that differ from their
// defaults. Blanks alone are no output. `reason` gets Start's line for it
// ("Output3: not an IPv4 address: "239.255.1"").
bool CanonicalOutput(EOptionKey key, const wchar_t* text, Canonical& out, OptionReasonText* reason)
{
    wchar_t why[kOutputKeyErrorCapacity] = {};
    const int length = Length(text);
    bool valid = true;
    if (length >= kOutputKeyTextCapacity - 1)
    {
        // Start cannot tell such a key from one cut by its read.
        OutputKeyText::CReason tooLong(why);
        tooLong.Add("longer than ").Add(static_cast<unsigned long long>(kOutputKeyTextCapacity - 2)).Add(" characters");
        valid = false;
    }
    SOutputSettings settings;
    const EOutputKey parsed = valid ? ParseOutputKey(text, length, settings, why) : EOutputKey::Refused;
    if (parsed == EOutputKey::Parsed)
    {
        wchar_t written[kOutputKeyWrittenCapacity];
        FormatOutputKey(settings, written);
        Append(out, 0, written);
    }
    if (parsed == EOutputKey::Refused && reason != nullptr)
    {
        OutputKeyText::CReason line(*reason);
        line.Add(OptionKeyName(key)).Add(": ").Add(why);
    }
    return parsed != EOutputKey::Refused;
}

bool CanonicalFor(EOptionKey key, const wchar_t* text, Canonical& out, OptionReasonText* reason)
{
    if (IsOutputOptionKey(key))
        return CanonicalOutput(key, text, out, reason);
    if (key == kOptionAnnounce)
        return CanonicalAnnounce(text, out);
    switch (key)
    {
    case kOptionProtocol:
        if (*SkipBlanks(text) == 0 || SendOptionText::IsWordInAnyCase(text, "RTP"))
            return true;
        if (!SendOptionText::IsWordInAnyCase(text, "UDP"))
            return false;
        Append(out, 0, L"UDP");
        return true;
    case kOptionTtl:
        return CanonicalNumber(text, 1, kMaxTtl, 0, out);
    case kOptionLocalIPAddress:
    case kOptionHttpAddress:
        return CanonicalAddress(text, out);
    case kOptionSendBufferSize:
        return CanonicalNumber(text, 1, INT32_MAX, 0, out);
    case kOptionFec:
        return CanonicalFec(text, out);
    case kOptionRtpTimestamps:
        if (*SkipBlanks(text) == 0 || SendOptionText::IsWordInAnyCase(text, "COUNTER"))
            return true;
        if (ParseRtpTimestamps(text) != ERtpTimestamps::Clock)
            return false;
        Append(out, 0, L"clock");
        return true;
    case kOptionPrograms:
        return CanonicalPrograms(text, out);
    case kOptionHttpPort:
        return CanonicalNumber(text, 1, 65535, 0, out);
    case kOptionHttpMaxClients:
        return CanonicalNumber(text, 1, kMaxHttpClientsLimit, kDefaultHttpClients, out);
    case kOptionHttpAllow:
        return CanonicalAllow(text, out);
    default:
        return false;
    }
}

const wchar_t* ReasonFor(EOptionKey key, const wchar_t* text)
{
    switch (key)
    {
    case kOptionProtocol:
        return kWhyProtocol;
    case kOptionTtl:
        return kWhyTtl;
    case kOptionLocalIPAddress:
    case kOptionHttpAddress:
        return kWhyAddress;
    case kOptionSendBufferSize:
        return kWhySendBuffer;
    case kOptionFec:
        return kWhyFec;
    case kOptionRtpTimestamps:
        return kWhyRtpTimestamps;
    case kOptionPrograms:
        return kWhyPrograms;
    case kOptionHttpPort:
        return kWhyHttpPort;
    case kOptionHttpMaxClients:
        return kWhyHttpClients;
    case kOptionHttpAllow:
        return AllowTooLong(text) ? kHttpAllowTooLongReason : kWhyHttpAllow;
    case kOptionAnnounce:
        return kWhyAnnounce;
    default:
        return IsOutputOptionKey(key) ? kWhyOutput : kWhyProtocol;
    }
}

void CopyReason(OptionReasonText& out, const wchar_t* text)
{
    int n = 0;
    for (; n < kOptionReasonCapacity - 1 && text[n] != 0; ++n)
        out[n] = text[n];
    out[n] = 0;
}

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return std::wcsncmp(a, b, kOptionTextCapacity) == 0;
}
}  // namespace

const wchar_t* OptionKeyName(EOptionKey key)
{
    return key >= 0 && key < kOptionKeyCount ? kKeyNames[key] : L"";
}

void ReadSendKeys(const SOptionTexts& texts, SSendOptions& send, SProgramSelection& programs)
{
    send.Protocol = ParseSendProtocol(texts.Text[kOptionProtocol]);
    send.Ttl = ParseTtl(texts.Text[kOptionTtl]);
    ParseLocalAddress(texts.Text[kOptionLocalIPAddress], send);
    send.SendBufferSize = ParseSendBufferSize(texts.Text[kOptionSendBufferSize]);
    send.Fec = ParseFecMatrix(texts.Text[kOptionFec]);
    send.RtpTimestamps = ParseRtpTimestamps(texts.Text[kOptionRtpTimestamps]);
    // A list that filled the buffer may end in the front of a cut entry.
    wchar_t list[kOptionTextCapacity];
    std::wmemcpy(list, texts.Text[kOptionPrograms], kOptionTextCapacity);
    DropCutEntry(list, kOptionTextCapacity);
    ParseProgramList(list, programs);
}

bool ReadAnnounceKey(const SOptionTexts& texts)
{
    long long on = 0;
    return SendOptionText::ParseWholeNumber(texts.Text[kOptionAnnounce], 1, &on) && on == 1;
}

void ReadHttpKeys(const SOptionTexts& texts, SHttpOptions& http)
{
    http.Port = ParseHttpPort(texts.Text[kOptionHttpPort]);
    ParseHttpAddress(texts.Text[kOptionHttpAddress], http);
    http.MaxClients = ParseHttpMaxClients(texts.Text[kOptionHttpMaxClients]);
    // Read into as much room as the list has: a text that filled it may be
    // cut, and then Start refuses it rather than take an entry from it.
    static_assert(kHttpAllowTextCapacity == kOptionTextCapacity, "the list is read whole, or seen cut");
    std::wmemcpy(http.szAllow, texts.Text[kOptionHttpAllow], kHttpAllowTextCapacity);
    http.szAllow[kHttpAllowTextCapacity - 1] = 0;
    http.AllowTooLong = HttpAllowTooLong(std::wcslen(http.szAllow)) ? 1 : 0;
}

namespace
{
// The written form of a valid `text`; for an invalid one, false, `canonical`
// empty and why in `reason` (when given).
bool Canonicalize(EOptionKey key, const wchar_t* text, Canonical& canonical, OptionReasonText* reason)
{
    canonical[0] = 0;
    if (reason != nullptr)
        (*reason)[0] = 0;
    if (text == nullptr)
        return true;
    bool valid = Length(text) < kOptionTextCapacity;  // else it would not read back as written
    if (valid)
        valid = CanonicalFor(key, text, canonical, reason);
    if (valid)
        return true;
    canonical[0] = 0;
    if (reason != nullptr && (*reason)[0] == 0)
        CopyReason(*reason, ReasonFor(key, text));
    return false;
}
}  // namespace

const wchar_t* CheckOptionText(EOptionKey key, const wchar_t* text)
{
    Canonical canonical;
    return Canonicalize(key, text, canonical, nullptr) ? nullptr : ReasonFor(key, text);
}

bool CheckOptionText(EOptionKey key, const wchar_t* text, OptionReasonText& reason)
{
    Canonical canonical;
    return Canonicalize(key, text, canonical, &reason);
}

bool CanonicalOptionText(EOptionKey key, const wchar_t* text, Canonical& canonical)
{
    return Canonicalize(key, text, canonical, nullptr);
}

bool PlanOptionWrites(const SOptionTexts& asRead, const SOptionTexts& edited, SOptionWritePlan& plan,
                      EOptionKey* invalidKey, const wchar_t** reason)
{
    bool valid = true;
    plan.Reason[0] = 0;
    for (int k = 0; k < kOptionKeyCount; ++k)
    {
        const EOptionKey key = static_cast<EOptionKey>(k);
        const wchar_t* before = asRead.Text[k];
        const wchar_t* after = edited.Text[k];
        plan.Action[k] = EOptionWrite::Keep;
        plan.Texts.Text[k][0] = 0;
        if (SameText(before, after))
            continue;
        Canonical& text = plan.Texts.Text[k];
        OptionReasonText why;
        if (!Canonicalize(key, after, text, &why))
        {
            if (valid)
            {
                std::wmemcpy(plan.Reason, why, kOptionReasonCapacity);
                if (invalidKey != nullptr)
                    *invalidKey = key;
                if (reason != nullptr)
                    *reason = plan.Reason;
            }
            valid = false;
            continue;
        }
        Canonical stored;
        const bool storedValid = CanonicalOptionText(key, before, stored);
        if (storedValid && SameText(stored, text))
            continue;  // "udp" for UDP, " 4" for 4: the hand-written text stays
        plan.Action[k] = text[0] == 0 ? EOptionWrite::Remove : EOptionWrite::Write;
    }
    return valid;
}
