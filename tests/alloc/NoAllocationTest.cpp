// Nothing may be allocated while traffic flows: a tuner delivers tens of
// thousands of packets a second, and an allocation on that path is a lock in
// the heap and a latency spike in the engine thread.
//
// This binary replaces the global operator new and delete and counts malloc
// too, then drives megabytes of traffic through the module's path (the
// aligner, the lock and the RTP framing of bench/TrafficPathWriter.h, which
// mirrors one output of CPidDataWriter, one or sixteen of them) for every packet count and feed shape, with and
// without programs selected (the program filter on the path), and fails on
// any allocation or release in between.
//
// Counting malloc: under AddressSanitizer the sanitizer owns malloc, and a
// second definition in this binary would take allocations away from it; the
// sanitizer's own allocation hooks see every malloc, calloc, realloc and
// aligned allocation instead. Without the sanitizer, malloc and friends are
// defined here and forward to glibc's __libc_ entry points.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "http/StreamRing.h"
#include "http/HttpRequest.h"
#include "programs/ProgramFilter.h"
#include "ProgramStream.h"
#include "http/PsiCache.h"
#include "PsiTestSections.h"
#include "SyntheticStream.h"
#include "TrafficPathWriter.h"
#include "http/ViewerFanOut.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_releases{0};

void CountAllocation()
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}

void CountRelease()
{
    if (g_counting.load(std::memory_order_relaxed))
        g_releases.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

// ---------------------------------------------------------------------------
// malloc

#if defined(__SANITIZE_ADDRESS__)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {
void MallocHook(const volatile void*, size_t) { CountAllocation(); }
void FreeHook(const volatile void*) { CountRelease(); }
const bool g_hooksInstalled = __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook) != 0;
} // namespace

#else

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size)
{
    CountAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size)
{
    CountAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size)
{
    CountAllocation();
    return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size)
{
    CountAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size)
{
    CountAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size)
{
    CountAllocation();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr)
        return ENOMEM;
    *result = block;
    return 0;
}
void free(void* block)
{
    if (block != nullptr)
        CountRelease();
    __libc_free(block);
}
} // extern "C"

namespace {
const bool g_hooksInstalled = true;
} // namespace

#endif

// ---------------------------------------------------------------------------
// operator new and delete, every replaceable form

