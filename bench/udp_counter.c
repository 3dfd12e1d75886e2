/* A receiver for the benchmarks: counts the datagrams that arrive on
 * 127.0.0.1:PORT and how fast they came, without keeping them.
 *
 *   tovrin-udp-counter PORT [IDLE_MS]
 *
 * The socket buffer is set to 64 MiB with SO_RCVBUFFORCE (root), else with
 * SO_RCVBUF up to net.core.rmem_max: a small buffer loses datagrams at full
 * speed whoever sends them. Prints "ready" once bound, and at the end (IDLE_MS
 * without traffic after the first datagram, default 2000, or SIGTERM/SIGINT)
 * one line of key=value figures:
 *   datagrams, bytes, span_s (first to last arrival), rate_dps (datagrams per
 *   second over that span), rtp_lost (gaps in the RTP sequence numbers),
 *   kernel_drops (datagrams the socket buffer could not take), rcvbuf. */

#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#ifndef SO_RXQ_OVFL
#define SO_RXQ_OVFL 40
#endif

enum { kBatch = 64, kMaxDatagram = 65536, kBuffer = 64 << 20 };

static volatile sig_atomic_t g_stop = 0;
static void OnSignal(int sig) { (void)sig; g_stop = 1; }

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3)
    {
        fprintf(stderr, "usage: tovrin-udp-counter PORT [IDLE_MS]\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const int idleMs = argc > 2 ? atoi(argv[2]) : 2000;

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
    {
        perror("socket");
        return 1;
    }
    int size = kBuffer;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
    int granted = 0;
    socklen_t grantedLen = sizeof granted;
    getsockopt(s, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLen);

    struct sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons((unsigned short)port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr*)&at, sizeof at) != 0)
    {
        perror("bind");
        return 1;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal; /* no SA_RESTART: a signal ends the wait */
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    printf("ready port=%d rcvbuf=%d\n", port, granted);
    fflush(stdout);

    static unsigned char buffers[kBatch][kMaxDatagram];
    static char controls[kBatch][CMSG_SPACE(sizeof(unsigned int))];
    struct iovec iov[kBatch];
    struct mmsghdr messages[kBatch];

    unsigned long long datagrams = 0, bytes = 0, rtpLost = 0;
    unsigned int drops = 0;
    int haveSequence = 0;
    unsigned short nextSequence = 0;
    double first = 0, last = 0;

    while (!g_stop)
    {
        struct pollfd p = {s, POLLIN, 0};
        const int ready = poll(&p, 1, datagrams == 0 ? 500 : idleMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
        {
            if (datagrams != 0)
                break;
            continue;
        }
        for (int i = 0; i < kBatch; ++i)
        {
            iov[i].iov_base = buffers[i];
            iov[i].iov_len = kMaxDatagram;
            memset(&messages[i], 0, sizeof messages[i]);
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        const int got = recvmmsg(s, messages, kBatch, MSG_DONTWAIT, NULL);
        if (got <= 0)
            continue;
        last = Now();
        if (datagrams == 0)
            first = last;
        for (int i = 0; i < got; ++i)
        {
            const unsigned len = messages[i].msg_len;
            const unsigned char* d = buffers[i];
            ++datagrams;
            bytes += len;
            if (len >= 12 && (d[0] & 0xC0) == 0x80)
            {
                const unsigned short sequence = (unsigned short)((d[2] << 8) | d[3]);
                if (haveSequence)
                    rtpLost += (unsigned short)(sequence - nextSequence);
                nextSequence = (unsigned short)(sequence + 1);
                haveSequence = 1;
            }
            for (struct cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                    memcpy(&drops, CMSG_DATA(c), sizeof drops);
        }
    }

    const double span = last - first;
    printf("datagrams=%llu bytes=%llu span_s=%.6f rate_dps=%.1f rtp_lost=%llu kernel_drops=%u rcvbuf=%d\n", datagrams,
           bytes, span, span > 0 ? (double)(datagrams > 1 ? datagrams - 1 : 0) / span : 0.0, rtpLost, drops,
           granted);
    close(s);
    return 0;
}
