// Streaming of CPidDataWriter under real Winsock: the module is driven
// directly (StartWrite and StopWrite stand in for the dialog's buttons), the
// traffic comes from a scripted host device through the filter receiver that
// the module registers, and the datagrams are received on 127.0.0.1.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "AddressTexts.h"
#include "ModuleTestSupport.h"

using namespace KelvModuleApi2;

namespace
{
constexpr int kDefaultPackets = 0;  // Create(): leave the INI key out

class Streaming : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WinsockProbe::Installed());
        ASSERT_TRUE(receiver.Bound());
        ASSERT_TRUE(ini.HandToUnit());
    }

    // A new module object that sends to the receiver, `packets` per datagram
    // (the default 7 when kDefaultPackets).
    void Create(int packets = kDefaultPackets)
    {
        ini.WriteKey(L"UDP_Port", std::to_wstring(receiver.Port()));
        if (packets != kDefaultPackets)
            ini.WriteKey(L"nTS_UDP", std::to_wstring(packets));
        module = CreateModule(&device);
        ASSERT_TRUE(module);
    }

    CPidDataWriterTestAccess Access() { return CPidDataWriterTestAccess(module.get()); }
    CPidDataWriter& Writer() { return Access().Writer(); }

    // Packets first .. first+count-1 through the registered filter receiver, in
    // blocks of `perBlock` packets.
    void Feed(uint32_t first, int count, int perBlock)
    {
        Bytes packets = TsPackets::Make(first, count);
        for (int at = 0; at < count; at += perBlock)
        {
            const int n = std::min(perBlock, count - at);
            ASSERT_TRUE(device.Deliver(&packets[static_cast<size_t>(at) * kPacket], n * kPacket))
                << "no filter receiver registered";
        }
    }

    // Feeds packets from `first` on, 32 at a time, until the module has written
    // `lines` debug-output lines since `before`; false after 20 s (a hang
    // guard: a clean second is what it takes).
    // With `paced`, it waits while the collecting receiver has more than a
    // few hundred datagrams to take.
    bool FeedUntilDebugLines(const WinsockProbe::Counts& before, int lines, uint32_t first, bool paced = false)
    {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        const int acceptedBefore = WinsockProbe::Now().acceptedSends;
        while (WinsockProbe::Now().debugLines - before.debugLines < lines)
        {
            if (GetTickCount64() > deadline)
                return false;
            if (paced && WinsockProbe::Now().acceptedSends - acceptedBefore -
                                 static_cast<int64_t>(receiver.Collected()) > 256)
            {
                std::this_thread::yield();
                continue;
            }
            Feed(first, 32, 32);
            first += 32;
        }
        return true;
    }

    TempIniFolder ini;
    ScriptedDevice device;
    UdpReceiver receiver;
    ModulePtr module;  // last: ended before the device it borrows
};

// `datagrams` carry packets first, first+1, ... in order, `packets` to a
// datagram, with sequence numbers from `sequence` and timestamps 90 apart
// after `previousTimestamp`.
void ExpectStream(const std::vector<Bytes>& datagrams, int packets, uint32_t first, uint16_t sequence,
                  uint32_t previousTimestamp)
{
    for (size_t i = 0; i < datagrams.size(); ++i)
    {
        SCOPED_TRACE("datagram " + std::to_string(i));
        const Bytes& d = datagrams[i];
        ASSERT_EQ(d.size(), static_cast<size_t>(kHeader + packets * kPacket));
        EXPECT_TRUE(HasFixedRtpHeader(d));
        EXPECT_EQ(SequenceOf(d), static_cast<uint16_t>(sequence + i));
        EXPECT_EQ(TimestampOf(d), static_cast<uint32_t>(previousTimestamp + 90u * (i + 1)));
        EXPECT_EQ(PayloadOf(d), TsPackets::Make(first + static_cast<uint32_t>(i * packets), packets));
    }
}

Bytes Head(const Bytes& datagram)
{
    return Bytes(datagram.begin(), datagram.begin() + std::min<size_t>(kHeader, datagram.size()));
}

// Resets the probe's socket failure however the test ends.
struct FailingSockets
{
    FailingSockets() { WinsockProbe::FailSockets(true); }
    ~FailingSockets() { WinsockProbe::FailSockets(false); }
};

struct FailingStartups
{
    FailingStartups() { WinsockProbe::FailStartups(true); }
    ~FailingStartups() { WinsockProbe::FailStartups(false); }
};

// Every `every`-th datagram refused with `error` for the life of the object.
struct RefusingSends
{
    RefusingSends(int error, int every) { WinsockProbe::RefuseSends(error, every); }
    ~RefusingSends() { WinsockProbe::RefuseSends(0, 0); }
};

// The module's debug-output lines since `before` was taken.
std::vector<std::wstring> NewDebugLines(const WinsockProbe::Counts& before)
{
    const std::vector<std::wstring> all = WinsockProbe::DebugLines();
    const size_t skip = std::min(all.size(), static_cast<size_t>(before.debugLines));
    return std::vector<std::wstring>(all.begin() + static_cast<std::ptrdiff_t>(skip), all.end());
}

// The system's one-line text for a socket error, as the module shows it.
std::wstring ReasonOf(int error)
{
    WinsockProbe::OwnCalls own;
    wchar_t text[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, static_cast<DWORD>(error), 0, text, 256, nullptr);
    std::wstring reason(text, n < 256 ? n : 0);
    for (wchar_t& c : reason)
        if (c == L'\r' || c == L'\n' || c == L'\t')
            c = L' ';
    const size_t first = reason.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return L"Winsock error " + std::to_wstring(error);
    return reason.substr(first, reason.find_last_not_of(L' ') - first + 1);
}

// A hook inside one kind of socket call for the life of the object.
struct InsideCall
{
    InsideCall(WinsockProbe::Call call, std::function<void()> hook) : m_Call(call)
    {
        WinsockProbe::OnCall(call, std::move(hook));
    }
    ~InsideCall() { WinsockProbe::OnCall(m_Call, nullptr); }
    WinsockProbe::Call m_Call;
};
}  // namespace

// ---------------------------------------------------------------------------
// The wire format.

