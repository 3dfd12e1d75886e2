#pragma once
// The media server's descriptions (UDA 1.1 2.3 and 2.5), at fixed paths of
// the URL server:
//
//   /upnp/description.xml        the device: MediaServer:1, its name, UDN,
//                                page, and its two services
//   /upnp/ContentDirectory.xml   that service's actions and state variables
//   /upnp/ConnectionManager.xml
//   /upnp/control/<service>      where its SOAP requests are POSTed
//   /upnp/event/<service>        eventing URL (subscriptions are refused)
//
// The service descriptions are written from tables of actions, arguments
// and state variables, not pasted templates. URLs in the device description
// are relative to its own, so they name whatever address the client reached.

#include <cstddef>

#include "discovery/NameUuid.h"

constexpr char kUpnpDescriptionPath[] = "/upnp/description.xml";

struct SUpnpDevice
{
    const char* ComputerName = "";  // UTF-8, escaped where it is written
    const char* Udn = "";           // "uuid:..." (FormatUuid)
    const char* HostPort = "";      // the page's host[:port], for presentationURL
};

constexpr size_t kUpnpDescriptionCapacity = 8192;

// Each writer behaves like snprintf (see HttpPages.h).
size_t WriteDeviceDescription(const SUpnpDevice& device, char* out, size_t capacity);

enum class EUpnpService
{
    ContentDirectory,
    ConnectionManager,
};
size_t WriteServiceDescription(EUpnpService service, char* out, size_t capacity);
