/* Loopback receivers for tests that stream: one thread drains any number of
 * UDP sockets and keeps a tally per socket of what the module sent there:
 * datagram count and sizes, destination addresses, payload bytes, the RTP
 * header's fixed bytes, the sequence numbers and timestamps, and the running
 * packet numbers of the test engine's packets (test_engine.h) inside the
 * payload.
 *
 * The destination address of each datagram comes from IP_PKTINFO: Wine
 * binds a socket meant for 127.0.0.2 so that it also receives what is sent
 * to 127.0.0.1 on its port, so the binding alone does not tell them apart.
 *
 * A marker datagram from a socket of the test's own, queued behind whatever
 * the module has sent so far, tells when the tally has caught up: no wait
 * for a quiet moment is needed. */
#ifndef TOVRIN_HOST_UDP_TALLY_H
#define TOVRIN_HOST_UDP_TALLY_H

#include "contract.h"

#include <ws2tcpip.h>
#include <mswsock.h>
#include <stdio.h>

#define UDP_TALLY_MARKER "tovrin-dialog-test-marker"
enum {
    UDP_TALLY_MAX = 8,
    RTP_HEADER_BYTES = 12,
    RTP_FIRST_BYTE = 0x80,   /* version 2, no padding, no extension, no CSRC */
    RTP_SECOND_BYTE = 0x21,  /* no marker, payload type 33 (MPEG-2 TS) */
    RTP_TIMESTAMP_STEP = 90,
};

typedef struct UdpTally {
    const char *label;
    SOCKET sock;
    struct sockaddr_in addr;          /* where it listens */
    /* Kept by the receiver thread, under g_tally_lock. */
    long datagrams;                   /* datagrams from the module (markers not counted) */
    long wrongDestinations;           /* sent to another address than the one bound */
    struct in_addr lastWrongDestination;
    long long payloadBytes;           /* their bytes behind the RTP header */
    long markers;
    int expectedSize;                 /* 0: not set */
    long wrongSizes;
    int lastWrongSize;
    long badHeaders;                  /* first two bytes not 0x80 0x21, or SSRC not 0 */
    long badPackets;                  /* payload not whole engine packets */
    long indexGaps;                   /* a packet number not following the previous one */
    long rtpGaps;                     /* sequence not +1 or timestamp not +90 */
    int haveIndex;
    uint32_t nextIndex;
    int haveRtp;
    uint16_t nextSeq;
    uint32_t nextTimestamp;
    long pats;                        /* packets on PID 0 (a PAT) in the payloads */
    unsigned char lastPat[HOST_TS_PACKET]; /* the latest of them */
} UdpTally;

static CRITICAL_SECTION g_tally_lock;
static UdpTally *g_tallies[UDP_TALLY_MAX];
static int g_tally_count;
static volatile LONG g_tally_quit;
static HANDLE g_tally_thread;
static LPFN_WSARECVMSG g_tally_recvmsg;

static uint32_t udp_be32(const unsigned char *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static void udp_tally_take(UdpTally *t, const unsigned char *d, int n, const struct in_addr *destination)
{
    if (n == (int)sizeof UDP_TALLY_MARKER && memcmp(d, UDP_TALLY_MARKER, sizeof UDP_TALLY_MARKER) == 0) {
        ++t->markers;
        return;
    }
    ++t->datagrams;
    if (destination == NULL || destination->s_addr != t->addr.sin_addr.s_addr) {
        ++t->wrongDestinations;
        if (destination != NULL)
            t->lastWrongDestination = *destination;
    }
    if (t->expectedSize != 0 && n != t->expectedSize) {
        ++t->wrongSizes;
        t->lastWrongSize = n;
    }
    if (n < RTP_HEADER_BYTES) {
        ++t->badHeaders;
        return;
    }
    t->payloadBytes += n - RTP_HEADER_BYTES;
    if (d[0] != RTP_FIRST_BYTE || d[1] != RTP_SECOND_BYTE || udp_be32(d + 8) != 0)
        ++t->badHeaders;
    uint16_t seq = (uint16_t)((d[2] << 8) | d[3]);
    uint32_t ts = udp_be32(d + 4);
    if (t->haveRtp && (seq != t->nextSeq || ts != t->nextTimestamp))
        ++t->rtpGaps;
    t->haveRtp = 1;
    t->nextSeq = (uint16_t)(seq + 1);
    t->nextTimestamp = ts + RTP_TIMESTAMP_STEP;

    int payload = n - RTP_HEADER_BYTES;
    if (payload == 0 || payload % HOST_TS_PACKET != 0) {
        ++t->badPackets;
        return;
    }
    for (const unsigned char *p = d + RTP_HEADER_BYTES; p < d + n; p += HOST_TS_PACKET) {
        uint32_t index = udp_be32(p + 4);
        if (p[0] == 0x47 && (p[1] & 0x1F) == 0 && p[2] == 0) {
            ++t->pats;
            memcpy(t->lastPat, p, HOST_TS_PACKET);
        }
        if (p[0] != 0x47 || p[1] != 0x01 || p[2] != 0x00 || p[3] != (0x10 | (index & 0x0F)))
            ++t->badPackets;
        if (t->haveIndex && index != t->nextIndex)
            ++t->indexGaps;
        t->haveIndex = 1;
        t->nextIndex = index + 1;
    }
}

static DWORD WINAPI udp_tally_thread(void *unused)
{
    static unsigned char buf[65536];
    (void)unused;
    while (!g_tally_quit) {
        fd_set readable;
        struct timeval wait = {0, 50000};
        FD_ZERO(&readable);
        for (int i = 0; i < g_tally_count; ++i)
            FD_SET(g_tallies[i]->sock, &readable);
        if (select(0, &readable, NULL, NULL, &wait) <= 0)
            continue;
        for (int i = 0; i < g_tally_count; ++i) {
            UdpTally *t = g_tallies[i];
            if (!FD_ISSET(t->sock, &readable))
                continue;
            char control[256];
            WSABUF data = {(ULONG)sizeof buf, (char *)buf};
            WSAMSG msg;
            DWORD n = 0;
            memset(&msg, 0, sizeof msg);
            msg.lpBuffers = &data;
            msg.dwBufferCount = 1;
            msg.Control.buf = control;
            msg.Control.len = (ULONG)sizeof control;
            if (g_tally_recvmsg(t->sock, &msg, &n, NULL, NULL) != 0)
                continue;
            const struct in_addr *destination = NULL;
            for (WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&msg); c != NULL; c = WSA_CMSG_NXTHDR(&msg, c))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                    destination = &((const IN_PKTINFO *)WSA_CMSG_DATA(c))->ipi_addr;
            EnterCriticalSection(&g_tally_lock);
            udp_tally_take(t, buf, (int)n, destination);
            LeaveCriticalSection(&g_tally_lock);
        }
    }
    return 0;
}

