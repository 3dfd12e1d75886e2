// The optional sending keys (Protocol, TTL, LocalIPAddress, SendBufferSize)
// from real INI files into the module object, onto its socket at Start, and
// into the datagrams. Everything here stays on 127.0.0.1: a multicast
// destination is only opened, never fed. Other hosts, groups and broadcasts
// are tried in network namespaces (tests/net).

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "IniModuleTest.h"
#include "ModuleTestSupport.h"

using namespace KelvModuleApi2;

namespace
{
// An address no interface of any machine has (TEST-NET-1, for documentation).
constexpr char kNobodysAddress[] = "192.0.2.1";

class SendKeys : public IniModuleTest
{
};

int SocketOption(SOCKET s, int level, int name)
{
    WinsockProbe::OwnCalls own;
    int value = 0;
    int length = sizeof value;
    if (getsockopt(s, level, name, reinterpret_cast<char*>(&value), &length) != 0)
        return -1;
    return length == 1 ? (value & 0xFF) : value;
}

// What a fresh UDP socket of this system has, for the options left alone.
int DefaultOption(int level, int name)
{
    WinsockProbe::OwnCalls own;
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const int value = SocketOption(s, level, name);
    closesocket(s);
    return value;
}
}  // namespace

// ---------------------------------------------------------------------------
// From the INI file into the record: one line, what it gives. A value out of
// range or not a number/address counts as absent.
struct KeyCase
{
    const char* line;
    EDatagramFraming protocol;
    int ttl;
    int sendBuffer;
    const char* local;  // the address it names, or "" for none
};

std::ostream& operator<<(std::ostream& out, const KeyCase& c)
{
    return out << "\"" << c.line << "\"";
}

class SendKeyValues : public SendKeys, public ::testing::WithParamInterface<KeyCase>
{
};

TEST_P(SendKeyValues, LoadIntoTheRecordAndLeaveTheThreeSettingsAlone)
{
    const KeyCase c = GetParam();
    Create(std::string(c.line) + "\r\nnTS_UDP=3\r\n");
    const SSendOptions& options = Access().SendOptions();
    EXPECT_EQ(options.Protocol, c.protocol);
    EXPECT_EQ(options.Ttl, c.ttl);
    EXPECT_EQ(options.SendBufferSize, c.sendBuffer);
    const std::string local = c.local;
    EXPECT_EQ(options.HasLocalAddress, local.empty() ? 0 : 1);
    if (!local.empty())
    {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", options.LocalAddress[0], options.LocalAddress[1],
                      options.LocalAddress[2], options.LocalAddress[3]);
        EXPECT_EQ(std::string(text), local);
    }
    EXPECT_EQ(Access().Address(), L"127.0.0.1");
    EXPECT_EQ(Access().Port(), receiver.Port());
    EXPECT_EQ(Access().PacketsPerDatagram(), 3);
}

constexpr EDatagramFraming kRtp = EDatagramFraming::Rtp;
constexpr EDatagramFraming kUdp = EDatagramFraming::Udp;

INSTANTIATE_TEST_SUITE_P(
    Table, SendKeyValues,
    ::testing::Values(KeyCase{"Protocol=UDP", kUdp, 0, 0, ""},
                      KeyCase{"Protocol=udp", kUdp, 0, 0, ""},
                      KeyCase{"Protocol=Udp", kUdp, 0, 0, ""},
                      KeyCase{"Protocol=RTP", kRtp, 0, 0, ""},
                      KeyCase{"Protocol=rtp", kRtp, 0, 0, ""},
                      KeyCase{"Protocol=SRT", kRtp, 0, 0, ""},
                      KeyCase{"Protocol=", kRtp, 0, 0, ""},
                      KeyCase{"TTL=1", kRtp, 1, 0, ""},
                      KeyCase{"TTL=16", kRtp, 16, 0, ""},
                      KeyCase{"TTL=255", kRtp, 255, 0, ""},
                      KeyCase{"TTL=0", kRtp, 0, 0, ""},
                      KeyCase{"TTL=300", kRtp, 0, 0, ""},
                      KeyCase{"TTL=256", kRtp, 0, 0, ""},
                      KeyCase{"TTL=-1", kRtp, 0, 0, ""},
                      KeyCase{"TTL=12abc", kRtp, 0, 0, ""},
                      KeyCase{"TTL=", kRtp, 0, 0, ""},
                      KeyCase{"SendBufferSize=150000", kRtp, 0, 150000, ""},
                      KeyCase{"SendBufferSize=0", kRtp, 0, 0, ""},
                      KeyCase{"SendBufferSize=-5", kRtp, 0, 0, ""},
                      KeyCase{"SendBufferSize=4M", kRtp, 0, 0, ""},
                      KeyCase{"SendBufferSize=", kRtp, 0, 0, ""},
                      KeyCase{"LocalIPAddress=127.0.0.1", kRtp, 0, 0, "127.0.0.1"},
                      KeyCase{"LocalIPAddress=192.0.2.1", kRtp, 0, 0, "192.0.2.1"},  // refused at Start
                      KeyCase{"LocalIPAddress=", kRtp, 0, 0, ""},
                      KeyCase{"LocalIPAddress=0.0.0.0", kRtp, 0, 0, ""},
                      KeyCase{"LocalIPAddress=not an address", kRtp, 0, 0, ""},
                      KeyCase{"LocalIPAddress=10.0.0.300", kRtp, 0, 0, ""},
                      KeyCase{"NoSuchKey=UDP", kRtp, 0, 0, ""}));

