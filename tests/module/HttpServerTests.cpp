// The URL server inside the module object, under Wine with real Winsock on
// 127.0.0.1: it listens from Start to Stop, refuses a start it cannot serve
// before anything is registered, hands viewers exactly the packets the
// engine delivered, and lets go of every viewer at Stop, at a channel change
// and when the object ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "IniModuleTest.h"
#include "ModuleTestSupport.h"

using namespace KelvModuleApi2;

namespace
{
constexpr int kWaitMs = 10000;  // liveness bound for one socket call, never a timing check

// A TCP port that nobody listens on right now.
uint16_t FreeTcpPort()
{
    WinsockProbe::OwnCalls own;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    closesocket(s);
    return ntohs(a.sin_port);
}

// A blocking client of the test's own on 127.0.0.1.
class Client
{
public:
    explicit Client(uint16_t port)
    {
        WinsockProbe::OwnCalls own;
        m_Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD timeout = kWaitMs;
        setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected = connect(m_Socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client()
    {
        WinsockProbe::OwnCalls own;
        closesocket(m_Socket);
    }
    bool Connected() const { return m_bConnected; }
    void Send(const std::string& text)
    {
        WinsockProbe::OwnCalls own;
        send(m_Socket, text.data(), static_cast<int>(text.size()), 0);
    }
    // Reads until `bytes` have come (or the peer closed, or the bound ran out).
    std::string Read(size_t bytes)
    {
        WinsockProbe::OwnCalls own;
        std::string got;
        char buffer[65536];
        while (got.size() < bytes)
        {
            const int n = recv(m_Socket, buffer, static_cast<int>(std::min(sizeof buffer, bytes - got.size())), 0);
            if (n <= 0)
                break;
            got.append(buffer, n);
        }
        return got;
    }
    // Reads the response head, up to its empty line.
    std::string ReadHead()
    {
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 4096)
        {
            const std::string c = Read(1);
            if (c.empty())
                break;
            head += c;
        }
        return head;
    }
    // True once the server has closed the connection (what is still in
    // flight is read and dropped).
    bool ClosedByServer()
    {
        WinsockProbe::OwnCalls own;
        char buffer[65536];
        for (;;)
        {
            const int n = recv(m_Socket, buffer, sizeof buffer, 0);
            if (n == 0)
                return true;
            if (n < 0)
                return WSAGetLastError() != WSAETIMEDOUT;
        }
    }

private:
    SOCKET m_Socket = INVALID_SOCKET;
    bool m_bConnected = false;
};

class HttpServer : public IniModuleTest
{
protected:
    void SetUp() override
    {
        IniModuleTest::SetUp();
        port = FreeTcpPort();
    }
    std::string PortLine() const { return "HttpPort=" + std::to_string(port) + "\r\n"; }

    uint16_t port = 0;
};

bool Listening(uint16_t port)
{
    Client probe(port);
    return probe.Connected();
}
}  // namespace

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
