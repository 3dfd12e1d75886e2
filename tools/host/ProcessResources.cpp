#include "ProcessResources.h"

#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

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
constexpr ULONG kObjectTypeInformation = 2;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr size_t kMaxTableBytes = size_t(64) << 20;

using QuerySystemFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
using QueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

template <class Fn>
Fn NtFunction(const char* name)
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name))) : nullptr;
}

// The object type's name ("Event", "File", ...) of one of this process's
// handles, or its type number when the handle cannot be asked.
std::string TypeName(USHORT handle, int typeNumber)
{
    static const QueryObjectFn query = NtFunction<QueryObjectFn>("NtQueryObject");
    // The name follows the record's UNICODE_STRING header inside the buffer.
    alignas(8) unsigned char buffer[1024];
    ULONG needed = 0;
    if (query != nullptr &&
        query(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), kObjectTypeInformation, buffer,
              sizeof buffer, &needed) >= 0)
    {
        const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
        const size_t chars = name->Length / sizeof(wchar_t);
        const auto* begin = reinterpret_cast<const unsigned char*>(name->Buffer);
        if (name->Buffer != nullptr && chars > 0 && chars < 64 && begin >= buffer &&
            begin + name->Length <= buffer + sizeof buffer)
        {
            std::string text;
            for (size_t i = 0; i < chars; ++i)
                text += name->Buffer[i] > 32 && name->Buffer[i] < 127 ? static_cast<char>(name->Buffer[i]) : '_';
            return text;
        }
    }
    return std::to_string(typeNumber);
}

// The number of this process's entries, and how many of each object type, so
// that a count that grows shows what grows.
long CountListedHandles(std::string* types)
{
    static const QuerySystemFn query = NtFunction<QuerySystemFn>("NtQuerySystemInformation");
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
    long byType[256] = {};
    USHORT example[256] = {};
    for (size_t i = 0; i < count; ++i)
    {
        if (table->entries[i].ownerPid != self)
            continue;
        ++mine;
        ++byType[table->entries[i].objectType];
        example[table->entries[i].objectType] = table->entries[i].handle;
    }
    for (int t = 0; t < 256; ++t)
        if (byType[t] != 0)
            *types += (types->empty() ? "" : ",") + TypeName(example[t], t) + ":" + std::to_string(byType[t]);
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
    r.handlesListed = CountListedHandles(&r.handleTypes);
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
