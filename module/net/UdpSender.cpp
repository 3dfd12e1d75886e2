#include "net/UdpSender.h"

#include <iphlpapi.h>
#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "net/SocketErrorText.h"

// ws2tcpip.h numbers, not the old winsock.h ones (IP_TTL 7, IP_MULTICAST_IF 2).
static_assert(IP_TTL == 4 && IP_MULTICAST_IF == 9 && IP_MULTICAST_TTL == 10, "Winsock 2 option numbers");

namespace
{
// Short: the dialog's line shows some 70 characters, 34 of them before it.
constexpr wchar_t kNoSuchInterface[] = L"no interface of this PC has it";
constexpr ULONG kAddressTableStackBytes = 4096;  // 170 addresses; more go to the heap

// The source address refused: `reason` may itself be a format taking one number.
void Refuse(SendRefusalText& refusal, const SSendOptions& options, const wchar_t* reason, long number = 0)
{
    wchar_t why[kSendRefusalCapacity];
    wsprintfW(why, reason, number);
    wsprintfW(refusal, L"Cannot send from %s: %s", options.szLocalAddress, why);
}

uint32_t NetworkOrder(const uint8_t (&octets)[4])
{
    uint32_t value;
    std::memcpy(&value, octets, sizeof value);
    return value;
}

// The system's reason, cut to what the text holds.
void RefuseSocket(SendRefusalText& refusal, int error)
{
    constexpr wchar_t kPrefix[] = L"Cannot open a socket: ";
    static_assert(sizeof kPrefix / sizeof kPrefix[0] < kSendRefusalCapacity, "room for a reason");
    wchar_t reason[kReasonCapacity];
    DescribeSocketError(error, reason);
    int length = 0;
    for (const wchar_t* part : {kPrefix, static_cast<const wchar_t*>(reason)})
        for (int i = 0; part[i] != 0 && length < kSendRefusalCapacity - 1; ++i)
            refusal[length++] = part[i];
    refusal[length] = 0;
}

int SetIntOption(SOCKET s, int level, int name, int value)
{
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}
}  // namespace

DWORD VisitAddressesOfThisMachine(bool (*visit)(uint32_t address, void* context), void* context)
{
    alignas(MIB_IPADDRTABLE) unsigned char local[kAddressTableStackBytes];
    MIB_IPADDRTABLE* table = reinterpret_cast<MIB_IPADDRTABLE*>(local);
    ULONG size = sizeof local;
    DWORD result = GetIpAddrTable(table, &size, FALSE);
    void* heap = nullptr;
    // The table can grow between the two calls: ask until it fits.
    for (int attempt = 0; result == ERROR_INSUFFICIENT_BUFFER && attempt < 3; ++attempt)
    {
        if (heap != nullptr)
            HeapFree(GetProcessHeap(), 0, heap);
        heap = HeapAlloc(GetProcessHeap(), 0, size);
        if (heap == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        table = static_cast<MIB_IPADDRTABLE*>(heap);
        result = GetIpAddrTable(table, &size, FALSE);
    }
    if (result == NO_ERROR)
        for (DWORD i = 0; i < table->dwNumEntries; ++i)
            if (!visit(table->table[i].dwAddr, context))
                break;
    if (heap != nullptr)
        HeapFree(GetProcessHeap(), 0, heap);
    return result;
}

namespace
{
DWORD FindAddressOfThisMachine(uint32_t address, bool* found)
{
    struct SSearch
    {
        uint32_t Address;
        bool Found;
    } search = {address, false};
    const DWORD result = VisitAddressesOfThisMachine(
        [](uint32_t candidate, void* context) {
            SSearch& s = *static_cast<SSearch*>(context);
            s.Found = candidate == s.Address;
            return !s.Found;
        },
        &search);
    *found = search.Found;
    return result;
}
}  // namespace

bool CheckAddressOfThisMachine(const wchar_t* action, const wchar_t* written, const uint8_t (&address)[4],
                               bool malformed, SendRefusalText& refusal)
{
    refusal[0] = 0;
    bool found = false;
    const DWORD error = malformed ? NO_ERROR : FindAddressOfThisMachine(NetworkOrder(address), &found);
    if (found)
        return true;
    wchar_t why[kSendRefusalCapacity];
    if (error != NO_ERROR)
        wsprintfW(why, L"the interface list failed (error %ld)", static_cast<long>(error));
    else
        wsprintfW(why, L"%s", kNoSuchInterface);
    wsprintfW(refusal, L"%s %s: %s", action, written, why);
    return false;
}

bool CheckLocalAddress(const SSendOptions& options, SendRefusalText& refusal)
{
    refusal[0] = 0;
    return options.HasLocalAddress == 0 ||
           CheckAddressOfThisMachine(L"Cannot send from", options.szLocalAddress, options.LocalAddress, false, refusal);
}

SOCKET OpenUdpSender(const SSendOptions& options, const sockaddr_in& destination, SendRefusalText& refusal)
{
    refusal[0] = 0;
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
    {
        RefuseSocket(refusal, WSAGetLastError());
        return INVALID_SOCKET;
    }

    uint8_t group[4];
    std::memcpy(group, &destination.sin_addr, sizeof group);
    const bool multicast = IsMulticastAddress(group);

    if (options.HasLocalAddress != 0)
    {
        sockaddr_in source;
        std::memset(&source, 0, sizeof source);
        source.sin_family = AF_INET;
        source.sin_port = 0;
        std::memcpy(&source.sin_addr, options.LocalAddress, sizeof options.LocalAddress);
        if (bind(s, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
        {
            Refuse(refusal, options, L"bind failed (error %ld)", static_cast<long>(WSAGetLastError()));
            closesocket(s);
            return INVALID_SOCKET;
        }
        // Without this a group goes out through the interface of the default
        // route, whatever address the socket is bound to.
        if (multicast && setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&source.sin_addr),
                                    sizeof source.sin_addr) != 0)
        {
            Refuse(refusal, options, L"multicast refused (error %ld)",
                   static_cast<long>(WSAGetLastError()));
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    // The multicast TTL and the unicast TTL are separate options; each
    // destination obeys only its own.
    if (options.Ttl > 0)
        SetIntOption(s, IPPROTO_IP, multicast ? IP_MULTICAST_TTL : IP_TTL, options.Ttl);
    if (options.SendBufferSize > 0)
        SetIntOption(s, SOL_SOCKET, SO_SNDBUF, options.SendBufferSize);
    // Without it a send to 255.255.255.255 or to a subnet's broadcast address
    // fails with WSAEACCES.
    SetIntOption(s, SOL_SOCKET, SO_BROADCAST, 1);
    return s;
}

void RouteSourceAddress(const sockaddr_in& destination, uint8_t (&address)[4])
{
    std::memset(address, 0, 4);
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET)
        return;
    sockaddr_in local{};
    int length = sizeof local;
    if (connect(probe, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        std::memcpy(address, &local.sin_addr, 4);
    closesocket(probe);
}
