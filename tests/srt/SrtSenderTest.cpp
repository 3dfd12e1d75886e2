// An SRT output's sender under Wine, with libsrt on both ends on 127.0.0.1:
// a caller delivers the whole stream to an encrypting listener byte for
// byte from its first packet; a wrong passphrase gets nothing and the
// refusal is named; a listener serves two callers at once; Stop ends a
// sender that is still trying to connect.
#include <gtest/gtest.h>

#include <srt/srt.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ProgramStream.h"
#include "outputs/SrtSender.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kChunk = 7;
const char kPassphrase[] = "the right passphrase";

const Bytes& Source()
{
    static const Bytes stream = MakeProgramStream(true);
    return stream;
}

struct SrtLibrary
{
    SrtLibrary() { srt_startup(); }
    ~SrtLibrary() { srt_cleanup(); }
};

struct Socket
{
    SRTSOCKET id = SRT_INVALID_SOCK;
    explicit Socket(SRTSOCKET s = SRT_INVALID_SOCK) : id(s) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket()
    {
        if (id != SRT_INVALID_SOCK)
            srt_close(id);
    }
};

void Secure(SRTSOCKET s, const char* passphrase)
{
    const int ms = 3000;
    srt_setsockflag(s, SRTO_RCVTIMEO, &ms, sizeof ms);
    const int latency = 1000;
    srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency);
    // The test's receivers wait for every repair instead of skipping a
    // packet that came too late to play.
    const bool no = false;
    srt_setsockflag(s, SRTO_TLPKTDROP, &no, sizeof no);
    if (passphrase != nullptr)
        srt_setsockflag(s, SRTO_PASSPHRASE, passphrase, static_cast<int>(std::strlen(passphrase)));
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A listening socket of the test's own on a free port of 127.0.0.1.
uint16_t Listen(Socket& listener, const char* passphrase)
{
    listener.id = srt_create_socket();
    Secure(listener.id, passphrase);
    sockaddr_in address = Loopback(0);
    if (srt_bind(listener.id, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        srt_listen(listener.id, 4) != 0)
        return 0;
    int length = sizeof address;
    srt_getsockname(listener.id, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

SSrtSettings Settings(ESrtMode mode, const char* passphrase)
{
    SSrtSettings settings;
    settings.Mode = mode;
    // Wine's loopback loses datagrams in bursts, and the machine's load
    // delays the repairs: time for them.
    settings.Latency = 1000;
    if (passphrase != nullptr)
    {
        std::strcpy(settings.Passphrase, passphrase);
        settings.KeyLength = 16;
    }
    return settings;
}

template <class Condition>
bool WaitFor(Condition condition, int ms = 5000)
{
    for (int waited = 0; waited < ms; waited += 10)
    {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// The traffic thread's part: the whole source in chunks of 7.
void Play(CSrtSender& sender)
{
    const size_t packets = Source().size() / kTsPacketSize;
    for (size_t p = 0; p < packets; p += kChunk)
    {
        const size_t count = packets - p < kChunk ? packets - p : kChunk;
        sender.PutPackets(&Source()[p * kTsPacketSize], static_cast<int>(count));
        // About 10 Mbit/s, as a transponder's traffic comes: live mode sends
        // at the pace it is given.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Everything `s` receives until it has `bytes` or a read times out.
Bytes Receive(SRTSOCKET s, size_t bytes)
{
    Bytes got;
    char message[1500];
    while (got.size() < bytes)
    {
        const int n = srt_recvmsg(s, message, sizeof message);
        if (n <= 0)
            break;
        got.insert(got.end(), message, message + n);
    }
    return got;
}

// Tables first (whole packets, maybe none before the first PAT arrived),
// then the whole source byte for byte.
void ExpectWholeStream(const Bytes& got)
{
    ASSERT_GE(got.size(), Source().size());
    ASSERT_EQ(got.size() % kTsPacketSize, 0u);
    EXPECT_TRUE(std::equal(Source().begin(), Source().end(), got.end() - static_cast<long>(Source().size())))
        << "the source byte for byte, nothing missing";
}

TEST(SrtSender, ACallerDeliversTheWholeStreamEncrypted)
{
    SrtLibrary library;
    Socket listener;
    const uint16_t port = Listen(listener, kPassphrase);
    ASSERT_NE(port, 0);
    CSrtSender sender;
    SrtReasonText refusal;
    ASSERT_TRUE(sender.Start(Settings(ESrtMode::Caller, kPassphrase), Loopback(port), 7, refusal)) << refusal;
    Socket accepted(srt_accept(listener.id, nullptr, nullptr));
    ASSERT_NE(accepted.id, SRT_INVALID_SOCK) << srt_getlasterror_str();
    ASSERT_TRUE(WaitFor([&] { return sender.State() == ESrtState::Connected && sender.Connections() == 1; }));
    // The connection's reader joins at the next hand-over.
    Play(sender);
    ExpectWholeStream(Receive(accepted.id, Source().size() + 20 * kTsPacketSize));
    EXPECT_EQ(sender.Drops(), 0u);
    sender.Stop();
}

TEST(SrtSender, AWrongPassphraseGetsNothingAndTheRefusalIsNamed)
{
    SrtLibrary library;
    Socket listener;
    const uint16_t port = Listen(listener, "another passphrase");
    ASSERT_NE(port, 0);
    const int no = 0;
    srt_setsockflag(listener.id, SRTO_RCVSYN, &no, sizeof no);
    CSrtSender sender;
    SrtReasonText refusal;
    ASSERT_TRUE(sender.Start(Settings(ESrtMode::Caller, kPassphrase), Loopback(port), 7, refusal)) << refusal;
    SrtReasonText reason = {};
    ASSERT_TRUE(WaitFor([&] {
        sender.Reason(reason);
        return reason[0] != 0;
    }));
    Play(sender);
    EXPECT_EQ(sender.State(), ESrtState::Connecting);
    EXPECT_NE(std::string(reason).find("passphrase"), std::string::npos) << reason;
    EXPECT_EQ(srt_accept(listener.id, nullptr, nullptr), SRT_INVALID_SOCK);
    // The passphrase itself is in no reason.
    EXPECT_EQ(std::string(reason).find(kPassphrase), std::string::npos);
    sender.Stop();
}

TEST(SrtSender, AListenerServesTwoCallersAtOnce)
{
    SrtLibrary library;
    // A free port: one the test's own socket had.
    uint16_t port = 0;
    {
        Socket probe;
        port = Listen(probe, nullptr);
    }
    ASSERT_NE(port, 0);
    CSrtSender sender;
    SrtReasonText refusal;
    ASSERT_TRUE(sender.Start(Settings(ESrtMode::Listener, kPassphrase), Loopback(port), 7, refusal)) << refusal;
    Socket first(srt_create_socket());
    Socket second(srt_create_socket());
    for (Socket* caller : {&first, &second})
    {
        Secure(caller->id, kPassphrase);
        const sockaddr_in address = Loopback(port);
        ASSERT_NE(srt_connect(caller->id, reinterpret_cast<const sockaddr*>(&address), sizeof address), SRT_ERROR)
            << srt_getlasterror_str();
    }
    ASSERT_TRUE(WaitFor([&] { return sender.Connections() == 2; }));
    EXPECT_EQ(sender.State(), ESrtState::Listening);
    std::thread play([&] { Play(sender); });
    Bytes got[2];
    std::thread other([&] { got[1] = Receive(second.id, Source().size() + 20 * kTsPacketSize); });
    got[0] = Receive(first.id, Source().size() + 20 * kTsPacketSize);
    other.join();
    play.join();
    ExpectWholeStream(got[0]);
    ExpectWholeStream(got[1]);
    sender.Stop();
    EXPECT_EQ(sender.Connections(), 0);
}

// A sender that cannot reach its listener is still stopped, its attempt
// under way ended by its own timeout (a second): a bound, not a speed.
TEST(SrtSender, StopEndsACallerThatIsStillTrying)
{
    SrtLibrary library;
    uint16_t port = 0;
    {
        Socket probe;
        port = Listen(probe, nullptr);
    }
    CSrtSender sender;
    SrtReasonText refusal;
    ASSERT_TRUE(sender.Start(Settings(ESrtMode::Caller, nullptr), Loopback(port), 7, refusal)) << refusal;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = std::chrono::steady_clock::now();
    sender.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(sender.Connections(), 0);
}

}  // namespace
