// libFuzzer target for the Output2 ... Output16 keys: any text becomes either
// no output, settings that hold only valid values, or a reason that fits its
// buffer, and the same text as 8-bit and as wide characters gives the same
// answer. Parsed settings written back as a key, by this target and as the
// dialog writes them, parse to the same settings.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "settings/OutputKey.h"

namespace
{
void Fail(const char* message)
{
    std::fprintf(stderr, "output_key_fuzz: %s\n", message);
    std::abort();
}

bool SameSettings(const SOutputSettings& a, const SOutputSettings& b)
{
    return std::wcscmp(a.szAddress, b.szAddress) == 0 && a.Port == b.Port && a.Packets == b.Packets &&
           a.Send.Protocol == b.Send.Protocol && a.Send.Ttl == b.Send.Ttl &&
           a.Send.SendBufferSize == b.Send.SendBufferSize && a.Send.HasLocalAddress == b.Send.HasLocalAddress &&
           std::memcmp(a.Send.LocalAddress, b.Send.LocalAddress, 4) == 0 && a.Send.Fec.Columns == b.Send.Fec.Columns &&
           a.Send.Fec.Rows == b.Send.Fec.Rows && a.Send.RtpTimestamps == b.Send.RtpTimestamps &&
           a.Programs.Count == b.Programs.Count &&
           std::memcmp(a.Programs.Numbers, b.Programs.Numbers, sizeof a.Programs.Numbers) == 0 &&
           a.Srt.Mode == b.Srt.Mode && std::strcmp(a.Srt.Passphrase, b.Srt.Passphrase) == 0 &&
           a.Srt.KeyLength == b.Srt.KeyLength && a.Srt.Latency == b.Srt.Latency &&
           std::strcmp(a.Srt.StreamId, b.Srt.StreamId) == 0;
}

void CheckValid(const SOutputSettings& s)
{
    unsigned char octets[4];
    if (!ParseDottedQuad(s.szAddress, octets) || (octets[0] == 0 && s.Srt.Mode != ESrtMode::Listener))
        Fail("parsed an address that output 1 would refuse");
    if (s.Port == 0 || s.Packets < kMinPacketsPerChunk || s.Packets > kMaxPacketsPerChunk)
        Fail("port or packet count out of range");
    if (s.Send.Ttl < 0 || s.Send.Ttl > kMaxTtl || s.Send.SendBufferSize < 0)
        Fail("TTL or buffer out of range");
    if (s.Send.Fec.Columns != 0 && !IsValidFecMatrix(s.Send.Fec.Columns, s.Send.Fec.Rows))
        Fail("invalid FEC matrix");
    if (s.Programs.Count < 0 || s.Programs.Count > kMaxSelectedPrograms)
        Fail("program count out of range");
    for (int i = 0; i < s.Programs.Count; ++i)
        if (s.Programs.Numbers[i] == 0)
            Fail("program number 0");
    const size_t passphrase = std::strlen(s.Srt.Passphrase);
    if (s.Srt.Mode == ESrtMode::None &&
        (passphrase != 0 || s.Srt.KeyLength != 0 || s.Srt.Latency != kDefaultSrtLatency || s.Srt.StreamId[0] != 0))
        Fail("SRT settings on an output that is not SRT");
    if (passphrase != 0 && (passphrase < kMinSrtPassphrase || passphrase > kMaxSrtPassphrase))
        Fail("passphrase length out of range");
    if ((passphrase != 0) != (s.Srt.KeyLength == 16 || s.Srt.KeyLength == 24 || s.Srt.KeyLength == 32))
        Fail("key length without a passphrase, or a passphrase without one");
    if (s.Srt.Latency < kMinSrtLatency || s.Srt.Latency > kMaxSrtLatency)
        Fail("latency out of range");
    for (const char* text : {static_cast<const char*>(s.Srt.Passphrase), static_cast<const char*>(s.Srt.StreamId)})
        for (; *text != 0; ++text)
            if (*text < 0x21 || *text > 0x7E)
                Fail("SRT text not printable ASCII");
}

// A refusal never holds the passphrase that the text gave: reasons are logged.
// (A value that the text also holds elsewhere may be quoted from there.)
void CheckNoPassphrase(const char* text, size_t size, const wchar_t* reason)
{
    static const std::string kWord = "passphrase=";
    const std::string all(text, size);
    std::string quoted;
    for (const wchar_t* r = reason; *r != 0; ++r)
        quoted += *r < 0x100 ? static_cast<char>(*r) : '?';
    for (size_t at = all.find(kWord); at != std::string::npos; at = all.find(kWord, at + 1))
    {
        // The option itself: a word of its own, not text inside another's value.
        if (at > 0 && !IsBlank(all[at - 1]))
            continue;
        const size_t begin = at + kWord.size();
        size_t end = begin;
        while (end < size && !IsBlank(all[end]))
            ++end;
        const std::string value = all.substr(begin, end - begin);
        if (value.size() < 4 || quoted.find(value) == std::string::npos)
            continue;
        const size_t first = all.find(value);
        if (first != begin || all.find(value, begin + 1) != std::string::npos)
            continue;
        // The reason may hold the same letters as fixed text of its own
        // ("port" in "the address and port come first"): it quotes the
        // passphrase only when a marker put in the passphrase's place shows.
        std::string marked = all;
        marked.replace(begin, value.size(), value.size(), '~');
        SOutputSettings ignored;
        wchar_t markedReason[kOutputKeyErrorCapacity];
        if (ParseOutputKey(marked.data(), static_cast<int>(marked.size()), ignored, markedReason) != EOutputKey::Refused)
            continue;
        std::string markedQuoted;
        for (const wchar_t* r = markedReason; *r != 0; ++r)
            markedQuoted += *r < 0x100 ? static_cast<char>(*r) : '?';
        if (markedQuoted.find(std::string(value.size(), '~')) != std::string::npos &&
            all.find(std::string(value.size(), '~')) == std::string::npos)
            Fail("a reason holds the passphrase");
    }
}

// The settings as a key's text, every option spelt out.
std::string Write(const SOutputSettings& s)
{
    std::string text;
    for (const wchar_t* c = s.szAddress; *c != 0; ++c)
        text += static_cast<char>(*c);
    text += ":" + std::to_string(s.Port) + " packets=" + std::to_string(s.Packets);
    if (s.Send.Ttl != 0)
        text += " ttl=" + std::to_string(s.Send.Ttl);
    if (s.Send.SendBufferSize != 0)
        text += " sndbuf=" + std::to_string(s.Send.SendBufferSize);
    if (s.Send.Fec.Columns != 0)
        text += " fec=" + std::to_string(s.Send.Fec.Columns) + "x" + std::to_string(s.Send.Fec.Rows);
    if (s.Send.HasLocalAddress != 0)
    {
        const uint8_t* a = s.Send.LocalAddress;
        text += " from=" + std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
                std::to_string(a[3]);
    }
    for (int i = 0; i < s.Programs.Count; ++i)
        text += (i == 0 ? " programs=" : ",") + std::to_string(s.Programs.Numbers[i]);
    if (s.Srt.Mode != ESrtMode::None)
    {
        text += s.Srt.Mode == ESrtMode::Caller ? " protocol=srt mode=caller" : " protocol=srt mode=listener";
        if (s.Srt.Passphrase[0] != 0)
            text += std::string(" passphrase=") + s.Srt.Passphrase + " pbkeylen=" + std::to_string(s.Srt.KeyLength);
        text += " latency=" + std::to_string(s.Srt.Latency);
        if (s.Srt.StreamId[0] != 0)
            text += std::string(" streamid=") + s.Srt.StreamId;
        return text;
    }
    text += s.Send.Protocol == EDatagramFraming::Udp ? " protocol=udp" : " protocol=rtp";
    text += s.Send.RtpTimestamps == ERtpTimestamps::Clock ? " timestamps=clock" : " timestamps=counter";
    return text;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kOutputKeyTextCapacity)
        return 0;
    // Exactly `size` characters on the heap: a read past them is a finding.
    char* narrow = static_cast<char*>(std::malloc(size + 1));
    wchar_t* wide = static_cast<wchar_t*>(std::malloc((size + 1) * sizeof(wchar_t)));
    for (size_t i = 0; i < size; ++i)
    {
        narrow[i] = static_cast<char>(data[i]);
        wide[i] = static_cast<wchar_t>(data[i]);
    }
    SOutputSettings fromNarrow;
    SOutputSettings fromWide;
    wchar_t reasonNarrow[kOutputKeyErrorCapacity];
    wchar_t reasonWide[kOutputKeyErrorCapacity];
    const EOutputKey a = ParseOutputKey(narrow, static_cast<int>(size), fromNarrow, reasonNarrow);
    const EOutputKey b = ParseOutputKey(wide, static_cast<int>(size), fromWide, reasonWide);
    if (a != b)
        Fail("8-bit and wide texts disagree");
    if (a == EOutputKey::Refused)
    {
        if (std::wcslen(reasonNarrow) >= static_cast<size_t>(kOutputKeyErrorCapacity) || reasonNarrow[0] == 0)
            Fail("reason empty or unterminated");
        if (std::wcscmp(reasonNarrow, reasonWide) != 0)
            Fail("reasons disagree");
        CheckNoPassphrase(narrow, size, reasonNarrow);
    }
    if (a == EOutputKey::Parsed)
    {
        if (!SameSettings(fromNarrow, fromWide))
            Fail("settings disagree");
        CheckValid(fromNarrow);
        const std::string again = Write(fromNarrow);
        SOutputSettings reparsed;
        wchar_t reason[kOutputKeyErrorCapacity];
        if (ParseOutputKey(again.data(), static_cast<int>(again.size()), reparsed, reason) != EOutputKey::Parsed ||
            !SameSettings(reparsed, fromNarrow))
            Fail("settings written back do not parse to the same");
        bool same = false;
        if (!OutputsCollide(fromNarrow, reparsed, same) || !same)
            Fail("an output does not collide with itself");
        // The dialog's written form: the same settings, and written alike again.
        wchar_t written[kOutputKeyWrittenCapacity];
        FormatOutputKey(fromNarrow, written);
        const int length = static_cast<int>(std::wcslen(written));
        if (length >= kOutputKeyWrittenCapacity - 1)
            Fail("a written key filled its buffer");
        if (ParseOutputKey(written, length, reparsed, reason) != EOutputKey::Parsed || !SameSettings(reparsed, fromNarrow))
            Fail("the written form does not parse to the same settings");
        wchar_t rewritten[kOutputKeyWrittenCapacity];
        FormatOutputKey(reparsed, rewritten);
        if (std::wcscmp(written, rewritten) != 0)
            Fail("the written form is not written alike again");
    }
    std::free(narrow);
    std::free(wide);
    return 0;
}