TEST_F(Streaming, FirstTwoDatagramsOfANewObjectWithSevenPackets)
{
    Create();
    ASSERT_EQ(Access().PacketsPerDatagram(), 7);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());

    Feed(0, 14, 14);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();

    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 1328u);
    EXPECT_EQ(got[1].size(), 1328u);
    EXPECT_EQ(Head(got[0]), (Bytes{0x80, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5A, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Head(got[1]), (Bytes{0x80, 0x21, 0x00, 0x01, 0x00, 0x00, 0x00, 0xB4, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(PayloadOf(got[0]), TsPackets::Make(0, 7));
    EXPECT_EQ(PayloadOf(got[1]), TsPackets::Make(7, 7));

    // sendto got the destination field itself, all 16 bytes of it.
    const sockaddr_in destination = Access().Destination();
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&destination);
    EXPECT_EQ(WinsockProbe::LastDestination(), Bytes(raw, raw + sizeof(destination)));
    EXPECT_EQ(ntohs(destination.sin_port), receiver.Port());
}

// Datagram size 12 + N x 188 for every N, k = N + 1 chunks fed in two-packet
// blocks that straddle the chunk borders; the byte total is k x N x 188.
class StreamingPerPacketCount : public Streaming, public ::testing::WithParamInterface<int>
{
};

TEST_P(StreamingPerPacketCount, DatagramsCarryNWholePacketsAndTheTotalCountsThem)
{
    const int n = GetParam();
    const int chunks = n + 1;
    Create(n);
    ASSERT_EQ(Access().ChunkSize(), n * kPacket);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());

    Feed(500, chunks * n, 2);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();

    ASSERT_EQ(got.size(), static_cast<size_t>(chunks));
    EXPECT_EQ(got[0].size(), static_cast<size_t>(12 + n * 188));  // 200 for N = 1, 1328 for N = 7
    ExpectStream(got, n, 500, 0, 0);
    EXPECT_EQ(Access().ReadCounters().totalBytes, static_cast<long long>(chunks) * n * kPacket);
}

INSTANTIATE_TEST_SUITE_P(PacketsPerDatagram, StreamingPerPacketCount, ::testing::Range(1, 8));

TEST_F(Streaming, DefaultDestinationIsLoopbackPort43000)
{
    // No INI file at all: the object runs on its defaults. No traffic is fed,
    // so nothing goes to a port that may belong to someone else.
    module = CreateModule(&device);
    ASSERT_TRUE(module);
    ASSERT_EQ(Access().Port(), 43000);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());

    const sockaddr_in destination = Access().Destination();
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&destination.sin_port);
    const uint8_t* address = reinterpret_cast<const uint8_t*>(&destination.sin_addr);
    EXPECT_EQ(destination.sin_family, AF_INET);
    EXPECT_EQ(Bytes(port, port + 2), (Bytes{0xA7, 0xF8}));
    EXPECT_EQ(Bytes(address, address + 4), (Bytes{127, 0, 0, 1}));
}

// ---------------------------------------------------------------------------
// The host calls of a start.

TEST_F(Streaming, StartAsksForTheDeviceInfoWithAZeroedRecordOf232Bytes)
{
    Create();
    Writer().StartWrite();

    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_GE(calls.size(), 1u);
    ASSERT_EQ(calls[0].op, DeviceOp::GetDeviceInfo);
    Bytes expected(232, 0);
    expected[0] = 232;  // Size, little-endian
    EXPECT_EQ(calls[0].record, expected);
}

TEST_F(Streaming, StartRegistersTheFilterRecordAndKeepsTheHandle)
{
    Create();
    Writer().StartWrite();

    // The first StopWrite of a start finds no filter: no remove call.
    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, DeviceOp::GetDeviceInfo);
    ASSERT_EQ(calls[1].op, DeviceOp::AddEngineFilter);

    Bytes expected(80, 0);
    expected[0] = 80;  // Size
    std::memcpy(&expected[8], "Tovrin TS Streamer", 18);  // its zero byte at 26
    expected[60] = 5;
    SEngineFilter::IReceiver* face = Access().ReceiverFace();
    std::memcpy(&expected[72], &face, sizeof(face));
    EXPECT_EQ(calls[1].record, expected);

    EXPECT_EQ(Access().FilterHandle(), calls[1].handle);
    EXPECT_EQ(device.Receiver(), face);
    EXPECT_NE(static_cast<void*>(face), static_cast<void*>(module.get()));  // a face of its own
}

// ---------------------------------------------------------------------------
// Counters.

TEST_F(Streaming, StopThenStartContinuesSequenceAndTimestampAndRestartsTheTotal)
{
    Create();
    Writer().StartWrite();
    Feed(0, 14, 7);
    Writer().StopWrite();
    EXPECT_EQ(Access().ReadCounters().totalBytes, 2 * 1316);  // stopping leaves it for the display

    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().ReadCounters().totalBytes, 0);
    Feed(100, 7, 7);

    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 3u);
    ExpectStream({got[2]}, 7, 100, 2, 180);
    EXPECT_EQ(Access().ReadCounters().totalBytes, 1316);
}

TEST_F(Streaming, SequenceWrapsFrom65535To0AndTimestampModulo2To32)
{
    Create(1);
    Access().SetCounters(65534, 0xFFFFFF00u, 0);
    Writer().StartWrite();
    Feed(0, 3, 3);

    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(Head(got[0]), (Bytes{0x80, 0x21, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x5A, 0, 0, 0, 0}));
    EXPECT_EQ(Head(got[1]), (Bytes{0x80, 0x21, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4, 0, 0, 0, 0}));
    EXPECT_EQ(Head(got[2]), (Bytes{0x80, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E, 0, 0, 0, 0}));
    ExpectStream(got, 1, 0, 65534, 0xFFFFFF00u);
    EXPECT_EQ(Access().ReadCounters().sequence, 1);
}

// ---------------------------------------------------------------------------
// When traffic is dropped.

TEST_F(Streaming, TrafficBeforeTheFirstStartReachesNeitherAlignerNorSocket)
{
    Create();
    const WinsockProbe::Counts before = WinsockProbe::Now();
    Bytes packets = TsPackets::Make(0, 10);
    module->ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));
    Access().ReceiverFace()->EngineFilter_ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));

    EXPECT_EQ(Access().Buffered(), 0);
    EXPECT_EQ(WinsockProbe::Now().sends, before.sends);
    EXPECT_EQ(Access().ReadCounters().sequence, 0);

    Writer().StartWrite();
    Feed(100, 7, 7);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 1u);
    ExpectStream(got, 7, 100, 0, 0);
}