TEST_F(SendKeys, AreNeverWrittenAndSurviveEverySave)
{
    // The private-profile writer's own form, so that every byte compares.
    const std::string before = "[TovrinStreamer]\r\n"
                               "IPAddress=127.0.0.1\r\n"
                               "Protocol=udp\r\n"
                               "UDP_Port=" + std::to_string(receiver.Port()) + "\r\n"
                               "TTL=300\r\n"
                               "nTS_UDP=7\r\n"
                               "LocalIPAddress=not an address\r\n"
                               "SendBufferSize=150000\r\n";
    ini.WriteBytes(before);
    module = CreateModule(&device);
    ASSERT_TRUE(module);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    module.reset();
    EXPECT_EQ(ini.ReadBytes(), before);

    // Without them, a save adds none.
    ini.WriteBytes("");
    module = CreateModule(&device);
    ASSERT_TRUE(module);
    module.reset();
    EXPECT_EQ(ini.ReadBytes(), "[TovrinStreamer]\r\nIPAddress=127.0.0.1\r\nUDP_Port=43000\r\nnTS_UDP=7\r\n");
}

TEST_F(SendKeys, AnEmptyOrMissingKeyAfterALoadBringsBackTheDefault)
{
    Create("Protocol=UDP\r\nTTL=9\r\nSendBufferSize=150000\r\nLocalIPAddress=127.0.0.1\r\n");
    ASSERT_EQ(Access().SendOptions().Protocol, kUdp);
    ini.WriteKey(L"Protocol", L"");
    ini.WriteKey(L"TTL", L"");
    WritePrivateProfileStringW(L"TovrinStreamer", L"SendBufferSize", nullptr, ini.IniPath().c_str());
    WritePrivateProfileStringW(L"TovrinStreamer", L"LocalIPAddress", nullptr, ini.IniPath().c_str());
    Writer().LoadOptions();
    const SSendOptions& options = Access().SendOptions();
    EXPECT_EQ(options.Protocol, kRtp);
    EXPECT_EQ(options.Ttl, 0);
    EXPECT_EQ(options.SendBufferSize, 0);
    EXPECT_EQ(options.HasLocalAddress, 0);
    EXPECT_EQ(options.szLocalAddress[0], L'\0');
}

// ---------------------------------------------------------------------------
// Onto the socket: what the module asked of setsockopt and bind (the probe),
// and what the socket then has (read back). No traffic is fed, so nothing
// goes to the multicast group of some cases.
struct SocketCase
{
    const char* name;
    const char* lines;
    const char* destination;
    int ttl;                 // IP_TTL read back; 0: the system's default
    int multicastTtl;        // IP_MULTICAST_TTL read back; 0: the system's default
    int sendBuffer;          // SO_SNDBUF read back; 0: the system's default
    bool broadcast;          // SO_BROADCAST set
    const char* boundTo;     // "" when not bound
    const char* multicastIf; // "" when IP_MULTICAST_IF is not set
    int optionCalls;         // setsockopt and bind calls
};

std::ostream& operator<<(std::ostream& out, const SocketCase& c)
{
    return out << c.name;
}

class SendKeysOnTheSocket : public SendKeys, public ::testing::WithParamInterface<SocketCase>
{
};

