#include "ProcessResources.h"

#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>

namespace
{
// The system handle table as NtQuerySystemInformation returns it (class 16).
struct HandleEntry
{
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable
{
    ULONG count;
    HandleEntry entries[1];
};
static_assert(sizeof(HandleEntry) == 24, "64-bit layout of a system handle entry");
static_assert(offsetof(HandleTable, entries) == 8, "entries follow the count at 8");

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr size_t kMaxTableBytes = size_t(64) << 20;

using QuerySystemFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

long CountListedHandles()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll ? reinterpret_cast<QuerySystemFn>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                             : nullptr;
    if (query == nullptr)
        return -1;
    std::vector<unsigned char> buffer(size_t(1) << 16);
    for (;;)
    {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch && buffer.size() < kMaxTableBytes)
        {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status < 0)
            return -1;
        break;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const size_t fits = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
    const size_t count = table->count < fits ? table->count : fits;
    const ULONG self = GetCurrentProcessId();
    long mine = 0;
    for (size_t i = 0; i < count; ++i)
        mine += table->entries[i].ownerPid == self;
    return mine;
}

uint64_t CommittedPrivateBytes()
{
    uint64_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return total;
}
}  // namespace

ProcessResources ReadProcessResources()
{
    ProcessResources r;
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        r.handles = static_cast<long>(handles);
    r.handlesListed = CountListedHandles();
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory))
    {
        r.privateUsage = memory.PrivateUsage;
        r.workingSet = memory.WorkingSetSize;
    }
    r.privateCommitted = CommittedPrivateBytes();
    return r;
}
