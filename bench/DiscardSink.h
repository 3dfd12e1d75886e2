#pragma once
// Stands in for sendto in the benchmarks: the datagram is handed to an opaque
// barrier so the compiler must have written every byte of it, then dropped.

#include <benchmark/benchmark.h>

struct DiscardSink
{
    bool operator()(const unsigned char* datagram, int size) const
    {
        benchmark::DoNotOptimize(datagram);
        benchmark::DoNotOptimize(size);
        benchmark::ClobberMemory();
        return true;
    }
};
