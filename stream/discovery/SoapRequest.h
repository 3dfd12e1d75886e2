#pragma once
// A UPnP control request (UDA 1.1, 3.2): a SOAP 1.1 envelope whose body
// holds one action element in the service's namespace, with one element per
// argument holding text:
//
//   <?xml version="1.0"?>
//   <s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="...">
//     <s:Body>
//       <u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">
//         <ObjectID>0</ObjectID> ...
//       </u:Browse>
//     </s:Body>
//   </s:Envelope>
//
// The body comes from the network and is hostile: it is read within
// kSoapBodyMaxSize bytes, by a parser that knows only this shape. No DTD,
// comment, CDATA or processing instruction is accepted (an XML declaration
// at the very start is), so no entity is ever defined; the five predefined
// references and character references are decoded, any other reference is
// refused. Names, values, namespaces and nesting are bounded; nothing is
// allocated. A Header element is allowed and skipped.

#include <cstddef>
#include <cstdint>

constexpr size_t kSoapBodyMaxSize = 16384;    // a Browse is some 600 bytes
constexpr size_t kSoapNameCapacity = 64;      // action and argument names, NUL included
constexpr size_t kSoapValueCapacity = 1024;   // an argument's decoded value, NUL included
constexpr int kSoapMaxArguments = 10;         // Browse has six
constexpr int kSoapMaxDepth = 8;              // Envelope, Body, action, argument, and a Header's inside
constexpr int kSoapMaxNamespaces = 16;        // declarations in scope at once

enum class ESoapService : uint8_t
{
    Unknown,          // another namespace: UPnP error 401
    ContentDirectory, // urn:schemas-upnp-org:service:ContentDirectory:1
    ConnectionManager // urn:schemas-upnp-org:service:ConnectionManager:1
};

enum class ESoapParse : uint8_t
{
    Request,   // see SSoapRequest
    Malformed, // not well-formed, not this shape, or beyond a bound: 400 / UPnP 402
    TooLarge,  // more than kSoapBodyMaxSize bytes: 413
};

struct SSoapArgument
{
    char Name[kSoapNameCapacity];   // the element's local name
    char Value[kSoapValueCapacity]; // its text, references decoded, UTF-8
};

struct SSoapRequest
{
    ESoapService Service = ESoapService::Unknown;
    char Action[kSoapNameCapacity] = {};   // the action element's local name
    int nArguments = 0;
    SSoapArgument Arguments[kSoapMaxArguments];
};

// Parses a whole request body of `size` bytes; `request` holds the action
// only on Request. An argument that appears twice is malformed.
ESoapParse ParseSoapRequest(const char* data, size_t size, SSoapRequest& request);

// The value of argument `name`, or null when the request has none.
const char* SoapArgument(const SSoapRequest& request, const char* name);
