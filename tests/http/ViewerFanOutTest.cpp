#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "ProgramStream.h"
#include "http/StreamRing.h"
#include "http/ViewerFanOut.h"
#include "programs/ProgramFilter.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kChunk = 7;  // packets per hand-over, as the aligner passes them on

const Bytes& Source()
{
    static const Bytes stream = MakeProgramStream(true);
    return stream;
}

// Hands packets [first, last) of `stream` over in chunks of 7.
void Feed(CViewerFanOut& fanOut, const Bytes& stream, size_t first, size_t last)
{
    for (size_t p = first; p < last; p += kChunk)
    {
        const size_t count = last - p < kChunk ? last - p : kChunk;
        fanOut.PutPackets(&stream[p * kTsPacketSize], static_cast<int>(count));
    }
}

// Everything the viewer has, as the server thread takes it: in pieces of
// odd sizes. False when it is a whole ring behind.
bool Drain(CViewerFanOut& fanOut, int viewer, Bytes& into)
{
    unsigned char piece[1000];
    for (;;)
    {
        const size_t n = fanOut.CopyNext(viewer, piece, sizeof piece - 13);
        if (n == kViewerBehind)
            return false;
        if (n == 0)
            return true;
        into.insert(into.end(), piece, piece + n);
        fanOut.Consume(viewer, n);
    }
}

Bytes Range(const Bytes& stream, size_t firstPacket, size_t lastPacket)
{
    return Bytes(stream.begin() + static_cast<long>(firstPacket * kTsPacketSize),
                 stream.begin() + static_cast<long>(lastPacket * kTsPacketSize));
}

