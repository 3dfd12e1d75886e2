// The program filter's cost per source packet on a 60 Mbit/s transponder of
// ten programs (bench/ProgramStream.h), one program selected, beside the
// copy floor of the same feed.
//
//   Filter/Tables          the whole stream with its tables: PAT, PMTs, SDT
//                          and EIT reassembled, PAT and SDT rewritten
//   Filter/NoTables        streams and null packets only, the filter primed
//                          with the tables first: one look-up, pass or drop
//   Filter/WholeStream     no program selected: every packet passes
//   Floor/Packets/7        the copy floor (bench/CopyFloor.h) of the whole
//                          stream, 7 packets per datagram
//   FilterThenFloor/7      the filter's output into the same floor: the
//                          filtered path without the lock and the socket
//   Feed/Blocks/B          the traffic path's program stage (CProgramFeed):
//                          host blocks of B whole packets in phase, every
//                          packet to the whole-stream side and the filter,
//                          the filter's output into an aligner of 7 packets
//
// Each reports items (source packets) per second; ns per packet is its inverse.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "CopyFloor.h"
#include "DiscardSink.h"
#include "programs/ProgramFeed.h"
#include "programs/ProgramFilter.h"
#include "ProgramStream.h"

namespace {

const std::vector<unsigned char>& StreamWithTables()
{
    static const std::vector<unsigned char> stream = MakeProgramStream(true);
    return stream;
}

const std::vector<unsigned char>& StreamWithoutTables()
{
    static const std::vector<unsigned char> stream = MakeProgramStream(false);
    return stream;
}

struct CountingSink : IPacketSink
{
    int64_t packets = 0;
    void PutPacket(const unsigned char* packet) override
    {
        benchmark::DoNotOptimize(packet);
        ++packets;
    }
};

struct FloorSink : IPacketSink
{
    CCopyFloor<DiscardSink> floor{7};
    int64_t packets = 0;
    void PutPacket(const unsigned char* packet) override
    {
        floor.FeedPackets(packet, kTsPacketSize);
        ++packets;
    }
};

SProgramSelection OneProgram()
{
    SProgramSelection selection{};
    selection.Numbers[0] = kFirstProgramNumber + 4;
    selection.Count = 1;
    return selection;
}

void FeedAll(CProgramFilter& filter, const std::vector<unsigned char>& stream, IPacketSink& sink)
{
    for (size_t offset = 0; offset < stream.size(); offset += kTsPacketSize)
        filter.Feed(stream.data() + offset, sink);
}

void Report(benchmark::State& state, int64_t passed, bool expectSome)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kProgramStreamPackets);
    state.counters["passed_share"] =
        static_cast<double>(passed) / static_cast<double>(state.iterations() * kProgramStreamPackets);
    if (expectSome && passed == 0)
        state.SkipWithError("the filter passed nothing");
}

void FilterTables(benchmark::State& state)
{
    auto filter = std::make_unique<CProgramFilter>();
    filter->Reset(OneProgram());
    CountingSink sink;
    for (auto _ : state)
        FeedAll(*filter, StreamWithTables(), sink);
    Report(state, sink.packets, true);
}

void FilterNoTables(benchmark::State& state)
{
    auto filter = std::make_unique<CProgramFilter>();
    filter->Reset(OneProgram());
    CountingSink primer;
    FeedAll(*filter, StreamWithTables(), primer);
    CountingSink sink;
    for (auto _ : state)
        FeedAll(*filter, StreamWithoutTables(), sink);
    Report(state, sink.packets, true);
}

void FilterWholeStream(benchmark::State& state)
{
    auto filter = std::make_unique<CProgramFilter>();
    filter->Reset(SProgramSelection{});
    CountingSink sink;
    for (auto _ : state)
        FeedAll(*filter, StreamWithTables(), sink);
    Report(state, sink.packets, true);
}

void FloorPackets(benchmark::State& state)
{
    CCopyFloor<DiscardSink> floor(7);
    const std::vector<unsigned char>& stream = StreamWithTables();
    for (auto _ : state)
        floor.FeedPackets(stream.data(), static_cast<int>(stream.size()));
    Report(state, static_cast<int64_t>(state.iterations()) * kProgramStreamPackets, true);
}

void FilterThenFloor(benchmark::State& state)
{
    auto filter = std::make_unique<CProgramFilter>();
    filter->Reset(OneProgram());
    auto sink = std::make_unique<FloorSink>();
    for (auto _ : state)
        FeedAll(*filter, StreamWithTables(), *sink);
    Report(state, sink->packets, true);
}

// Takes the chunks and drops them: the feed's own work is what is measured.
class CDiscardAligner final : public CTsAligner
{
public:
    CDiscardAligner() { m_nChunkSize = 7 * kTsPacketSize; }
    int64_t bytes = 0;

protected:
    void ReceiveAlignedTraffic(unsigned char* data, int length) override
    {
        benchmark::DoNotOptimize(data);
        bytes += length;
    }
};

void FeedBlocks(benchmark::State& state)
{
    const int block = static_cast<int>(state.range(0)) * kTsPacketSize;
    auto feed = std::make_unique<CProgramFeed>();
    feed->Reset(OneProgram());
    auto aligner = std::make_unique<CDiscardAligner>();
    std::atomic<int32_t> present{-1};
    int64_t whole = 0;
    const std::vector<unsigned char>& stream = StreamWithTables();
    for (auto _ : state)
        for (size_t offset = 0; offset < stream.size(); offset += static_cast<size_t>(block))
            feed->Feed(*aligner, stream.data() + offset,
                       static_cast<int>(std::min(stream.size() - offset, static_cast<size_t>(block))), present,
                       [&whole](const unsigned char* packets, int count) {
                           benchmark::DoNotOptimize(packets);
                           whole += count;
                       });
    if (whole != static_cast<int64_t>(state.iterations()) * kProgramStreamPackets)
        state.SkipWithError("the whole-stream side missed packets");
    Report(state, aligner->bytes / kTsPacketSize, true);
}

BENCHMARK(FilterTables)->Name("Filter/Tables");
BENCHMARK(FilterNoTables)->Name("Filter/NoTables");
BENCHMARK(FilterWholeStream)->Name("Filter/WholeStream");
BENCHMARK(FloorPackets)->Name("Floor/Packets/7");
BENCHMARK(FilterThenFloor)->Name("FilterThenFloor/7");
BENCHMARK(FeedBlocks)->Name("Feed/Blocks")->Arg(7)->Arg(100);

} // namespace

BENCHMARK_MAIN();
