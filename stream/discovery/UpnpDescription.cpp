#include "discovery/UpnpDescription.h"

#include "discovery/XmlElement.h"

namespace {
struct SArgument
{
    const char* Name;
    bool Out;
    const char* Variable; // relatedStateVariable
};

struct SAction
{
    const char* Name;
    const SArgument* Arguments;
    int nArguments;
};

struct SStateVariable
{
    const char* Name;
    const char* Type;
    bool Events;
    const char* const* Allowed; // allowedValueList, null-terminated; null for none
};

struct SService
{
    const char* Name;           // "ContentDirectory"
    const SAction* Actions;
    int nActions;
    const SStateVariable* Variables;
    int nVariables;
};

template <typename T, int N>
constexpr int Count(const T (&)[N])
{
    return N;
}

// ContentDirectory:1
constexpr SArgument kBrowse[] = {
    {"ObjectID", false, "A_ARG_TYPE_ObjectID"},      {"BrowseFlag", false, "A_ARG_TYPE_BrowseFlag"},
    {"Filter", false, "A_ARG_TYPE_Filter"},          {"StartingIndex", false, "A_ARG_TYPE_Index"},
    {"RequestedCount", false, "A_ARG_TYPE_Count"},   {"SortCriteria", false, "A_ARG_TYPE_SortCriteria"},
    {"Result", true, "A_ARG_TYPE_Result"},           {"NumberReturned", true, "A_ARG_TYPE_Count"},
    {"TotalMatches", true, "A_ARG_TYPE_Count"},      {"UpdateID", true, "A_ARG_TYPE_UpdateID"},
};
constexpr SArgument kSearchCaps[] = {{"SearchCaps", true, "SearchCapabilities"}};
constexpr SArgument kSortCaps[] = {{"SortCaps", true, "SortCapabilities"}};
constexpr SArgument kUpdateId[] = {{"Id", true, "SystemUpdateID"}};
constexpr SArgument kFeatureList[] = {{"FeatureList", true, "A_ARG_TYPE_Featurelist"}};
constexpr SAction kDirectoryActions[] = {
    {"GetSearchCapabilities", kSearchCaps, Count(kSearchCaps)},
    {"GetSortCapabilities", kSortCaps, Count(kSortCaps)},
    {"GetSystemUpdateID", kUpdateId, Count(kUpdateId)},
    {"Browse", kBrowse, Count(kBrowse)},
    {"X_GetFeatureList", kFeatureList, Count(kFeatureList)},
};
constexpr const char* kBrowseFlags[] = {"BrowseMetadata", "BrowseDirectChildren", nullptr};
constexpr SStateVariable kDirectoryVariables[] = {
    {"SearchCapabilities", "string", false, nullptr},
    {"SortCapabilities", "string", false, nullptr},
    {"SystemUpdateID", "ui4", true, nullptr},
    {"A_ARG_TYPE_ObjectID", "string", false, nullptr},
    {"A_ARG_TYPE_Result", "string", false, nullptr},
    {"A_ARG_TYPE_BrowseFlag", "string", false, kBrowseFlags},
    {"A_ARG_TYPE_Filter", "string", false, nullptr},
    {"A_ARG_TYPE_SortCriteria", "string", false, nullptr},
    {"A_ARG_TYPE_Index", "ui4", false, nullptr},
    {"A_ARG_TYPE_Count", "ui4", false, nullptr},
    {"A_ARG_TYPE_UpdateID", "ui4", false, nullptr},
    {"A_ARG_TYPE_Featurelist", "string", false, nullptr},
};

// ConnectionManager:1
constexpr SArgument kProtocolInfo[] = {{"Source", true, "SourceProtocolInfo"}, {"Sink", true, "SinkProtocolInfo"}};
constexpr SArgument kConnectionIds[] = {{"ConnectionIDs", true, "CurrentConnectionIDs"}};
constexpr SArgument kConnectionInfo[] = {
    {"ConnectionID", false, "A_ARG_TYPE_ConnectionID"},
    {"RcsID", true, "A_ARG_TYPE_RcsID"},
    {"AVTransportID", true, "A_ARG_TYPE_AVTransportID"},
    {"ProtocolInfo", true, "A_ARG_TYPE_ProtocolInfo"},
    {"PeerConnectionManager", true, "A_ARG_TYPE_ConnectionManager"},
    {"PeerConnectionID", true, "A_ARG_TYPE_ConnectionID"},
    {"Direction", true, "A_ARG_TYPE_Direction"},
    {"Status", true, "A_ARG_TYPE_ConnectionStatus"},
};
constexpr SAction kConnectionActions[] = {
    {"GetProtocolInfo", kProtocolInfo, Count(kProtocolInfo)},
    {"GetCurrentConnectionIDs", kConnectionIds, Count(kConnectionIds)},
    {"GetCurrentConnectionInfo", kConnectionInfo, Count(kConnectionInfo)},
};
constexpr const char* kStatuses[] = {"OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel",
                                     "Unknown", nullptr};
constexpr const char* kDirections[] = {"Input", "Output", nullptr};
constexpr SStateVariable kConnectionVariables[] = {
    {"SourceProtocolInfo", "string", true, nullptr},
    {"SinkProtocolInfo", "string", true, nullptr},
    {"CurrentConnectionIDs", "string", true, nullptr},
    {"A_ARG_TYPE_ConnectionStatus", "string", false, kStatuses},
    {"A_ARG_TYPE_ConnectionManager", "string", false, nullptr},
    {"A_ARG_TYPE_Direction", "string", false, kDirections},
    {"A_ARG_TYPE_ProtocolInfo", "string", false, nullptr},
    {"A_ARG_TYPE_ConnectionID", "i4", false, nullptr},
    {"A_ARG_TYPE_AVTransportID", "i4", false, nullptr},
    {"A_ARG_TYPE_RcsID", "i4", false, nullptr},
};

constexpr SService kServices[] = {
    {"ContentDirectory", kDirectoryActions, Count(kDirectoryActions), kDirectoryVariables, Count(kDirectoryVariables)},
    {"ConnectionManager", kConnectionActions, Count(kConnectionActions), kConnectionVariables,
     Count(kConnectionVariables)},
};

void PutServiceEntry(CTextWriter& writer, const SService& service)
{
    writer.Put("<service><serviceType>urn:schemas-upnp-org:service:");
    writer.Put(service.Name);
    writer.Put(":1</serviceType><serviceId>urn:upnp-org:serviceId:");
    writer.Put(service.Name);
    writer.Put("</serviceId><SCPDURL>/upnp/");
    writer.Put(service.Name);
    writer.Put(".xml</SCPDURL><controlURL>/upnp/control/");
    writer.Put(service.Name);
    writer.Put("</controlURL><eventSubURL>/upnp/event/");
    writer.Put(service.Name);
    writer.Put("</eventSubURL></service>");
}
} // namespace

