// libFuzzer target for SSDP: whatever arrives on 239.255.255.250:1900
// reaches ParseSsdpSearch, and an accepted search's target picks the answers.
//
// Input layout: the whole input is a datagram as received.
//
// Checked: a search has a non-empty target of printable characters without
// blanks at either end, found in the datagram, and an MX of -1 or 1..5; the
// outcome depends only on the datagram's first kSsdpDatagramMaxSize bytes
// being all there is (a longer datagram is never a search); every answer the
// target picks fits kSsdpMessageCapacity and names that target (or, for
// ssdp:all, one of ours) as its ST.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "discovery/SsdpMessage.h"

namespace {

void Fail(const char* message)
{
    std::fprintf(stderr, "ssdp_fuzz: %s\n", message);
    std::abort();
}

const char kUuid[] = "uuid:5d1c7e42-93a0-5b1f-8c6e-21d40b973a58";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    SSsdpSearch search;
    const ESsdpParse outcome = ParseSsdpSearch(text, size, search);
    if (outcome != ESsdpParse::Search)
        return 0;
    if (size > kSsdpDatagramMaxSize)
        Fail("a search longer than the bound");
    const size_t length = strnlen(search.Target, sizeof search.Target);
    if (length == 0 || length >= sizeof search.Target)
        Fail("an empty or unterminated target");
    for (size_t i = 0; i < length; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(search.Target[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            Fail("a control character in the target");
    }
    if (search.Target[0] == ' ' || search.Target[0] == '\t' || search.Target[length - 1] == ' ' ||
        search.Target[length - 1] == '\t')
        Fail("a target with blanks at an end");
    if (std::string(text, size).find(search.Target) == std::string::npos)
        Fail("a target that is not in the datagram");
    if (search.MxSeconds != -1 && (search.MxSeconds < 1 || search.MxSeconds > kSsdpMaxMxSeconds))
        Fail("an MX outside 1..5");

    const unsigned types = SsdpTypesFor(search.Target, kUuid);
    SSsdpDevice device;
    device.Uuid = kUuid;
    device.Location = "http://192.168.1.20:8001/upnp/description.xml";
    for (int type = 0; type < kSsdpTypeCount; ++type)
    {
        if ((types & (1u << type)) == 0)
            continue;
        char out[kSsdpMessageCapacity];
        const size_t written = WriteSsdpSearchResponse(device, type, out, sizeof out);
        if (written == 0 || written >= sizeof out)
            Fail("an answer that does not fit");
        if (std::strcmp(search.Target, "ssdp:all") != 0 &&
            std::string(out, written).find(std::string("\r\nST: ") + search.Target + "\r\n") == std::string::npos)
            Fail("an answer whose ST is not the target");
    }
    return 0;
}
