#pragma once
// What this process holds, for long runs that must show it does not grow.
// Each figure comes from the system's own view; under Wine some calls answer
// 0, so the handle count and the private memory are each read two ways.

#include <cstdint>
#include <string>

struct ProcessResources
{
    long handles = -1;                // GetProcessHandleCount; -1 when it fails
    long handlesListed = -1;          // this process's entries in the system's handle table; -1 when unavailable
    std::string handleTypes;          // those entries by object type, "Event:4,File:27,..."
    uint64_t privateUsage = 0;        // GetProcessMemoryInfo's PrivateUsage
    uint64_t privateCommitted = 0;    // committed private pages, summed over the address space
    uint64_t workingSet = 0;
};

ProcessResources ReadProcessResources();
