// The SRT library as the set-up step builds it for Windows (libsrt with
// mbedTLS, C++11 threads), run under Wine: a listener and a caller in this
// process on 127.0.0.1 carry live-mode messages encrypted at each key length
// byte for byte, and a caller with another or no passphrase is refused for
// the reason libsrt names. A broken cross-build (no encryption, a threading
// or clock library that does not work under Windows, entropy that fails)
// shows here before any output is built on it.
#include <gtest/gtest.h>

#include <srt/srt.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct SrtLibrary {
    SrtLibrary() { srt_startup(); }
    ~SrtLibrary() { srt_cleanup(); }
};

struct Socket {
    SRTSOCKET id = SRT_INVALID_SOCK;
    Socket() = default;
    explicit Socket(SRTSOCKET s) : id(s) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (id != SRT_INVALID_SOCK) srt_close(id);
    }
};

void SetSecret(SRTSOCKET s, const std::string& passphrase, int keyLength) {
    if (passphrase.empty()) return;
    ASSERT_EQ(srt_setsockflag(s, SRTO_PASSPHRASE, passphrase.data(), static_cast<int>(passphrase.size())), 0)
        << srt_getlasterror_str();
    ASSERT_EQ(srt_setsockflag(s, SRTO_PBKEYLEN, &keyLength, sizeof keyLength), 0) << srt_getlasterror_str();
}

// The messages go out in one burst, faster than Wine's loopback takes them:
// a whole second of latency leaves time to repair what it drops.
void SetTimings(SRTSOCKET s) {
    const int ms = 5000;
    srt_setsockflag(s, SRTO_RCVTIMEO, &ms, sizeof ms);
    srt_setsockflag(s, SRTO_CONNTIMEO, &ms, sizeof ms);
    const int latency = 1000;
    srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency);
}

struct Case {
    const char* name;
    const char* listenerPassphrase;
    int listenerKeyLength;
    const char* callerPassphrase;
    int callerKeyLength;
    int rejectReason;  // SRT_REJ_UNKNOWN: the caller connects
};

// Live mode's largest message: seven transport stream packets.
constexpr int kMessage = 1316;
constexpr int kMessages = 300;

void Fill(std::uint8_t* message, int index) {
    for (int i = 0; i < kMessage; ++i) message[i] = static_cast<std::uint8_t>(index * 7 + i);
}

class SrtLibraryTest : public ::testing::TestWithParam<Case> {
protected:
    SrtLibrary library_;
};

TEST_P(SrtLibraryTest, CarriesEncryptedMessagesOrRefusesTheCaller) {
    const Case& c = GetParam();

    Socket listener(srt_create_socket());
    ASSERT_NE(listener.id, SRT_INVALID_SOCK);
    SetSecret(listener.id, c.listenerPassphrase, c.listenerKeyLength);
    SetTimings(listener.id);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(srt_bind(listener.id, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << srt_getlasterror_str();
    int length = sizeof address;
    ASSERT_EQ(srt_getsockname(listener.id, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_NE(address.sin_port, 0);
    ASSERT_EQ(srt_listen(listener.id, 8), 0) << srt_getlasterror_str();

    // The library's own threads answer the handshake: a blocking connect
    // on this thread completes before accept takes the connection.
    Socket caller(srt_create_socket());
    SetSecret(caller.id, c.callerPassphrase, c.callerKeyLength);
    SetTimings(caller.id);
    const int connected = srt_connect(caller.id, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (c.rejectReason != SRT_REJ_UNKNOWN) {
        EXPECT_EQ(connected, SRT_ERROR);
        EXPECT_EQ(srt_getrejectreason(caller.id), c.rejectReason)
            << srt_rejectreason_str(srt_getrejectreason(caller.id));
        // Nothing is waiting for the listener to accept.
        const int none = 0;
        srt_setsockflag(listener.id, SRTO_RCVSYN, &none, sizeof none);
        EXPECT_EQ(srt_accept(listener.id, nullptr, nullptr), SRT_INVALID_SOCK);
        return;
    }
    ASSERT_NE(connected, SRT_ERROR) << srt_getlasterror_str() << " / "
                                    << srt_rejectreason_str(srt_getrejectreason(caller.id));
    Socket accepted(srt_accept(listener.id, nullptr, nullptr));
    ASSERT_NE(accepted.id, SRT_INVALID_SOCK) << srt_getlasterror_str();
    SetTimings(accepted.id);

    std::int32_t keyLength = 0;
    int optionLength = sizeof keyLength;
    ASSERT_EQ(srt_getsockflag(accepted.id, SRTO_PBKEYLEN, &keyLength, &optionLength), 0);
    EXPECT_EQ(keyLength, *c.listenerPassphrase ? c.listenerKeyLength : 0);

    std::uint8_t message[kMessage];
    for (int i = 0; i < kMessages; ++i) {
        Fill(message, i);
        ASSERT_EQ(srt_sendmsg2(caller.id, reinterpret_cast<const char*>(message), kMessage, nullptr), kMessage)
            << srt_getlasterror_str();
    }
    std::uint8_t expected[kMessage];
    char received[1500];
    for (int i = 0; i < kMessages; ++i) {
        const int got = srt_recvmsg(accepted.id, received, sizeof received);
        ASSERT_EQ(got, kMessage) << "message " << i << ": " << srt_getlasterror_str();
        Fill(expected, i);
        ASSERT_EQ(std::memcmp(received, expected, kMessage), 0) << "message " << i;
    }
}

const Case kCases[] = {
    {"Aes128", "ten chars!", 16, "ten chars!", 16, SRT_REJ_UNKNOWN},
    {"Aes192", "a passphrase of twenty-four", 24, "a passphrase of twenty-four", 24, SRT_REJ_UNKNOWN},
    {"Aes256", "thirty-two byte key, longest one", 32, "thirty-two byte key, longest one", 32, SRT_REJ_UNKNOWN},
    {"Clear", "", 0, "", 0, SRT_REJ_UNKNOWN},
    {"WrongPassphrase", "the right passphrase", 16, "a wrong passphrase", 16, SRT_REJ_BADSECRET},
    {"CallerWithout", "the right passphrase", 16, "", 0, SRT_REJ_UNSECURE},
    {"ListenerWithout", "", 0, "the right passphrase", 16, SRT_REJ_UNSECURE},
};

INSTANTIATE_TEST_SUITE_P(Cases, SrtLibraryTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
