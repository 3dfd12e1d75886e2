// The traffic thread's cost per packet for the URL server's viewers: the
// hand-over of every 7-packet chunk (as the aligner passes them on) on a
// 60 Mbit/s transponder of ten programs (bench/ProgramStream.h), with its
// tables, beside the same stream with no viewer.
//
//   FanOut/Whole/V       V viewers of the whole stream: the PAT/PMT cache,
//                        the program list, and one append to the stream's
//                        shared ring whatever V is
//   FanOut/OneProgram/V  V viewers of one program: one cut, one ring
//   FanOut/Programs/V    V viewers of a program each: a cut and a ring per
//                        program watched
//
// V = 0 is the server running with nobody watching. The viewers join in a
// pass before the timed ones (their tables copied for them once). Readers
// are left out: the traffic thread never looks at them (a reader the ring
// laps finds out on the server thread). Items are source packets; ns per
// packet is the inverse of items per second.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "ProgramStream.h"
#include "http/ViewerFanOut.h"

namespace {

void PutStream(CViewerFanOut& fanOut, const std::vector<unsigned char>& stream)
{
    const int chunk = 7 * kTsPacketSize;
    for (int offset = 0; offset + chunk <= static_cast<int>(stream.size()); offset += chunk)
        fanOut.PutPackets(stream.data() + offset, 7);
}

// `program(v)`: what viewer v watches (0: the whole stream).
template <class Program>
void FanOut(benchmark::State& state, Program program)
{
    static const std::vector<unsigned char> stream = MakeProgramStream(true);
    const int viewers = static_cast<int>(state.range(0));
    std::unique_ptr<CViewerFanOut> fanOut(new CViewerFanOut);
    // The stream marks no random access points: viewers join in the first
    // pass, not a second later in the middle of the measured ones.
    fanOut->WaitForRandomAccess(0);
    for (int v = 0; v < viewers; ++v)
    {
        EViewerAttach outcome;
        if (fanOut->Attach(program(v), outcome) < 0)
        {
            state.SkipWithError("no viewer");
            return;
        }
    }
    PutStream(*fanOut, stream);  // the joins, and every ring's first lap of pages
    const int packets = static_cast<int>(stream.size() / kTsPacketSize);
    for (auto _ : state)
        PutStream(*fanOut, stream);
    state.counters["rings"] = fanOut->Streams();
    state.SetItemsProcessed(state.iterations() * (packets - packets % 7));
}

void Whole(benchmark::State& state) { FanOut(state, [](int) { return uint16_t{0}; }); }
void OneProgram(benchmark::State& state) { FanOut(state, [](int) { return kFirstProgramNumber; }); }
void Programs(benchmark::State& state)
{
    FanOut(state, [](int v) { return static_cast<uint16_t>(kFirstProgramNumber + v % kProgramStreamPrograms); });
}

BENCHMARK(Whole)->Name("FanOut/Whole")->Arg(0)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(OneProgram)->Name("FanOut/OneProgram")->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(Programs)->Name("FanOut/Programs")->Arg(1)->Arg(4);

}  // namespace

BENCHMARK_MAIN();
