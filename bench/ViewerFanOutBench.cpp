// The traffic thread's cost per packet for the URL server's viewers: the
// hand-over of every 7-packet chunk (as the aligner passes them on) on a
// 60 Mbit/s transponder of ten programs (bench/ProgramStream.h), with its
// tables, beside the same stream with no viewer.
//
//   FanOut/Whole/V     V viewers of the whole stream: the PAT/PMT cache, the
//                      program list, and one ring append per viewer
//   FanOut/Program/V   V viewers of one program each, through a filter of
//                      each viewer's own
//
// V = 0 is the server running with nobody watching. The rings are drained
// after each pass on the same thread (two atomic stores per ring), as the
// server thread would. Items are source packets; ns per packet is the
// inverse of items per second.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "programs/ProgramFilter.h"
#include "ProgramStream.h"
#include "http/ViewerFanOut.h"
#include "http/ClientRing.h"

namespace {

void FanOut(benchmark::State& state, bool programs)
{
    static const std::vector<unsigned char> stream = MakeProgramStream(true);
    const int viewers = static_cast<int>(state.range(0));
    std::unique_ptr<CViewerFanOut> fanOut(new CViewerFanOut);
    std::vector<std::unique_ptr<CClientRing>> rings;
    std::vector<std::unique_ptr<CProgramFilter>> filters;
    for (int v = 0; v < viewers; ++v)
    {
        rings.emplace_back(new CClientRing);
        CProgramFilter* filter = nullptr;
        if (programs)
        {
            filters.emplace_back(new CProgramFilter);
            SProgramSelection selection{};
            selection.Numbers[0] = static_cast<uint16_t>(1001 + v % 10);
            selection.Count = 1;
            filters.back()->Reset(selection);
            filter = filters.back().get();
        }
        fanOut->Attach(rings.back().get(), filter);
    }
    const int chunk = 7 * kTsPacketSize;
    const int packets = static_cast<int>(stream.size() / kTsPacketSize);
    for (auto _ : state)
    {
        for (int offset = 0; offset + chunk <= static_cast<int>(stream.size()); offset += chunk)
            fanOut->PutPackets(stream.data() + offset, 7);
        for (auto& ring : rings)
        {
            const unsigned char* data = nullptr;
            size_t n;
            while ((n = ring->Peek(data)) > 0)
                ring->Consume(n);
        }
    }
    for (auto& ring : rings)
        if (ring->Overflowed())
            state.SkipWithError("a ring overflowed");
    state.SetItemsProcessed(state.iterations() * (packets - packets % 7));
}

void Whole(benchmark::State& state) { FanOut(state, false); }
void Program(benchmark::State& state) { FanOut(state, true); }

BENCHMARK(Whole)->Name("FanOut/Whole")->Arg(0)->Arg(1)->Arg(4)->Arg(8);
BENCHMARK(Program)->Name("FanOut/Program")->Arg(1)->Arg(4);

}  // namespace

BENCHMARK_MAIN();
