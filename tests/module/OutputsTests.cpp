// Several outputs from Output<k> keys in a real INI file: each receiver on
// 127.0.0.1 gets its own framing and its own RTP counters from one feed, the
// counters run on across Stop and Start per output, the dialog's line counts
// the outputs, and a key that does not parse or outputs that collide refuse
// the start with the output named, before anything is registered or opened.
// Programs, FEC and a link going down per output are checked with real
// receivers in tests/net/outputs_test.py.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "IniModuleTest.h"

namespace
{
class Outputs : public IniModuleTest
{
protected:
    UdpReceiver second;
    UdpReceiver third;

    std::string Port(const UdpReceiver& r) { return std::to_string(r.Port()); }

    // Every datagram of one output: `packets` packets each, numbered on from
    // `first`, RTP counters on from `sequence` (no header when plain UDP).
    static void ExpectOutput(const std::vector<Bytes>& got, int packets, bool rtp, uint32_t first, int datagrams,
                             uint16_t sequence)
    {
        ASSERT_EQ(got.size(), static_cast<size_t>(datagrams));
        for (size_t i = 0; i < got.size(); ++i)
        {
            SCOPED_TRACE("datagram " + std::to_string(i));
            const Bytes& d = got[i];
            const int header = rtp ? kHeader : 0;
            ASSERT_EQ(d.size(), static_cast<size_t>(header + packets * kPacket));
            if (rtp)
            {
                EXPECT_TRUE(HasFixedRtpHeader(d));
                EXPECT_EQ(SequenceOf(d), static_cast<uint16_t>(sequence + i));
            }
            EXPECT_EQ(Bytes(d.begin() + header, d.end()),
                      TsPackets::Make(first + static_cast<uint32_t>(i * packets), packets));
        }
    }
};
}  // namespace

TEST_F(Outputs, EachReceiverGetsItsOwnFramingFromOneFeedAndCountersRunOnPerOutput)
{
    ASSERT_TRUE(second.Bound() && third.Bound());
    Create("Output2=127.0.0.1:" + Port(second) + " packets=3 protocol=udp\r\n" +  //
           "Output5=127.0.0.1:" + Port(third) + "   packets=1\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    EXPECT_EQ(Access().Description(), L"Sends to 3 outputs: 3 complete TS");
    EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), 1u) << "one filter feeds every output";

    // Blocks of odd sizes: each output cuts its own chunks out of them.
    Bytes packets = TsPackets::Make(0, 21);
    for (int offset = 0, step = 1; offset < 21 * kPacket; offset += step * 100, step = step % 5 + 1)
    {
        const int length = std::min(step * 100, 21 * kPacket - offset);
        ASSERT_TRUE(device.Deliver(packets.data() + offset, length));
    }
    ExpectOutput(receiver.DrainUntilMarker(), 7, true, 0, 3, 0);
    ExpectOutput(second.DrainUntilMarker(), 3, false, 0, 7, 0);
    ExpectOutput(third.DrainUntilMarker(), 1, true, 0, 21, 0);
    EXPECT_EQ(Access().ReadCounters().totalBytes, 3 * 21 * kPacket) << "every output's payload counts";

    // A second run: each output's sequence numbers go on from its own.
    Writer().StopWrite();
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Feed(100, 7);
    ExpectOutput(receiver.DrainUntilMarker(), 7, true, 100, 1, 3);
    ExpectOutput(second.DrainUntilMarker(), 3, false, 100, 2, 0);
    ExpectOutput(third.DrainUntilMarker(), 1, true, 100, 7, 21);

    // The key removed while stopped: the next start sends to output 1 alone.
    Writer().StopWrite();
    ini.WriteKey(L"Output5", L"");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().Description(), L"Sends to 2 outputs: 2 complete TS");
    Feed(200, 7);
    EXPECT_EQ(receiver.DrainUntilMarker().size(), 1u);
    EXPECT_EQ(second.DrainUntilMarker().size(), 2u);
    EXPECT_TRUE(third.DrainUntilMarker().empty());
}