namespace {
void* Allocate(size_t size)
{
    CountAllocation();
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
void* AllocateAligned(size_t size, std::align_val_t alignment)
{
    CountAllocation();
    const size_t align = static_cast<size_t>(alignment);
    void* block = nullptr;
    if (posix_memalign(&block, align < sizeof(void*) ? sizeof(void*) : align, size ? size : 1) == 0)
        return block;
    throw std::bad_alloc();
}
void Release(void* block)
{
    if (block != nullptr)
        CountRelease();
    std::free(block);
}
} // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    CountAllocation();
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    CountAllocation();
    return std::malloc(size ? size : 1);
}
void* operator new(size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new[](size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }
void operator delete[](void* block, size_t) noexcept { Release(block); }
void operator delete(void* block, std::align_val_t) noexcept { Release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { Release(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { Release(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { Release(block); }

// ---------------------------------------------------------------------------

namespace {

// Counts from construction to Stop().
class AllocationWindow
{
public:
    AllocationWindow()
    {
        g_allocations = 0;
        g_releases = 0;
        g_counting = true;
    }
    ~AllocationWindow() { g_counting = false; }
    void Stop() { g_counting = false; }
    void Resume() { g_counting = true; }
    long Allocations() const { return g_allocations; }
    long Releases() const { return g_releases; }
};

// Checks what a socket would have been given, without keeping it: the size,
// the RTP sequence running on by one, and a sync byte in front of the payload
// (in plain UDP framing: the size and the sync byte).
struct CheckingSink
{
    EDatagramFraming framing = EDatagramFraming::Rtp;
    int expectedSize = 0;
    long datagrams = 0;
    long faults = 0;
    long fecPackets = 0;
    uint16_t nextSequence = 0;
    int refuseEvery = 0;  // 0: accept every datagram; k: refuse every k-th, as a failing link

    bool operator()(const unsigned char* datagram, int size)
    {
        if (framing == EDatagramFraming::Udp)
        {
            if (size != expectedSize || datagram[0] != kTsSyncByte)
                ++faults;
            ++datagrams;
            return true;
        }
        if (datagram[1] == kRtpPayloadTypeFec)
        {
            if (size != expectedSize + kFecHeaderSize)
                ++faults;
            ++fecPackets;
            return true;
        }
        const uint16_t sequence = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
        if (size != expectedSize || sequence != nextSequence || datagram[0] != 0x80 || datagram[1] != 33 ||
            datagram[kRtpHeaderSize] != kTsSyncByte)
            ++faults;
        nextSequence = static_cast<uint16_t>(sequence + 1);
        ++datagrams;
        return refuseEvery == 0 || datagrams % refuseEvery != 0;
    }
};

using Writer = CTrafficPathWriter<CheckingSink>;

// 4200 packets: a whole number of chunks for every N from 1 to 7 (4200 is
// ten times their least common multiple), so every pass ends on a chunk
// boundary and yields exactly 4200 / N datagrams.
constexpr int kStreamPackets = 4200;
constexpr int kPasses = 11;               // 11 x 789,600 bytes: 8.7 MB per case
constexpr int kJunkBytes = 61;            // no sync byte among them

enum class Feed
{
    HostBlocks,     // ReceiveTraffic with blocks of whole packets, as the host's engine delivers
    CutBlocks,      // ReceiveNotAlignedTraffic with blocks cut anywhere, after a burst of junk
    CutHostBlocks,  // ReceiveTraffic with blocks cut anywhere, after a burst of junk
};

struct Case
{
    Feed feed;
    int block;    // in packets for HostBlocks, in bytes for CutBlocks
    const char* name;
};

const Case kCases[] = {
    {Feed::HostBlocks, 1, "host blocks of 1 packet"},
    {Feed::HostBlocks, 7, "host blocks of 7 packets"},
    {Feed::HostBlocks, 100, "host blocks of 100 packets"},
    {Feed::CutBlocks, 1000, "cut blocks of 1000 bytes"},
    {Feed::CutBlocks, 65536, "cut blocks of 65536 bytes"},
};

void Play(Writer& writer, std::vector<unsigned char>& stream, const Case& c, int passes)
{
    for (int pass = 0; pass < passes; ++pass)
    {
        if (c.feed == Feed::HostBlocks)
        {
            const size_t block = static_cast<size_t>(c.block) * kTsPacketSize;
            for (size_t offset = 0; offset < stream.size(); offset += block)
                writer.ReceiveTraffic(stream.data() + offset, static_cast<int>(block));
            continue;
        }
        // Junk while nothing is held: the sync search drops it.
        unsigned char junk[kJunkBytes];
        std::memset(junk, 0x5A, sizeof junk);
        const bool host = c.feed == Feed::CutHostBlocks;
        if (host)
            writer.ReceiveTraffic(junk, kJunkBytes);
        else
            writer.ReceiveNotAlignedTraffic(junk, kJunkBytes);
        for (size_t offset = 0; offset < stream.size(); offset += static_cast<size_t>(c.block))
        {
            const size_t left = stream.size() - offset;
            const int length = static_cast<int>(left < static_cast<size_t>(c.block) ? left : c.block);
            if (host)
                writer.ReceiveTraffic(stream.data() + offset, length);
            else
                writer.ReceiveNotAlignedTraffic(stream.data() + offset, length);
        }
    }
}

TEST(NoAllocation, CounterSeesAllocations)
{
    ASSERT_TRUE(g_hooksInstalled) << "the allocator hooks could not be installed";
    // What a stray allocation on the path would look like: each must count.
    struct Probe
    {
        const char* what;
        void (*run)();
    };
    static void* volatile kept;
    const Probe probes[] = {
        {"new/delete", [] { kept = new int(1); delete static_cast<int*>(kept); }},
        {"new[]/delete[]", [] { kept = new char[64]; delete[] static_cast<char*>(kept); }},
        {"std::vector", [] { std::vector<int> v(100); kept = v.data(); }},
        {"std::string", [] { std::string s(100, 'x'); kept = &s[0]; }},
        {"malloc/free", [] { kept = std::malloc(64); std::free(kept); }},
        {"calloc/free", [] { kept = std::calloc(8, 8); std::free(kept); }},
    };
    for (const Probe& probe : probes)
    {
        AllocationWindow window;
        probe.run();
        window.Stop();
        EXPECT_GE(window.Allocations(), 1) << probe.what;
        EXPECT_GE(window.Releases(), 1) << probe.what;
    }
}

TEST(NoAllocation, TrafficPathAllocatesNothing)
{
    std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    for (const EDatagramFraming framing : {EDatagramFraming::Rtp, EDatagramFraming::Udp})
    {
        for (int n = kMinPacketsPerChunk; n <= kMaxPacketsPerChunk; ++n)
        {
            for (const Case& c : kCases)
            {
                const bool rtp = framing == EDatagramFraming::Rtp;
                SCOPED_TRACE(testing::Message() << (rtp ? "RTP" : "plain UDP") << ", N=" << n << ", " << c.name);
                CheckingSink sink;
                sink.framing = framing;
                sink.expectedSize = (rtp ? kRtpHeaderSize : 0) + n * kTsPacketSize;
                Writer writer(n, sink, framing);
                writer.Start();
                Play(writer, stream, c, 1);  // warm-up: first lock, first touch of every page

                AllocationWindow window;
                Play(writer, stream, c, kPasses);
                writer.Stop();
                writer.ReceiveTraffic(stream.data(), kTsPacketSize);  // dropped while stopped
                writer.Start();
                Play(writer, stream, c, 1);
                window.Stop();

                EXPECT_EQ(window.Allocations(), 0) << "allocations while traffic flowed";
                EXPECT_EQ(window.Releases(), 0) << "releases while traffic flowed";
                const long passes = 1 + kPasses + 1;
                EXPECT_EQ(writer.GetSink().datagrams, passes * (kStreamPackets / n));
                EXPECT_EQ(writer.GetSink().faults, 0);
                // The counters run on in either framing.
                EXPECT_EQ(writer.NextSequence(), static_cast<uint16_t>(passes * (kStreamPackets / n)));
                EXPECT_EQ(writer.TotalBytes(), static_cast<long long>(kStreamPackets) * kTsPacketSize);  // since the latest start
            }
        }
    }
}

// Column and row parity as the datagrams go, and the last matrix completed at
// Stop: fixed accumulators, nothing allocated.
TEST(NoAllocation, FecAllocatesNothing)
{
    std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    for (const SFecMatrix matrix : {SFecMatrix{5, 5}, SFecMatrix{10, 10}, SFecMatrix{20, 5}, SFecMatrix{4, 20}})
    {
        for (int n : {1, 7})
        {
            SCOPED_TRACE(testing::Message() << "FEC " << matrix.Columns << "x" << matrix.Rows << ", N=" << n);
            CheckingSink sink;
            sink.expectedSize = kRtpHeaderSize + n * kTsPacketSize;
            Writer writer(n, sink, EDatagramFraming::Rtp, matrix);
            writer.Start();
            Play(writer, stream, kCases[1], 1);

            AllocationWindow window;
            Play(writer, stream, kCases[1], kPasses);
            writer.Stop();
            writer.Start();
            Play(writer, stream, kCases[2], 1);
            writer.Stop();
            window.Stop();

            EXPECT_EQ(window.Allocations(), 0) << "allocations while traffic flowed";
            EXPECT_EQ(window.Releases(), 0) << "releases while traffic flowed";
            const long cells = matrix.Columns * matrix.Rows;
            const long perRun[2] = {(1 + kPasses) * (kStreamPackets / n), kStreamPackets / n};
            long media = 0;
            long fec = 0;
            for (long datagrams : perRun)
            {
                const long matrices = (datagrams + cells - 1) / cells;
                media += matrices * cells;
                fec += matrices * (matrix.Columns + matrix.Rows);
            }
            EXPECT_EQ(writer.GetSink().datagrams, media) << "each run completed to a whole matrix";
            EXPECT_EQ(writer.GetSink().fecPackets, fec);
            EXPECT_EQ(writer.GetSink().faults, 0);
        }
    }
}

// With programs selected every packet goes through the program filter, whose
// rewritten tables are built in its own buffers: the path still allocates
// nothing, for one program, several, and programs the transponder lacks, and
// where the program stage must find the packet boundary again (junk, then
// blocks cut anywhere).
TEST(NoAllocation, FilteredTrafficPathAllocatesNothing)
{
    std::vector<unsigned char> stream = MakeProgramStream(true);
    struct Selection
    {
        std::vector<uint16_t> numbers;
        bool sends;  // whether any of them is on the transponder
    };
    const Selection selections[] = {
        {{kFirstProgramNumber}, true},
        {{kFirstProgramNumber + 3, kFirstProgramNumber + 7, kFirstProgramNumber + 9}, true},
        {{4711}, false},
    };
    for (const Selection& selection : selections)
    {
        SProgramSelection programs{};
        for (uint16_t number : selection.numbers)
            programs.Numbers[programs.Count++] = number;
        for (int n : {1, 3, 7})
        {
            // Whole divisors of the stream, so that each pass ends in phase.
            const Case feeds[] = {{Feed::HostBlocks, 1, "host blocks of 1 packet"},
                                  {Feed::HostBlocks, 8, "host blocks of 8 packets"},
                                  {Feed::HostBlocks, 100, "host blocks of 100 packets"},
                                  {Feed::CutHostBlocks, 1000, "junk, then host blocks of 1000 bytes"}};
            for (const Case& c : feeds)
            {
                SCOPED_TRACE(testing::Message() << selection.numbers.size() << " programs from " << selection.numbers[0]
                                                << ", N=" << n << ", " << c.name);
                CheckingSink sink;
                sink.expectedSize = kRtpHeaderSize + n * kTsPacketSize;
                Writer writer(n, sink);
                writer.SelectPrograms(programs);
                writer.Start();
                Play(writer, stream, c, 1);

                AllocationWindow window;
                Play(writer, stream, c, kPasses);
                writer.Stop();
                writer.Start();
                Play(writer, stream, c, 1);
                window.Stop();

                EXPECT_EQ(window.Allocations(), 0) << "allocations while filtered traffic flowed";
                EXPECT_EQ(window.Releases(), 0) << "releases while filtered traffic flowed";
                EXPECT_EQ(writer.GetSink().faults, 0);
                EXPECT_EQ(writer.ProgramsPresent(), selection.sends ? static_cast<int>(selection.numbers.size()) : 0);
                // A tenth of the programs is a small part of the stream, but never none of it; a
                // program that is not there leaves only the PAT (and SDT) that says so.
                const long all = static_cast<long>(1 + kPasses + 1) * (kProgramStreamPackets / n);
                EXPECT_GT(writer.GetSink().datagrams, 0);
                if (selection.sends)
                    EXPECT_LT(writer.GetSink().datagrams, all / 2);
                else
                    EXPECT_LT(writer.GetSink().datagrams, all / 100);
            }
        }
    }
}

// Sixteen outputs fed from one block after the other, as the module object
// feeds its outputs: each its own packet count, framing, parity, programs,
// and one whose every datagram is refused. Nothing is allocated for any of
// them, and the failing one takes nothing from the others.
TEST(NoAllocation, SixteenOutputsAllocateNothing)
{
    std::vector<unsigned char> stream = MakeProgramStream(true);
    constexpr int kOutputs = 16;
    std::unique_ptr<Writer> outputs[kOutputs];
    Writer* feed[kOutputs];
    for (int i = 0; i < kOutputs; ++i)
    {
        const int n = 1 + i % 7;
        const bool udp = i % 4 == 3;
        CheckingSink sink;
        sink.framing = udp ? EDatagramFraming::Udp : EDatagramFraming::Rtp;
        sink.expectedSize = (udp ? 0 : kRtpHeaderSize) + n * kTsPacketSize;
        sink.refuseEvery = i == 5 ? 1 : 0;
        const SFecMatrix fec = i % 4 == 1 ? SFecMatrix{5, 5} : SFecMatrix{};
        outputs[i] = std::make_unique<Writer>(n, sink, sink.framing, fec);
        if (i % 2 == 1)
        {
            SProgramSelection programs{};
            programs.Numbers[programs.Count++] = static_cast<uint16_t>(kFirstProgramNumber + i % 10);
            outputs[i]->SelectPrograms(programs);
        }
        feed[i] = outputs[i].get();
        feed[i]->Start();
    }
    const size_t block = 100 * kTsPacketSize;  // the stream is 40 such blocks
    auto play = [&](int passes) {
        for (int pass = 0; pass < passes; ++pass)
            for (size_t offset = 0; offset < stream.size(); offset += block)
                FeedOutputs(feed, kOutputs, stream.data() + offset, static_cast<int>(block));
    };
    play(1);

    AllocationWindow window;
    play(kPasses);
    for (Writer* output : feed)
        output->Stop();
    window.Stop();

    EXPECT_EQ(window.Allocations(), 0) << "allocations while traffic flowed to 16 outputs";
    EXPECT_EQ(window.Releases(), 0) << "releases while traffic flowed to 16 outputs";
    for (int i = 0; i < kOutputs; ++i)
    {
        SCOPED_TRACE(testing::Message() << "output " << i + 1);
        Writer& output = *outputs[i];
        EXPECT_EQ(output.GetSink().faults, 0);
        EXPECT_GT(output.GetSink().datagrams, 0);
        const long long packets = static_cast<long long>(1 + kPasses) * kProgramStreamPackets;
        const int n = 1 + i % 7;
        if (i % 2 == 0)  // the whole stream: every whole chunk of it
        {
            EXPECT_EQ(output.TotalBytes(), packets / n * n * kTsPacketSize);
        }
    }
    EXPECT_EQ(outputs[5]->TotalBytes(), 0) << "the failing output";
    EXPECT_GT(outputs[5]->SendFailures().Refused(), 0u);
}

// Refused datagrams are counted on the same path, in fields under the lock
// the sender holds: no allocation either, however the refusals come.
TEST(NoAllocation, RefusedDatagramsAllocateNothing)
{
    std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    for (int refuseEvery : {1, 2, 5})
    {
        SCOPED_TRACE(testing::Message() << "one datagram in " << refuseEvery << " refused");
        CheckingSink sink;
        sink.expectedSize = kRtpHeaderSize + 7 * kTsPacketSize;
        sink.refuseEvery = refuseEvery;
        Writer writer(7, sink);
        writer.Start();
        Play(writer, stream, kCases[1], 1);

        AllocationWindow window;
        Play(writer, stream, kCases[1], kPasses);
        window.Stop();

        EXPECT_EQ(window.Allocations(), 0) << "allocations while datagrams were refused";
        EXPECT_EQ(window.Releases(), 0) << "releases while datagrams were refused";
        const long datagrams = (1 + kPasses) * (kStreamPackets / 7);
        EXPECT_EQ(writer.GetSink().datagrams, datagrams);
        EXPECT_EQ(writer.GetSink().faults, 0) << "refused datagrams still advance the sequence";
        EXPECT_EQ(writer.SendFailures().Refused(), static_cast<uint64_t>(datagrams / refuseEvery));
        EXPECT_TRUE(writer.SendFailures().Failing());
        EXPECT_EQ(writer.ReportedChanges(), 1) << "one change for the log, not one per datagram";
    }
}

// Every 50th video packet of the ten-program stream begins a key frame, as
// muxers mark one: viewers start there. Returns the first's index.
size_t MarkKeyFrames(std::vector<unsigned char>& stream)
{
    size_t first = SIZE_MAX;
    int videoPackets = 0;
    for (size_t p = 0; p < stream.size() / kTsPacketSize; ++p)
    {
        unsigned char* packet = &stream[p * kTsPacketSize];
        const int pid = (packet[1] & 0x1F) << 8 | packet[2];
        if (pid < 0x100 || pid >= 0x100 + 16 * kProgramStreamPrograms || (pid & 0x0F) != 0 || videoPackets++ % 50 != 0)
            continue;
        packet[1] |= 0x40;
        packet[3] = static_cast<unsigned char>((packet[3] & 0x0F) | 0x30);
        const unsigned char fields[] = {1, 0x40, 0x00, 0x00, 0x01, 0xE0};  // adaptation field, PES start
        std::memcpy(packet + 4, fields, sizeof fields);
        first = std::min(first, p);
    }
    return first;
}

// The URL server's viewers on the traffic thread: every chunk goes once into
// each stream's shared ring (the whole stream, read by two viewers; program
// 1003 through its cut; program 1005 with a small ring nobody reads, so that
// its viewer falls a whole ring behind) while a server-like thread reads the
// others, and a viewer joins midway (its tables copied for it). The rings,
// cuts and tables' buffers are made before, as the server makes them at
// connect. Viewers wait for a key frame on the traffic thread.
TEST(NoAllocation, ViewerFanOutAllocatesNothing)
{
    std::vector<unsigned char> stream = MakeProgramStream(true);  // tables for the prefix, the page and the filter
    const size_t firstKeyFrame = MarkKeyFrames(stream);
    std::unique_ptr<CViewerFanOut> fanOutMemory(new CViewerFanOut);
    CViewerFanOut& fanOut = *fanOutMemory;
    EViewerAttach outcome;
    const int program = fanOut.Attach(1003, outcome);
    const int drained1 = fanOut.Attach(0, outcome);
    const int drained2 = fanOut.Attach(0, outcome);
    const int stalled = fanOut.Attach(1005, outcome, 100);
    ASSERT_GE(program, 0);
    ASSERT_GE(drained1, 0);
    ASSERT_GE(drained2, 0);
    ASSERT_GE(stalled, 0);
    auto feed = [&] {
        ForEachBlock(stream, 7 * kTsPacketSize,
                     [&](unsigned char* data, int length) { fanOut.PutPackets(data, length / kTsPacketSize); });
    };
    feed();  // warm-up: first touch of every page
    std::atomic<uint64_t> drained{0};
    std::atomic<uint64_t> programBytes{0};
    // The viewers' tables go out before the window: once they are sent the
    // server thread frees their buffers, which is its work, not the traffic
    // thread's.
    {
        std::vector<unsigned char> piece(64 * 1024);
        for (int viewer : {program, drained1, drained2})
            for (size_t n; (n = fanOut.CopyNext(viewer, piece.data(), piece.size())) != 0 && n != kViewerBehind;)
            {
                fanOut.Consume(viewer, n);
                (viewer == program ? programBytes : drained) += n;
            }
    }

    std::atomic<bool> done{false};
    std::atomic<uint64_t> lateBytes{0};
    std::atomic<bool> running{false};
    int late = -1;
    std::thread server([&] {
        std::unique_ptr<unsigned char[]> piece(new unsigned char[64 * 1024]);
        auto take = [&](int viewer) -> uint64_t {
            uint64_t taken = 0;
            for (;;)
            {
                const size_t n = fanOut.CopyNext(viewer, piece.get(), 64 * 1024);
                if (n == 0 || n == kViewerBehind)
                    return taken;
                fanOut.Consume(viewer, n);
                taken += n;
            }
        };
        for (;;)
        {
            running = true;
            const bool last = done.load();
            drained += take(drained1) + take(drained2);
            programBytes += take(program);
            if (last)
                break;
            std::this_thread::yield();
        }
    });
    // A thread's start allocates (its stack, its thread-local blocks): the
    // window opens once the drainer runs.
    while (!running.load())
        std::this_thread::yield();
    AllocationWindow window;
    for (int pass = 0; pass < kPasses; ++pass)
    {
        if (pass == kPasses / 2)
        {
            // Attaching is the server thread's (it allocates the viewer's
            // tables' buffer): outside the window. Its join is the traffic
            // thread's, inside.
            window.Stop();
            late = fanOut.Attach(0, outcome);
            window.Resume();
        }
        feed();
    }
    window.Stop();
    done = true;
    server.join();
    // Read after the window: once its tables are sent, the server thread
    // frees their buffer, which is its own work, not the traffic thread's.
    {
        std::vector<unsigned char> piece(64 * 1024);
        for (size_t n; (n = fanOut.CopyNext(late, piece.data(), piece.size())) != 0 && n != kViewerBehind;)
        {
            fanOut.Consume(late, n);
            lateBytes += n;
        }
    }

    EXPECT_EQ(window.Allocations(), 0) << "allocations while viewers were fed";
    EXPECT_EQ(window.Releases(), 0) << "releases while viewers were fed";
    EXPECT_GE(late, 0);
    EXPECT_GT(lateBytes.load(), 0u) << "the late viewer received its tables and the stream";
    EXPECT_TRUE(fanOut.Behind(stalled));
    EXPECT_FALSE(fanOut.Behind(drained1));
    EXPECT_EQ(fanOut.Viewers(), 5);
    EXPECT_EQ(fanOut.Streams(), 3);
    EXPECT_GT(programBytes.load(), 0u) << "the program viewer received its program";
    EXPECT_TRUE(fanOut.Programs().Lists(1003)) << "the page's program list follows the PAT";
    const uint64_t whole = static_cast<uint64_t>(stream.size()) * (1 + kPasses) - firstKeyFrame * kTsPacketSize;
    EXPECT_GE(drained.load(), 2 * whole) << "both drained viewers received every packet from the first key frame";
}

// The program filter sits on the same path: reassembling tables, rewriting
// the PAT and SDT, a new selection at Start, all in its own members.
TEST(NoAllocation, ProgramFilterAllocatesNothing)
{
    struct CountingSink : IPacketSink
    {
        long packets = 0;
        void PutPacket(const unsigned char* packet) override { packets += packet[0] == kTsSyncByte ? 1 : 0; }
    };
    const std::vector<unsigned char> stream = MakeProgramStream(true);
    auto filter = std::make_unique<CProgramFilter>();
    CountingSink sink;
    SProgramSelection selection{};
    selection.Numbers[selection.Count++] = kFirstProgramNumber + 2;
    selection.Numbers[selection.Count++] = kFirstProgramNumber + 7;

    AllocationWindow window;
    for (int pass = 0; pass < 3; ++pass)
    {
        filter->Reset(pass == 2 ? SProgramSelection{} : selection);
        for (size_t offset = 0; offset < stream.size(); offset += kTsPacketSize)
            filter->Feed(stream.data() + offset, sink);
    }
    window.Stop();

    EXPECT_EQ(window.Allocations(), 0) << "allocations in the program filter";
    EXPECT_EQ(window.Releases(), 0) << "releases in the program filter";
    EXPECT_GT(sink.packets, static_cast<long>(kProgramStreamPackets)) << "the filter passed too little to prove anything";
    EXPECT_EQ(filter->ProgramsPresent(), -1);
}

// What the traffic thread does for HTTP clients, and what the server thread
// does with a request: the PAT/PMT prefix watched in every packet and copied
// for a client that joins, every chunk appended once to the stream's shared
// ring, one reader following it and another that never reads (and is
// lapped), a request parsed. The ring and the cache exist before; nothing is
// allocated after.
TEST(NoAllocation, HttpClientPathAllocatesNothing)
{
    std::vector<unsigned char> stream = MakeTsPackets(kStreamPackets);
    // A PAT and two PMTs among the packets, as a broadcast repeats them.
    unsigned char counter = 0;
    const auto pat = psi_test::Packetize(0, psi_test::Pat({{1, 0x1000}, {2, 0x1001}}), counter);
    const auto pmt1 = psi_test::Packetize(0x1000, psi_test::Pmt(1, 0), counter);
    const auto pmt2 = psi_test::Packetize(0x1001, psi_test::Pmt(2, 0, 60), counter);
    for (size_t p = 0; p + 4 <= kStreamPackets; p += 100)
    {
        unsigned char* at = &stream[p * kTsPacketSize];
        std::memcpy(at, pat[0].data(), kTsPacketSize);
        std::memcpy(at + kTsPacketSize, pmt1[0].data(), kTsPacketSize);
        std::memcpy(at + 2 * kTsPacketSize, pmt2[0].data(), kTsPacketSize);
        std::memcpy(at + 3 * kTsPacketSize, pmt2[1].data(), kTsPacketSize);
    }
    const char request[] = "GET /stream.ts HTTP/1.1\r\nHost: 192.168.1.20:8001\r\nRange: bytes=0-\r\n\r\n";

    auto cache = std::make_unique<CPsiCache>();
    CStreamRing ring(1000);
    std::vector<unsigned char> prefix(16 * kTsPacketSize);
    std::vector<unsigned char> piece(64 * 1024);
    int prefixPackets = 0;
    uint64_t reader = 0;
    uint64_t stalled = 0;
    bool joined = false;
    uint64_t drained = 0;

    AllocationWindow window;
    for (int pass = 0; pass < 3; ++pass)
    {
        for (size_t offset = 0; offset < stream.size(); offset += 7 * kTsPacketSize)
        {
            const unsigned char* chunk = &stream[offset];
            const int packets = static_cast<int>(std::min<size_t>(7, (stream.size() - offset) / kTsPacketSize));
            cache->ObservePackets(chunk, packets);
            if (!joined && cache->PrefixPackets() == 4)
            {
                prefixPackets = cache->CopyPrefix(prefix.data(), 16);
                reader = stalled = ring.Written();
                joined = true;
            }
            ring.AppendPackets(chunk, packets);
            if (!joined)
                continue;
            for (;;)
            {
                const size_t length = ring.CopyOut(reader, piece.data(), piece.size());
                if (length == 0 || length == kRingLapped)
                    break;
                drained += length;
                reader += length;
            }
        }
        SHttpRequest parsed;
        EXPECT_EQ(ParseHttpRequest(request, sizeof request - 1, parsed), EHttpParse::Complete);
    }
    window.Stop();

    EXPECT_EQ(window.Allocations(), 0) << "allocations while traffic flowed to HTTP clients";
    EXPECT_EQ(window.Releases(), 0) << "releases while traffic flowed to HTTP clients";
    EXPECT_TRUE(joined);
    EXPECT_EQ(prefixPackets, 4);
    EXPECT_FALSE(ring.Lapped(reader));
    EXPECT_TRUE(ring.Lapped(stalled));
    EXPECT_GT(drained, 2u * stream.size());
}

} // namespace
