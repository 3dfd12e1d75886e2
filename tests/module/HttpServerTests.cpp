// The URL server inside the module object, under Wine with real Winsock on
// 127.0.0.1: it listens from Start to Stop, refuses a start it cannot serve
// before anything is registered, hands viewers exactly the packets the
// engine delivered, and lets go of every viewer at Stop, at a channel change
// and when the object ends; it holds up against clients that stop reading,
// clients outside HttpAllow, a lack of memory and a failing listener.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "IniModuleTest.h"
#include "ModuleTestSupport.h"
#include "PsiTestStreams.h"
#include "settings/OptionKeys.h"
#include "HttpServerFixture.h"

#include <iphlpapi.h>  // after winsock2.h

using namespace KelvModuleApi2;

// ---------------------------------------------------------------------------
// A system without memory for a viewer's buffer: while the switch is on,
// every allocation of a megabyte or more fails here, as operator new fails
// for it: the throwing forms throw, the others return null. (The module is
// linked into this program, so these forms are its own.)
//
// While LargeAllocationsCounted lives, the allocations of a megabyte or more
// that other threads than the test's make (the server's) are counted: how
// many are alive at once, at most.
namespace
{
constexpr size_t kLargeAllocation = size_t{1} << 20;
std::atomic<bool> g_LargeAllocationsFail{false};

struct SLargeAllocations
{
    std::atomic<bool> Counting{false};
    DWORD TestThread = 0;
    std::mutex Lock;
    std::vector<void*>* Alive = nullptr;  // reserved before counting: no allocation under the lock
    int Peak = 0;
} g_Large;

bool RefuseAllocation(size_t size)
{
    return size >= kLargeAllocation && g_LargeAllocationsFail.load();
}

void CountAllocation(void* block, size_t size)
{
    if (block == nullptr || size < kLargeAllocation || !g_Large.Counting.load() ||
        GetCurrentThreadId() == g_Large.TestThread)
        return;
    std::lock_guard<std::mutex> lock(g_Large.Lock);
    if (g_Large.Alive->size() < g_Large.Alive->capacity())
        g_Large.Alive->push_back(block);
    g_Large.Peak = std::max(g_Large.Peak, static_cast<int>(g_Large.Alive->size()));
}

void CountRelease(void* block)
{
    if (block == nullptr || !g_Large.Counting.load())
        return;
    std::lock_guard<std::mutex> lock(g_Large.Lock);
    auto at = std::find(g_Large.Alive->begin(), g_Large.Alive->end(), block);
    if (at != g_Large.Alive->end())
        g_Large.Alive->erase(at);
}

void* Allocate(size_t size) noexcept
{
    void* block = RefuseAllocation(size) ? nullptr : std::malloc(size != 0 ? size : 1);
    CountAllocation(block, size);
    return block;
}

void Release(void* block) noexcept
{
    CountRelease(block);
    std::free(block);
}

struct LargeAllocationsCounted
{
    LargeAllocationsCounted()
    {
        g_Large.Alive = new std::vector<void*>;
        g_Large.Alive->reserve(256);
        g_Large.Peak = 0;
        g_Large.TestThread = GetCurrentThreadId();
        g_Large.Counting = true;
    }
    ~LargeAllocationsCounted()
    {
        g_Large.Counting = false;
        std::lock_guard<std::mutex> lock(g_Large.Lock);
        delete g_Large.Alive;
        g_Large.Alive = nullptr;
    }
    int Peak()
    {
        std::lock_guard<std::mutex> lock(g_Large.Lock);
        return g_Large.Peak;
    }
};

void* AllocateOrThrow(size_t size)
{
    void* block = Allocate(size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

struct LargeAllocationsFail
{
    LargeAllocationsFail() { g_LargeAllocationsFail = true; }
    ~LargeAllocationsFail() { g_LargeAllocationsFail = false; }
};
}  // namespace

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }
void operator delete[](void* block, size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }



TEST_F(HttpServer, ListensFromStartToStopAndServesTheDeliveredPackets)
{
    Create(PortLine());
    EXPECT_FALSE(Listening(port)) << "nothing listens before Start";
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    EXPECT_EQ(Access().Description().find(L"udp://127.0.0.1:"), 0u) << Narrow(Access().Description());
    EXPECT_NE(Access().Description().find(L"http://"), std::wstring::npos) << Narrow(Access().Description());

    Client viewer(port);
    ASSERT_TRUE(viewer.Connected());
    viewer.Send("GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=0-\r\n\r\n");
    const std::string head = viewer.ReadHead();
    auto log = [] {
        std::string text;
        for (const std::wstring& l : WinsockProbe::DebugLines())
            text += Narrow(l);
        return text;
    };
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nCache-Control: no-cache\r\n"
                    "Connection: close\r\n\r\n")
        << log();
    // The viewer is attached once its head is out; what the engine delivers
    // from then on reaches it whole and in order (no PAT here: no prefix).
    const int packets = 7 * 700;  // whole datagrams: nothing stays in the aligner
    Feed(1, packets);
    const std::string body = viewer.Read(packets * kPacket);
    ASSERT_EQ(body.size(), size_t{packets} * kPacket) << log();
    for (int i = 0; i < packets; ++i)
        ASSERT_EQ(TsPackets::CounterOf(reinterpret_cast<const uint8_t*>(body.data()) + i * kPacket), 1 + i) << i;
    EXPECT_EQ(receiver.DrainUntilMarker().size(), size_t{packets / 7}) << "the RTP stream runs beside it";

