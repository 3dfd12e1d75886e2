#include "net/AdapterList.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

DWORD ListAdapterAddresses(SAdapterAddresses& list)
{
    list.Count = 0;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    void* buffer = nullptr;
    DWORD result = ERROR_BUFFER_OVERFLOW;
    // The list can grow between two calls: ask until it fits.
    for (int attempt = 0; result == ERROR_BUFFER_OVERFLOW && attempt < 3; ++attempt)
    {
        if (buffer != nullptr)
            HeapFree(GetProcessHeap(), 0, buffer);
        buffer = HeapAlloc(GetProcessHeap(), 0, size);
        if (buffer == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        result = GetAdaptersAddresses(AF_INET, flags, nullptr, static_cast<IP_ADAPTER_ADDRESSES*>(buffer), &size);
    }
    if (result == NO_ERROR)
    {
        for (const IP_ADAPTER_ADDRESSES* adapter = static_cast<IP_ADAPTER_ADDRESSES*>(buffer); adapter != nullptr;
             adapter = adapter->Next)
        {
            if (adapter->OperStatus != IfOperStatusUp)
                continue;
            for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
                 unicast = unicast->Next)
            {
                const sockaddr* address = unicast->Address.lpSockaddr;
                if (address == nullptr || address->sa_family != AF_INET || list.Count >= kMaxListedAdapterAddresses)
                    continue;
                SAdapterAddress& item = list.Items[list.Count++];
                item.Address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
                const wchar_t* name = adapter->FriendlyName != nullptr ? adapter->FriendlyName : L"";
                lstrcpynW(item.Name, name, kAdapterNameCapacity);
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    return result;
}

void FormatIPv4(uint32_t address, wchar_t (&text)[16])
{
    wsprintfW(text, L"%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255, address & 255);
}
