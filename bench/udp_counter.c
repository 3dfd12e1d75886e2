/* A receiver for the benchmarks: counts the datagrams that arrive on
 * 127.0.0.1:PORT and how fast they came, without keeping them.
 *
 *   tovrin-udp-counter PORT [IDLE_MS [RUN_GAP_MS]]
 *
 * The socket buffer is set to 64 MiB with SO_RCVBUFFORCE (root), else with
 * SO_RCVBUF up to net.core.rmem_max: a small buffer loses datagrams at full
 * speed whoever sends them. Prints "ready" once bound, and at the end (IDLE_MS
 * without traffic after the first datagram, default 2000, or SIGTERM/SIGINT)
 * one line of key=value figures:
 *   datagrams, bytes, span_s (first to last arrival), rate_dps (datagrams per
 *   second over that span), rtp_lost (gaps in the RTP sequence numbers),
 *   kernel_drops (datagrams the socket buffer could not take), rcvbuf.
 *
 * With RUN_GAP_MS, a silence of at least that long between two datagrams
 * starts a new run (a sender stopped and started again), so that what is lost
 * while a run streams can be told from what happens at a restart. Each run
 * then gets a line before the last one:
 *   run index, start_s (from the first datagram), span_s, datagrams,
 *   ts_packets (payload bytes / 188), rtp_lost (sequence gaps inside the run),
 *   seq_first, seq_last, seq_jump (the first sequence number minus the one
 *   that would have followed the previous run: 0 when numbering runs on),
 *   ts_jump (the same for the RTP timestamp, in datagram steps as the run
 *   itself advances them; 0 likewise)
 * and the last line adds runs, rtp_lost_within, restart_jumps (runs whose
 * sequence did not run on), ts_packets and ts_irregular (RTP timestamp steps
 * that differ from the stream's first one, per datagram). */

#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#ifndef SO_RXQ_OVFL
#define SO_RXQ_OVFL 40
#endif

enum { kBatch = 64, kMaxDatagram = 65536, kBuffer = 64 << 20, kRtpHeader = 12, kTsPacket = 188 };

/* One run: a stretch of datagrams without a silence of RUN_GAP_MS. */
struct Run
{
    double start, end;
    unsigned long long datagrams, tsPackets, rtpLost;
    unsigned short seqFirst, seqLast;
    int seqJump;  /* signed: a numbering that starts over shows as a step back */
    long long tsJump;
};

static void PrintRun(int index, const struct Run* r, double origin)
{
    printf("run index=%d start_s=%.3f span_s=%.3f datagrams=%llu ts_packets=%llu rtp_lost=%llu seq_first=%u "
           "seq_last=%u seq_jump=%d ts_jump=%lld\n",
           index, r->start - origin, r->end - r->start, r->datagrams, r->tsPackets, r->rtpLost, r->seqFirst,
           r->seqLast, r->seqJump, r->tsJump);
}

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
    if (argc < 2 || argc > 4)
    {
        fprintf(stderr, "usage: tovrin-udp-counter PORT [IDLE_MS [RUN_GAP_MS]]\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const int idleMs = argc > 2 ? atoi(argv[2]) : 2000;
    const double runGap = argc > 3 ? atoi(argv[3]) / 1000.0 : 0.0;

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

    unsigned long long datagrams = 0, bytes = 0, rtpLost = 0, rtpLostWithin = 0, tsPackets = 0, tsIrregular = 0;
    unsigned int drops = 0;
    int haveSequence = 0;
    unsigned short nextSequence = 0;
    uint32_t lastTimestamp = 0;
    long long timestampStep = 0; /* per datagram, from the first two in a row; 0 until known */
    double first = 0, last = 0;
    int runs = 0, restartJumps = 0;
    struct Run run;
    memset(&run, 0, sizeof run);

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
        const double now = Now();
        const int newRun = datagrams == 0 || (runGap > 0 && now - last >= runGap);
        if (newRun && runs > 0)
            PrintRun(runs - 1, &run, first);
        if (newRun)
        {
            memset(&run, 0, sizeof run);
            run.start = now;
            ++runs;
        }
        last = run.end = now;
        if (datagrams == 0)
            first = last;
        for (int i = 0; i < got; ++i)
        {
            const unsigned len = messages[i].msg_len;
            const unsigned char* d = buffers[i];
            const int firstOfRun = newRun && i == 0;
            ++datagrams;
            ++run.datagrams;
            bytes += len;
            if (len >= kRtpHeader)
            {
                tsPackets += (len - kRtpHeader) / kTsPacket;
                run.tsPackets += (len - kRtpHeader) / kTsPacket;
            }
            if (len >= kRtpHeader && (d[0] & 0xC0) == 0x80)
            {
                const unsigned short sequence = (unsigned short)((d[2] << 8) | d[3]);
                const uint32_t timestamp = ((uint32_t)d[4] << 24) | ((uint32_t)d[5] << 16) | ((uint32_t)d[6] << 8) | d[7];
                if (haveSequence)
                {
                    const unsigned short gap = (unsigned short)(sequence - nextSequence);
                    /* The timestamp should have moved by one step per sequence number. */
                    const long long expected = timestampStep * (long long)(unsigned short)(sequence - nextSequence + 1);
                    const long long moved = (long long)(uint32_t)(timestamp - lastTimestamp);
                    rtpLost += gap;
                    if (firstOfRun)
                    {
                        run.seqJump = (short)gap;
                        /* Signed here: a numbering that starts over steps back. */
                        const long long steps = (long long)(short)gap + 1;
                        const long long movedSigned = (long long)(int32_t)(timestamp - lastTimestamp);
                        run.tsJump = timestampStep != 0 ? (movedSigned - timestampStep * steps) / timestampStep : 0;
                        restartJumps += gap != 0;
                    }
                    else
                    {
                        rtpLostWithin += gap;
                        run.rtpLost += gap;
                        if (timestampStep == 0 && gap == 0)
                            timestampStep = moved;
                        else if (timestampStep != 0 && moved != expected)
                            ++tsIrregular;
                    }
                }
                if (run.datagrams == 1)
                    run.seqFirst = sequence;
                run.seqLast = sequence;
                nextSequence = (unsigned short)(sequence + 1);
                lastTimestamp = timestamp;
                haveSequence = 1;
            }
            for (struct cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                    memcpy(&drops, CMSG_DATA(c), sizeof drops);
        }
    }

    const double span = last - first;
    if (runGap > 0 && runs > 0)
        PrintRun(runs - 1, &run, first);
    printf("datagrams=%llu bytes=%llu span_s=%.6f rate_dps=%.1f rtp_lost=%llu kernel_drops=%u rcvbuf=%d", datagrams,
           bytes, span, span > 0 ? (double)(datagrams > 1 ? datagrams - 1 : 0) / span : 0.0, rtpLost, drops,
           granted);
    if (runGap > 0)
        printf(" runs=%d rtp_lost_within=%llu restart_jumps=%d ts_packets=%llu ts_irregular=%llu", runs,
               rtpLostWithin, restartJumps, tsPackets, tsIrregular);
    printf("\n");
    close(s);
    return 0;
}