    Writer().StopWrite();
    EXPECT_TRUE(viewer.ClosedByServer());
    EXPECT_FALSE(Listening(port)) << "nothing listens after Stop";

    const auto lines = WinsockProbe::DebugLines();
    auto has = [&](const wchar_t* part) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::wstring& l) { return l.find(part) != std::wstring::npos; });
    };
    EXPECT_TRUE(has(L"connected: GET /stream.ts"));
    EXPECT_TRUE(has(L"disconnected: the stream stopped"));
}

// /stream.ts is the whole transponder also while the RTP stream carries only
// the chosen programs: the viewers take the source before the cut.
TEST_F(HttpServer, TheWholeStreamViewerGetsTheSourceWhileProgramsAreCut)
{
    Create(PortLine() + "Programs=4711\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    Client viewer(port);
    ASSERT_TRUE(viewer.Connected());
    viewer.Send("GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const int packets = 7 * 100;
    Feed(1, packets);
    const std::string body = viewer.Read(packets * kPacket);
    ASSERT_EQ(body.size(), size_t{packets} * kPacket) << "the cut stream reached the viewer instead of the source";
    for (int i = 0; i < packets; ++i)
        ASSERT_EQ(TsPackets::CounterOf(reinterpret_cast<const uint8_t*>(body.data()) + i * kPacket), 1 + i) << i;
    Writer().StopWrite();
}

// Where the bytes lose the packet boundary while programs are cut (the first
// block begins at byte 100 of packet 1, a stray byte in packet 200, a byte of
// packet 400 lost), the whole-stream viewer gets the packets from each next
// packet start, as a viewer of the uncut stream does: never shifted bytes.
// The damaged packets carry no 0x47 behind their sync byte, so what is lost
// is known: packet 1, and 401, the packet that completes 400.
TEST_F(HttpServer, TheWholeStreamViewerGetsThePacketsFoundAgainWhileProgramsAreCut)
{
    Create(PortLine() + "Programs=4711\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    Client viewer(port);
    ASSERT_TRUE(viewer.Connected());
    viewer.Send("GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    const int packets = 700;
    Bytes clean = TsPackets::Make(1, packets);
    auto packet = [&clean](int counter) { return clean.begin() + (counter - 1) * kPacket; };
    for (int counter : {1, 200, 400, 401})
        std::fill(packet(counter) + 8, packet(counter) + kPacket, uint8_t{0xFF});
    Bytes damaged(packet(1) + 100, packet(200) + 50);
    damaged.push_back(0x00);
    damaged.insert(damaged.end(), packet(200) + 50, packet(400) + 50);
    damaged.insert(damaged.end(), packet(400) + 51, clean.end());
    Bytes expected(packet(2), packet(200) + 50);
    expected.push_back(0x00);
    expected.insert(expected.end(), packet(200) + 50, packet(200) + kPacket - 1);
    expected.insert(expected.end(), packet(201), packet(400) + 50);
    expected.insert(expected.end(), packet(400) + 51, packet(401) + 1);
    expected.insert(expected.end(), packet(402), clean.end());

    for (size_t offset = 0; offset < damaged.size(); offset += 187)
        ASSERT_TRUE(device.Deliver(damaged.data() + offset, static_cast<int>(std::min<size_t>(187, damaged.size() - offset))));
    const std::string body = viewer.Read(expected.size());
    ASSERT_EQ(body.size(), expected.size());
    for (size_t at = 0; at < expected.size(); at += kPacket)
        ASSERT_TRUE(std::equal(expected.begin() + static_cast<std::ptrdiff_t>(at),
                               expected.begin() + static_cast<std::ptrdiff_t>(at + kPacket),
                               reinterpret_cast<const uint8_t*>(body.data()) + at))
            << "packet " << at / kPacket << " of the viewer's stream";
    Writer().StopWrite();
}

TEST_F(HttpServer, ChannelChangeAndTheObjectsEndCloseEveryViewer)
{
    Create(PortLine());
    for (int ending = 0; ending < 2; ++ending)
    {
        Writer().StartWrite();
        ASSERT_TRUE(Access().Streaming());
        Client viewer(port);
        ASSERT_TRUE(viewer.Connected());
        viewer.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
        ASSERT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        if (ending == 0)
            Writer().UpdateOpenedChannels(nullptr, 0, SModuleInfo::ETT_TransportStream);
        else
            module.reset();
        EXPECT_TRUE(viewer.ClosedByServer()) << ending;
        EXPECT_FALSE(Listening(port)) << ending;
    }
}

// A start the server cannot serve is refused whole: no filter, no stream, the
// reason on the dialog's line.
TEST_F(HttpServer, RefusedStartsRegisterNothing)
{
    WinsockProbe::OwnCalls own;
    SOCKET taken = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const uint16_t takenPort = FreeTcpPort();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(takenPort);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);

    struct Case
    {
        std::string lines;
        std::wstring refusal;  // the beginning of it
    };
    const Case cases[] = {
        {"HttpPort=" + std::to_string(takenPort) + "\r\n", L"Cannot listen on port " + std::to_wstring(takenPort) + L": "},
        {PortLine() + "HttpAddress=192.0.2.1\r\n", L"Cannot listen on 192.0.2.1: no interface of this PC has it"},
        {PortLine() + "HttpAddress=localhost\r\n", L"Cannot listen on localhost: no interface of this PC has it"},
    };
    for (const Case& c : cases)
    {
        Create(c.lines);
        const size_t adds = device.CallCount(DeviceOp::AddEngineFilter);
        Writer().StartWrite();
        EXPECT_FALSE(Access().Streaming()) << c.lines;
        EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), adds) << c.lines;
        EXPECT_EQ(Access().StartRefusal().rfind(c.refusal, 0), 0u) << Narrow(Access().StartRefusal());
        EXPECT_EQ(Access().Description(), Access().StartRefusal());
        EXPECT_FALSE(Listening(port)) << c.lines;
        module.reset();
    }
    closesocket(taken);
}

// HttpAddress of this PC: the server listens there.
TEST_F(HttpServer, ListensOnTheAddressNamed)
{
    Create(PortLine() + "HttpAddress=127.0.0.1\r\nHttpMaxClients=1\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    EXPECT_NE(Access().Description().find(L"http://127.0.0.1:" + std::to_wstring(port) + L"/"), std::wstring::npos)
        << Narrow(Access().Description());
    Client first(port), second(port);
    first.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
    ASSERT_EQ(first.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    // The first is a viewer from before its head went out: one at most.
    second.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
    const std::string refused = second.ReadHead();
    EXPECT_EQ(refused.rfind("HTTP/1.1 503 ", 0), 0u) << refused;
    EXPECT_NE(refused.find("Retry-After: "), std::string::npos) << refused;
}

// ---------------------------------------------------------------------------
// Restarting on Windows. The listener binds exclusively, and Windows refuses
// such a bind while a connection accepted on the port is still active: one
// closed gracefully with data queued for a viewer that stopped reading (a
// paused player, an idle TV) stays active as long as the viewer's window is
// shut. Stop therefore resets the viewers, and Start right after it listens
// again. Wine does not enforce that bind rule; what it shows is how the
// connections end: with a reset, never a FIN behind queued stream.
TEST_F(HttpServer, StopResetsViewersThatStoppedReadingAndStartFollowsAtOnce)
{
    Create(PortLine());
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    uint32_t counter = 1;
    for (int cycle = 0; cycle < 20; ++cycle)
    {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::vector<std::unique_ptr<Client>> viewers;
        for (int i = 0; i < 2; ++i)
        {
            viewers.push_back(std::make_unique<Client>(port, kLoopback, kLoopback, 4096));
            ASSERT_TRUE(viewers.back()->Connected());
            viewers.back()->Send("GET /stream.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            ASSERT_EQ(viewers.back()->ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << LogText();
        }
        // A page that its client has read and not closed yet.
        Client page(port);
        page.Send("GET / HTTP/1.0\r\n\r\n");
        ASSERT_EQ(page.ReadAnswer().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

        // 130 KB each, far more than a shut window takes: once the stream
        // reaches a viewer, the server's socket holds what its first send
        // handed over beyond the window.
        Feed(counter, 7 * 100);
        counter += 7 * 100;
        for (auto& v : viewers)
        {
            const DWORD began = GetTickCount();
            while (v->Waiting() < kPacket && GetTickCount() - began < kWaitMs)
                Sleep(5);
            ASSERT_GE(v->Waiting(), unsigned{kPacket}) << "the stream reached the viewer";
        }
        ASSERT_EQ(receiver.DrainUntilMarker().size(), 100u);

        Writer().StopWrite();
        Writer().StartWrite();
        ASSERT_TRUE(Access().Streaming()) << "Start right after Stop: " << Narrow(Access().StartRefusal());
        Feed(counter, 7 * 10);
        counter += 7 * 10;
        EXPECT_EQ(receiver.DrainUntilMarker().size(), 10u) << "the RTP stream runs again";
        // The viewers' and the page's connections are gone on the server's
        // side, unsent stream and all, though their clients still hold them.
        ASSERT_EQ(ConnectionsLeftOn(port), "") << "connections of the stopped server";
    }
    Writer().StopWrite();
}

// After a page or a refusal the client closes first, as players do after
// an answer with Connection: close: on Windows the side that closes first
// keeps the port's connection alive in TIME_WAIT, and the next Start's
// exclusive bind would be refused meanwhile. A client that keeps the
// connection is reset after a second; the server never sends the first FIN.
TEST_F(HttpServer, AfterPagesAndRefusalsTheClientClosesFirst)
{
    Create(PortLine() + "HttpMaxClients=1\r\nHttpAllow=127.0.0.1\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    Client viewer(port);  // the one viewer HttpMaxClients allows: the next gets 503
    viewer.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
    ASSERT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    struct Case
    {
        const char* name;
        uint32_t from;
        const char* request;
        const char* status;
    };
    const Case cases[] = {
        {"the page", kLoopback, "GET / HTTP/1.1\r\nHost: tv\r\n\r\n", "200"},
        {"the playlist", kLoopback, "GET /playlist.m3u HTTP/1.1\r\nHost: tv\r\n\r\n", "200"},
        {"the stream's head", kLoopback, "HEAD /stream.ts HTTP/1.0\r\n\r\n", "200"},
        {"an unknown path", kLoopback, "GET /nothing HTTP/1.0\r\n\r\n", "404"},
        {"a method not served", kLoopback, "DELETE / HTTP/1.0\r\n\r\n", "405"},
        {"a malformed request", kLoopback, "GET / HTTP/1.1\r\n\r\n", "400"},
        {"one viewer too many", kLoopback, "GET /stream.ts HTTP/1.0\r\n\r\n", "503"},
        {"a network not in HttpAllow", kLoopback2, "GET / HTTP/1.0\r\n\r\n", "403"},
    };
    // Both kinds of client at once, so that the second the kept ones wait
    // runs for all of them together.
    std::vector<std::unique_ptr<Client>> closing, keeping;
    for (const Case& c : cases)
        for (auto* clients : {&closing, &keeping})
        {
            clients->push_back(std::make_unique<Client>(port, c.from));
            clients->back()->Send(c.request);
        }
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        SCOPED_TRACE(cases[i].name);
        const std::string expected = std::string("HTTP/1.1 ") + cases[i].status + " ";
        for (auto* clients : {&closing, &keeping})
            EXPECT_EQ((*clients)[i]->ReadAnswer().rfind(expected, 0), 0u) << LogText();
        closing[i]->CloseSending();
        EXPECT_STREQ(EndName(closing[i]->ReadToEnd()), EndName(Client::End::Closed))
            << "after the client's FIN the server closes too";
    }
    viewer.CloseSending();
    // Neither the answers the clients closed nor those the server reset
    // after a second leave a connection on the server's side; a server
    // that had closed first would hold them in TIME_WAIT or FIN_WAIT2.
    EXPECT_EQ(ConnectionsLeftOn(port), "");
    Writer().StopWrite();
}

// A viewer's buffer that the system cannot give: the viewer gets 503 and
// the log says why; the host goes on, and so does the server.
TEST_F(HttpServer, AViewerWhoseBufferCannotBeHadGets503)
{
    Create(PortLine());
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const size_t mark = LogMark();
    {
        LargeAllocationsFail noMemory;
        Client refused(port);
        refused.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
        const std::string answer = refused.ReadAnswer();
        EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("Retry-After: "), std::string::npos) << answer;
    }
    EXPECT_EQ(LogLinesWith(mark, {L"refused (503): no memory"}).size(), 1u) << LogText();
    Client viewer(port);
    viewer.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
    ASSERT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    Feed(1, 7 * 10);
    EXPECT_EQ(viewer.Read(7 * 10 * kPacket).size(), size_t{7 * 10 * kPacket});
    Writer().StopWrite();
}

// A guide of about 8.6 MB: program 101 with 400 events, each with a text of
// 3600 quote marks (six bytes each in XML), one event a section, as packets.
std::vector<psitest::Packet> DenseGuidePackets(int64_t now)
{
    using namespace psitest;
    PacketMaker maker;
    std::vector<Packet> packets;
    auto add = [&packets](const std::vector<Packet>& more) { packets.insert(packets.end(), more.begin(), more.end()); };
    add(maker.Sections(0x0000, {PatSection(7, 0, {{101, 0x100}})}));
    add(maker.Sections(0x0011, {SdtSection(0x42, 7, 0xFF01, 0, {{101, "P", "One"}})}));
    add(maker.Sections(0x0014, {TdtSection(now)}));
    const Bytes quotes(3600, '"');
    std::vector<Bytes> sections;
    for (int i = 0; i < 400; ++i)
    {
        Bytes descriptors = ShortEventDescriptor("eng", Text("Event " + std::to_string(i)), Text(""));
        const Bytes extended = ExtendedEventDescriptors("eng", {}, quotes, 240);
        descriptors.insert(descriptors.end(), extended.begin(), extended.end());
        const EitHeader header{static_cast<uint8_t>(0x50 + i / 256), 101, 7, 0xFF01, 0, i % 256, 0xFF};
        sections.push_back(EitEventsSection(header, {{static_cast<uint16_t>(i + 1), now + 3600 * i, 3600, descriptors}}));
    }
    add(maker.Sections(0x0012, sections));
    return packets;
}

// The Content-Length of an answer's head, 0 when it has none.
size_t ContentLength(const std::string& head)
{
    const size_t at = head.find("Content-Length: ");
    return at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
}

// Each /epg.xml reply holds the whole document: at most two are sent at
// once, and no more memory is taken for more requests; the others get 503
// with Retry-After at once, and so does a request whose document cannot
// be had. Once a reply is taken, the next request is served.
TEST_F(HttpServer, GuideRepliesInFlightAreCappedAndTheRestGet503)
{
    Create(PortLine());
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    FILETIME pcTime;
    GetSystemTimeAsFileTime(&pcTime);
    const int64_t now =
        static_cast<int64_t>((static_cast<uint64_t>(pcTime.dwHighDateTime) << 32 | pcTime.dwLowDateTime) / 10000000) -
        11644473600LL;
    std::vector<psitest::Packet> packets = DenseGuidePackets(now);
    psitest::PacketMaker nulls;
    while (packets.size() % 7 != 0)  // whole datagrams: nothing waits in the aligner
        packets.push_back(nulls.Stream(0x1FFF, 0xFF));
    const size_t whole = packets.size();
    // The server empties the guide's queue (2048 packets) every 200 ms or
    // sooner; what a loaded machine drops is sent again (the collector
    // skips the sections it has read), until the guide holds every event.
    size_t length = 0;
    size_t programmes = 0;
    for (int pass = 0; pass < 5 && programmes < 400; ++pass)
    {
        for (size_t at = 0; at < whole; at += 700)
        {
            std::vector<uint8_t> block;
            for (size_t p = at; p < at + 700 && p < whole; ++p)
                block.insert(block.end(), packets[p].begin(), packets[p].end());
            ASSERT_TRUE(device.Deliver(block.data(), static_cast<int>(block.size())));
            Sleep(80);
        }
        for (int look = 0; look < 8 && programmes < 400; ++look)
        {
            Sleep(150);
            Client probe(port);
            probe.Send("GET /epg.xml HTTP/1.0\r\n\r\n");
            const std::string answer = probe.ReadAnswer();
            const size_t body = answer.find("\r\n\r\n");
            length = body == std::string::npos ? 0 : answer.size() - body - 4;
            programmes = 0;
            for (size_t at = answer.find("<programme "); at != std::string::npos; at = answer.find("<programme ", at + 1))
                ++programmes;
        }
    }
    ASSERT_EQ(programmes, 400u) << "the guide's events, after 5 passes";
    ASSERT_GT(length, size_t{8} << 20) << "the guide's document, each reply's buffer";

    const size_t mark = LogMark();
    {
        LargeAllocationsCounted counted;
        // Clients with a small window that read nothing yet: the server
        // cannot hand a reply of megabytes to the system, so the first two
        // stay in flight while the other requests come.
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 5; ++i)
        {
            clients.emplace_back(new Client(port, kLoopback, kLoopback, 4096));
            ASSERT_TRUE(clients.back()->Connected());
            clients.back()->Send("GET /epg.xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        }
        int refused = 0;
        std::vector<Client*> served;
        for (auto& client : clients)
        {
            const std::string head = client->ReadHead();
            if (head.rfind("HTTP/1.1 200 OK\r\n", 0) == 0)
            {
                served.push_back(client.get());
                EXPECT_EQ(ContentLength(head), length) << head;
            }
            else
            {
                ++refused;
                EXPECT_EQ(head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << head;
                EXPECT_NE(head.find("Retry-After: "), std::string::npos) << head;
                client->Read(ContentLength(head));
            }
        }
        EXPECT_EQ(served.size(), 2u);
        EXPECT_EQ(refused, 3);
        EXPECT_EQ(counted.Peak(), 2) << "documents alive at once";
        for (Client* client : served)
        {
            const std::string body = client->Read(length);
            EXPECT_EQ(body.size(), length);
            EXPECT_EQ(body.rfind("<?xml", 0), 0u) << body.substr(0, 100);
            EXPECT_NE(body.find("</tv>"), std::string::npos);
        }
    }
    EXPECT_EQ(LogLinesWith(mark, {L"refused (503): 2 guide replies being sent already"}).size(), 3u) << LogText();

    // Both replies taken: the next request is served.
    Client next(port);
    next.Send("GET /epg.xml HTTP/1.0\r\n\r\n");
    const std::string answer = next.ReadAnswer();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
    EXPECT_GT(answer.size(), length);

    // No memory for the document: 503, and the server goes on.
    {
        LargeAllocationsFail noMemory;
        Client refused(port);
        refused.Send("GET /epg.xml HTTP/1.0\r\n\r\n");
        const std::string head = refused.ReadAnswer();
        EXPECT_EQ(head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << head;
        EXPECT_NE(head.find("Retry-After: "), std::string::npos) << head;
    }
    EXPECT_EQ(LogLinesWith(mark, {L"refused (503): no memory for the guide"}).size(), 1u) << LogText();
    Writer().StopWrite();
}

// Anyone who reaches the port can open connections. Those from outside
// HttpAllow get their 403 from a few places of their own and are reset at
// once beyond them, so that a flood of them keeps no viewer out; and the
// log gets at most a line a second about them, with a count.
TEST_F(HttpServer, OutsidersNeitherCrowdOutViewersNorFloodTheLog)
{
    Create(PortLine() + "HttpAllow=127.0.0.2\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const size_t mark = LogMark();
    const DWORD began = GetTickCount();
    constexpr int kOutsiders = 100;  // more than every place there is
    std::vector<std::unique_ptr<Client>> outsiders;
    for (int i = 0; i < kOutsiders; ++i)
        outsiders.push_back(std::make_unique<Client>(port));  // 127.0.0.1: not in the list; they read nothing
    Client viewer(port, kLoopback2);
    ASSERT_TRUE(viewer.Connected());
    viewer.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
    EXPECT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "the viewer got a place";
    Feed(1, 7 * 10);
    EXPECT_EQ(viewer.Read(7 * 10 * kPacket).size(), size_t{7 * 10 * kPacket});

    int answered = 0;
    for (auto& o : outsiders)
    {
        const std::string answer = o->ReadAnswer();
        if (!answer.empty())
        {
            EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << answer;
            ++answered;
        }
    }
    EXPECT_GE(answered, 1);
    viewer.CloseSending();
    // Answered or not, no outsider's connection outlasts its second.
    EXPECT_EQ(ConnectionsLeftOn(port), "");

    // Every refusal is in the log, one by one or counted in a line.
    auto logged = [mark] {
        int refusals = 0, lines = 0;
        for (const std::wstring& l : LogLinesWith(mark, {L"HTTP 127.0.0.1:"}))
        {
            ++lines;
            const size_t at = l.find(L"(the latest of ");
            refusals += at == std::wstring::npos ? 1 : std::stoi(l.substr(at + 15));
        }
        return std::make_pair(refusals, lines);
    };
    while (logged().first < kOutsiders && GetTickCount() - began < kWaitMs + 2000)
        Sleep(50);
    const DWORD seconds = (GetTickCount() - began) / 1000 + 1;
    EXPECT_EQ(logged().first, kOutsiders) << LogText();
    EXPECT_LE(static_cast<DWORD>(logged().second), seconds + 1) << "at most a line a second: " << LogText();
    Writer().StopWrite();
}

// Cut where it is read, "10.0.0.0/12" would end as "10.0.0.0/1": half of
// all addresses, loopback among them. A list longer than the module reads
// refuses Start; the longest it reads is taken whole.
TEST_F(HttpServer, AnHttpAllowTooLongToReadWholeRefusesStart)
{
    const size_t readable = kHttpAllowTextCapacity - 1;  // what a read of the key can return
    const std::string first = "192.168.7.0/24,";
    const std::string widened = "10.0.0.0/1";
    std::string cut = first + std::string(readable - first.size() - widened.size(), ',') + widened + "2";
    ASSERT_EQ(cut.substr(0, readable).substr(readable - widened.size()), widened);
    Create(PortLine() + "HttpAllow=" + cut + "\r\n");
    const size_t adds = device.CallCount(DeviceOp::AddEngineFilter);
    Writer().StartWrite();
    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), adds);
    EXPECT_EQ(Access().StartRefusal(), kHttpAllowTooLongReason) << "the dialog's words for it";
    EXPECT_FALSE(Listening(port));
    module.reset();

    const std::string last = "127.0.0.1";
    const std::string longest = first + std::string(readable - 1 - first.size() - last.size(), ',') + last;
    Create(PortLine() + "HttpAllow=" + longest + "\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    Client listed(port), unlisted(port, kLoopback2);
    listed.Send("GET / HTTP/1.0\r\n\r\n");
    unlisted.Send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(listed.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "the list's last entry counts";
    EXPECT_EQ(unlisted.ReadHead().rfind("HTTP/1.1 403 ", 0), 0u);
    Writer().StopWrite();
}

// An accept that keeps failing (no handles, no buffers) leaves the waiting
// connection in the backlog and the listener readable: the server tries
// again a few times a second, not in a loop that takes a whole CPU, and
// serves the connection once accept works again.
TEST_F(HttpServer, AListenerWhoseAcceptKeepsFailingDoesNotSpin)
{
    Create(PortLine());
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const size_t mark = LogMark();
    WinsockProbe::FailAccepts(WSAENOBUFS);
    const int before = WinsockProbe::Accepts();
    Client waiting(port);
    ASSERT_TRUE(waiting.Connected());
    const DWORD began = GetTickCount();
    while (WinsockProbe::Accepts() == before && GetTickCount() - began < kWaitMs)
        Sleep(5);
    const int first = WinsockProbe::Accepts();
    Sleep(1000);
    const int inASecond = WinsockProbe::Accepts() - first;
    WinsockProbe::FailAccepts(0);
    EXPECT_GE(first - before, 1) << "the server tried";
    EXPECT_LE(inASecond, 20) << "accept calls in a second while it fails";
    waiting.Send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(waiting.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "served once accept works again";
    EXPECT_EQ(LogLinesWith(mark, {L"cannot accept"}).size(), 1u) << LogText();
    Writer().StopWrite();
}

// HttpAllow judges the client's address, never the one it connected to: a
// list with loopback left out refuses 127.0.0.1, through either address of
// this PC, and lets the listed 127.0.0.2 in through either; each refusal
// has its line.
TEST_F(HttpServer, HttpAllowJudgesTheClientsAddressNotTheServers)
{
    Create(PortLine() + "HttpAllow=127.0.0.2/32, 198.51.100.0/24\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const size_t mark = LogMark();
    struct Case
    {
        uint32_t from, to;
        bool allowed;
    };
    const Case cases[] = {
        {kLoopback2, kLoopback, true},
        {kLoopback, kLoopback, false},
        {kLoopback2, kLoopback2, true},
        {kLoopback, kLoopback2, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.from & 255) + " to " + std::to_string(c.to & 255));
        Client client(port, c.from, c.to);
        ASSERT_TRUE(client.Connected());
        client.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
        const std::string head = client.ReadHead();
        if (c.allowed)
        {
            EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
            continue;
        }
        EXPECT_EQ(head.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << head;
        // Refusal lines come at most once a second: this one's may wait.
        const std::wstring who = L"HTTP 127.0.0.1:" + std::to_wstring(client.LocalPort()) + L" refused (403)";
        const DWORD began = GetTickCount();
        while (LogLinesWith(mark, {who}).empty() && GetTickCount() - began < kWaitMs)
            Sleep(20);
        EXPECT_EQ(LogLinesWith(mark, {who}).size(), 1u) << LogText();
    }
    Writer().StopWrite();
}
