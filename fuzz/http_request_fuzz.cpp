// libFuzzer target for everything a network client or a broadcast puts into
// the HTTP output: request heads, host names, allowed-network texts, and
// service names on the index page and in the playlist.
//
// Input layout: the whole input is a request head as received; the same bytes
// are also read as an HttpAllow text (up to the first NUL), a Host value and
// a DVB service name and provider (the first 255 bytes, and the rest).
//
// Checked: the parser's outcome does not change when more bytes arrive or
// when it is asked at the head's end; a Complete head lies within the limit,
// ends with an empty line and holds no NUL or control character; its route
// and host are ones the routes and IsPlainHost allow; a plain host holds only
// URL-safe characters; converted names are valid UTF-8 without control
// characters or line separators; names change no markup on the page (the
// count of '<', '>' and '"' is that of a page with a harmless name) and
// leave it well-formed XML to expat, nor change lines in the playlist.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "http/HttpPages.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/IndexPage.h"
#include "http/NetworkAllowList.h"
#include "Utf8Check.h"
#include "XmlCheck.h"

namespace {

void Fail(const char* message)
{
    std::fprintf(stderr, "http_request_fuzz: %s\n", message);
    std::abort();
}

void CheckRequest(const char* data, size_t size)
{
    SHttpRequest request;
    const EHttpParse outcome = ParseHttpRequest(data, size, request);
    const int status = HttpStatusFor(outcome, request);
    if (outcome == EHttpParse::Incomplete)
    {
        if (status != 0 || size >= kHttpRequestLimit)
            Fail("an incomplete head at or over the limit, or with a status");
        return;
    }
    if (status < 200 || status > 505)
        Fail("a status outside the answers");
    char response[kHttpResponseHeadCapacity];
    if (status != 200 && WriteErrorResponse(response, sizeof response, status, true) == 0)
        Fail("a refusal does not fit its buffer");

    // More bytes, or a prefix that already holds the head, change nothing.
    const std::string more = std::string(data, size) + "\r\n\r\nGET / HTTP/1.0\r\n\r\n";
    SHttpRequest again;
    if (ParseHttpRequest(more.data(), more.size(), again) != outcome)
        Fail("more bytes changed the outcome");
    if (outcome != EHttpParse::Complete)
        return;
    if (ParseHttpRequest(data, request.nHeadLength, again) != outcome || again.Route != request.Route ||
        again.ProgramNumber != request.ProgramNumber || again.OutputNumber != request.OutputNumber ||
        std::strcmp(again.szHost, request.szHost) != 0)
        Fail("the head alone parses differently");
    if (request.nHeadLength > size || request.nHeadLength > kHttpRequestLimit || request.nHeadLength < 4)
        Fail("a head length outside the bytes or the limit");
    if (ParseHttpRequest(data, request.nHeadLength - 1, again) != EHttpParse::Incomplete)
        Fail("a head one byte short is not incomplete");
    const char* head = data;
    const size_t length = request.nHeadLength;
    if (head[length - 1] != '\n' || !(head[length - 2] == '\n' || (head[length - 2] == '\r' && head[length - 3] == '\n')))
        Fail("a head that does not end with an empty line");
    for (size_t i = 0; i < length; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(head[i]);
        if (c == 0 || c == 0x7F || (c < 0x20 && c != '\t' && c != '\r' && c != '\n'))
            Fail("a NUL or control character in an accepted head");
    }
    if ((request.Route == EHttpRoute::Program || request.Route == EHttpRoute::ProgramPlaylist) !=
        (request.ProgramNumber != 0))
        Fail("a program number without a program route, or none with one");
    if ((request.Route == EHttpRoute::OutputDescription) != (request.OutputNumber != 0))
        Fail("an output number without its route, or none with it");
    if (request.HasPlainHost != (request.szHost[0] != 0) ||
        (request.HasPlainHost && !IsPlainHost(request.szHost, std::strlen(request.szHost))))
        Fail("a kept host that is not plain");
    if (request.Method == EHttpMethod::Get && std::memcmp(head, "GET ", 4) != 0)
        Fail("GET from another method");
}

void CheckHost(const char* data, size_t size)
{
    if (!IsPlainHost(data, size))
        return;
    for (size_t i = 0; i < size; ++i)
    {
        const char c = data[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
              c == ':'))
            Fail("a plain host with a character a URL would need escaped");
    }
    char out[kHttpHostTextCapacity];
    const std::string host(data, size);
    ChoosePlaylistHost(true, host.c_str(), 0x7F000001, 8001, out, sizeof out);
    if (size < sizeof out && host != out)
        Fail("a plain host not used for the playlist");
}

size_t CountMarkup(const char* text)
{
    size_t count = 0;
    for (; *text != 0; ++text)
        count += *text == '<' || *text == '>' || *text == '"' || *text == '\'';
    return count;
}