Bytes Join(const Bytes& a, const Bytes& b)
{
    Bytes joined(a);
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

Bytes PrefixOf(const CPsiCache& cache)
{
    Bytes prefix(static_cast<size_t>(cache.PrefixPackets()) * kTsPacketSize);
    prefix.resize(static_cast<size_t>(cache.CopyPrefix(prefix.data(), cache.PrefixPackets())) * kTsPacketSize);
    return prefix;
}

// What a whole-stream viewer that joined before packet `join` (a chunk's
// first) gets until packet `last`: the tables the traffic thread's cache held
// once it had seen that chunk, then the stream from there on.
Bytes WholeFrom(size_t join, size_t last)
{
    CPsiCache cache;
    cache.ObservePackets(Source().data(), static_cast<int>(join + kChunk));
    return Join(PrefixOf(cache), Range(Source(), join, last));
}

// A fresh cut of one program, as each program viewer had a cut of its own.
struct SReferenceCut : IPacketSink
{
    explicit SReferenceCut(uint16_t program)
    {
        SProgramSelection selection{};
        selection.Numbers[0] = program;
        selection.Count = 1;
        Filter->Reset(selection);
    }
    void PutPacket(const unsigned char* packet) override
    {
        Output.insert(Output.end(), packet, packet + kTsPacketSize);
        Tables.Observe(packet);
    }
    Bytes Cut(const Bytes& stream, size_t first, size_t last)
    {
        Output.clear();
        for (size_t p = first; p < last; ++p)
            Filter->Feed(&stream[p * kTsPacketSize], *this);
        return Output;
    }
    std::unique_ptr<CProgramFilter> Filter{new CProgramFilter};
    CPsiCache Tables;
    Bytes Output;
};

int Pid(const Bytes& bytes, size_t packet)
{
    return (bytes[packet * kTsPacketSize + 1] & 0x1F) << 8 | bytes[packet * kTsPacketSize + 2];
}

// These cases are about rings, cuts and tables, in streams that mark no
// random access points: viewers join at the next hand-over (ViewerJoinTest
// has the wait for one).
std::unique_ptr<CViewerFanOut> FanOutJoiningAtOnce()
{
    auto fanOut = std::make_unique<CViewerFanOut>();
    fanOut->WaitForRandomAccess(0);
    return fanOut;
}

int AttachOrFail(CViewerFanOut& fanOut, uint16_t program, size_t ringPackets = kStreamRingPackets)
{
    EViewerAttach outcome = EViewerAttach::NoSlot;
    const int viewer = fanOut.Attach(program, outcome, ringPackets);
    EXPECT_GE(viewer, 0);
    EXPECT_EQ(outcome, EViewerAttach::Attached);
    return viewer;
}

TEST(ViewerFanOut, ViewersOfOneStreamShareItsRingWhichTheLastOneFrees)
{
    auto fanOut = FanOutJoiningAtOnce();
    const int whole[] = {AttachOrFail(*fanOut, 0), AttachOrFail(*fanOut, 0), AttachOrFail(*fanOut, 0)};
    EXPECT_EQ(fanOut->Streams(), 1);
    const int program3[] = {AttachOrFail(*fanOut, kFirstProgramNumber + 2), AttachOrFail(*fanOut, kFirstProgramNumber + 2)};
    const int program5 = AttachOrFail(*fanOut, kFirstProgramNumber + 4);
    EXPECT_EQ(fanOut->Streams(), 3) << "the whole transponder, program 1003, program 1005";
    EXPECT_EQ(fanOut->Viewers(), 6);

    const size_t packets = Source().size() / kTsPacketSize;
    Feed(*fanOut, Source(), 0, packets);
    Bytes got[6];
    const int all[] = {whole[0], whole[1], whole[2], program3[0], program3[1], program5};
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(Drain(*fanOut, all[i], got[i]));
    EXPECT_EQ(got[0], WholeFrom(0, packets)) << "the PAT of the first chunk, then every packet";
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(got[2], got[0]);
    EXPECT_EQ(got[3], SReferenceCut(kFirstProgramNumber + 2).Cut(Source(), 0, packets));
    EXPECT_EQ(got[4], got[3]);
    EXPECT_EQ(got[5], SReferenceCut(kFirstProgramNumber + 4).Cut(Source(), 0, packets));
    EXPECT_NE(got[5], got[3]);

    // A stream's ring goes with its last viewer, and only then.
    fanOut->Detach(whole[1]);
    fanOut->Detach(program3[0]);
    EXPECT_EQ(fanOut->Streams(), 3);
    fanOut->Detach(program5);
    EXPECT_EQ(fanOut->Streams(), 2);
    fanOut->Detach(program3[1]);
    fanOut->Detach(whole[0]);
    EXPECT_EQ(fanOut->Streams(), 1);
    Feed(*fanOut, Source(), 0, 70);
    Bytes more;
    EXPECT_TRUE(Drain(*fanOut, whole[2], more));
    EXPECT_EQ(more, Range(Source(), 0, 70)) << "the remaining viewer reads on, at no join again";
    fanOut->Detach(whole[2]);
    fanOut->Detach(whole[2]);  // twice: nothing
    EXPECT_EQ(fanOut->Streams(), 0);
    EXPECT_EQ(fanOut->Viewers(), 0);
}

// A viewer who joins a running stream gets the latest PAT and PMTs first,
// then the stream from the next packets on: the same bytes as a viewer who
// was there, from that packet boundary.
TEST(ViewerFanOut, AWholeStreamViewerJoiningLateGetsTheTablesThenTheStreamFromItsJoin)
{
    auto fanOut = FanOutJoiningAtOnce();
    const size_t packets = Source().size() / kTsPacketSize;
    const size_t join = 7 * 300;  // after several PATs and PMTs
    const int early = AttachOrFail(*fanOut, 0);
    Feed(*fanOut, Source(), 0, join);
    const int late = AttachOrFail(*fanOut, 0);
    Feed(*fanOut, Source(), join, packets);

    Bytes gotEarly, gotLate;
    EXPECT_TRUE(Drain(*fanOut, early, gotEarly));
    EXPECT_TRUE(Drain(*fanOut, late, gotLate));
    EXPECT_EQ(gotEarly, WholeFrom(0, packets));
    const Bytes expected = WholeFrom(join, packets);
    EXPECT_EQ(gotLate, expected);
    ASSERT_GT(expected.size() - (packets - join) * kTsPacketSize, 1 + kProgramStreamPrograms * kTsPacketSize)
        << "the tables came before the join: a PAT and ten PMTs";
    EXPECT_EQ(Pid(gotLate, 0), 0);
}

// Program viewers share one cut. The first gets exactly what a cut of its
// own made from its join (the PAT of that program once the source's PAT
// comes, then its PMT and streams); one who joins later gets the PAT and PMT
// that the cut wrote last, then the cut's packets from its join on, the same
// as the first viewer's: the counters of PID 0 and of the PMT go on from the
// prefix without a jump.
TEST(ViewerFanOut, AProgramViewerJoiningLateGetsTheCutsTablesThenTheSameCut)
{
    const uint16_t program = kFirstProgramNumber + 3;
    auto fanOut = FanOutJoiningAtOnce();
    const size_t packets = Source().size() / kTsPacketSize;
    const size_t join = 7 * 300;
    const int first = AttachOrFail(*fanOut, program);
    Feed(*fanOut, Source(), 0, join);
    const int later = AttachOrFail(*fanOut, program);
    EXPECT_EQ(fanOut->Streams(), 1);
    Feed(*fanOut, Source(), join, packets);

    SReferenceCut reference(program);
    const Bytes before = reference.Cut(Source(), 0, join);
    const Bytes prefix = PrefixOf(reference.Tables);
    const Bytes after = reference.Cut(Source(), join, packets);
    ASSERT_EQ(prefix.size(), 2 * kTsPacketSize) << "a one-packet PAT and PMT";

    Bytes gotFirst, gotLater;
    EXPECT_TRUE(Drain(*fanOut, first, gotFirst));
    EXPECT_TRUE(Drain(*fanOut, later, gotLater));
    EXPECT_EQ(gotFirst, Join(before, after)) << "byte for byte what a cut of the viewer's own makes";
    EXPECT_EQ(gotLater, Join(prefix, after));
    ASSERT_GE(gotLater.size(), 3 * kTsPacketSize);
    EXPECT_EQ(Pid(gotLater, 0), 0) << "a PAT first";
    EXPECT_EQ(Pid(gotLater, 1), 0x1000 + 3) << "then the program's PMT";

    // Continuity on the table PIDs across the prefix's end.
    for (int pid : {0, 0x1003})
    {
        int last = -1;
        for (size_t p = 0; p < gotLater.size() / kTsPacketSize; ++p)
        {
            if (Pid(gotLater, p) != pid)
                continue;
            const int counter = gotLater[p * kTsPacketSize + 3] & 0x0F;
            if (last >= 0)
            {
                EXPECT_EQ(counter, (last + 1) & 0x0F) << "PID " << pid << " packet " << p;
            }
            last = counter;
        }
    }
}

// A viewer who takes nothing falls a whole ring behind: it is told so (and
// the server drops it); the viewer beside it on the same ring loses nothing.
TEST(ViewerFanOut, AViewerAWholeRingBehindIsToldSoWhileTheOtherReadsOn)
{
    auto fanOut = FanOutJoiningAtOnce();
    const int stalled = AttachOrFail(*fanOut, 0, 50);
    const int reading = AttachOrFail(*fanOut, 0, 1);  // the stream's ring is made already: 50 packets
    Bytes got;
    Feed(*fanOut, Source(), 0, 49);
    EXPECT_TRUE(Drain(*fanOut, reading, got));
    EXPECT_FALSE(fanOut->Behind(stalled));
    EXPECT_TRUE(fanOut->HasNext(stalled));
    Feed(*fanOut, Source(), 49, 56);
    EXPECT_TRUE(Drain(*fanOut, reading, got));
    EXPECT_TRUE(fanOut->Behind(stalled));
    unsigned char piece[kTsPacketSize];
    EXPECT_EQ(fanOut->CopyNext(stalled, piece, sizeof piece), kViewerBehind);
    EXPECT_TRUE(fanOut->HasNext(stalled)) << "so that the server looks at it";
    for (size_t p = 56; p < 56 + 14 * 49; p += 49)
    {
        Feed(*fanOut, Source(), p, p + 49);
        EXPECT_TRUE(Drain(*fanOut, reading, got));
    }
    EXPECT_EQ(got, WholeFrom(0, 56 + 14 * 49));
    fanOut->Detach(stalled);
    EXPECT_EQ(fanOut->Streams(), 1);
}

// Without memory for a stream's ring the viewer is refused (the server
// answers 503) and nothing is left behind.
TEST(ViewerFanOut, NoMemoryForARingRefusesTheViewerAndLeavesNothing)
{
    auto fanOut = FanOutJoiningAtOnce();
    EViewerAttach outcome = EViewerAttach::Attached;
    EXPECT_EQ(fanOut->Attach(0, outcome, SIZE_MAX / kTsPacketSize), -1);
    EXPECT_EQ(outcome, EViewerAttach::NoMemoryForRing);
    EXPECT_EQ(fanOut->Attach(kFirstProgramNumber, outcome, SIZE_MAX / kTsPacketSize), -1);
    EXPECT_EQ(outcome, EViewerAttach::NoMemoryForRing);
    EXPECT_EQ(fanOut->Viewers(), 0);
    EXPECT_EQ(fanOut->Streams(), 0);
    Feed(*fanOut, Source(), 0, 70);  // nothing attached: nothing written
    const int viewer = AttachOrFail(*fanOut, 0, 100);
    Feed(*fanOut, Source(), 70, 140);
    Bytes got;
    EXPECT_TRUE(Drain(*fanOut, viewer, got));
    EXPECT_EQ(got.size() % kTsPacketSize, 0u);
    EXPECT_GE(got.size(), 70u * kTsPacketSize);

    for (int i = 1; i < kMaxViewers; ++i)
        AttachOrFail(*fanOut, static_cast<uint16_t>(i % 3));
    EXPECT_EQ(fanOut->Attach(0, outcome), -1);
    EXPECT_EQ(outcome, EViewerAttach::NoSlot);
    EXPECT_EQ(fanOut->Streams(), 3);
}

// Packet n of a numbered stream without tables: PID 0x100, n in bytes 4-11.
void NumberedPacket(uint64_t n, unsigned char* packet)
{
    std::memset(packet, static_cast<int>(n * 7 + 1), kTsPacketSize);
    packet[0] = kTsSyncByte;
    packet[1] = 0x01;
    packet[2] = 0x00;
    packet[3] = static_cast<unsigned char>(0x10 | (n & 0x0F));
    std::memcpy(packet + 4, &n, sizeof n);
}

// The two threads as the module runs them: the traffic thread hands over
// chunks without pause while the server thread attaches viewers of the whole
// stream and of programs, reads them at speeds far apart and detaches them
// (opening and closing their streams' rings under the traffic thread). Every
// packet a whole-stream viewer receives is the one after the previous; a
// slow viewer is dropped rather than handed bytes of a later lap.
TEST(ViewerFanOut, ViewersComeReadAndGoWhileTrafficFlows)
{
    auto fanOut = FanOutJoiningAtOnce();
    std::atomic<bool> done{false};
    std::atomic<uint64_t> rounds{0};
    // At most 10 chunks a round of the server thread, so that readers that
    // keep up can, however the machine shares its CPUs out.
    constexpr uint64_t kChunksPerRound = 10;
    std::thread traffic([&] {
        unsigned char chunk[kChunk * kTsPacketSize];
        for (uint64_t n = 0; !done.load(std::memory_order_relaxed); n += kChunk)
        {
            while (n / kChunk >= (rounds.load() + 1) * kChunksPerRound && !done.load())
                std::this_thread::yield();
            for (int i = 0; i < kChunk; ++i)
                NumberedPacket(n + static_cast<uint64_t>(i), chunk + i * kTsPacketSize);
            fanOut->PutPackets(chunk, kChunk);
        }
    });

    struct SWatcher
    {
        int Viewer = -1;
        bool Whole = false;
        int Speed = 0;          // pieces a round
        Bytes Partial;          // the start of a packet not yet complete
        long long Last = -1;    // number of the latest packet received
        uint64_t Packets = 0;
    };
    std::mt19937 random(7);
    SWatcher watchers[12];
    long long wrong = 0, received = 0, dropped = 0;
    unsigned char piece[3000];
    for (int round = 0; round < 3000; ++round)
    {
        ++rounds;
        SWatcher& w = watchers[random() % 12];
        if (w.Viewer < 0)
        {
            w = SWatcher{};
            w.Whole = random() % 3 != 0;
            w.Speed = static_cast<int>(random() % 4);
            EViewerAttach outcome;
            w.Viewer = fanOut->Attach(w.Whole ? 0 : static_cast<uint16_t>(1 + random() % 3), outcome, 4000);
            EXPECT_GE(w.Viewer, 0);
            if (w.Viewer < 0)
                continue;
        }
        else if (random() % 40 == 0)
        {
            fanOut->Detach(w.Viewer);
            w.Viewer = -1;
            continue;
        }
        for (int i = 0; i < w.Speed; ++i)
        {
            const size_t n = fanOut->CopyNext(w.Viewer, piece, 1 + random() % sizeof piece);
            if (n == kViewerBehind)
            {
                ++dropped;
                fanOut->Detach(w.Viewer);
                w.Viewer = -1;
                break;
            }
            fanOut->Consume(w.Viewer, n);
            if (!w.Whole)
            {
                wrong += n != 0 ? 1 : 0;  // no tables in this stream: a cut passes nothing
                continue;
            }
            for (size_t b = 0; b < n; ++b)
            {
                w.Partial.push_back(piece[b]);
                if (w.Partial.size() < kTsPacketSize)
                    continue;
                uint64_t number;
                std::memcpy(&number, &w.Partial[4], sizeof number);
                unsigned char expected[kTsPacketSize];
                NumberedPacket(number, expected);
                if (std::memcmp(expected, w.Partial.data(), kTsPacketSize) != 0 ||
                    (w.Last >= 0 && static_cast<long long>(number) != w.Last + 1))
                    ++wrong;
                w.Last = static_cast<long long>(number);
                ++w.Packets;
                ++received;
                w.Partial.clear();
            }
        }
        std::this_thread::yield();
    }
    done = true;
    traffic.join();
    for (SWatcher& w : watchers)
        if (w.Viewer >= 0)
            fanOut->Detach(w.Viewer);
    EXPECT_EQ(wrong, 0) << "packets out of order, damaged, or from a cut that had nothing to pass";
    EXPECT_GT(received, 0);
    EXPECT_EQ(fanOut->Streams(), 0);
    EXPECT_EQ(fanOut->Viewers(), 0);
    RecordProperty("dropped", static_cast<int>(dropped));
}

// A host that goes on delivering across Stop and Start: each Start forgets
// the previous stream's tables while a traffic call may be under way. The
// traffic thread forgets its own when it next comes in, so nothing it uses
// changes under it (a data race for ThreadSanitizer otherwise); each time,
// viewers then get the tables afresh and the program list comes back.
TEST(ViewerFanOut, AForgetWhileTrafficFlowsIsTakenUpByTheTrafficThread)
{
    auto fanOut = FanOutJoiningAtOnce();
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        const size_t packets = Source().size() / kTsPacketSize;
        // At most some 4000 packets a millisecond, so that the viewers'
        // thread need not keep up with a thread that never pauses.
        while (!done.load())
        {
            Feed(*fanOut, Source(), 0, packets - packets % kChunk);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int rounds = 0, prefixed = 0;
    for (; rounds < 20; ++rounds)
    {
        fanOut->ForgetStream();
        fanOut->Guide().DropQueued();  // the server thread's part, at its start
        const uint16_t program = rounds % 2 == 0 ? 0 : kFirstProgramNumber + 2;
        int viewer = AttachOrFail(*fanOut, program);
        Bytes got;
        while (got.empty())
        {
            if (!Drain(*fanOut, viewer, got))
            {
                // Lapped while this thread waited for a CPU: a viewer anew.
                got.clear();
                fanOut->Detach(viewer);
                viewer = AttachOrFail(*fanOut, program);
            }
            std::this_thread::yield();
        }
        EXPECT_EQ(got.size() % kTsPacketSize, 0u);
        prefixed += Pid(got, 0) == 0 ? 1 : 0;
        fanOut->Detach(viewer);
        // Asked as the server asks, now and then: the list is published
        // when nobody holds it.
        while (!fanOut->Programs().Lists(kFirstProgramNumber + 2))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        while (fanOut->Guide().Front() != nullptr)
            fanOut->Guide().Pop();
    }
    done = true;
    traffic.join();
    EXPECT_EQ(fanOut->Streams(), 0);
    RecordProperty("viewers_with_tables", prefixed);
}

}  // namespace
