// The programme guide's costs:
//
//   GuideTraffic/Off/V, /On/V   the traffic thread's hand-over to the URL
//                               server (PAT/PMT cache, viewers) with V
//                               viewers of the whole stream, without and
//                               with the guide's queue. The stream is the
//                               ten-program transponder of bench/ProgramStream.h
//                               as it is (eit_every:0, its own tables: 26
//                               packets in 4000, 0.65 %) and with every 20th
//                               packet an EIT schedule packet (eit_every:20,
//                               5.3 % in all: some 3 Mbit/s of EIT at
//                               60 Mbit/s, a dense guide). The queue is
//                               emptied after every pass outside the timed
//                               region, as the server thread empties it, so
//                               every guide packet takes the copy, never the
//                               drop path; the rings too.
//   Collector/New/T             the collector reading the dense 7-day
//                               schedule of bench/GuideSchedule.h (64
//                               services, T bytes of text an event) into
//                               an empty pool; items are sections.
//   Collector/Repeat/T          the same sections again: each is checked
//                               and skipped as already read.
//   Xmltv/Dense/T               /epg.xml written from that guide; items are
//                               events, and the document's size is given.
//
// Counters of the Collector cases: events stored, evicted and refused, text
// blocks in use, and the pool's peak use (records and text blocks touched).

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "GuideSchedule.h"
#include "ProgramStream.h"
#include "guide/GuideCollector.h"
#include "http/ViewerFanOut.h"
#include "http/XmltvWriter.h"
#include "programs/ProgramDirectory.h"

