// libFuzzer target for the media server's control requests: a SOAP body as
// a client POSTs it reaches ParseSoapRequest.
//
// Input layout: the whole input is the body as received; the same bytes are
// also put, as an ObjectID's text, inside a well-formed Browse request.
//
// Checked: an accepted request has an action name and arguments of name
// characters only, each value valid where its length says (no NUL inside),
// no argument twice; accepting does not depend on bytes beyond the body (the
// same body followed by a byte it cannot end with is refused); the
// embedded bytes either parse as one ObjectID whose value holds no '<', or
// the request is refused, never taken as another action.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "discovery/SoapRequest.h"

namespace {

void Fail(const char* message)
{
    std::fprintf(stderr, "soap_fuzz: %s\n", message);
    std::abort();
}

bool IsName(const char* text)
{
    if (text[0] == 0)
        return false;
    for (; *text != 0; ++text)
    {
        const unsigned char c = static_cast<unsigned char>(*text);
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '.' || c >= 0x80))
            return false;
    }
    return true;
}

void CheckRequest(const SSoapRequest& request)
{
    if (!IsName(request.Action) || request.nArguments < 0 || request.nArguments > kSoapMaxArguments)
        Fail("an action name or argument count out of bounds");
    for (int i = 0; i < request.nArguments; ++i)
    {
        const SSoapArgument& argument = request.Arguments[i];
        if (!IsName(argument.Name) || strnlen(argument.Value, kSoapValueCapacity) >= kSoapValueCapacity)
            Fail("an argument name or value out of bounds");
        for (int k = 0; k < i; ++k)
            if (std::strcmp(request.Arguments[k].Name, argument.Name) == 0)
                Fail("an argument twice");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::unique_ptr<SSoapRequest> request(new SSoapRequest);
    const char* text = reinterpret_cast<const char*>(data);
    const ESoapParse outcome = ParseSoapRequest(text, size, *request);
    if (outcome == ESoapParse::TooLarge && size <= kSoapBodyMaxSize)
        Fail("a body within the bound called too large");
    if (outcome == ESoapParse::Request)
    {
        CheckRequest(*request);
        const std::string longer = std::string(text, size) + "<";
        if (longer.size() <= kSoapBodyMaxSize && ParseSoapRequest(longer.data(), longer.size(), *request) != ESoapParse::Malformed)
            Fail("a body followed by '<' accepted");
    }

    const std::string embedded =
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
        "<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>" +
        std::string(text, size) + "</ObjectID></u:Browse></s:Body></s:Envelope>";
    if (ParseSoapRequest(embedded.data(), embedded.size(), *request) == ESoapParse::Request)
    {
        CheckRequest(*request);
        if (std::strcmp(request->Action, "Browse") != 0 || request->Service != ESoapService::ContentDirectory ||
            request->nArguments != 1 || std::strcmp(request->Arguments[0].Name, "ObjectID") != 0 ||
            std::strchr(request->Arguments[0].Value, '<') != nullptr && std::memchr(data, '&', size) == nullptr)
            Fail("embedded text changed the request's shape");
    }
    return 0;
}
