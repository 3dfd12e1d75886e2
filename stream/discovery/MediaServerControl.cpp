#include "discovery/MediaServerControl.h"

#include <cstring>

#include "discovery/XmlElement.h"

namespace {
constexpr char kEnvelopeHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>";
constexpr char kEnvelopeTail[] = "</s:Body></s:Envelope>\n";

// The feature list those TVs ask for: both kinds of items under the root.
constexpr char kFeatureList[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><Features xmlns=\"urn:schemas-upnp-org:av:avs\">"
    "<Feature name=\"samsung.com_BASICVIEW\" version=\"1\">"
    "<container id=\"0\" type=\"object.item.videoItem\"/><container id=\"0\" type=\"object.item.audioItem\"/>"
    "</Feature></Features>";

enum EUpnpError
{
    kInvalidAction = 401,
    kInvalidArgs = 402,
    kNoSuchObject = 701,
    kInvalidConnection = 706,
    kNoSuchContainer = 710,
};

const char* ErrorText(int error)
{
    switch (error)
    {
    case kInvalidAction: return "Invalid Action";
    case kInvalidArgs: return "Invalid Args";
    case kNoSuchObject: return "No such object";
    case kInvalidConnection: return "Invalid connection reference";
    case kNoSuchContainer: return "No such container";
    default: return "Action Failed";
    }
}

const char* ServiceType(ESoapService service)
{
    return service == ESoapService::ContentDirectory ? "urn:schemas-upnp-org:service:ContentDirectory:1"
                                                     : "urn:schemas-upnp-org:service:ConnectionManager:1";
}

// A ui4 argument: decimal digits, at most 4294967295.
bool ReadUnsigned(const char* text, uint32_t& value)
{
    if (text == nullptr || text[0] == 0)
        return false;
    uint64_t v = 0;
    for (const char* c = text; *c != 0; ++c)
    {
        if (*c < '0' || *c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(*c - '0');
        if (v > 0xFFFFFFFFu)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

// "<u:ActionResponse xmlns:u=...>" ... "</u:ActionResponse>" around `body`.
template <typename Body>
void PutResponse(CTextWriter& writer, const SSoapRequest& request, Body body)
{
    writer.Put(kEnvelopeHead);
    writer.Put("<u:");
    writer.Put(request.Action);
    writer.Put("Response xmlns:u=\"");
    writer.Put(ServiceType(request.Service));
    writer.Put("\">");
    body();
    writer.Put("</u:");
    writer.Put(request.Action);
    writer.Put("Response>");
    writer.Put(kEnvelopeTail);
}

void PutFault(CTextWriter& writer, int error)
{
    writer.Put(kEnvelopeHead);
    writer.Put("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
               "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>");
    writer.PutDecimal(static_cast<uint64_t>(error));
    writer.Put("</errorCode><errorDescription>");
    writer.Put(ErrorText(error));
    writer.Put("</errorDescription></UPnPError></detail></s:Fault>");
    writer.Put(kEnvelopeTail);
}

bool Is(const SSoapRequest& request, const char* action)
{
    return std::strcmp(request.Action, action) == 0;
}

// Browse: 0 and the answer written, or the UPnP error to answer with.
int Browse(const SSoapRequest& request, const SMediaServerState& state, SDidlScratch& scratch, CTextWriter& writer)
{
    const char* objectId = SoapArgument(request, "ObjectID");
    const char* flag = SoapArgument(request, "BrowseFlag");
    uint32_t start = 0, count = 0;
    if (objectId == nullptr || flag == nullptr || !ReadUnsigned(SoapArgument(request, "StartingIndex"), start) ||
        !ReadUnsigned(SoapArgument(request, "RequestedCount"), count))
        return kInvalidArgs;
    bool children;
    if (std::strcmp(flag, "BrowseDirectChildren") == 0)
        children = true;
    else if (std::strcmp(flag, "BrowseMetadata") == 0)
        children = false;
    else
        return kInvalidArgs;
    if (!children && start != 0)
        return kInvalidArgs;

    // An unknown object is found only inside the answer: its fault is then
    // written over it from the beginning.
    SBrowseCounts counts;
    EBrowse outcome = EBrowse::Found;
    PutResponse(writer, request, [&]() {
        writer.Put("<Result>");
        outcome = WriteBrowseResult(state.Library, objectId, children, start, count, kBrowseResultBudget, scratch,
                                    writer, counts);
        writer.Put("</Result>");
        PutXmlNumber(writer, "NumberReturned", counts.Returned);
        PutXmlNumber(writer, "TotalMatches", counts.Total);
        PutXmlNumber(writer, "UpdateID", state.SystemUpdateId);
    });
    if (outcome == EBrowse::NoSuchObject)
        return kNoSuchObject;
    if (outcome == EBrowse::NoSuchContainer)
        return kNoSuchContainer;
    return 0;
}

int ContentDirectory(const SSoapRequest& request, const SMediaServerState& state, SDidlScratch& scratch,
                     CTextWriter& writer)
{
    if (Is(request, "Browse"))
        return Browse(request, state, scratch, writer);
    if (Is(request, "GetSearchCapabilities"))
        PutResponse(writer, request, [&]() { PutXmlElement(writer, "SearchCaps", "", EXmlText::AsIs); });
    else if (Is(request, "GetSortCapabilities"))
        PutResponse(writer, request, [&]() { PutXmlElement(writer, "SortCaps", "", EXmlText::AsIs); });
    else if (Is(request, "GetSystemUpdateID"))
        PutResponse(writer, request, [&]() { PutXmlNumber(writer, "Id", state.SystemUpdateId); });
    else if (Is(request, "X_GetFeatureList"))
        PutResponse(writer, request, [&]() {
            writer.Put("<FeatureList>");
            writer.PutMarkupEscaped(kFeatureList);
            writer.Put("</FeatureList>");
        });
    else
        return kInvalidAction;
    return 0;
}

int ConnectionManager(const SSoapRequest& request, const SMediaServerState& state, CTextWriter& writer)
{
    if (Is(request, "GetProtocolInfo"))
        PutResponse(writer, request, [&]() {
            writer.Put("<Source>");
            PutSourceProtocolInfo(state.Library, writer);  // no markup characters in it
            writer.Put("</Source><Sink></Sink>");
        });
    else if (Is(request, "GetCurrentConnectionIDs"))
        PutResponse(writer, request, [&]() { PutXmlElement(writer, "ConnectionIDs", "0", EXmlText::AsIs); });
    else if (Is(request, "GetCurrentConnectionInfo"))
    {
        const char* id = SoapArgument(request, "ConnectionID");
        if (id == nullptr)
            return kInvalidArgs;
        if (std::strcmp(id, "0") != 0)
            return kInvalidConnection;
        PutResponse(writer, request, [&]() {
            writer.Put("<RcsID>-1</RcsID><AVTransportID>-1</AVTransportID><ProtocolInfo></ProtocolInfo>"
                       "<PeerConnectionManager></PeerConnectionManager><PeerConnectionID>-1</PeerConnectionID>"
                       "<Direction>Output</Direction><Status>OK</Status>");
        });
    }
    else
        return kInvalidAction;
    return 0;
}
} // namespace

size_t WriteSoapAnswer(const SSoapRequest& request, const SMediaServerState& state, SDidlScratch& scratch,
                       char* out, size_t capacity, int& httpStatus)
{
    CTextWriter writer(out, capacity);
    int error = kInvalidAction;
    if (request.Service == ESoapService::ContentDirectory)
        error = ContentDirectory(request, state, scratch, writer);
    else if (request.Service == ESoapService::ConnectionManager)
        error = ConnectionManager(request, state, writer);
    httpStatus = error == 0 ? 200 : 500;
    if (error == 0)
        return writer.Length();
    return WriteSoapFault(error, out, capacity);
}

size_t WriteSoapFault(int upnpError, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    PutFault(writer, upnpError);
    return writer.Length();
}