TEST_F(Streaming, TrafficAfterStopWriteReachesNeitherAlignerNorSocket)
{
    Create();
    Writer().StartWrite();
    Feed(0, 10, 10);  // one datagram, three packets held
    Writer().StopWrite();
    EXPECT_EQ(Access().Buffered(), 3 * kPacket);  // stopping leaves the aligner alone

    const WinsockProbe::Counts before = WinsockProbe::Now();
    const auto counters = Access().ReadCounters();
    Bytes packets = TsPackets::Make(50, 14);
    EXPECT_FALSE(device.Deliver(packets.data(), static_cast<int>(packets.size())));
    module->ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));
    Access().ReceiverFace()->EngineFilter_ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));

    EXPECT_EQ(Access().Buffered(), 3 * kPacket);
    EXPECT_EQ(WinsockProbe::Now().sends, before.sends);
    EXPECT_EQ(Access().ReadCounters().sequence, counters.sequence);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 1u);
    ExpectStream(got, 7, 0, 0, 0);

    // The next start drops the packets held from the last run.
    Writer().StartWrite();
    Feed(200, 7, 1);
    const std::vector<Bytes> next = receiver.DrainUntilMarker();
    ASSERT_EQ(next.size(), 1u);
    ExpectStream(next, 7, 200, 1, 90);
}

TEST_F(Streaming, UpdateOpenedChannelsStopsARunningStreamAndLeavesAnIdleOneAlone)
{
    Create();
    Writer().StartWrite();
    const int handle = Access().FilterHandle();
    Feed(0, 7, 7);
    const WinsockProbe::Counts before = WinsockProbe::Now();
    const size_t calls = device.CallCount();

    ChListFormat::TChannelInfoStruct channels[2] = {};
    module->UpdateOpenedChannels(channels, 2, SModuleInfo::ETT_TransportStream);

    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    EXPECT_EQ(Access().FilterHandle(), 0);
    EXPECT_EQ(WinsockProbe::Now().closes, before.closes + 1);
    const std::vector<DeviceCall> after = device.Calls();
    ASSERT_EQ(after.size(), calls + 1);
    EXPECT_EQ(after.back().op, DeviceOp::RemoveEngineFilter);
    EXPECT_EQ(after.back().handle, handle);
    EXPECT_EQ(device.Receiver(), nullptr);

    Bytes packets = TsPackets::Make(7, 7);
    module->ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));
    EXPECT_EQ(WinsockProbe::Now().sends, before.sends);
    EXPECT_EQ(receiver.DrainUntilMarker().size(), 1u);

    // Idle: no host call, no socket call.
    const WinsockProbe::Counts idle = WinsockProbe::Now();
    module->UpdateOpenedChannels(nullptr, 0, SModuleInfo::ETT_TransportStream);
    EXPECT_EQ(device.CallCount(), calls + 1);
    EXPECT_EQ(WinsockProbe::Now().closes, idle.closes);
    EXPECT_EQ(WinsockProbe::Now().sockets, idle.sockets);
    EXPECT_FALSE(Access().Streaming());
}

TEST_F(Streaming, SecondStopWriteMakesNoHostCallAndNoSocketCall)
{
    Create();
    Writer().StartWrite();
    Writer().StopWrite();
    const size_t calls = device.CallCount();
    const WinsockProbe::Counts before = WinsockProbe::Now();

    Writer().StopWrite();

    EXPECT_EQ(device.CallCount(), calls);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.closes, before.closes);
    EXPECT_EQ(after.cleanups, before.cleanups);
    EXPECT_EQ(after.sockets, before.sockets);
}

TEST_F(Streaming, StartWriteWhileStreamingChangesNothing)
{
    Create();
    Writer().StartWrite();
    Feed(0, 7, 7);
    Access().SetStartTick(0x12345678u);
    const SOCKET socket = Access().Socket();
    const int handle = Access().FilterHandle();
    const auto counters = Access().ReadCounters();
    const size_t calls = device.CallCount();
    const WinsockProbe::Counts before = WinsockProbe::Now();

    Writer().StartWrite();

    EXPECT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().Socket(), socket);
    EXPECT_EQ(Access().FilterHandle(), handle);
    EXPECT_EQ(Access().StartTick(), 0x12345678u);
    EXPECT_EQ(Access().ReadCounters().totalBytes, counters.totalBytes);
    EXPECT_EQ(Access().ReadCounters().sequence, counters.sequence);
    EXPECT_EQ(device.CallCount(), calls);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.sockets, before.sockets);
    EXPECT_EQ(after.closes, before.closes);

    Feed(7, 7, 7);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 2u);
    ExpectStream(got, 7, 0, 0, 0);
}

// A device that cannot deliver a transport stream: only the question is asked.
class StreamingOtherTransport : public Streaming, public ::testing::WithParamInterface<int32_t>
{
};

TEST_P(StreamingOtherTransport, LeavesTheModuleStoppedWithNoFilterAndNoSocket)
{
    Create();
    device.SetTransportType(GetParam());
    Access().SetCounters(0, 0, 4242);
    Access().SetStartTick(777);
    const WinsockProbe::Counts before = WinsockProbe::Now();

    Writer().StartWrite();

    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, DeviceOp::GetDeviceInfo);
    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().FilterHandle(), 0);
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    EXPECT_EQ(Access().ReadCounters().totalBytes, 4242);
    EXPECT_EQ(Access().StartTick(), 777u);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.sockets, before.sockets);
    EXPECT_EQ(device.Receiver(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(TransportTypes, StreamingOtherTransport, ::testing::Values(0, 1, 128, 130, -1, 129 + 256));

TEST_F(Streaming, NullDeviceIsNeverCalledAndCannotStart)
{
    module = CreateModule(nullptr);
    ASSERT_TRUE(module);
    const WinsockProbe::Counts before = WinsockProbe::Now();

    Writer().StartWrite();
    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    module->UpdateOpenedChannels(nullptr, 0, SModuleInfo::ETT_TransportStream);
    Writer().StopWrite();
    Bytes packets = TsPackets::Make(0, 7);
    module->ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));

    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.sockets, before.sockets);
    EXPECT_EQ(after.sends, before.sends);
    module.reset();  // and it ends without calling through the null device
}

TEST_F(Streaming, ZeroFilterHandleStreamsAndIsNeverRemoved)
{
    Create();
    device.SetNextHandle(0);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Feed(0, 7, 7);
    ExpectStream(receiver.DrainUntilMarker(), 7, 0, 0, 0);

    Writer().StopWrite();
    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(device.CallCount(DeviceOp::RemoveEngineFilter), 0u);
    device.DropReceiver();
}

