/* What a test host needs around the module: its path from the command line,
 * a private temporary folder for the host INI file, and a UDP listener on
 * the loopback that the module's settings can point at. */
#ifndef TOVRIN_HOST_ENV_H
#define TOVRIN_HOST_ENV_H

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* UTF-8 copy of a wide text for check lines (a few rotating buffers). */
static const char *host_narrow(const wchar_t *text)
{
    static char buffers[4][1024];
    static int next;
    char *out = buffers[next++ % 4];
    if (text == NULL)
        return "(null)";
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, (int)sizeof buffers[0], NULL, NULL) == 0)
        strcpy(out, "(unprintable)");
    return out;
}

/* argv[index] as a full Windows path; under Wine a Unix path from CTest
 * resolves through the current drive. Returns 0 when there is no such
 * argument. */
static int host_module_path_arg(int index, wchar_t *path, DWORD capacity)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int ok = argv != NULL && index < argc;
    if (ok) {
        DWORD n = GetFullPathNameW(argv[index], capacity, path, NULL);
        ok = n > 0 && n < capacity;
    }
    LocalFree(argv);
    return ok;
}

/* A new, empty folder under the temporary path. */
static int host_make_temp_dir(wchar_t *dir, size_t capacity)
{
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        _snwprintf(dir, capacity, L"%lstovrin-host-%lu-%lu-%u", temp,
                   (unsigned long)GetCurrentProcessId(), (unsigned long)GetTickCount(), attempt);
        dir[capacity - 1] = 0;
        if (CreateDirectoryW(dir, NULL))
            return 1;
    }
    return 0;
}

/* A UDP socket bound to 127.0.0.1 on a port the system picks. */
typedef struct UdpListener {
    SOCKET sock;
    unsigned short port; /* host byte order */
} UdpListener;

static int udp_listener_open(UdpListener *l)
{
    struct sockaddr_in addr;
    int len = (int)sizeof addr;
    l->sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    l->port = 0;
    if (l->sock == INVALID_SOCKET)
        return 0;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(l->sock, (struct sockaddr *)&addr, (int)sizeof addr) != 0 ||
        getsockname(l->sock, (struct sockaddr *)&addr, &len) != 0) {
        closesocket(l->sock);
        l->sock = INVALID_SOCKET;
        return 0;
    }
    l->port = ntohs(addr.sin_port);
    return 1;
}

static void udp_listener_close(UdpListener *l)
{
    if (l->sock != INVALID_SOCKET)
        closesocket(l->sock);
    l->sock = INVALID_SOCKET;
}

/* Receives one datagram, waiting at most `seconds` for it: the length, or -1
 * when none came. The wait only bounds a hang; no result depends on it. */
static int udp_listener_receive(UdpListener *l, unsigned char *buf, int capacity, int seconds)
{
    fd_set readable;
    struct timeval wait;
    FD_ZERO(&readable);
    FD_SET(l->sock, &readable);
    wait.tv_sec = seconds;
    wait.tv_usec = 0;
    if (select(0, &readable, NULL, NULL, &wait) != 1)
        return -1;
    return recv(l->sock, (char *)buf, capacity, 0);
}

/* Sends a marker datagram to the listener from a socket of our own and
 * returns the number of datagrams that were queued ahead of it (-1 when the
 * marker itself never came). Whatever the module sent before this call is
 * in the queue before the marker: the count needs no waiting. */
static int udp_listener_count_before_marker(UdpListener *l)
{
    static const char marker[] = "host-marker";
    unsigned char buf[2048];
    struct sockaddr_in to;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int ahead = 0;
    if (s == INVALID_SOCKET)
        return -1;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(l->port);
    sendto(s, marker, (int)sizeof marker, 0, (struct sockaddr *)&to, (int)sizeof to);
    closesocket(s);
    for (;;) {
        int n = udp_listener_receive(l, buf, (int)sizeof buf, 10);
        if (n < 0)
            return -1;
        if (n == (int)sizeof marker && memcmp(buf, marker, sizeof marker) == 0)
            return ahead;
        ++ahead;
    }
}

#endif
