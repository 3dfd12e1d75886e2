/* The platform's limit for one sender: COUNT datagrams of SIZE bytes sent
 * from memory with nothing but a sendto loop. Built for Linux and for Windows
 * (run under Wine), it is the baseline that the module and the other senders
 * are measured against.
 *
 *   tovrin-bare-sendto [--message-loop] [--fec L D] ADDRESS PORT SIZE COUNT [RATE BURST]
 *
 * --message-loop (Windows): the loop runs on a second thread while the main
 * thread waits for window messages, as a host's engine thread sends while its
 * user-interface thread sits in a dialog. Under Wine that alone makes every
 * sendto dearer, so it is the fair baseline for a module inside a host.
 *
 * With RATE (datagrams per second) the loop is paced: BURST datagrams back to
 * back, then a sleep until the next burst is due, as a host's engine thread
 * delivers a block and waits for the tuner. The time spent inside sendto is
 * measured call by call, so the cost of one call at that pace can be set
 * against a paced run of the module.
 *
 * Each datagram carries an RTP header with a running sequence number (two
 * byte stores, so receivers can count gaps) in front of in-phase
 * transport-stream packets.
 *
 * --fec L D: beside the COUNT datagrams, as many FEC-sized ones (SIZE + 16
 * bytes) as column and row FEC of an L x D matrix make, on the module's
 * schedule: one to PORT + 4 after every L-th datagram, and from the second
 * matrix on one to PORT + 2 after every D-th. Prints the datagrams sent, the failed sends, the
 * loop's time and rate, and the mean time of one sendto call. */

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>
typedef SOCKET socket_t;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
typedef int socket_t;
#define INVALID_SOCKET (-1)
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kHeader = 12, kPacket = 188, kMaxDatagram = 65507 };

static void SleepSeconds(double seconds)
{
#ifdef _WIN32
    Sleep((DWORD)(seconds * 1000.0));
#else
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
    nanosleep(&t, NULL);
#endif
}

static double Now(void)
{
#ifdef _WIN32
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (double)counter.QuadPart / (double)frequency.QuadPart;
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
#endif
}

static int SendLoop(int argc, char** argv);

#ifdef _WIN32
struct LoopArgs
{
    int argc;
    char** argv;
    int result;
};

static DWORD WINAPI LoopThread(LPVOID p)
{
    struct LoopArgs* args = (struct LoopArgs*)p;
    args->result = SendLoop(args->argc, args->argv);
    return 0;
}
#endif

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "--message-loop") == 0)
    {
#ifdef _WIN32
        struct LoopArgs args = {argc - 1, argv + 1, 0};
        HANDLE thread = CreateThread(NULL, 0, LoopThread, &args, 0, NULL);
        if (thread == NULL)
            return 1;
        MSG msg;
        while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
            while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
        CloseHandle(thread);
        return args.result;
#else
        fprintf(stderr, "tovrin-bare-sendto: --message-loop is for Windows\n");
        return 2;
#endif
    }
    return SendLoop(argc, argv);
}

static int SendLoop(int argc, char** argv)
{
    int fecColumns = 0;
    int fecRows = 0;
    if (argc >= 4 && strcmp(argv[1], "--fec") == 0)
    {
        fecColumns = atoi(argv[2]);
        fecRows = atoi(argv[3]);
        if (fecColumns < 1 || fecRows < 1)
        {
            fprintf(stderr, "tovrin-bare-sendto: --fec takes L and D\n");
            return 2;
        }
        argc -= 3;
        argv += 3;
    }
    if (argc != 5 && argc != 7)
    {
        fprintf(stderr, "usage: tovrin-bare-sendto [--message-loop] [--fec L D] ADDRESS PORT SIZE COUNT [RATE BURST]\n");
        return 2;
    }
    const char* address = argv[1];
    const int port = atoi(argv[2]);
    const int size = atoi(argv[3]);
    const long long count = atoll(argv[4]);
    const double rate = argc == 7 ? atof(argv[5]) : 0.0;
    const int burst = argc == 7 ? atoi(argv[6]) : 1;
    if (port < 1 || port > 65535 - 4 * (fecColumns > 0) || size + 16 > kMaxDatagram || size < kHeader || size > kMaxDatagram || count < 0 || rate < 0 || burst < 1)
    {
        fprintf(stderr, "tovrin-bare-sendto: bad arguments\n");
        return 2;
    }

#ifdef _WIN32
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
    {
        fprintf(stderr, "tovrin-bare-sendto: WSAStartup failed\n");
        return 1;
    }
#endif
    socket_t s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
    {
        fprintf(stderr, "tovrin-bare-sendto: no socket\n");
        return 1;
    }
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)port);
    to.sin_addr.s_addr = inet_addr(address);
    struct sockaddr_in columnTo = to;
    struct sockaddr_in rowTo = to;
    columnTo.sin_port = htons((unsigned short)(port + 2));
    rowTo.sin_port = htons((unsigned short)(port + 4));

    static unsigned char datagram[kMaxDatagram];
    datagram[0] = 0x80; /* RTP version 2 */
    datagram[1] = 33;   /* MPEG-2 transport stream */
    for (int i = kHeader; i < size; i += kPacket)
        datagram[i] = 0x47;

#ifdef _WIN32
    if (rate > 0)
        timeBeginPeriod(1); /* 1 ms sleeps, as a pacing host asks for */
#endif
    long long failed = 0;
    long long fecSent = 0;
    double inSendto = 0;
    const double start = Now();
    for (long long i = 0; i < count; ++i)
    {
        if (rate > 0 && i % burst == 0)
        {
            const double ahead = start + (double)i / rate - Now();
            if (ahead >= 0.001)
                SleepSeconds(ahead);
        }
        datagram[2] = (unsigned char)(i >> 8);
        datagram[3] = (unsigned char)i;
        const double before = rate > 0 ? Now() : 0;
        if (sendto(s, (const char*)datagram, size, 0, (const struct sockaddr*)&to, sizeof to) != size)
            ++failed;
        if (fecColumns > 0)
        {
            const long long sent = i + 1;
            if (sent % fecColumns == 0)
            {
                failed += sendto(s, (const char*)datagram, size + 16, 0, (const struct sockaddr*)&rowTo, sizeof rowTo) != size + 16;
                ++fecSent;
            }
            if (sent > (long long)fecColumns * fecRows && sent % fecRows == 0)
            {
                failed += sendto(s, (const char*)datagram, size + 16, 0, (const struct sockaddr*)&columnTo, sizeof columnTo) != size + 16;
                ++fecSent;
            }
        }
        if (rate > 0)
            inSendto += Now() - before;
    }
    const double seconds = Now() - start;
    /* Unpaced, the loop is nothing but sendto calls. */
    if (rate <= 0)
        inSendto = seconds;

    const long long total = count + fecSent;
    printf("sent=%lld failed=%lld size=%d seconds=%.6f rate_dps=%.1f sendto_us=%.3f\n", total - failed, failed, size,
           seconds, seconds > 0 ? (double)total / seconds : 0.0, total > 0 ? inSendto * 1e6 / (double)total : 0.0);
#ifdef _WIN32
    closesocket(s);
    WSACleanup();
#else
    close(s);
#endif
    return failed == 0 ? 0 : 1;
}
