#pragma once
// The media server's answers to control requests (UDA 1.1 3.2.2, 3.2.3):
// a SOAP envelope holding "<action>Response" with the out arguments, or a
// fault with a UPnP error code (HTTP 500).
//
// ContentDirectory:1  Browse, GetSearchCapabilities (none), GetSortCapabilities
//                     (none), GetSystemUpdateID, X_GetFeatureList (some TVs
//                     list nothing until it is answered)
// ConnectionManager:1 GetProtocolInfo, GetCurrentConnectionIDs ("0"),
//                     GetCurrentConnectionInfo (of connection 0)
//
// Errors: 401 an action (or service) not known, 402 an argument missing or
// not of its type, 701 no such object, 706 no such connection, 710 no such
// container.

#include <cstddef>
#include <cstdint>

#include "discovery/DidlLite.h"
#include "discovery/SoapRequest.h"

struct SMediaServerState
{
    SMediaLibrary Library;
    uint32_t SystemUpdateId = 1;  // ProgramListUpdateId
};

// Largest answer: a Browse result within kBrowseResultBudget and its
// envelope; other answers are far smaller.
constexpr size_t kBrowseResultBudget = 256 * 1024;
constexpr size_t kSoapAnswerCapacity = kBrowseResultBudget + 2048;

// Writes the answer to `request` into `out`; behaves like snprintf (see
// HttpPages.h). `httpStatus` is 200 for an answer, 500 for a fault.
size_t WriteSoapAnswer(const SSoapRequest& request, const SMediaServerState& state, SDidlScratch& scratch,
                       char* out, size_t capacity, int& httpStatus);

// The fault for a body that did not parse (402: the arguments could not be read).
size_t WriteSoapFault(int upnpError, char* out, size_t capacity);
