// A stand-in for the URL server's discovery, on Linux sockets, built from the
// same portable pieces the module uses: SSDP on 239.255.255.250:1900 and the
// network tuner's discovery on UDP 65001. The namespace test runs it so that
// clients others wrote (gssdp-discover, hdhomerun_config) judge our packets.
//
// Usage: discovery_responder ADDRESS HTTPPORT COMPUTERNAME [ALLOW]
// Prints "ready" when listening; SIGTERM sends the byebyes and ends it.
// Every datagram sent is printed as "sent <kind> <to>" for the test.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "discovery/AnswerPacing.h"
#include "discovery/NameUuid.h"
#include "discovery/SsdpMessage.h"
#include "discovery/TunerDiscoveryPacket.h"
#include "discovery/TunerDocuments.h"
#include "http/NetworkAllowList.h"

namespace {

volatile sig_atomic_t g_stop = 0;

uint64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

int UdpSocket(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
    {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

void SendTo(int fd, const void* data, size_t length, uint32_t address, uint16_t port, const char* kind)
{
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::printf("sent %s %s:%u\n", kind, inet_ntoa(to.sin_addr), port);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: %s ADDRESS HTTPPORT COMPUTERNAME [ALLOW]\n", argv[0]);
        return 2;
    }
    in_addr local;
    inet_aton(argv[1], &local);
    const uint32_t address = ntohl(local.s_addr);
    const uint16_t httpPort = static_cast<uint16_t>(std::atoi(argv[2]));
    const char* name = argv[3];
    CNetworkAllowList allow;
    allow.Parse(argc > 4 ? argv[4] : "0.0.0.0/0");

    char uuid[kUuidTextCapacity];
    FormatUuid(MediaServerUuid(name, httpPort), uuid);
    const uint32_t deviceId = TunerDeviceId(name, httpPort);
    char location[128];
    std::snprintf(location, sizeof location, "http://%s:%u/upnp/description.xml", argv[1], httpPort);
    SSsdpDevice device;
    device.Uuid = uuid;
    device.Location = location;
    device.BootId = static_cast<uint32_t>(time(nullptr));

    const int ssdp = UdpSocket(kSsdpPort);
    ip_mreq group = {};
    group.imr_multiaddr.s_addr = htonl(kSsdpGroup);
    group.imr_interface = local;
    setsockopt(ssdp, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group);
    setsockopt(ssdp, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
    const unsigned char ttl = 2;
    setsockopt(ssdp, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    const int tuner = UdpSocket(kTunerDiscoveryPort);
    signal(SIGTERM, [](int) { g_stop = 1; });
    std::printf("ready %s %08X\n", uuid, deviceId);
    std::fflush(stdout);

    CAnswerBudget budget;
    CPendingSearches pending;
    CAnnounceSchedule announce;
    announce.Start(NowMs(), device.MaxAgeSeconds);
    std::mt19937 random(static_cast<unsigned>(NowMs()));
    char message[kSsdpMessageCapacity];
    while (!g_stop)
    {
        const uint64_t now = NowMs();
        if (announce.Due(now))
            for (int type = 0; type < kSsdpTypeCount; ++type)
                SendTo(ssdp, message, WriteSsdpNotify(device, ESsdpNotify::Alive, type, message, sizeof message),
                       kSsdpGroup, kSsdpPort, "alive");
        SPendingSearch search;
        while (pending.TakeDue(now, search))
            for (int type = 0; type < kSsdpTypeCount; ++type)
                if ((search.Types & (1u << type)) != 0 && budget.Take(now))
                    SendTo(ssdp, message, WriteSsdpSearchResponse(device, type, message, sizeof message),
                           search.Address, search.Port, "response");

        uint64_t next = announce.NextMs() < pending.NextDueMs() ? announce.NextMs() : pending.NextDueMs();
        pollfd fds[2] = {{ssdp, POLLIN, 0}, {tuner, POLLIN, 0}};
        const int wait = next <= now ? 0 : next - now > 1000 ? 1000 : static_cast<int>(next - now);
        if (poll(fds, 2, wait) <= 0)
            continue;
        char datagram[kTunerPacketMaxSize > kSsdpDatagramMaxSize ? kTunerPacketMaxSize : kSsdpDatagramMaxSize + 1];
        sockaddr_in from = {};
        socklen_t fromLength = sizeof from;
        if (fds[0].revents & POLLIN)
        {
            const ssize_t size = recvfrom(ssdp, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            SSsdpSearch parsed;
            if (size > 0 && allow.Contains(ntohl(from.sin_addr.s_addr)) &&
                ParseSsdpSearch(datagram, static_cast<size_t>(size), parsed) == ESsdpParse::Search)
            {
                search = SPendingSearch();
                search.Address = ntohl(from.sin_addr.s_addr);
                search.Port = ntohs(from.sin_port);
                search.Types = SsdpTypesFor(parsed.Target, uuid);
                search.DueMs = NowMs() + (parsed.MxSeconds > 0 ? random() % (parsed.MxSeconds * 1000u) : 0);
                if (search.Types != 0)
                    pending.Add(search);
            }
        }
        if (fds[1].revents & POLLIN)
        {
            const ssize_t size = recvfrom(tuner, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            STunerDiscoverRequest request;
            uint8_t reply[kTunerReplyMaxSize];
            if (size > 0 && allow.Contains(ntohl(from.sin_addr.s_addr)) &&
                ParseTunerDiscoverRequest(reinterpret_cast<uint8_t*>(datagram), static_cast<size_t>(size), request) &&
                TunerRequestWantsUs(request, deviceId) && budget.Take(NowMs()))
                SendTo(tuner, reply, BuildTunerDiscoverReply(deviceId, 4, address, httpPort, reply, sizeof reply),
                       ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), "tuner");
        }
    }
    for (int type = 0; type < kSsdpTypeCount; ++type)
        SendTo(ssdp, message, WriteSsdpNotify(device, ESsdpNotify::ByeBye, type, message, sizeof message), kSsdpGroup,
               kSsdpPort, "byebye");
    return 0;
}
