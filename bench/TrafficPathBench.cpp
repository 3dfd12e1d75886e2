// The module's own cost per packet on its traffic path, without the system
// call, beside the copies that any design must make for the same feed.
//
//   ModulePath/Packets/N/B   host blocks of B packets through ReceiveTraffic
//                            (flag, 188-byte steps, aligner, lock, framing)
//   Floor/Packets/N/B        the same feed: packet copy into a chunk buffer
//                            (N >= 2) and chunk copy behind the header
//   ModulePath/Bytes/N/L     an in-phase stream cut into blocks of L bytes (not
//                            a multiple of any chunk) straight into
//                            ReceiveNotAlignedTraffic
//   Floor/Bytes/N/L          the same blocks: whole chunks from the caller's
//                            memory, the cut chunk through the buffer
//   Fec/ModulePath/N/B/LxL   ModulePath/Packets with column and row FEC of an
//                            L x D matrix (the packets are its media packets)
//   Fec/Protect/L/D          one media datagram of 7 packets into its column
//                            and row (XOR of 1316 bytes twice), FEC packets
//                            sealed and handed to a sink as they fall due:
//                            items are media datagrams
//   Outputs/K                K outputs of one program each (N = 7, RTP) from
//                            a ten-program stream in host blocks of 100
//                            packets, fed as the module feeds its outputs:
//                            items are source packets, so the figure is the
//                            traffic thread's cost per packet of the tuner
//   Lock/TakeRelease         one take and release of the module's lock through
//                            the scoped guard, as the sender does per call:
//                            the part of the path that the design fixes
//
// Each reports items (packets) and bytes per second; bench/run.sh turns them
// into ns per packet and the module-to-floor ratio.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "CopyFloor.h"
#include "DiscardSink.h"
#include "ProgramStream.h"
#include "SyntheticStream.h"
#include "TrafficPathWriter.h"

namespace {

// 4200 packets: a whole number of chunks for N = 1, 2 and 7 and of host
// blocks of 7 and 100 packets, so every pass over the stream ends in phase;
// 790 KB, which stays in the second-level cache as a tuner's fresh block would.
constexpr int kStreamPackets = 4200;

const std::vector<unsigned char>& Stream()
{
    static const std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    return stream;
}

void Report(benchmark::State& state, uint16_t sequence, int packetsPerDatagram)
{
    const int64_t packets = static_cast<int64_t>(state.iterations()) * kStreamPackets;
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(packets * kTsPacketSize);
    // The datagram count is a check that the path did its work: it must
    // equal packets / N (modulo 2^16, the sequence number's width).
    const int64_t expected = packets / packetsPerDatagram;
    if (static_cast<uint16_t>(expected) != sequence)
        state.SkipWithError("datagram count does not match the packets fed");
}

void ModulePathPackets(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1)) * kTsPacketSize;
    std::vector<unsigned char> stream = Stream();
    CTrafficPathWriter<DiscardSink> writer(n);
    writer.Start();
    for (auto _ : state)
        for (size_t offset = 0; offset < stream.size(); offset += static_cast<size_t>(block))
            writer.ReceiveTraffic(stream.data() + offset, block);
    Report(state, writer.NextSequence(), n);
}

void FloorPackets(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1)) * kTsPacketSize;
    std::vector<unsigned char> stream = Stream();
    CCopyFloor<DiscardSink> floor(n);
    for (auto _ : state)
        for (size_t offset = 0; offset < stream.size(); offset += static_cast<size_t>(block))
            floor.FeedPackets(stream.data() + offset, block);
    Report(state, floor.NextSequence(), n);
}

void ModulePathBytes(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    std::vector<unsigned char> stream = Stream();
    CTrafficPathWriter<DiscardSink> writer(n);
    writer.Start();
    for (auto _ : state)
        ForEachBlock(stream, block, [&](unsigned char* data, int length) { writer.ReceiveNotAlignedTraffic(data, length); });
    Report(state, writer.NextSequence(), n);
}

void FloorBytes(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    std::vector<unsigned char> stream = Stream();
    CCopyFloor<DiscardSink> floor(n);
    for (auto _ : state)
        ForEachBlock(stream, block, [&](unsigned char* data, int length) { floor.FeedBytes(data, length); });
    Report(state, floor.NextSequence(), n);
}

void ModulePathFec(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1)) * kTsPacketSize;
    const SFecMatrix matrix{static_cast<int32_t>(state.range(2)), static_cast<int32_t>(state.range(2))};
    std::vector<unsigned char> stream = Stream();
    CTrafficPathWriter<DiscardSink> writer(n, DiscardSink(), EDatagramFraming::Rtp, matrix);
    writer.Start();
    for (auto _ : state)
        for (size_t offset = 0; offset < stream.size(); offset += static_cast<size_t>(block))
            writer.ReceiveTraffic(stream.data() + offset, block);
    Report(state, writer.NextSequence(), n);
}

