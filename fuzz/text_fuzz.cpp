// libFuzzer target for the settings parser and the status texts: what the
// INI file or a typed field holds becomes a value, and any byte count or
// running time becomes a text that fits its buffer.
//
// Input layout (short inputs are padded with zeros):
//   bytes 0-7   a signed 64-bit byte count, little-endian
//   bytes 8-11  an unsigned 32-bit millisecond count, little-endian
//   rest        a text: as wide characters (two bytes each) and as 8-bit
//               characters
//
// The parser is compared with the C library's strtol/wcstol on the same text
// (non-ASCII characters, which neither counts as blank or digit, replaced by
// 'x'), cut into the int range. The texts are read back and compared with
// the value they were made from.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "OptionsValues.h"
#include "StatusText.h"

namespace {

void Fail(const std::string& message)
{
    std::fprintf(stderr, "text_fuzz: %s\n", message.c_str());
    std::abort();
}

int Reference(long value)
{
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

template <class Char>
void CheckParse(const std::basic_string<Char>& text, long reference)
{
    const int parsed = ParseLeadingInt(text.c_str());
    if (parsed != Reference(reference))
        Fail("ParseLeadingInt gave " + std::to_string(parsed) + ", the C library " + std::to_string(reference));
    const uint16_t port = PortFromInt(parsed);
    if (port != static_cast<uint16_t>(static_cast<unsigned>(parsed) % 65536u))
        Fail("PortFromInt(" + std::to_string(parsed) + ") gave " + std::to_string(port));
    const int packets = ClampPacketsPerDatagram(parsed);
    const int expected = parsed < 1 ? 1 : parsed > 7 ? 7 : parsed;
    if (packets != expected)
        Fail("ClampPacketsPerDatagram(" + std::to_string(parsed) + ") gave " + std::to_string(packets));
}

void CheckDigitGroups(long long value)
{
    wchar_t text[kTrafficTextCapacity + 8];
    for (wchar_t& c : text)
        c = L'#';
    FormatDigitGroups(value, text);
    for (int i = kTrafficTextCapacity; i < kTrafficTextCapacity + 8; ++i)
        if (text[i] != L'#')
            Fail("FormatDigitGroups wrote past its capacity for " + std::to_string(value));

    const std::wstring shown(text);
    if (shown.size() > 23)
        Fail("digit groups longer than 23 characters for " + std::to_string(value));
    std::string digits;
    size_t groupStart = 0;
    int groups = 0;
    for (size_t i = 0; i <= shown.size(); ++i)
    {
        if (i < shown.size() && shown[i] >= L'0' && shown[i] <= L'9')
        {
            digits += static_cast<char>(shown[i]);
            continue;
        }
        if (i < shown.size() && shown[i] != L' ')
            Fail("digit groups hold a character other than digits and blanks for " + std::to_string(value));
        const size_t length = i - groupStart;
        if (groups == 0 ? (length == 0 || (length > 1 && shown[0] == L'0')) : length != 3)
            Fail("malformed group in the digit groups of " + std::to_string(value));
        ++groups;
        groupStart = i + 1;
    }
    if (digits != std::to_string(value < 0 ? 0 : value))
        Fail("digit groups read back as " + digits + " for " + std::to_string(value));
}

void CheckElapsed(uint32_t milliseconds)
{
    wchar_t text[kElapsedTextCapacity + 8];
    for (wchar_t& c : text)
        c = L'#';
    FormatElapsed(milliseconds, text);
    for (int i = kElapsedTextCapacity; i < kElapsedTextCapacity + 8; ++i)
        if (text[i] != L'#')
            Fail("FormatElapsed wrote past its capacity for " + std::to_string(milliseconds));

    const std::wstring shown(text);
    const size_t first = shown.find(L':');
    if (first == std::wstring::npos || first < 2 || shown.size() != first + 6 || shown[first + 3] != L':')
        Fail("running time is not H:MM:SS for " + std::to_string(milliseconds));
    uint64_t hours = 0;
    for (size_t i = 0; i < first; ++i)
        hours = hours * 10 + static_cast<uint64_t>(shown[i] - L'0');
    const uint64_t minutes = static_cast<uint64_t>((shown[first + 1] - L'0') * 10 + (shown[first + 2] - L'0'));
    const uint64_t seconds = static_cast<uint64_t>((shown[first + 4] - L'0') * 10 + (shown[first + 5] - L'0'));
    if (minutes > 59 || seconds > 59 || hours * 3600 + minutes * 60 + seconds != milliseconds / 1000)
        Fail("running time reads back wrong for " + std::to_string(milliseconds));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto byte = [&](size_t i) -> uint64_t { return i < size ? data[i] : 0u; };
    uint64_t count = 0;
    for (size_t i = 0; i < 8; ++i)
        count |= byte(i) << (8 * i);
    uint32_t milliseconds = 0;
    for (size_t i = 0; i < 4; ++i)
        milliseconds |= static_cast<uint32_t>(byte(8 + i) << (8 * i));
    CheckDigitGroups(static_cast<long long>(count));
    CheckElapsed(milliseconds);

    std::wstring wide;
    std::wstring wideReference;
    for (size_t i = 12; i + 1 < size; i += 2)
    {
        const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (c == 0)
            break;
        wide += c;
        wideReference += c > 0x7F ? L'x' : c;
    }
    CheckParse(wide, std::wcstol(wideReference.c_str(), nullptr, 10));

    std::string narrow;
    std::string narrowReference;
    for (size_t i = 12; i < size && data[i] != 0; ++i)
    {
        narrow += static_cast<char>(data[i]);
        narrowReference += data[i] > 0x7F ? 'x' : static_cast<char>(data[i]);
    }
    CheckParse(narrow, std::strtol(narrowReference.c_str(), nullptr, 10));
    return 0;
}