namespace {

// The program stream with every `every`-th packet one of the schedule's EIT
// packets (0: none added, the stream's own tables only).
std::vector<unsigned char> MakeGuideTrafficStream(int every)
{
    std::vector<unsigned char> s = MakeProgramStream(true);
    if (every == 0)
        return s;
    const SGuideSchedule schedule = MakeGuideSchedule(600);
    size_t next = 0;
    for (size_t p = static_cast<size_t>(every / 2); p < s.size() / kTsPacketSize; p += static_cast<size_t>(every))
    {
        // Leave the program stream's own tables where they are.
        if (s[p * kTsPacketSize + 1] == 0 && s[p * kTsPacketSize + 2] <= 0x14)
            continue;
        std::memcpy(s.data() + p * kTsPacketSize, schedule.Eit[next++ % schedule.Eit.size()].data(), kTsPacketSize);
    }
    return s;
}

const std::vector<unsigned char>& GuideTrafficStream(int every)
{
    static const std::vector<unsigned char> dense = MakeGuideTrafficStream(20);
    static const std::vector<unsigned char> plain = MakeGuideTrafficStream(0);
    return every == 0 ? plain : dense;
}

int DrainGuide(CGuideFeed& feed)
{
    int n = 0;
    while (feed.Front() != nullptr)
    {
        feed.Pop();
        ++n;
    }
    return n;
}

// As the server thread would: each viewer takes what its stream's ring has.
// False when one of them fell a whole ring behind.
bool DrainViewers(CViewerFanOut& fanOut, const std::vector<int>& viewers, std::vector<unsigned char>& piece)
{
    for (int viewer : viewers)
        for (size_t n; (n = fanOut.CopyNext(viewer, piece.data(), piece.size())) != 0;)
        {
            if (n == kViewerBehind)
                return false;
            fanOut.Consume(viewer, n);
        }
    return true;
}

enum class EGuide
{
    Off,
    On,
};

void Traffic(benchmark::State& state, EGuide guide)
{
    const std::vector<unsigned char>& stream = GuideTrafficStream(static_cast<int>(state.range(1)));
    const int viewers = static_cast<int>(state.range(0));
    std::unique_ptr<CViewerFanOut> fanOut(new CViewerFanOut);
    // As in the module: the program list is fed by the module itself, so the
    // hand-over's own per-packet loop is the guide's alone.
    std::unique_ptr<CProgramDirectory> programs(new CProgramDirectory);
    fanOut->UseProgramDirectory(programs.get());
    fanOut->CollectGuide(guide != EGuide::Off);
    fanOut->WaitForRandomAccess(0);  // viewers join at once: the stream marks no random access points
    std::vector<int> watching;
    for (int v = 0; v < viewers; ++v)
    {
        EViewerAttach outcome;
        watching.push_back(fanOut->Attach(0, outcome));
    }
    std::vector<unsigned char> piece(64 * 1024);
    bool behind = false;
    const int chunk = 7 * kTsPacketSize;
    const int packets = static_cast<int>(stream.size() / kTsPacketSize);
    uint64_t queued = 0;
    for (auto _ : state)
    {
        for (int offset = 0; offset + chunk <= static_cast<int>(stream.size()); offset += chunk)
            fanOut->PutPackets(stream.data() + offset, 7);
        state.PauseTiming();
        if (guide == EGuide::On)
            queued += static_cast<uint64_t>(DrainGuide(fanOut->Guide()));
        behind = !DrainViewers(*fanOut, watching, piece) || behind;
        state.ResumeTiming();
    }
    queued += static_cast<uint64_t>(DrainGuide(fanOut->Guide()));
    if (behind)
        state.SkipWithError("a viewer fell a whole ring behind");
    state.counters["guide_packets_per_pass"] = static_cast<double>(queued) / static_cast<double>(state.iterations());
    state.counters["dropped"] = static_cast<double>(fanOut->Guide().Dropped());
    state.SetItemsProcessed(state.iterations() * (packets - packets % 7));
}

void TrafficOff(benchmark::State& state) { Traffic(state, EGuide::Off); }
void TrafficOn(benchmark::State& state) { Traffic(state, EGuide::On); }

// Arguments: viewers, and every how many packets an EIT packet is added.
BENCHMARK(TrafficOff)->Name("GuideTraffic/Off")->ArgNames({"viewers", "eit_every"})->ArgsProduct({{0, 1}, {0, 20}});
BENCHMARK(TrafficOn)->Name("GuideTraffic/On")->ArgNames({"viewers", "eit_every"})->ArgsProduct({{0, 1}, {0, 20}});

SGuideClock ScheduleClock()
{
    SGuideClock clock;
    clock.PcUtc = kScheduleStart;
    clock.MonotonicMs = 1000;
    return clock;
}

void Feed(CGuideCollector& collector, const std::vector<psitest::Packet>& packets, const SGuideClock& clock)
{
    for (const psitest::Packet& packet : packets)
        collector.PutPacket(packet.data(), clock);
}

const SGuideSchedule& Schedule(size_t textBytes)
{
    static const SGuideSchedule s600 = MakeGuideSchedule(600);
    static const SGuideSchedule s1000 = MakeGuideSchedule(1000);
    return textBytes == 600 ? s600 : s1000;
}

void PoolCounters(benchmark::State& state, const CGuideCollector& collector, const SGuideSchedule& schedule)
{
    const CGuidePool& pool = collector.Pool();
    state.counters["sections"] = schedule.Sections;
    state.counters["events_sent"] = schedule.Events;
    state.counters["events_stored"] = pool.Count();
    state.counters["evicted"] = static_cast<double>(pool.Evicted());
    state.counters["refused"] = static_cast<double>(pool.Refused());
    state.counters["blocks_in_use"] = pool.BlocksInUse();
    // What the pool touched: records and text blocks up to their high-water
    // marks, with their links, and the index (always).
    const double touched = static_cast<double>(pool.Slots()) * (sizeof(SGuideEvent) + sizeof(int32_t)) +
                           static_cast<double>(pool.BlockHighWater()) * (kGuideTextBlockBytes + sizeof(int32_t)) +
                           static_cast<double>(kGuideIndexSize) * sizeof(int32_t);
    state.counters["peak_MB"] = touched / 1e6;
    state.counters["pool_MB"] = static_cast<double>(kGuidePoolBytes) / 1e6;
}

void CollectorNew(benchmark::State& state)
{
    const SGuideSchedule& schedule = Schedule(static_cast<size_t>(state.range(0)));
    std::unique_ptr<CGuideCollector> collector(new CGuideCollector);
    const SGuideClock clock = ScheduleClock();
    for (auto _ : state)
    {
        state.PauseTiming();
        collector->Reset();
        Feed(*collector, schedule.Tables, clock);
        state.ResumeTiming();
        Feed(*collector, schedule.Eit, clock);
    }
    if (collector->Counters().Sections != static_cast<uint64_t>(schedule.Sections))
        state.SkipWithError("not every section was read");
    PoolCounters(state, *collector, schedule);
    state.SetItemsProcessed(state.iterations() * schedule.Sections);
}

void CollectorRepeat(benchmark::State& state)
{
    const SGuideSchedule& schedule = Schedule(static_cast<size_t>(state.range(0)));
    std::unique_ptr<CGuideCollector> collector(new CGuideCollector);
    const SGuideClock clock = ScheduleClock();
    Feed(*collector, schedule.Tables, clock);
    Feed(*collector, schedule.Eit, clock);
    for (auto _ : state)
        Feed(*collector, schedule.Eit, clock);
    if (collector->Counters().Repeats != static_cast<uint64_t>(schedule.Sections) * state.iterations())
        state.SkipWithError("a repeated section was read again");
    PoolCounters(state, *collector, schedule);
    state.SetItemsProcessed(state.iterations() * schedule.Sections);
}

BENCHMARK(CollectorNew)->Name("Collector/New")->Arg(600)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(CollectorRepeat)->Name("Collector/Repeat")->Arg(600)->Arg(1000)->Unit(benchmark::kMillisecond);

void XmltvDense(benchmark::State& state)
{
    const SGuideSchedule& schedule = Schedule(static_cast<size_t>(state.range(0)));
    std::unique_ptr<CGuideCollector> collector(new CGuideCollector);
    const SGuideClock clock = ScheduleClock();
    Feed(*collector, schedule.Tables, clock);
    Feed(*collector, schedule.Eit, clock);
    std::unique_ptr<CProgramDirectory> directory(new CProgramDirectory);
    for (const psitest::Packet& packet : schedule.Tables)
        directory->Observe(packet.data());
    std::unique_ptr<SProgramList> programs(new SProgramList);
    directory->Snapshot(*programs);
    std::unique_ptr<SXmltvScratch> scratch(new SXmltvScratch);
    const size_t size = WriteXmltv(*programs, *collector, *scratch, nullptr, 0);
    std::vector<char> out(size + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(WriteXmltv(*programs, *collector, *scratch, out.data(), out.size()));
    state.counters["document_MB"] = static_cast<double>(size) / 1e6;
    state.counters["events"] = collector->Pool().Count();
    state.SetItemsProcessed(state.iterations() * collector->Pool().Count());
}

BENCHMARK(XmltvDense)->Name("Xmltv/Dense")->Arg(600)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
