// Runs a fixed amount of traffic through the module's path or through the
// copy floor, for counting instructions with callgrind. Two runs that differ
// only in the number of passes give instructions per packet without the
// start-up (bench/run.sh does the subtraction). The same program built for
// Windows times itself under Wine, where the lock is a real critical section.
//
//   tovrin-traffic-driver module|floor packets|bytes N BLOCK PASSES
//
// BLOCK is in packets for the "packets" feed and in bytes for "bytes"; one
// pass is the 4200-packet stream of the Google Benchmark.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CopyFloor.h"
#include "SyntheticStream.h"
#include "TrafficPathWriter.h"

namespace {

constexpr int kStreamPackets = 4200;

// The same barrier as the benchmark's sink, without its library.
struct DiscardSink
{
    bool operator()(const unsigned char* datagram, int size) const
    {
        asm volatile("" : : "r"(datagram), "r"(size) : "memory");
        return true;
    }
};

int Usage()
{
    std::fprintf(stderr, "usage: tovrin-traffic-driver module|floor packets|bytes N BLOCK PASSES\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6)
        return Usage();
    const bool module = std::strcmp(argv[1], "module") == 0;
    const bool packets = std::strcmp(argv[2], "packets") == 0;
    const int n = std::atoi(argv[3]);
    const int blockArg = std::atoi(argv[4]);
    const int passes = std::atoi(argv[5]);
    if ((!module && std::strcmp(argv[1], "floor") != 0) || (!packets && std::strcmp(argv[2], "bytes") != 0) ||
        n < 1 || n > kMaxPacketsPerChunk || blockArg < 1 || passes < 0)
        return Usage();
    const int block = packets ? blockArg * kTsPacketSize : blockArg;

    std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    unsigned sequence = 0;
    const auto start = std::chrono::steady_clock::now();
    if (module)
    {
        CTrafficPathWriter<DiscardSink> writer(n);
        writer.Start();
        for (int pass = 0; pass < passes; ++pass)
            ForEachBlock(stream, block, [&](unsigned char* data, int length) {
                if (packets)
                    writer.ReceiveTraffic(data, length);
                else
                    writer.ReceiveNotAlignedTraffic(data, length);
            });
        sequence = writer.NextSequence();
    }
    else
    {
        CCopyFloor<DiscardSink> floor(n);
        for (int pass = 0; pass < passes; ++pass)
            ForEachBlock(stream, block, [&](unsigned char* data, int length) {
                if (packets)
                    floor.FeedPackets(data, length);
                else
                    floor.FeedBytes(data, length);
            });
        sequence = floor.NextSequence();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long fed = static_cast<long long>(passes) * kStreamPackets;
    if (sequence != static_cast<unsigned>(static_cast<uint16_t>(fed / n)))
    {
        std::fprintf(stderr, "datagram count %u does not match %lld packets at N=%d\n", sequence, fed, n);
        return 1;
    }
    std::printf("packets=%lld next_sequence=%u seconds=%.6f ns_per_packet=%.3f\n", fed, sequence, seconds,
                fed > 0 ? seconds * 1e9 / static_cast<double>(fed) : 0.0);
    return 0;
}