TEST_F(Streaming, DestroyModuleWhileStreamingStopsBeforeTheSettingsAreWritten)
{
    // No INI file: the module's own section appears only when it saves. No
    // traffic is fed, so nothing is sent to the default port.
    module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());
    access.Writer().StartWrite();
    ASSERT_TRUE(access.Streaming());
    const int handle = access.FilterHandle();
    const WinsockProbe::Counts before = WinsockProbe::Now();

    bool sawRemove = false;
    device.OnRemove([&] {
        sawRemove = true;
        EXPECT_FALSE(ini.Exists()) << "settings written before the filter was removed";
        EXPECT_EQ(ini.ReadKey(L"IPAddress"), L"<missing>");
        EXPECT_EQ(access.Socket(), INVALID_SOCKET) << "socket still open when the filter is removed";
        EXPECT_FALSE(access.Streaming());
        EXPECT_EQ(WinsockProbe::Now().closes, before.closes + 1);
    });
    module.reset();
    device.OnRemove(nullptr);

    EXPECT_TRUE(sawRemove);
    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_EQ(device.CallCount(DeviceOp::RemoveEngineFilter), 1u);
    EXPECT_EQ(calls.back().op, DeviceOp::RemoveEngineFilter);
    EXPECT_EQ(calls.back().handle, handle);
    EXPECT_EQ(ini.ReadKey(L"IPAddress"), L"127.0.0.1");
    EXPECT_EQ(ini.ReadKey(L"UDP_Port"), L"43000");
    EXPECT_EQ(ini.ReadKey(L"nTS_UDP"), L"7");
}

// ---------------------------------------------------------------------------
// Blocks the host should not send.

// A block of 2N whole packets and a partial one at the very end of readable
// memory: only the block's bytes are read, and the whole packets go out.
struct PartialCase
{
    int packets;
    int tail;
};

class StreamingPartialBlock : public Streaming, public ::testing::WithParamInterface<PartialCase>
{
};

TEST_P(StreamingPartialBlock, TrailingPartialPacketIsNeverReadPastTheBlock)
{
    const PartialCase c = GetParam();
    Create(c.packets);
    Writer().StartWrite();

    Bytes content = TsPackets::Make(0, 2 * c.packets + 1);
    content.resize(static_cast<size_t>(2 * c.packets * kPacket + c.tail));
    GuardedBlock block(content);
    ASSERT_NE(block.data(), nullptr);
    ASSERT_TRUE(device.Deliver(block.data(), block.size()));

    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 2u);
    ExpectStream(got, c.packets, 0, 0, 0);
    EXPECT_EQ(Access().Buffered(), c.tail);  // the bytes that are there, and no more

    // A block that is nothing but a partial packet.
    GuardedBlock alone(Bytes(content.begin(), content.begin() + c.tail));
    ASSERT_TRUE(device.Deliver(alone.data(), alone.size()));
}

INSTANTIATE_TEST_SUITE_P(Tails, StreamingPartialBlock,
                         ::testing::Values(PartialCase{1, 1}, PartialCase{1, 100}, PartialCase{1, 187},
                                           PartialCase{7, 1}, PartialCase{7, 100}, PartialCase{7, 187}));

TEST_F(Streaming, NullDataAndNegativeLengthsAreIgnored)
{
    Create(1);
    Writer().StartWrite();
    Bytes packets = TsPackets::Make(0, 2);
    const struct
    {
        uint8_t* data;
        int length;
    } cases[] = {{nullptr, 188}, {nullptr, 1316}, {nullptr, 0}, {nullptr, -1},
                 {packets.data(), -1}, {packets.data(), -188}, {packets.data(), -2147483647 - 1}, {packets.data(), 0}};
    const WinsockProbe::Counts before = WinsockProbe::Now();

    for (const auto& c : cases)
    {
        SCOPED_TRACE("length " + std::to_string(c.length) + (c.data ? "" : ", null data"));
        module->ReceiveTraffic(c.data, c.length);
        Access().ReceiverFace()->EngineFilter_ReceiveTraffic(c.data, c.length);
        EXPECT_EQ(Access().Buffered(), 0);
        EXPECT_EQ(WinsockProbe::Now().sends, before.sends);
        EXPECT_EQ(Access().ReadCounters().sequence, 0);
    }
    EXPECT_TRUE(receiver.DrainUntilMarker().empty());

    ASSERT_TRUE(device.Deliver(packets.data(), 2 * kPacket));
    ExpectStream(receiver.DrainUntilMarker(), 1, 0, 0, 0);
}

// ---------------------------------------------------------------------------
// Failed sends. The probe refuses the module's datagrams as a link that is
// down does (10051, WSAENETUNREACH); the destination stays on 127.0.0.1.

// The socket refused every datagram in that call: the counters, the host's log
// and the calls the sender made for it.
TEST_F(Streaming, RefusedDatagramsAdvanceTheSequenceAreCountedAndLoggedOnce)
{
    Create(1);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    const WinsockProbe::Counts before = WinsockProbe::Now();
    {
        RefusingSends refusing(WSAENETUNREACH, 1);
        Feed(0, 500, 50);
    }
    const WinsockProbe::Counts after = WinsockProbe::Now();

    EXPECT_EQ(after.sends - before.sends, 500);
    EXPECT_EQ(after.acceptedSends - before.acceptedSends, 0);
    const auto counters = Access().ReadCounters();
    EXPECT_EQ(counters.sequence, 500);
    EXPECT_EQ(counters.timestamp, 500u * 90u);
    EXPECT_EQ(counters.totalBytes, 0);
    const CSendFailures failures = Access().SendFailures();
    EXPECT_EQ(failures.Refused(), 500u);
    EXPECT_EQ(failures.LastError(), WSAENETUNREACH);
    EXPECT_TRUE(failures.Failing());
    // Per refused datagram nothing but the question for its error; the one
    // line for the log (with the system's text for the error) per episode.
    EXPECT_EQ(after.lastErrors - before.lastErrors, 500);
    EXPECT_EQ(after.tickReads - before.tickReads, 0);
    EXPECT_LE(after.formats - before.formats, 1);
    EXPECT_EQ(after.debugLines - before.debugLines, 1);
    const std::vector<std::wstring> lines = NewDebugLines(before);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"Tovrin TS Streamer: sending to 127.0.0.1:" + std::to_wstring(receiver.Port()) +
                            L" fails: " + ReasonOf(WSAENETUNREACH) + L"\n");
    EXPECT_TRUE(receiver.DrainUntilMarker().empty());

    // Recovery needs no Stop and Start: once a clean second has passed the
    // log says so, and the stream goes on with a gap of 500 in its sequence.
    // A second of datagrams is more than the receiver's queue holds: it takes
    // them as they come, and the feed waits while it lags behind.
    receiver.StartCollecting();
    const bool recovered = FeedUntilDebugLines(before, 2, 1000, true);
    const std::vector<Bytes> got = receiver.StopCollecting();
    ASSERT_TRUE(recovered);
    const std::vector<std::wstring> all = NewDebugLines(before);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1], L"Tovrin TS Streamer: sending to 127.0.0.1:" + std::to_wstring(receiver.Port()) +
                          L" succeeds again (500 datagrams not sent)\n");
    EXPECT_FALSE(Access().SendFailures().Failing());
    EXPECT_EQ(Access().SendFailures().Refused(), 500u) << "counted since the start";
    ASSERT_FALSE(got.empty());
    ExpectStream(got, 1, 1000, 500, 500u * 90u);

    // A new start counts from zero.
    Writer().StopWrite();
    Writer().StartWrite();
    EXPECT_EQ(Access().SendFailures().Refused(), 0u);
    EXPECT_FALSE(Access().SendFailures().Failing());
}