TEST_P(SendKeysOnTheSocket, OptionsAreSetAsTheKeysSayAndNoOthers)
{
    const SocketCase c = GetParam();
    Create(c.lines, c.destination);
    WinsockProbe::ClearOptionCalls();
    const WinsockProbe::Counts before = WinsockProbe::Now();
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming()) << Narrow(Access().Description());
    const SOCKET s = Access().Socket();
    // Outside a network namespace nothing may go to a group: the socket is
    // only opened and read back.
    EXPECT_EQ(WinsockProbe::Now().sends, before.sends);

    auto expectOption = [&](int level, int name, int wanted, const char* what) {
        EXPECT_EQ(SocketOption(s, level, name), wanted != 0 ? wanted : DefaultOption(level, name)) << what;
    };
    expectOption(IPPROTO_IP, IP_TTL, c.ttl, "IP_TTL");
    expectOption(IPPROTO_IP, IP_MULTICAST_TTL, c.multicastTtl, "IP_MULTICAST_TTL");
    expectOption(SOL_SOCKET, SO_SNDBUF, c.sendBuffer, "SO_SNDBUF");
    EXPECT_EQ(SocketOption(s, SOL_SOCKET, SO_BROADCAST), c.broadcast ? 1 : 0) << "SO_BROADCAST";
    EXPECT_EQ(SocketOption(s, IPPROTO_IP, IP_MULTICAST_LOOP), DefaultOption(IPPROTO_IP, IP_MULTICAST_LOOP))
        << "multicast loopback stays as the system has it";

    const std::vector<WinsockProbe::OptionCall> calls = WinsockProbe::OptionCalls();
    EXPECT_EQ(calls.size(), static_cast<size_t>(c.optionCalls));
    bool bound = false;
    for (const WinsockProbe::OptionCall& call : calls)
    {
        EXPECT_TRUE(call.done) << "level " << call.level << " option " << call.name;
        if (call.level != WinsockProbe::kBindCall)
            continue;
        bound = true;
        ASSERT_EQ(call.value.size(), sizeof(sockaddr_in));
        sockaddr_in address;
        std::memcpy(&address, call.value.data(), sizeof address);
        EXPECT_EQ(address.sin_family, AF_INET);
        EXPECT_EQ(address.sin_port, 0) << "bound to port 0: the system picks the source port";
        EXPECT_EQ(std::string(inet_ntoa(address.sin_addr)), c.boundTo);
    }
    EXPECT_EQ(bound, std::string(c.boundTo) != "");

    {
        WinsockProbe::OwnCalls own;
        in_addr interfaceAddress{};
        int length = sizeof interfaceAddress;
        ASSERT_EQ(getsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<char*>(&interfaceAddress), &length), 0);
        const std::string shown = inet_ntoa(interfaceAddress);
        EXPECT_EQ(shown, std::string(c.multicastIf).empty() ? "0.0.0.0" : c.multicastIf) << "IP_MULTICAST_IF";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendKeysOnTheSocket,
    ::testing::Values(
        // No key: only the permission to broadcast, which a unicast send ignores.
        SocketCase{"NoKeys", "", "127.0.0.1", 0, 0, 0, true, "", "", 1},
        SocketCase{"UnicastTtl", "TTL=7\r\n", "127.0.0.1", 7, 0, 0, true, "", "", 2},
        SocketCase{"MulticastTtl", "TTL=7\r\n", "239.255.12.34", 0, 7, 0, true, "", "", 2},
        SocketCase{"TtlZero", "TTL=0\r\n", "239.255.12.34", 0, 0, 0, true, "", "", 1},
        SocketCase{"Ttl300", "TTL=300\r\n", "127.0.0.1", 0, 0, 0, true, "", "", 1},
        SocketCase{"TtlMinusOne", "TTL=-1\r\n", "127.0.0.1", 0, 0, 0, true, "", "", 1},
        SocketCase{"SendBuffer", "SendBufferSize=150000\r\n", "127.0.0.1", 0, 0, 150000, true, "", "", 2},
        SocketCase{"SmallSendBuffer", "SendBufferSize=100000\r\n", "127.0.0.1", 0, 0, 100000, true, "", "", 2},
        SocketCase{"LocalUnicast", "LocalIPAddress=127.0.0.1\r\n", "127.0.0.1", 0, 0, 0, true, "127.0.0.1", "", 2},
        SocketCase{"LocalMulticast", "LocalIPAddress=127.0.0.1\r\nTTL=3\r\n", "239.255.12.34", 0, 3, 0, true,
                   "127.0.0.1", "127.0.0.1", 4},
        SocketCase{"LocalEmpty", "LocalIPAddress=\r\n", "127.0.0.1", 0, 0, 0, true, "", "", 1},
        SocketCase{"LocalNotAnAddress", "LocalIPAddress=not an address\r\n", "127.0.0.1", 0, 0, 0, true, "", "", 1}),
    [](const ::testing::TestParamInfo<SocketCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A source address this machine does not have: the start is refused before
// anything is registered or opened, and the description line says why until
// the next Start.
class SendKeysRefusedSource : public SendKeys, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(SendKeysRefusedSource, NothingIsRegisteredOpenedOrSentAndTheDescriptionSaysWhy)
{
    const std::string address = GetParam();
    Create("LocalIPAddress=" + address + "\r\n");
    const WinsockProbe::Counts before = WinsockProbe::Now();
    WinsockProbe::ClearOptionCalls();
    Access().SetCounters(5, 450, 4242);

    Writer().StartWrite();

    EXPECT_FALSE(Access().Streaming());
    const std::vector<DeviceCall> calls = device.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, DeviceOp::GetDeviceInfo);
    EXPECT_EQ(Access().FilterHandle(), 0);
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.sockets, before.sockets);
    EXPECT_EQ(after.sends, before.sends);
    EXPECT_TRUE(WinsockProbe::OptionCalls().empty());
    EXPECT_EQ(Access().ReadCounters().totalBytes, 4242) << "the last run's total stays on show";

    const std::wstring refusal =
        L"Cannot send from " + std::wstring(address.begin(), address.end()) +
        L": no interface of this PC has it";
    EXPECT_EQ(Access().StartRefusal(), refusal);
    EXPECT_EQ(Access().Description(), refusal);
    Writer().LoadOptions();  // the dialog opened again
    EXPECT_EQ(Access().Description(), refusal);

    // The next Start decides again: with the key gone, it streams.
    ini.WriteKey(L"LocalIPAddress", L"");
    Writer().LoadOptions();
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    EXPECT_EQ(Access().StartRefusal(), L"");
    EXPECT_EQ(Access().Description(), L"This module sends complete TS to udp://127.0.0.1:" +
                                          std::to_wstring(receiver.Port()) + L" with 7xTS chunks");
    Feed(0, 7);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(SequenceOf(got[0]), 5);
}