// Assembles 600 datagrams of 7 different packets each per iteration (the
// XOR reads fresh memory as a stream would) and hands each to `take`.
template <class Take>
void EachDatagram(benchmark::State& state, Take&& take)
{
    const std::vector<unsigned char>& stream = Stream();
    unsigned char datagram[kMaxDatagramSize];
    WriteRtpFixedHeader(datagram);
    uint16_t sequence = 0;
    constexpr int kDatagrams = kStreamPackets / kMaxPacketsPerChunk;
    for (auto _ : state)
        for (int i = 0; i < kDatagrams; ++i)
        {
            WriteRtpCounters(datagram, sequence, sequence * kRtpTicksPerDatagram);
            ++sequence;
            CopyPackets(datagram + kRtpHeaderSize, stream.data() + i * kMaxChunkSize, kMaxChunkSize);
            take(static_cast<const unsigned char*>(datagram));
        }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kDatagrams);
}

void FecProtect(benchmark::State& state)
{
    CFecEncoder fec;
    fec.Begin({static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1))});
    const auto sink = [](EFecDirection, const unsigned char* packet, int size) {
        benchmark::DoNotOptimize(packet);
        benchmark::DoNotOptimize(size);
        benchmark::ClobberMemory();
    };
    EachDatagram(state, [&](const unsigned char* datagram) { fec.Protect(datagram, kMaxDatagramSize, sink); });
}

void CopyOnly(benchmark::State& state)
{
    EachDatagram(state, [](const unsigned char* datagram) {
        benchmark::DoNotOptimize(datagram);
        benchmark::ClobberMemory();
    });
}

void OutputsPrograms(benchmark::State& state)
{
    const int outputs = static_cast<int>(state.range(0));
    std::vector<unsigned char> stream = MakeProgramStream(true);
    std::vector<std::unique_ptr<CTrafficPathWriter<DiscardSink>>> owned;
    std::vector<CTrafficPathWriter<DiscardSink>*> feed;
    for (int i = 0; i < outputs; ++i)
    {
        owned.push_back(std::make_unique<CTrafficPathWriter<DiscardSink>>(kMaxPacketsPerChunk));
        SProgramSelection programs{};
        programs.Numbers[programs.Count++] = static_cast<uint16_t>(kFirstProgramNumber + i % kProgramStreamPrograms);
        owned.back()->SelectPrograms(programs);
        owned.back()->Start();
        feed.push_back(owned.back().get());
    }
    const size_t block = 100 * kTsPacketSize;
    for (auto _ : state)
        for (size_t offset = 0; offset < stream.size(); offset += block)
            FeedOutputs(feed.data(), outputs, stream.data() + offset, static_cast<int>(block));
    const int64_t packets = static_cast<int64_t>(state.iterations()) * kProgramStreamPackets;
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(packets * kTsPacketSize);
    for (auto* output : feed)
        if (output->NextSequence() == 0 || output->ProgramsPresent() != 1)
            state.SkipWithError("an output sent nothing of its program");
}

void LockTakeRelease(benchmark::State& state)
{
    critical_section lock;
    for (auto _ : state)
    {
        SafeCriticalSection guard(lock);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Module and floor of one case are registered side by side, so with random
// interleaving of repetitions they share the machine's state of the moment.
void PacketCases(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"N", "block"});
    for (int n : {1, 2, 7})
        for (int packets : {7, 100})
            b->Args({n, packets});
}

void ByteCases(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"N", "block"});
    for (int n : {1, 2, 7})
        b->Args({n, 65536});
}

BENCHMARK(ModulePathPackets)->Name("ModulePath/Packets")->Apply(PacketCases);
BENCHMARK(FloorPackets)->Name("Floor/Packets")->Apply(PacketCases);
BENCHMARK(ModulePathBytes)->Name("ModulePath/Bytes")->Apply(ByteCases);
BENCHMARK(FloorBytes)->Name("Floor/Bytes")->Apply(ByteCases);
BENCHMARK(ModulePathFec)->Name("Fec/ModulePath")->Args({7, 100, 5})->Args({7, 100, 10})->ArgNames({"N", "block", "LxL"});
// The XOR's share: Fec/Protect less Fec/CopyOnly (the datagram assembly both do).
BENCHMARK(FecProtect)->Name("Fec/Protect")->Args({5, 5})->Args({10, 10})->Args({20, 5})->ArgNames({"L", "D"});
BENCHMARK(CopyOnly)->Name("Fec/CopyOnly");
BENCHMARK(OutputsPrograms)->Name("Outputs")->Arg(1)->Arg(4)->Arg(16)->ArgNames({"K"});
BENCHMARK(LockTakeRelease)->Name("Lock/TakeRelease");

} // namespace

BENCHMARK_MAIN();