// A link that drops every other datagram never has a clean second: one line
// when it starts, none per datagram, and one when it is over.
TEST_F(Streaming, FlappingSendsAreOneEpisodeInTheLog)
{
    Create(1);
    Writer().StartWrite();
    const WinsockProbe::Counts before = WinsockProbe::Now();
    uint32_t next = 0;
    {
        RefusingSends refusing(WSAENETUNREACH, 2);
        // Well past a second of alternating refusals.
        const ULONGLONG end = GetTickCount64() + 1500;
        while (GetTickCount64() < end || WinsockProbe::Now().sends - before.sends < 200)
        {
            Feed(next, 32, 32);
            next += 32;
        }
    }
    const WinsockProbe::Counts flapped = WinsockProbe::Now();
    EXPECT_EQ(flapped.debugLines - before.debugLines, 1);
    EXPECT_TRUE(Access().SendFailures().Failing());
    EXPECT_EQ(Access().SendFailures().Refused(), static_cast<uint64_t>(next / 2));
    EXPECT_EQ(flapped.lastErrors - before.lastErrors, static_cast<int>(next / 2));

    ASSERT_TRUE(FeedUntilDebugLines(before, 2, next));
    const std::vector<std::wstring> lines = NewDebugLines(before);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L" fails: "), std::wstring::npos);
    EXPECT_NE(lines[1].find(L" succeeds again (" + std::to_wstring(next / 2) + L" datagrams not sent)"),
              std::wstring::npos);
}

// A failed WSAStartup is no start of the module's own: nothing to release.
// (The program holds the library itself, so the socket still opens.)
TEST_F(Streaming, FailedWsaStartupIsNeverReleased)
{
    Create();
    const WinsockProbe::Counts before = WinsockProbe::Now();
    {
        FailingStartups failing;
        Writer().StartWrite();
    }
    ASSERT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().WsaStartups(), 0);
    Feed(0, 7, 7);
    ExpectStream(receiver.DrainUntilMarker(), 7, 0, 0, 0);

    Writer().StopWrite();
    module.reset();
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.cleanups, before.cleanups) << "released a start of the socket library it never made";
    if (after.cleanups != before.cleanups)
    {
        // Give the program back the reference that was taken from it.
        WinsockProbe::OwnCalls own;
        WSADATA data;
        for (int i = before.cleanups; i < after.cleanups; ++i)
            WSAStartup(MAKEWORD(2, 2), &data);
    }
}

// ---------------------------------------------------------------------------
// Addresses that must never become a destination: the start is refused before
// anything is registered or opened, the description line says why, and the
// setting stays as the user wrote it.

class StreamingBadAddress : public Streaming, public ::testing::WithParamInterface<const wchar_t*>
{
};

TEST_P(StreamingBadAddress, StartIsRefused)
{
    const std::wstring text = GetParam();
    ini.WriteKey(L"IPAddress", text);
    Create();
    // The profile functions trim blanks around a value and may not keep every
    // character: such texts are put into the setting directly.
    const bool fromIni = Access().Address() == text;
    if (!fromIni)
        Access().SetAddress(text);
    const WinsockProbe::Counts before = WinsockProbe::Now();

    Writer().StartWrite();

    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().FilterHandle(), 0);
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_EQ(calls.size(), 1u) << "only the device question; no filter";
    EXPECT_EQ(calls[0].op, DeviceOp::GetDeviceInfo);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.sockets, before.sockets);
    EXPECT_EQ(Access().StartRefusal(), L"Not an IPv4 address: \"" + text + L"\"");
    EXPECT_EQ(Access().Address(), text);

    Bytes packets = TsPackets::Make(0, 7);
    module->ReceiveTraffic(packets.data(), static_cast<int>(packets.size()));
    EXPECT_EQ(WinsockProbe::Now().sends, before.sends);

    // The next start with a good address goes ahead and forgets the refusal.
    Access().SetAddress(L"127.0.0.1");
    Writer().StartWrite();
    EXPECT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().StartRefusal(), L"");
    Feed(0, 7, 7);
    ExpectStream(receiver.DrainUntilMarker(), 7, 0, 0, 0);
    Writer().StopWrite();

    if (fromIni)
    {
        Access().SetAddress(text);
        module.reset();
        EXPECT_EQ(ini.ReadKey(L"IPAddress"), text) << "saved as written";
    }
}

INSTANTIATE_TEST_SUITE_P(Malformed, StreamingBadAddress, ::testing::ValuesIn(kMalformedAddresses));
INSTANTIATE_TEST_SUITE_P(Unusable, StreamingBadAddress, ::testing::ValuesIn(kUnusableAddresses));

// ---------------------------------------------------------------------------
// Sound behaviour where the plain reading would be unsafe.

TEST_F(Streaming, ChunkSizeStaysFixedFromStartToStop)
{
    Create(7);
    Writer().StartWrite();
    Feed(0, 3, 3);  // three packets held under the chunk size of the run

    // A dialog opened while streaming reloads the settings.
    ini.WriteKey(L"nTS_UDP", L"3");
    Writer().LoadOptions();
    EXPECT_EQ(Access().PacketsPerDatagram(), 3);
    EXPECT_EQ(Access().ChunkSize(), 7 * kPacket);

    Feed(3, 11, 1);
    const std::vector<Bytes> run = receiver.DrainUntilMarker();
    ASSERT_EQ(run.size(), 2u);
    ExpectStream(run, 7, 0, 0, 0);

    // The next run uses the new count.
    Writer().StopWrite();
    Writer().StartWrite();
    EXPECT_EQ(Access().ChunkSize(), 3 * kPacket);
    Feed(100, 6, 6);
    const std::vector<Bytes> next = receiver.DrainUntilMarker();
    ASSERT_EQ(next.size(), 2u);
    ExpectStream(next, 3, 100, 2, 180);
}