// timestamps=clock on output 2 alone: each of its datagrams carries the
// 90 kHz time it was sent (one every 20 ms or so, far from the counter's
// 1000 a second), while output 1 counts on by 90 a datagram as before.
TEST_F(Outputs, AnOutputTakesTheClockWhileOutput1KeepsTheCounter)
{
    ASSERT_TRUE(second.Bound());
    Create("Output2=127.0.0.1:" + Port(second) + " timestamps=clock\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    const TimedFeeds times = FeedFiveTimed();
    Writer().StopWrite();
    const std::vector<Bytes> counted = receiver.DrainUntilMarker();
    const std::vector<Bytes> clocked = second.DrainUntilMarker();
    ASSERT_EQ(counted.size(), 5u);
    ASSERT_EQ(clocked.size(), 5u);
    for (size_t i = 1; i < 5; ++i)
        EXPECT_EQ(TimestampOf(counted[i]) - TimestampOf(counted[0]), 90u * i) << i;
    ExpectClockStamps(clocked, times);
}

TEST_F(Outputs, TheLineCountsProgramOutputs)
{
    ASSERT_TRUE(second.Bound() && third.Bound());
    Create("Output2=127.0.0.1:" + Port(second) + " programs=202\r\n" +  //
           "Output3=127.0.0.1:" + Port(third) + " programs=203,204\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().StartRefusal());
    EXPECT_EQ(Access().Description(), L"Sends to 3 outputs: 2 programs, 1 complete TS");
}

// A refused start registers nothing, opens nothing and says which output and why.
TEST_F(Outputs, ABadKeyOrCollidingOutputsRefuseTheStartWithTheOutputNamed)
{
    struct Case
    {
        std::string lines;
        std::wstring refusal;
    };
    const std::string own = "127.0.0.1:" + std::to_string(receiver.Port());
    const std::string next = "127.0.0.1:" + std::to_string(receiver.Port() + 2);
    const Case cases[] = {
        {"Output3=239.255.1:5000\r\n", L"Output3: not an IPv4 address: \"239.255.1\""},
        {"Output2=127.0.0.1:9000 ttl=300\r\n", L"Output2: bad ttl: \"300\""},
        {"Output16=127.0.0.1:9000 speed=fast\r\n", L"Output16: not an option: \"speed\""},
        {"Output2=" + own + "\r\n", L"Output2: same address and port as output 1"},
        {"Output2=127.0.0.1:9000\r\nOutput4=127.0.0.1:9000 packets=2\r\n",
         L"Output4: same address and port as Output2"},
        {"FEC=5x5\r\nOutput7=" + next + "\r\n", L"Output7: FEC ports meet those of output 1"},
        {"Output2=127.0.0.1:9000 fec=5x5 protocol=udp\r\n",
         L"Output2: FEC needs RTP: Start refused with Protocol=UDP"},
        {"Output2=127.0.0.1:9000 from=10.255.255.254\r\n",
         L"Output2: cannot send from 10.255.255.254: no interface of this PC has it"},
        {"Output2=127.0.0.1:9000 programs=" + std::string(600, '1') + "\r\n",
         L"Output2: longer than 510 characters"},
        {"Output5=127.0.0.1:9000 protocol=srt mode=caller passphrase=too-short\r\n",
         L"Output5: bad passphrase: 10 to 79 printable characters, no blanks"},
        {"Output5=127.0.0.1:9000 protocol=srt mode=caller latency=5\r\n",
         L"Output5: bad latency: \"5\" (20 to 8000 ms)"},
        {"Output5=127.0.0.1:9000 protocol=srt mode=listener packets=8\r\n", L"Output5: bad packets: \"8\""},
        {"Output5=127.0.0.1:9000 protocol=srt\r\n", L"Output5: protocol=srt needs mode=caller or mode=listener"},
        {"Output6=0.0.0.0:9000 protocol=rtp\r\n", L"Output6: not an IPv4 address: \"0.0.0.0\""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.lines);
        Create(c.lines);
        const WinsockProbe::Counts before = WinsockProbe::Now();
        const size_t calls = device.CallCount(DeviceOp::AddEngineFilter);
        Writer().StartWrite();
        EXPECT_FALSE(Access().Streaming());
        EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), calls);
        EXPECT_EQ(WinsockProbe::Now().sockets, before.sockets);
        EXPECT_EQ(Access().StartRefusal(), c.refusal);
        EXPECT_EQ(Access().Description(), c.refusal);
        module.reset();
    }
}

// A socket that output 3 cannot have undoes the start: output 1's socket,
// already made, is closed again and nothing stays registered.
TEST_F(Outputs, AnOutputWithoutASocketUndoesTheStart)
{
    ASSERT_TRUE(second.Bound());
    Create("Output3=127.0.0.1:" + Port(second) + "\r\n");
    const WinsockProbe::Counts before = WinsockProbe::Now();
    int sockets = 0;
    WinsockProbe::OnCall(WinsockProbe::Call::Socket, [&] { WinsockProbe::FailSockets(++sockets == 2); });
    Writer().StartWrite();
    WinsockProbe::OnCall(WinsockProbe::Call::Socket, {});
    WinsockProbe::FailSockets(false);
    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.sockets - before.sockets, 2);
    EXPECT_EQ(after.closes - before.closes, 1) << "output 1's socket is closed again";
    EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), device.CallCount(DeviceOp::RemoveEngineFilter));
    EXPECT_EQ(Access().StartRefusal().rfind(L"Output3: cannot open a socket: ", 0), 0u)
        << Narrow(Access().StartRefusal());
}
