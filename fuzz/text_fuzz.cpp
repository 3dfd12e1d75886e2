// libFuzzer target for the settings parsers and the status texts: what the
// INI file or a typed field holds becomes a value (the three settings and the
// optional sending keys), and any byte count or running time becomes a text
// that fits its buffer.
//
// Input layout (short inputs are padded with zeros):
//   bytes 0-7   a signed 64-bit byte count, little-endian
//   bytes 8-11  an unsigned 32-bit millisecond count, little-endian
//   rest        a text: as wide characters (two bytes each) and as 8-bit
//               characters
//
// The parser is compared with the C library's strtol/wcstol on the same text
// (non-ASCII characters, which neither counts as blank or digit, replaced by
// 'x'), cut into the int range; the sending keys' whole-number parser with a
// plain reading of the trimmed text; the program list with a reading of its
// own (split at commas and blanks). The texts are read back and compared with
// the value they were made from.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "settings/OptionKeys.h"
#include "settings/OptionsValues.h"
#include "settings/ProgramList.h"
#include "settings/SendOptions.h"
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

// The trimmed text when it is all decimal digits, else "".
template <class Char>
std::string DigitsOnly(const std::basic_string<Char>& text)
{
    auto blank = [](Char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    std::string digits;
    for (size_t i = begin; i < end; ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return "";
        digits += static_cast<char>(text[i]);
    }
    return digits;
}

// The value of a whole-number key: the number when it is in 1..high, else 0.
long long WholeNumberReference(const std::string& digits, long long high)
{
    const size_t first = digits.find_first_not_of('0');
    if (digits.empty() || first == std::string::npos)
        return 0;
    if (digits.size() - first > 12)
        return 0;
    const long long value = std::stoll(digits.substr(first));
    return value <= high ? value : 0;
}

template <class Char>
void CheckSendOptions(const std::basic_string<Char>& text)
{
    const std::string digits = DigitsOnly(text);
    if (ParseTtl(text.c_str()) != WholeNumberReference(digits, 255))
        Fail("ParseTtl gave " + std::to_string(ParseTtl(text.c_str())) + " for digits '" + digits + "'");
    if (ParseSendBufferSize(text.c_str()) != WholeNumberReference(digits, INT_MAX))
        Fail("ParseSendBufferSize gave " + std::to_string(ParseSendBufferSize(text.c_str())));

    std::string upper;
    for (Char c : text)
        upper += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : (c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
    const size_t b = upper.find_first_not_of(" \t\n\v\f\r");
    const size_t e = upper.find_last_not_of(" \t\n\v\f\r");
    const bool udp = b != std::string::npos && upper.substr(b, e - b + 1) == "UDP";
    if ((ParseSendProtocol(text.c_str()) == EDatagramFraming::Udp) != udp)
        Fail("ParseSendProtocol disagrees on '" + upper + "'");
    const bool clock = b != std::string::npos && upper.substr(b, e - b + 1) == "CLOCK";
    if ((ParseRtpTimestamps(text.c_str()) == ERtpTimestamps::Clock) != clock)
        Fail("ParseRtpTimestamps disagrees on '" + upper + "'");

    // FEC: the trimmed text is exactly "<1-2 digits>x<1-2 digits>" of a valid matrix.
    int fecColumns = 0;
    int fecRows = 0;
    if (b != std::string::npos)
    {
        const std::string trimmed = upper.substr(b, e - b + 1);
        const size_t x = trimmed.find('X');
        auto twoDigits = [](const std::string& part) {
            return !part.empty() && part.size() <= 2 && part.find_first_not_of("0123456789") == std::string::npos;
        };
        if (x != std::string::npos && twoDigits(trimmed.substr(0, x)) && twoDigits(trimmed.substr(x + 1)))
        {
            const int l = std::stoi(trimmed.substr(0, x));
            const int d = std::stoi(trimmed.substr(x + 1));
            if (IsValidFecMatrix(l, d))
            {
                fecColumns = l;
                fecRows = d;
            }
        }
    }
    const SFecMatrix fec = ParseFecMatrix(text.c_str());
    if (fec.Columns != fecColumns || fec.Rows != fecRows)
        Fail("ParseFecMatrix gave " + std::to_string(fec.Columns) + "x" + std::to_string(fec.Rows) + " for '" +
             upper + "'");

    SSendOptions options;
    ParseLocalAddress(text.c_str(), options);
    if (options.szLocalAddress[kSendAddressTextCapacity - 1] != 0)
        Fail("the kept local address text is not terminated");
    unsigned char octets[4];
    if (options.HasLocalAddress != 0)
    {
        if (!ParseDottedQuad(options.szLocalAddress, octets) ||
            std::memcmp(octets, options.LocalAddress, 4) != 0 || (octets[0] | octets[1] | octets[2] | octets[3]) == 0)
            Fail("a local address was taken from a text that does not name one");
        // The whole text named it, not a part kept of a longer one.
        std::wstring whole;
        for (Char c : text)
            whole += static_cast<wchar_t>(c);
        const size_t first = whole.find_first_not_of(L" \t\n\v\f\r");
        whole = whole.substr(first, whole.find_last_not_of(L" \t\n\v\f\r") - first + 1);
        if (whole != options.szLocalAddress)
            Fail("a local address was taken from part of a text");
    }
}

// Entries split at commas and blanks; each all digits, 1..65535 read as a
// whole; repeats once; the first 16.
template <class Char>
std::vector<int> ProgramListReference(const std::basic_string<Char>& text)
{
    std::vector<int> numbers;
    std::string entry;
    auto take = [&]() {
        const size_t first = entry.find_first_not_of('0');
        const bool digits = !entry.empty() && entry.find_first_not_of("0123456789") == std::string::npos;
        if (digits && first != std::string::npos && entry.size() - first <= 5)
        {
            const int value = std::stoi(entry.substr(first));
            bool repeat = false;
            for (int n : numbers)
                repeat = repeat || n == value;
            if (value <= 65535 && !repeat && numbers.size() < kMaxSelectedPrograms)
                numbers.push_back(value);
        }
        entry.clear();
    };
    for (Char c : text)
    {
        if (c == ',' || c == ' ' || (c >= '\t' && c <= '\r'))
            take();
        else
            entry += c > 0 && c < 0x80 ? static_cast<char>(c) : 'x';
    }
    take();
    return numbers;
}

template <class Char>
void CheckProgramList(const std::basic_string<Char>& text)
{
    SProgramSelection programs;
    ParseProgramList(text.c_str(), programs);
    if (programs.Count < 0 || programs.Count > kMaxSelectedPrograms)
        Fail("ParseProgramList gave a count of " + std::to_string(programs.Count));
    if (std::vector<int>(programs.Numbers, programs.Numbers + programs.Count) != ProgramListReference(text))
        Fail("ParseProgramList disagrees with the reference");

    wchar_t line[kProgramNumbersTextCapacity + 8];
    for (wchar_t& c : line)
        c = L'#';
    FormatProgramNumbers(programs.Numbers, programs.Count, line);
    for (int i = kProgramNumbersTextCapacity; i < kProgramNumbersTextCapacity + 8; ++i)
        if (line[i] != L'#')
            Fail("FormatProgramNumbers wrote past its capacity");
    // The named numbers read back; the rest is counted behind "+".
    SProgramSelection shown;
    std::wstring named(line);
    const size_t plus = named.find(L'+');
    ParseProgramList(named.substr(0, plus).c_str(), shown);
    const int expectedNamed = programs.Count < kProgramsNamedOnLine ? programs.Count : kProgramsNamedOnLine;
    if (shown.Count != expectedNamed && programs.Count > 0)
    {
        // Repeats cannot occur in a parsed list, so every named number reads back.
        Fail("the dialog's program numbers read back as " + std::to_string(shown.Count) + " numbers");
    }
    if ((plus != std::wstring::npos) != (programs.Count > kProgramsNamedOnLine) ||
        (plus != std::wstring::npos && std::stoi(named.substr(plus + 1)) != programs.Count - kProgramsNamedOnLine))
        Fail("the dialog's count of further programs is wrong");

    // A buffer the text fills keeps only entries that end before its end.
    for (int capacity : {1, 2, 8, 33})
    {
        std::basic_string<Char> buffer = text.substr(0, static_cast<size_t>(capacity - 1));
        buffer.resize(static_cast<size_t>(capacity), Char(0));
        DropCutEntry(&buffer[0], capacity);
        const std::basic_string<Char> kept(buffer.c_str());
        if (kept.size() > text.size() || text.compare(0, kept.size(), kept) != 0)
            Fail("DropCutEntry kept what the text does not begin with");
        const bool filled = text.size() >= static_cast<size_t>(capacity - 1);
        if (filled && !kept.empty() && !ProgramListText::IsSeparator(kept.back()))
            Fail("DropCutEntry kept an entry that may have been cut");
        if (!filled && kept != text)
            Fail("DropCutEntry cut a text that fitted");
    }
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

// Every key's check and written form: what the dialog would write for a valid
// text is itself valid and written unchanged, and a refused text has a reason.
void CheckOptionKeys(const std::wstring& text)
{
    if (text.size() >= static_cast<size_t>(kOptionTextCapacity))
        return;
    for (int k = 0; k < kOptionKeyCount; ++k)
    {
        const EOptionKey key = static_cast<EOptionKey>(k);
        wchar_t written[kOptionTextCapacity];
        const bool valid = CanonicalOptionText(key, text.c_str(), written);
        if (valid != (CheckOptionText(key, text.c_str()) == nullptr))
            Fail("the check and the written form disagree on validity");
        if (!valid)
            continue;
        wchar_t again[kOptionTextCapacity];
        if (!CanonicalOptionText(key, written, again) || std::wcscmp(written, again) != 0)
            Fail("a written value is not written unchanged again");
    }
}

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
    CheckSendOptions(wide);
    CheckProgramList(wide);
    CheckOptionKeys(wide);

    std::string narrow;
    std::string narrowReference;
    for (size_t i = 12; i < size && data[i] != 0; ++i)
    {
        narrow += static_cast<char>(data[i]);
        narrowReference += data[i] > 0x7F ? 'x' : static_cast<char>(data[i]);
    }
    CheckParse(narrow, std::strtol(narrowReference.c_str(), nullptr, 10));
    CheckSendOptions(narrow);
    CheckProgramList(narrow);
    return 0;
}