// Traffic that arrives while StartWrite is still opening its socket is
// dropped: it never reaches a send on a socket or destination not yet set.
TEST_F(Streaming, TrafficDuringTheStartIsDroppedUntilSocketAndDestinationAreSet)
{
    Create();
    Writer().StartWrite();
    Feed(0, 7, 7);
    Writer().StopWrite();
    ASSERT_EQ(receiver.DrainUntilMarker().size(), 1u);

    const WinsockProbe::Counts before = WinsockProbe::Now();
    bool delivered = false;
    bool streamingInside = true;
    {
        InsideCall inside(WinsockProbe::Call::Socket, [&] {
            streamingInside = Access().Streaming();
            Bytes packets = TsPackets::Make(1000, 14);
            delivered = device.Deliver(packets.data(), static_cast<int>(packets.size()));
        });
        Writer().StartWrite();
    }
    EXPECT_TRUE(delivered) << "the filter is registered before the socket is opened";
    EXPECT_FALSE(streamingInside) << "streaming flag set before the socket exists";
    EXPECT_EQ(WinsockProbe::Now().sends, before.sends) << "a send before the socket and destination were set";
    EXPECT_EQ(Access().Buffered(), 0);

    ASSERT_TRUE(Access().Streaming());
    Feed(2000, 7, 7);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 1u);
    ExpectStream(got, 7, 2000, 1, 90);
}

// The socket is closed under the module's lock, so never under a send; the
// host is asked to remove the filter after the lock is released, since it may
// wait there for a traffic call that waits for the lock.
TEST_F(Streaming, StopWriteClosesUnderTheLockAndRemovesTheFilterOutsideIt)
{
    Create();
    Writer().StartWrite();
    bool closed = false;
    bool freeWhileClosing = true;
    bool removed = false;
    bool freeWhileRemoving = false;
    bool streamingWhileClosing = true;
    InsideCall inside(WinsockProbe::Call::Close, [&] {
        closed = true;
        freeWhileClosing = Access().LockIsFree();
        streamingWhileClosing = Access().Streaming();
    });
    device.OnRemove([&] {
        removed = true;
        freeWhileRemoving = Access().LockIsFree();
    });

    Writer().StopWrite();
    device.OnRemove(nullptr);

    ASSERT_TRUE(closed);
    ASSERT_TRUE(removed);
    EXPECT_FALSE(freeWhileClosing);
    EXPECT_FALSE(streamingWhileClosing);
    EXPECT_TRUE(freeWhileRemoving);
}

// Every datagram of a traffic call is sent while the sender holds the lock.
TEST_F(Streaming, DatagramsAreSentUnderTheLock)
{
    Create(1);
    Writer().StartWrite();
    int sends = 0;
    int sendsWithLockFree = 0;
    {
        InsideCall inside(WinsockProbe::Call::SendTo, [&] {
            ++sends;
            sendsWithLockFree += Access().LockIsFree() ? 1 : 0;
        });
        Feed(0, 3, 3);
    }
    EXPECT_EQ(sends, 3);
    EXPECT_EQ(sendsWithLockFree, 0);
    ExpectStream(receiver.DrainUntilMarker(), 1, 0, 0, 0);
}

TEST_F(Streaming, SocketCreationFailureUndoesTheStart)
{
    Create();
    const WinsockProbe::Counts before = WinsockProbe::Now();
    {
        FailingSockets failing;
        Writer().StartWrite();
    }

    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().FilterHandle(), 0);
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    EXPECT_EQ(Access().WsaStartups(), 0);
    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].op, DeviceOp::AddEngineFilter);
    EXPECT_EQ(calls[2].op, DeviceOp::RemoveEngineFilter);
    EXPECT_EQ(calls[2].handle, calls[1].handle);
    EXPECT_EQ(device.Receiver(), nullptr);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.sockets, before.sockets + 1);
    EXPECT_EQ(after.startups - before.startups, after.cleanups - before.cleanups);
    // The probe fails socket() as a missing socket library would.
    EXPECT_EQ(Access().Description(), L"Cannot open a socket: " + ReasonOf(WSANOTINITIALISED));

    // A later start works, and the line shows the settings again.
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().StartRefusal(), L"");
    Feed(0, 7, 7);
    ExpectStream(receiver.DrainUntilMarker(), 7, 0, 0, 0);
}

// A traffic call that passed the flag test before a Stop may still be on its
// way to the lock while the next Start sets up socket and destination: with a
// host whose RemoveEngineFilter does not wait for calls in flight, or with a
// direct ReceiveTraffic call. Such a call must reach sendto with no socket or
// with the new socket and the whole new destination, never with the new
// socket and a destination half written.
//
// The call is held between the flag test and the lock by a guard page under
// its second packet (the aligner looks at a packet's sync byte before it takes
// the lock), and let go inside one of the socket-library calls that the next
// StartWrite makes: the first of them in the first round, the second in the
// second, and so on until a round finds no call left. Marker datagrams then
// show that nothing arrived where it should not.
namespace
{
struct GuardPause
{
    uint8_t* page = nullptr;
    size_t size = 0;
    HANDLE paused = nullptr;  // the traffic call touched the page
    HANDLE go = nullptr;      // it may go on
    HANDLE done = nullptr;    // it returned
};
GuardPause g_GuardPause;

LONG CALLBACK PauseAtGuardPage(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const uint8_t* at = reinterpret_cast<const uint8_t*>(record->ExceptionInformation[1]);
    if (at < g_GuardPause.page || at >= g_GuardPause.page + g_GuardPause.size)
        return EXCEPTION_CONTINUE_SEARCH;
    SetEvent(g_GuardPause.paused);
    WaitForSingleObject(g_GuardPause.go, 30000);
    return EXCEPTION_CONTINUE_EXECUTION;  // the guard is gone: the read succeeds now
}
}  // namespace

