#pragma once
// This PC's IPv4 addresses by adapter, as the system lists them, for the
// dialogs' choices of where to listen or send from.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

constexpr int kMaxListedAdapterAddresses = 32;
constexpr int kAdapterNameCapacity = 64;  // a longer friendly name is cut

struct SAdapterAddress
{
    wchar_t Name[kAdapterNameCapacity];  // the adapter's friendly name
    uint32_t Address;                    // host order
};

struct SAdapterAddresses
{
    int Count = 0;
    SAdapterAddress Items[kMaxListedAdapterAddresses];
};

// Every IPv4 unicast address of every adapter that is up (loopback
// included), at most kMaxListedAdapterAddresses. A system error leaves the
// list empty and is returned.
DWORD ListAdapterAddresses(SAdapterAddresses& list);

// "192.168.1.20"
void FormatIPv4(uint32_t address, wchar_t (&text)[16]);