// Line ends as playlist readers see them: CR, LF, and U+2028/U+2029
// (E2 80 A8, E2 80 A9 in UTF-8).
size_t CountLines(const char* text)
{
    size_t count = 0;
    for (; *text != 0; ++text)
        count += *text == '\n' || *text == '\r' ||
                 (text[0] == '\xE2' && text[1] == '\x80' && (text[2] == '\xA8' || text[2] == '\xA9'));
    return count;
}

void CheckNames(const uint8_t* data, size_t size)
{
    char utf8[kDvbTextUtf8Capacity];
    const size_t converted = DvbTextToUtf8(data, size, utf8, sizeof utf8);
    if (converted >= sizeof utf8 || utf8[converted] != 0 || std::strlen(utf8) != converted)
        Fail("a converted name is not terminated where its length says");
    if (!IsValidUtf8(reinterpret_cast<const unsigned char*>(utf8), converted))
        Fail("a converted name is not valid UTF-8");
    for (size_t i = 0; i < converted; ++i)
        if (static_cast<unsigned char>(utf8[i]) < 0x20 || utf8[i] == 0x7F)
            Fail("a control character in a converted name");
    if (CountLines(utf8) != 0)
        Fail("a line separator in a converted name");

    static std::unique_ptr<SProgramList> programs(new SProgramList);
    static std::unique_ptr<SProgramList> harmless(new SProgramList);
    static std::unique_ptr<char[]> page(new char[kIndexPageCapacity]);
    static std::unique_ptr<char[]> reference(new char[kIndexPageCapacity]);
    SListedProgram& program = programs->Programs[0];
    programs->nPrograms = 1;
    program.ProgramNumber = 1;
    program.NameLength = static_cast<uint8_t>(size < kServiceTextMaxBytes ? size : kServiceTextMaxBytes);
    std::memcpy(program.Name, data, program.NameLength);
    const size_t rest = size - program.NameLength;
    program.ProviderLength = static_cast<uint8_t>(rest < kServiceTextMaxBytes ? rest : kServiceTextMaxBytes);
    std::memcpy(program.Provider, data + program.NameLength, program.ProviderLength);

    // The harmless page has a name (and provider) exactly where the fuzzed one does.
    char name[kDvbTextUtf8Capacity];
    char provider[kDvbTextUtf8Capacity];
    DvbTextToUtf8(program.Name, program.NameLength, name, sizeof name);
    DvbTextToUtf8(program.Provider, program.ProviderLength, provider, sizeof provider);
    harmless->nPrograms = 1;
    SListedProgram& plain = harmless->Programs[0];
    plain.ProgramNumber = 1;
    plain.NameLength = name[0] != 0 ? 1 : 0;
    plain.Name[0] = 'x';
    plain.ProviderLength = provider[0] != 0 ? 1 : 0;
    plain.Provider[0] = 'y';

    static std::unique_ptr<SIndexPageScratch> scratch(new SIndexPageScratch);
    SIndexPage input;
    input.HostPort = "tv:8001";
    input.Programs = programs.get();
    const size_t length = WriteIndexPage(input, *scratch, page.get(), kIndexPageCapacity);
    input.Programs = harmless.get();
    WriteIndexPage(input, *scratch, reference.get(), kIndexPageCapacity);
    if (length >= kIndexPageCapacity || !IsValidUtf8(reinterpret_cast<const unsigned char*>(page.get()), length))
        Fail("the page is cut or not valid UTF-8");
    if (CountMarkup(page.get()) != CountMarkup(reference.get()))
        Fail("a name changed the page's markup");
    if (!XmlFault(page.get(), length).empty())
        Fail("a name made the page ill-formed");

    const size_t listLength = WritePlaylist(*programs, "tv:8001", page.get(), kIndexPageCapacity);
    WritePlaylist(*harmless, "tv:8001", reference.get(), kIndexPageCapacity);
    if (listLength >= kIndexPageCapacity || CountLines(page.get()) != CountLines(reference.get()))
        Fail("a name changed the playlist's lines");
}

void CheckAllowList(const char* data, size_t size)
{
    const std::string text(data, strnlen(data, size));
    CNetworkAllowList list;
    const int skipped = list.Parse(text.c_str());
    if (skipped < 0 || list.Count() < 0 || list.Count() > kMaxAllowedNetworks)
        Fail("an allow list count out of range");
    if (list.Count() == 0 && list.Contains(0x7F000001) )
        Fail("an empty list allows someone");
    // Nothing that is not in the text: a text without '/' or digits allows nobody.
    if (text.find_first_of("0123456789") == std::string::npos && list.Count() != 0)
        Fail("networks from a text without digits");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    CheckRequest(text, size);
    CheckHost(text, size);
    CheckNames(data, size);
    CheckAllowList(text, size);
    return 0;
}
