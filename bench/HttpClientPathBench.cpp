// What HTTP clients add to the traffic path, per packet, beside the module's
// own path (figure 2): the traffic thread watches every packet for the
// PAT/PMT prefix and appends each chunk to every client's ring. Sending is
// the server thread's and is not timed here.
//
//   HttpPath/Observe          chunks of 7 packets through CPsiCache only
//   HttpPath/Clients/C        the same, plus an append to each of C rings of
//                             the module's size (8 MiB), drained (without
//                             reading) once per pass as a server would
//
// Each reports items (packets) per second; ns per packet = 1e9 / items.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "http/ClientRing.h"
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
    const int clients = static_cast<int>(state.range(0));
    const std::vector<unsigned char>& stream = Stream();
    auto cache = std::make_unique<CPsiCache>();
    std::vector<std::unique_ptr<CClientRing>> rings;
    for (int i = 0; i < clients; ++i)
        rings.push_back(std::make_unique<CClientRing>());
    for (auto _ : state)
    {
        for (size_t offset = 0; offset < stream.size(); offset += kChunkPackets * kTsPacketSize)
        {
            cache->ObservePackets(&stream[offset], kChunkPackets);
            for (auto& ring : rings)
                ring->AppendPackets(&stream[offset], kChunkPackets);
        }
        for (auto& ring : rings)
            ring->Consume(ring->Buffered());
        benchmark::ClobberMemory();
    }
    for (auto& ring : rings)
        if (ring->Overflowed())
            state.SkipWithError("a ring overflowed: the figure would not include its copies");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kStreamPackets);
}

} // namespace

BENCHMARK(HttpPath)->Name("HttpPath/Observe")->Arg(0);
BENCHMARK(HttpPath)->Name("HttpPath/Clients")->Arg(1)->Arg(4)->Arg(8);

BENCHMARK_MAIN();
