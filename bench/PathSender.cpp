// The module's traffic path with a real socket and no host around it: a file
// read into memory goes in host-like blocks through the same aligner, lock and
// RTP framing as in the module (bench/TrafficPathWriter.h), and every datagram
// leaves with sendto. Set beside the bare sendto loop and beside the module in
// tovrin-host, it tells the path's own cost from the cost of the process it
// runs in.
//
//   tovrin-path-sender ADDRESS PORT N FILE [udp]
//
// With "udp", datagrams are framed as in the module's plain UDP mode (the
// chunk alone, no RTP header).
//
// Blocks vary from 7 to 100 packets by the same kind of seeded generator the
// host uses. Prints the datagrams sent and the time from the first block to
// the last.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
using socket_t = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using socket_t = int;
constexpr socket_t INVALID_SOCKET = -1;
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "TrafficPathWriter.h"

namespace {

struct SocketSink
{
    socket_t socket = INVALID_SOCKET;
    sockaddr_in to{};
    long long failed = 0;

    bool operator()(const unsigned char* datagram, int size)
    {
        const bool sent = sendto(socket, reinterpret_cast<const char*>(datagram), size, 0,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to) == size;
        failed += sent ? 0 : 1;
        return sent;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const bool plainUdp = argc == 6 && std::strcmp(argv[5], "udp") == 0;
    if (argc != 5 && !plainUdp)
    {
        std::fprintf(stderr, "usage: tovrin-path-sender ADDRESS PORT N FILE [udp]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int n = std::atoi(argv[3]);
    if (port < 1 || port > 65535 || n < kMinPacketsPerChunk || n > kMaxPacketsPerChunk)
    {
        std::fprintf(stderr, "tovrin-path-sender: bad arguments\n");
        return 2;
    }
    std::ifstream file(argv[4], std::ios::binary);
    std::vector<unsigned char> stream((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t packets = stream.size() / kTsPacketSize;
    if (packets == 0)
    {
        std::fprintf(stderr, "tovrin-path-sender: %s holds no packet\n", argv[4]);
        return 2;
    }

#ifdef _WIN32
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    SocketSink sink;
    sink.socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sink.socket == INVALID_SOCKET)
    {
        std::fprintf(stderr, "tovrin-path-sender: no socket\n");
        return 1;
    }
    sink.to.sin_family = AF_INET;
    sink.to.sin_port = htons(static_cast<unsigned short>(port));
    sink.to.sin_addr.s_addr = inet_addr(argv[1]);

    CTrafficPathWriter<SocketSink> writer(n, sink, plainUdp ? EDatagramFraming::Udp : EDatagramFraming::Rtp);
    writer.Start();
    uint32_t state = 1;  // xorshift32
    const auto start = std::chrono::steady_clock::now();
    for (size_t position = 0; position < packets;)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const size_t block = std::min<size_t>(7 + state % 94, packets - position);
        writer.ReceiveTraffic(stream.data() + position * kTsPacketSize, static_cast<int>(block * kTsPacketSize));
        position += block;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long datagrams = static_cast<long long>(packets / n);
    std::printf("datagrams=%lld failed=%lld seconds=%.6f rate_dps=%.1f\n", datagrams, writer.GetSink().failed,
                seconds, seconds > 0 ? static_cast<double>(datagrams) / seconds : 0.0);
#ifdef _WIN32
    closesocket(sink.socket);
    WSACleanup();
#else
    close(sink.socket);
#endif
    return writer.GetSink().failed == 0 ? 0 : 1;
}