/* Binds a receiver to `ip` (dotted text) and `port` (0: the system picks).
 * A large receive buffer: the drain thread keeps up, the buffer covers a
 * stall. Call before udp_tally_run. */
static int udp_tally_open(UdpTally *t, const char *label, const char *ip, unsigned short port)
{
    int len = (int)sizeof t->addr;
    int rcvbuf = 8 << 20;
    DWORD on = 1, bytes = 0;
    GUID recvmsgId = WSAID_WSARECVMSG;
    memset(t, 0, sizeof *t);
    t->label = label;
    t->sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (t->sock == INVALID_SOCKET || g_tally_count >= UDP_TALLY_MAX)
        return 0;
    setsockopt(t->sock, SOL_SOCKET, SO_RCVBUF, (const char *)&rcvbuf, (int)sizeof rcvbuf);
    if (setsockopt(t->sock, IPPROTO_IP, IP_PKTINFO, (const char *)&on, (int)sizeof on) != 0 ||
        WSAIoctl(t->sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &recvmsgId, sizeof recvmsgId, &g_tally_recvmsg,
                 sizeof g_tally_recvmsg, &bytes, NULL, NULL) != 0) {
        closesocket(t->sock);
        t->sock = INVALID_SOCKET;
        return 0;
    }
    t->addr.sin_family = AF_INET;
    t->addr.sin_addr.s_addr = inet_addr(ip);
    t->addr.sin_port = htons(port);
    if (bind(t->sock, (struct sockaddr *)&t->addr, (int)sizeof t->addr) != 0 ||
        getsockname(t->sock, (struct sockaddr *)&t->addr, &len) != 0) {
        closesocket(t->sock);
        t->sock = INVALID_SOCKET;
        return 0;
    }
    g_tallies[g_tally_count++] = t;
    return 1;
}

static unsigned short udp_tally_port(const UdpTally *t)
{
    return ntohs(t->addr.sin_port);
}

static int udp_tally_run(void)
{
    InitializeCriticalSection(&g_tally_lock);
    g_tally_thread = CreateThread(NULL, 0, udp_tally_thread, NULL, 0, NULL);
    return g_tally_thread != NULL;
}

/* A copy of the tally taken after a marker sent now has come through, so it
 * holds everything the module sent before this call. Returns 0 when the
 * marker never came (the wait bounds a hang only). */
static int udp_tally_sync(UdpTally *t, UdpTally *snapshot)
{
    long before;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EnterCriticalSection(&g_tally_lock);
    before = t->markers;
    LeaveCriticalSection(&g_tally_lock);
    if (s == INVALID_SOCKET)
        return 0;
    sendto(s, UDP_TALLY_MARKER, (int)sizeof UDP_TALLY_MARKER, 0, (const struct sockaddr *)&t->addr,
           (int)sizeof t->addr);
    closesocket(s);
    for (int waited = 0; waited < 10000; ++waited) {
        EnterCriticalSection(&g_tally_lock);
        int arrived = t->markers > before;
        if (arrived)
            *snapshot = *t;
        LeaveCriticalSection(&g_tally_lock);
        if (arrived)
            return 1;
        Sleep(1);
    }
    return 0;
}

/* The size every later datagram must have; the next datagram starts a new
 * run of packet numbers (a new Start drops what the module held). */
static void udp_tally_expect(UdpTally *t, int datagramSize)
{
    EnterCriticalSection(&g_tally_lock);
    t->expectedSize = datagramSize;
    t->haveIndex = 0;
    LeaveCriticalSection(&g_tally_lock);
}

static void udp_tally_shutdown(void)
{
    if (g_tally_thread != NULL) {
        InterlockedExchange(&g_tally_quit, 1);
        WaitForSingleObject(g_tally_thread, 10000);
        CloseHandle(g_tally_thread);
        g_tally_thread = NULL;
    }
    for (int i = 0; i < g_tally_count; ++i)
        closesocket(g_tallies[i]->sock);
    g_tally_count = 0;
    DeleteCriticalSection(&g_tally_lock);
}

#endif
