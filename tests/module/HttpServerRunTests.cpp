// The URL server while a stream runs, under Wine: what it describes is what
// runs, whatever the dialog applies meanwhile; a burst of players all get
// in; a host that goes on delivering across Stop and Start.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HttpServerFixture.h"
#include "PsiTestStreams.h"
#include "settings/OptionKeys.h"

namespace
{
// The body of a GET of `path`, empty unless the answer is 200.
std::string Get(uint16_t port, const std::string& path)
{
    Client client(port);
    client.Send("GET " + path + " HTTP/1.0\r\n\r\n");
    const std::string answer = client.ReadAnswer();
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || body == std::string::npos)
        return "";
    return answer.substr(body + 4);
}

// The second dialog's OK with these keys written.
void ApplyKeys(CPidDataWriter& writer, std::initializer_list<std::pair<EOptionKey, const wchar_t*>> keys)
{
    SOptionWritePlan plan;
    for (const auto& [key, text] : keys)
    {
        plan.Action[key] = EOptionWrite::Write;
        std::wcscpy(plan.Texts.Text[key], text);
    }
    writer.ApplyOptionalKeys(plan);
}
}  // namespace

// Plain UDP, FEC and a TTL applied while RTP runs without them: the served
// description and the page still say what is sent, until the next Start,
// whose description is a new version.
TEST_F(HttpServer, TheServedDescriptionIsTheRunningStreamsUntilTheNextStart)
{
    Create(PortLine());
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const std::string before = Get(port, "/output/1.sdp");
    ASSERT_NE(before.find(" RTP/AVP 33\r\n"), std::string::npos) << before;
    ASSERT_NE(before.find("o=- "), std::string::npos) << before;
    const std::string pageBefore = Get(port, "/");

    ApplyKeys(Writer(), {{kOptionProtocol, L"UDP"}, {kOptionFec, L"5x5"}, {kOptionTtl, L"4"}});
    EXPECT_EQ(Get(port, "/output/1.sdp"), before) << "keys for the next Start";
    const std::string page = Get(port, "/");
    EXPECT_EQ(page, pageBefore);
    EXPECT_EQ(page.find("UDP to"), std::string::npos);
    Feed(1, 7 * 2);
    const auto datagrams = receiver.DrainUntilMarker();
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[0].size(), size_t{12 + 7 * kPacket}) << "RTP runs, as described";

    Writer().StopWrite();
    SOptionWritePlan noFec;  // FEC needs RTP: the next Start sends plain UDP without it
    noFec.Action[kOptionFec] = EOptionWrite::Remove;
    Writer().ApplyOptionalKeys(noFec);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const std::string after = Get(port, "/output/1.sdp");
    EXPECT_NE(after.find(" udp MP2T\r\n"), std::string::npos) << after;
    const size_t origin = before.find("o=- ");
    const std::string versionBefore = before.substr(origin, before.find(" IN ", origin) - origin);
    EXPECT_EQ(after.find(versionBefore + " IN "), std::string::npos) << "a new version: " << after;
    Writer().StopWrite();
}

// 64 players at once, HttpMaxClients=64: each is connected before any sends
// its request, and every one gets its stream.
TEST_F(HttpServer, ABurstOfAsManyViewersAsAllowedAllGetIn)
{
    constexpr int kBurst = 64;
    Create(PortLine() + "HttpMaxClients=64\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    std::vector<std::unique_ptr<Client>> viewers;
    for (int i = 0; i < kBurst; ++i)
    {
        viewers.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(viewers.back()->Connected()) << i;
    }
    Sleep(300);  // the server accepts them all before the first request
    for (auto& viewer : viewers)
        viewer->Send("GET /stream.ts HTTP/1.0\r\n\r\n");
    int admitted = 0;
    for (auto& viewer : viewers)
        admitted += viewer->ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0) == 0 ? 1 : 0;
    EXPECT_EQ(admitted, kBurst) << LogText();
    Writer().StopWrite();
}

// A host that goes on delivering while the module stops and starts (it
// neither waits for its calls nor stops them at RemoveEngineFilter): every
// Start serves the new stream, viewers get its tables and the page its
// programs, and nothing faults.
TEST_F(HttpServer, AHostThatKeepsDeliveringAcrossStopAndStart)
{
    Create(PortLine());
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    KelvModuleApi2::SEngineFilter::IReceiver* traffic = device.Receiver();
    ASSERT_NE(traffic, nullptr);

    using namespace psitest;
    PacketMaker maker;
    std::vector<Packet> packets = maker.Sections(0, {PatSection(1, 0, {{101, 0x100}})});
    for (const Packet& p : maker.Sections(0x100, {PmtSection(101, 0, 0x101, {{0x1B, 0x101, {}}})}))
        packets.push_back(p);
    for (const Packet& p : maker.Sections(0x11, {SdtSection(0x42, 1, 1, 0, {{101, "Provider", "Kept going"}})}))
        packets.push_back(p);
    while (packets.size() % 70 != 0)
        packets.push_back(maker.PesStart(0x101, 0xE0, 0x40));
    Bytes block;
    for (const Packet& p : packets)
        block.insert(block.end(), p.begin(), p.end());
    std::atomic<bool> done{false};
    std::thread host([&] {
        while (!done.load())
        {
            traffic->EngineFilter_ReceiveTraffic(block.data(), static_cast<int>(block.size()));
            std::this_thread::yield();
        }
    });

    for (int cycle = 0; cycle < 10; ++cycle)
    {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        Writer().StopWrite();
        Writer().StartWrite();
        ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
        Client viewer(port);
        viewer.Send("GET /stream.ts HTTP/1.0\r\n\r\n");
        ASSERT_EQ(viewer.ReadHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        const std::string first = viewer.Read(kPacket);
        ASSERT_EQ(first.size(), size_t{kPacket});
        EXPECT_EQ(first[1] & 0x1F, 0) << "its tables first";
        EXPECT_EQ(first[2], 0);
        std::string page;
        for (int look = 0; look < 50 && page.find("Kept going") == std::string::npos; ++look)
        {
            Sleep(20);
            page = Get(port, "/");
        }
        EXPECT_NE(page.find("Kept going"), std::string::npos) << "the program list";
    }
    done = true;
    host.join();
    Writer().StopWrite();
}