size_t WriteDeviceDescription(const SUpnpDevice& device, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
               "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">"
               "<specVersion><major>1</major><minor>1</minor></specVersion><device>"
               "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>"
               "<friendlyName>Tovrin TS Streamer (");
    writer.PutMarkupEscaped(device.ComputerName);
    writer.Put(")</friendlyName>");
    PutXmlElement(writer, "manufacturer", "Tovrin", EXmlText::AsIs);
    PutXmlElement(writer, "modelName", "Tovrin TS Streamer", EXmlText::AsIs);
    PutXmlElement(writer, "modelNumber", "2.5", EXmlText::AsIs);
    PutXmlElement(writer, "dlna:X_DLNADOC", "DMS-1.50", EXmlText::AsIs);
    PutXmlElement(writer, "UDN", device.Udn, EXmlText::AsIs);
    writer.Put("<presentationURL>http://");
    writer.Put(device.HostPort);
    writer.Put("/</presentationURL><serviceList>");
    for (const SService& service : kServices)
        PutServiceEntry(writer, service);
    writer.Put("</serviceList></device></root>\n");
    return writer.Length();
}

size_t WriteServiceDescription(EUpnpService which, char* out, size_t capacity)
{
    const SService& service = kServices[which == EUpnpService::ContentDirectory ? 0 : 1];
    CTextWriter writer(out, capacity);
    writer.Put("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
               "<specVersion><major>1</major><minor>1</minor></specVersion><actionList>");
    for (int a = 0; a < service.nActions; ++a)
    {
        const SAction& action = service.Actions[a];
        writer.Put("<action>");
        PutXmlElement(writer, "name", action.Name, EXmlText::AsIs);
        writer.Put("<argumentList>");
        for (int i = 0; i < action.nArguments; ++i)
        {
            const SArgument& argument = action.Arguments[i];
            writer.Put("<argument>");
            PutXmlElement(writer, "name", argument.Name, EXmlText::AsIs);
            PutXmlElement(writer, "direction", argument.Out ? "out" : "in", EXmlText::AsIs);
            PutXmlElement(writer, "relatedStateVariable", argument.Variable, EXmlText::AsIs);
            writer.Put("</argument>");
        }
        writer.Put("</argumentList></action>");
    }
    writer.Put("</actionList><serviceStateTable>");
    for (int v = 0; v < service.nVariables; ++v)
    {
        const SStateVariable& variable = service.Variables[v];
        writer.Put(variable.Events ? "<stateVariable sendEvents=\"yes\">" : "<stateVariable sendEvents=\"no\">");
        PutXmlElement(writer, "name", variable.Name, EXmlText::AsIs);
        PutXmlElement(writer, "dataType", variable.Type, EXmlText::AsIs);
        if (variable.Allowed != nullptr)
        {
            writer.Put("<allowedValueList>");
            for (const char* const* value = variable.Allowed; *value != nullptr; ++value)
                PutXmlElement(writer, "allowedValue", *value, EXmlText::AsIs);
            writer.Put("</allowedValueList>");
        }
        writer.Put("</stateVariable>");
    }
    writer.Put("</serviceStateTable></scpd>\n");
    return writer.Length();
}