TEST(StreamingStartRace, ACallFromBeforeTheStopNeverSendsWithAHalfSetDestination)
{
    ASSERT_TRUE(WinsockProbe::Installed());
    TempIniFolder ini;
    ASSERT_TRUE(ini.HandToUnit());
    UdpReceiver before, after;  // the destinations of the run that stops and of the next one
    ASSERT_TRUE(before.Bound() && after.Bound());
    ini.WriteKey(L"UDP_Port", std::to_wstring(before.Port()));
    ini.WriteKey(L"nTS_UDP", L"1");
    ScriptedDevice device;
    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());

    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    uint8_t* memory = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(memory, nullptr);
    uint8_t* block = memory + page - kPacket;  // packet 0 ends the first page, packet 1 starts the second
    g_GuardPause = {memory + page, page, CreateEventW(nullptr, FALSE, FALSE, nullptr),
                    CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    void* handler = AddVectoredExceptionHandler(1, PauseAtGuardPage);
    ASSERT_NE(handler, nullptr);

    int round = 0;
    for (;; ++round)
    {
        SCOPED_TRACE("released inside socket-library call " + std::to_string(round + 1) + " of the start");
        ASSERT_LT(round, 20);
        access.SetPort(before.Port());
        access.Writer().StartWrite();
        ASSERT_TRUE(access.Streaming());
        const Bytes packets = TsPackets::Make(2 * round, 2);
        std::memcpy(block, packets.data(), packets.size());
        DWORD old = 0;
        ASSERT_TRUE(VirtualProtect(memory + page, page, PAGE_READWRITE | PAGE_GUARD, &old));

        WinsockProbe::StartLog();
        std::atomic<DWORD> trafficThread{0};
        std::thread traffic([&] {
            trafficThread = GetCurrentThreadId();
            module->ReceiveTraffic(block, 2 * kPacket);
            SetEvent(g_GuardPause.done);
        });
        if (WaitForSingleObject(g_GuardPause.paused, 20000) != WAIT_OBJECT_0)
        {
            SetEvent(g_GuardPause.go);
            traffic.join();
            FAIL() << "the traffic call never reached its second packet";
        }
        access.Writer().StopWrite();
        WinsockProbe::Mark(WinsockProbe::Event::StopReturned);
        access.SetPort(after.Port());

        const DWORD self = GetCurrentThreadId();
        int calls = 0;
        bool released = false;
        {
            InsideCall inside(WinsockProbe::Call::Any, [&] {
                if (GetCurrentThreadId() != self || released || calls++ != round)
                    return;
                released = true;
                SetEvent(g_GuardPause.go);
                // Until the traffic call is done; a start that held the lock
                // here would keep it waiting, which is no fault: go on.
                WaitForSingleObject(g_GuardPause.done, 2000);
            });
            access.Writer().StartWrite();
        }
        if (!released)
            SetEvent(g_GuardPause.go);
        traffic.join();
        ASSERT_TRUE(access.Streaming());
        const SOCKET newSocket = access.Socket();
        const sockaddr_in newDestination = access.Destination();
        const std::vector<WinsockProbe::LogEntry> log = WinsockProbe::StopLog();

        int afterStop = 0;
        int sentToNew = 0;
        bool stopped = false;
        for (const WinsockProbe::LogEntry& entry : log)
        {
            if (entry.event == WinsockProbe::Event::StopReturned)
                stopped = true;
            if (entry.event != WinsockProbe::Event::Send || !stopped || entry.thread != trafficThread)
                continue;
            ++afterStop;
            if (entry.socket == INVALID_SOCKET)
                continue;
            EXPECT_EQ(entry.socket, newSocket) << "a send on a socket that is neither closed nor the new one";
            EXPECT_EQ(std::memcmp(&entry.destination, &newDestination, sizeof newDestination), 0)
                << "the new socket with a destination half written: " << ntohs(entry.destination.sin_port) << " "
                << inet_ntoa(entry.destination.sin_addr);
            sentToNew += entry.accepted ? 1 : 0;
        }
        EXPECT_LE(afterStop, 1);
        const std::vector<Bytes> first = before.DrainUntilMarker();
        ASSERT_EQ(first.size(), 1u) << "the packet before the pause, and nothing after the stop";
        EXPECT_EQ(PayloadOf(first[0]), TsPackets::Make(2 * round, 1));
        EXPECT_EQ(after.DrainUntilMarker().size(), static_cast<size_t>(sentToNew));

        access.Writer().StopWrite();
        if (!released)
            break;
    }
    EXPECT_GE(round, 2) << "a start makes at least WSAStartup and socket calls";

    RemoveVectoredExceptionHandler(handler);
    CloseHandle(g_GuardPause.paused);
    CloseHandle(g_GuardPause.go);
    CloseHandle(g_GuardPause.done);
    VirtualFree(memory, 0, MEM_RELEASE);
}

// Every start of the socket library by a module object is released exactly
// once, and never one that the object did not make: the program's own use of
// the library survives, and releasing its one start shuts the library down.
TEST(WinsockBalance, ModuleObjectsReleaseExactlyTheStartsTheyMade)
{
    ASSERT_TRUE(WinsockProbe::Installed());
    const WinsockProbe::Counts before = WinsockProbe::Now();
    int starts = 0;
    {
        TempIniFolder ini;
        ASSERT_TRUE(ini.HandToUnit());
        UdpReceiver receiver;
        ASSERT_TRUE(receiver.Bound());
        ini.WriteKey(L"UDP_Port", std::to_wstring(receiver.Port()));
        ScriptedDevice device;

        for (int cycle = 0; cycle < 6; ++cycle)
        {
            ModulePtr module = CreateModule(&device);
            ASSERT_TRUE(module);
            CPidDataWriterTestAccess access(module.get());
            for (int run = 0; run <= cycle % 3; ++run)
            {
                access.Writer().StartWrite();
                ASSERT_TRUE(access.Streaming());
                ++starts;
                Bytes packets = TsPackets::Make(0, 7);
                ASSERT_TRUE(device.Deliver(packets.data(), static_cast<int>(packets.size())));
                if (cycle % 2 == 0 || run < cycle % 3)
                    access.Writer().StopWrite();  // odd cycles end while streaming
            }
            EXPECT_EQ(access.WsaStartups(), cycle % 3 + 1);
        }
        {
            ModulePtr idle = CreateModule(&device);  // never started
            ASSERT_TRUE(idle);
        }
        {
            ScriptedDevice other(1);
            ModulePtr refused = CreateModule(&other);
            ASSERT_TRUE(refused);
            CPidDataWriterTestAccess(refused.get()).Writer().StartWrite();
        }
        EXPECT_EQ(receiver.DrainUntilMarker().size(), static_cast<size_t>(starts));
    }
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups - before.startups, starts);
    EXPECT_EQ(after.cleanups - before.cleanups, starts);
    EXPECT_EQ(WinsockProbe::LowestBalance(), 0) << "a module released a start it never made";

    WinsockProbe::OwnCalls own;
    SOCKET mine = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_NE(mine, INVALID_SOCKET) << "the program's own socket library was shut down";
    if (mine != INVALID_SOCKET)
        closesocket(mine);

    ASSERT_EQ(WSACleanup(), 0);
    SOCKET none = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const int error = WSAGetLastError();
    EXPECT_EQ(none, INVALID_SOCKET) << "a module left a start of the socket library behind";
    EXPECT_EQ(error, WSANOTINITIALISED);
    if (none != INVALID_SOCKET)
        closesocket(none);
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
}

