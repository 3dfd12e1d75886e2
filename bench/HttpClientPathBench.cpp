// What HTTP clients add to the traffic path, per packet, beside the module's
// own path (figure 2): the traffic thread watches every packet for the
// PAT/PMT prefix and appends each chunk to the stream's ring, which its
// clients share. Sending is the server thread's and is not timed here.
//
//   HttpPath/Observe          chunks of 7 packets through CPsiCache only
//   HttpPath/SharedRing       the same, plus the append to the one ring of
//                             the module's size (8 MiB) that every client of
//                             the stream reads, however many they are
//
// Each reports items (packets) per second; ns per packet = 1e9 / items.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "http/StreamRing.h"
#include "http/PsiCache.h"
#include "SyntheticStream.h"

namespace {

constexpr int kStreamPackets = 4200;
constexpr int kChunkPackets = 7;

const std::vector<unsigned char>& Stream()
{
    static const std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    return stream;
}

void HttpPath(benchmark::State& state)
{
    const bool clients = state.range(0) != 0;
    const std::vector<unsigned char>& stream = Stream();
    auto cache = std::make_unique<CPsiCache>();
    std::unique_ptr<CStreamRing> ring(clients ? new CStreamRing : nullptr);
    for (auto _ : state)
    {
        for (size_t offset = 0; offset < stream.size(); offset += kChunkPackets * kTsPacketSize)
        {
            cache->ObservePackets(&stream[offset], kChunkPackets);
            if (ring != nullptr)
                ring->AppendPackets(&stream[offset], kChunkPackets);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kStreamPackets);
}

} // namespace

BENCHMARK(HttpPath)->Name("HttpPath/Observe")->Arg(0);
BENCHMARK(HttpPath)->Name("HttpPath/SharedRing")->Arg(1);

BENCHMARK_MAIN();