// An address of no interface; a group and the broadcast address, which no
// interface has either.
INSTANTIATE_TEST_SUITE_P(Addresses, SendKeysRefusedSource,
                         ::testing::Values(kNobodysAddress, "10.255.254.253", "239.255.0.1", "255.255.255.255"));

TEST_F(SendKeys, ARefusalLastsUntilTheNextStartWhateverEndsThatOne)
{
    Create(std::string("LocalIPAddress=") + kNobodysAddress + "\r\n");
    Writer().StartWrite();
    ASSERT_NE(Access().StartRefusal(), L"");
    device.SetTransportType(1);  // the next start ends at the device instead
    Writer().StartWrite();
    EXPECT_EQ(Access().StartRefusal(), L"");
    EXPECT_FALSE(Access().Streaming());
}

// A source address the system does not take after the filter is registered
// (bind fails): the start is undone as for a failed socket, and says why.
TEST_F(SendKeys, AFailedBindUndoesTheStartAndSaysWhy)
{
    Create("LocalIPAddress=127.0.0.1\r\n");
    const WinsockProbe::Counts before = WinsockProbe::Now();
    WinsockProbe::FailBinds(true);
    Writer().StartWrite();
    WinsockProbe::FailBinds(false);

    EXPECT_FALSE(Access().Streaming());
    EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
    EXPECT_EQ(Access().FilterHandle(), 0);
    EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), device.CallCount(DeviceOp::RemoveEngineFilter));
    EXPECT_EQ(device.Receiver(), nullptr);
    const WinsockProbe::Counts after = WinsockProbe::Now();
    EXPECT_EQ(after.sockets - before.sockets, after.closes - before.closes) << "the socket is closed again";
    EXPECT_EQ(after.startups - before.startups, after.cleanups - before.cleanups);
    EXPECT_EQ(Access().WsaStartups(), 0);
    EXPECT_EQ(Access().Description(), L"Cannot send from 127.0.0.1: bind failed (error 10049)");

    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Feed(0, 7);
    EXPECT_EQ(receiver.DrainUntilMarker().size(), 1u);
}