// ---------------------------------------------------------------------------
// Stress: an engine thread delivers at full speed while this thread starts and
// stops the stream hundreds of times.
//
// Proof of "nothing after Stop": the probe logs every send of the module
// together with the points where StartWrite was called and where StopWrite
// returned, and after each stop a marker goes to the receiver from the test's
// own socket; on loopback a datagram behind the marker was sent after it.
TEST(StreamingStress, StartStopCyclesUnderFullSpeedTraffic)
{
    ASSERT_TRUE(WinsockProbe::Installed());
    constexpr int kCycles = 500;
    constexpr int kPackets = 7;

    TempIniFolder ini;
    ASSERT_TRUE(ini.HandToUnit());
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.Bound());
    ini.WriteKey(L"UDP_Port", std::to_wstring(receiver.Port()));
    ScriptedDevice device;
    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());

    struct Run
    {
        CPidDataWriterTestAccess::Counters atStart;
        CPidDataWriterTestAccess::Counters atStop;
    };
    std::vector<Run> runs;
    int minimumSends = 0;

    // The receiving thread is as slow as the sending one under Wine: the engine
    // waits while the receiver's queue holds more than a safe number of
    // datagrams, so that the queue never overflows and every loss is real.
    constexpr int64_t kQueueWindow = 500;
    const int64_t acceptedBefore = WinsockProbe::Now().acceptedSends;
    receiver.StartCollecting();
    WinsockProbe::StartLog();
    {
        EngineThread engine(device, 9, [&] {
            return WinsockProbe::Now().acceptedSends - acceptedBefore - static_cast<int64_t>(receiver.Collected()) <
                   kQueueWindow;
        });
        for (int cycle = 0; cycle < kCycles; ++cycle)
        {
            Run run{};
            run.atStart = access.ReadCounters();
            WinsockProbe::Mark(WinsockProbe::Event::StartCalled);
            access.Writer().StartWrite();
            ASSERT_TRUE(access.Streaming());

            // Some runs end at once, others after a few datagrams.
            const int wanted = cycle % 4;
            minimumSends += wanted;
            const int target = WinsockProbe::Now().sends + wanted;
            const ULONGLONG deadline = GetTickCount64() + 20000;  // a hang guard, not a timing
            while (WinsockProbe::Now().sends < target && GetTickCount64() < deadline)
                std::this_thread::yield();
            ASSERT_GE(WinsockProbe::Now().sends, target) << "the engine's traffic stopped flowing";

            access.Writer().StopWrite();
            WinsockProbe::Mark(WinsockProbe::Event::StopReturned);
            ASSERT_FALSE(access.Streaming());
            receiver.SendMarker(static_cast<uint32_t>(cycle + 1));
            run.atStop = access.ReadCounters();
            runs.push_back(run);
        }
    }
    const std::vector<WinsockProbe::LogEntry> log = WinsockProbe::StopLog();
    const std::vector<Bytes> wire = receiver.StopCollecting();

    // The send log: no send outside a run; each run's sends carry contiguous
    // sequence numbers from where the last run stopped.
    {
        int cycle = -1;
        bool running = false;
        uint16_t expected = 0;
        int outside = 0;
        int gaps = 0;
        for (const WinsockProbe::LogEntry& entry : log)
        {
            switch (entry.event)
            {
            case WinsockProbe::Event::StartCalled:
                ++cycle;
                running = true;
                expected = runs[static_cast<size_t>(cycle)].atStart.sequence;
                break;
            case WinsockProbe::Event::StopReturned:
                running = false;
                break;
            case WinsockProbe::Event::Send:
                if (!running)
                    ++outside;
                if (entry.sequence != expected)
                    ++gaps;
                expected = static_cast<uint16_t>(entry.sequence + 1);
                EXPECT_EQ(entry.size, kHeader + kPackets * kPacket);
                break;
            }
        }
        EXPECT_EQ(cycle, kCycles - 1);
        EXPECT_EQ(outside, 0) << "sends after StopWrite returned";
        EXPECT_EQ(gaps, 0) << "sequence numbers not contiguous within a run";
    }

    // The wire: split at the markers into runs.
    std::vector<std::vector<Bytes>> received(1);
    uint32_t nextMarker = 1;
    for (const Bytes& datagram : wire)
    {
        uint32_t id = 0;
        if (UdpReceiver::IsMarker(datagram, &id))
        {
            ASSERT_EQ(id, nextMarker) << "markers lost or out of order";
            ++nextMarker;
            received.emplace_back();
        }
        else
        {
            received.back().push_back(datagram);
        }
    }
    ASSERT_EQ(nextMarker, static_cast<uint32_t>(kCycles + 1));
    EXPECT_TRUE(received.back().empty()) << "datagrams after the last stop";

    long long datagrams = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle)
    {
        SCOPED_TRACE("run " + std::to_string(cycle));
        const Run& run = runs[static_cast<size_t>(cycle)];
        const std::vector<Bytes>& got = received[static_cast<size_t>(cycle)];
        if (cycle > 0)
        {
            EXPECT_EQ(run.atStart.sequence, runs[static_cast<size_t>(cycle - 1)].atStop.sequence);
            EXPECT_EQ(run.atStart.timestamp, runs[static_cast<size_t>(cycle - 1)].atStop.timestamp);
        }
        // Everything accepted arrived, and nothing else.
        EXPECT_EQ(run.atStop.totalBytes, static_cast<long long>(got.size()) * kPackets * kPacket);
        const uint16_t sent = static_cast<uint16_t>(run.atStop.sequence - run.atStart.sequence);
        EXPECT_LE(got.size(), sent);

        int64_t nextPacket = -1;
        for (size_t i = 0; i < got.size(); ++i)
        {
            const Bytes& d = got[i];
            ASSERT_EQ(d.size(), static_cast<size_t>(kHeader + kPackets * kPacket));
            ASSERT_TRUE(HasFixedRtpHeader(d));
            ASSERT_EQ(SequenceOf(d), static_cast<uint16_t>(run.atStart.sequence + i)) << "gap or foreign datagram";
            ASSERT_EQ(TimestampOf(d), static_cast<uint32_t>(run.atStart.timestamp + 90u * (i + 1)));
            for (int p = 0; p < kPackets; ++p)
            {
                const int64_t counter = TsPackets::CounterOf(&d[static_cast<size_t>(kHeader + p * kPacket)]);
                ASSERT_GE(counter, 0) << "torn packet in datagram " << i;
                if (nextPacket >= 0)
                {
                    ASSERT_EQ(counter, nextPacket) << "packets out of stream order in datagram " << i;
                }
                nextPacket = counter + 1;
            }
        }
        datagrams += static_cast<long long>(got.size());
    }
    EXPECT_GE(datagrams, minimumSends);
    RecordProperty("datagrams", std::to_string(datagrams));
    std::printf("stress: %d runs, %lld datagrams received\n", kCycles, datagrams);
}
