/* The platform's limit for one sender: COUNT datagrams of SIZE bytes sent
 * from memory with nothing but a sendto loop. Built for Linux and for Windows
 * (run under Wine), it is the baseline that the module and the other senders
 * are measured against.
 *
 *   tovrin-bare-sendto ADDRESS PORT SIZE COUNT
 *
 * Each datagram carries an RTP header with a running sequence number (two
 * byte stores, so receivers can count gaps) in front of in-phase
 * transport-stream packets. Prints the datagrams sent, the failed sends and
 * the loop's time and rate. */

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
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

int main(int argc, char** argv)
{
    if (argc != 5)
    {
        fprintf(stderr, "usage: tovrin-bare-sendto ADDRESS PORT SIZE COUNT\n");
        return 2;
    }
    const char* address = argv[1];
    const int port = atoi(argv[2]);
    const int size = atoi(argv[3]);
    const long long count = atoll(argv[4]);
    if (port < 1 || port > 65535 || size < kHeader || size > kMaxDatagram || count < 0)
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

    static unsigned char datagram[kMaxDatagram];
    datagram[0] = 0x80; /* RTP version 2 */
    datagram[1] = 33;   /* MPEG-2 transport stream */
    for (int i = kHeader; i < size; i += kPacket)
        datagram[i] = 0x47;

    long long failed = 0;
    const double start = Now();
    for (long long i = 0; i < count; ++i)
    {
        datagram[2] = (unsigned char)(i >> 8);
        datagram[3] = (unsigned char)i;
        if (sendto(s, (const char*)datagram, size, 0, (const struct sockaddr*)&to, sizeof to) != size)
            ++failed;
    }
    const double seconds = Now() - start;

    printf("sent=%lld failed=%lld size=%d seconds=%.6f rate_dps=%.1f\n", count - failed, failed, size, seconds,
           seconds > 0 ? (double)count / seconds : 0.0);
#ifdef _WIN32
    closesocket(s);
    WSACleanup();
#else
    close(s);
#endif
    return failed == 0 ? 0 : 1;
}