// ---------------------------------------------------------------------------
// Plain UDP: each datagram is the chunk alone; chunking, counters and byte
// total as in RTP.
class PlainUdp : public SendKeys, public ::testing::WithParamInterface<int>
{
};

TEST_P(PlainUdp, DatagramsAreTheChunksAloneAndTheCountersRunOnIntoRtp)
{
    const int n = GetParam();
    Create("Protocol=UDP\r\nnTS_UDP=" + std::to_string(n) + "\r\n");
    EXPECT_EQ(Access().Description(), L"This module sends complete TS without RTP to udp://127.0.0.1:" +
                                          std::to_wstring(receiver.Port()) + L" with " + std::to_wstring(n) +
                                          L"xTS chunks");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    const int chunks = 3;
    Feed(100, chunks * n + 1);  // one packet stays in the aligner (N > 1)

    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), static_cast<size_t>(n == 1 ? chunks + 1 : chunks));
    for (size_t i = 0; i < static_cast<size_t>(chunks); ++i)
        EXPECT_EQ(got[i], TsPackets::Make(100 + static_cast<uint32_t>(i * n), n)) << "datagram " << i;
    const auto counters = Access().ReadCounters();
    EXPECT_EQ(counters.totalBytes, static_cast<long long>(got.size()) * n * kPacket);
    EXPECT_EQ(counters.sequence, got.size());
    EXPECT_EQ(counters.timestamp, 90u * got.size());

    // Back to RTP at the next start: the numbers go on from where UDP left them.
    Writer().StopWrite();
    ini.WriteKey(L"Protocol", L"RTP");
    Writer().LoadOptions();
    Writer().StartWrite();
    Feed(500, n);
    const std::vector<Bytes> rtp = receiver.DrainUntilMarker();
    ASSERT_EQ(rtp.size(), 1u);
    EXPECT_TRUE(HasFixedRtpHeader(rtp[0]));
    EXPECT_EQ(SequenceOf(rtp[0]), static_cast<uint16_t>(got.size()));
    EXPECT_EQ(TimestampOf(rtp[0]), 90u * (got.size() + 1));
    EXPECT_EQ(PayloadOf(rtp[0]), TsPackets::Make(500, n));
}

INSTANTIATE_TEST_SUITE_P(PacketsPerDatagram, PlainUdp, ::testing::Values(1, 3, 7));

// A dialog opened while streaming reloads the keys; the running stream keeps
// its socket and its framing, and the next Start takes the new ones.
TEST_F(SendKeys, ARunningStreamKeepsItsSocketAndFraming)
{
    Create("");
    Writer().StartWrite();
    const SOCKET s = Access().Socket();
    ini.WriteKey(L"Protocol", L"UDP");
    ini.WriteKey(L"SendBufferSize", L"100000");
    Writer().LoadOptions();
    EXPECT_EQ(Access().SendOptions().Protocol, kUdp);

    Feed(0, 7);
    std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(HasFixedRtpHeader(got[0]));
    EXPECT_EQ(Access().Socket(), s);
    EXPECT_EQ(SocketOption(s, SOL_SOCKET, SO_SNDBUF), DefaultOption(SOL_SOCKET, SO_SNDBUF));

    Writer().StopWrite();
    Writer().StartWrite();
    EXPECT_EQ(SocketOption(Access().Socket(), SOL_SOCKET, SO_SNDBUF), 100000);
    Feed(7, 7);
    got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], TsPackets::Make(7, 7));
}

// A source address of this machine: datagrams leave from it.
TEST_F(SendKeys, DatagramsLeaveFromTheLocalAddress)
{
    Create("LocalIPAddress=127.0.0.1\r\n");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    sockaddr_in source{};
    int length = sizeof source;
    {
        WinsockProbe::OwnCalls own;
        ASSERT_EQ(getsockname(Access().Socket(), reinterpret_cast<sockaddr*>(&source), &length), 0);
    }
    EXPECT_EQ(std::string(inet_ntoa(source.sin_addr)), "127.0.0.1");
    Feed(0, 14);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(PayloadOf(got[1]), TsPackets::Make(7, 7));
}
