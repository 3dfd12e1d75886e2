#pragma once
// The URL server's tests under Wine: a blocking client of the test's own on
// loopback, the module's log lines, the connections left on a port, and the
// fixture that gives each test a free port. Shared by the files of
// module_http_tests.

#include <winsock2.h>
#include <iphlpapi.h>  // after winsock2.h

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "IniModuleTest.h"
#include "ModuleTestSupport.h"

constexpr int kWaitMs = 10000;  // liveness bound for one socket call, never a timing check

// A TCP port that nobody listens on right now.
inline uint16_t FreeTcpPort()
{
    WinsockProbe::OwnCalls own;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    closesocket(s);
    return ntohs(a.sin_port);
}

constexpr uint32_t kLoopback = 0x7F000001;   // 127.0.0.1
constexpr uint32_t kLoopback2 = 0x7F000002;  // 127.0.0.2: this PC too, another address

// A blocking client of the test's own on loopback: from 127.0.0.1 to
// 127.0.0.1 unless told otherwise; `receiveBuffer` (bytes, 0: the system's)
// makes a viewer whose window fills at once when it stops reading.
class Client
{
public:
    explicit Client(uint16_t port, uint32_t from = kLoopback, uint32_t to = kLoopback, int receiveBuffer = 0)
    {
        WinsockProbe::OwnCalls own;
        m_Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD timeout = kWaitMs;
        setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        if (receiveBuffer > 0)
            setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                       sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        if (from != kLoopback)
        {
            a.sin_addr.s_addr = htonl(from);
            bind(m_Socket, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(to);
        m_bConnected = connect(m_Socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int length = sizeof a;
        getsockname(m_Socket, reinterpret_cast<sockaddr*>(&a), &length);
        m_LocalPort = ntohs(a.sin_port);
    }
    ~Client()
    {
        WinsockProbe::OwnCalls own;
        closesocket(m_Socket);
    }
    bool Connected() const { return m_bConnected; }
    uint16_t LocalPort() const { return m_LocalPort; }
    // Bytes that arrived and wait to be read.
    unsigned long Waiting() const
    {
        WinsockProbe::OwnCalls own;
        u_long bytes = 0;
        ioctlsocket(m_Socket, FIONREAD, &bytes);
        return bytes;
    }
    // The client's side closed first, as a player does after an answer.
    void CloseSending()
    {
        WinsockProbe::OwnCalls own;
        shutdown(m_Socket, SD_SEND);
    }
    void Send(const std::string& text)
    {
        WinsockProbe::OwnCalls own;
        send(m_Socket, text.data(), static_cast<int>(text.size()), 0);
    }
    // Reads until `bytes` have come (or the peer closed, or the bound ran out).
    std::string Read(size_t bytes)
    {
        WinsockProbe::OwnCalls own;
        std::string got;
        char buffer[65536];
        while (got.size() < bytes)
        {
            const int n = recv(m_Socket, buffer, static_cast<int>(std::min(sizeof buffer, bytes - got.size())), 0);
            if (n <= 0)
                break;
            got.append(buffer, n);
        }
        return got;
    }
    // Reads the response head, up to its empty line.
    std::string ReadHead()
    {
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 4096)
        {
            const std::string c = Read(1);
            if (c.empty())
                break;
            head += c;
        }
        return head;
    }
    // True once the server has closed the connection (what is still in
    // flight is read and dropped).
    bool ClosedByServer() { return ReadToEnd() != End::TimedOut; }

    // How the connection ends for this client, once it reads again: what
    // is still in flight is read and dropped.
    enum class End
    {
        Closed,    // the server's FIN: it closed gracefully
        Reset,     // the server's RST: it closed abortively
        TimedOut,  // nothing ended it within the bound
    };
    End ReadToEnd()
    {
        WinsockProbe::OwnCalls own;
        char buffer[65536];
        for (;;)
        {
            const int n = recv(m_Socket, buffer, sizeof buffer, 0);
            if (n == 0)
                return End::Closed;
            if (n < 0)
                return WSAGetLastError() == WSAETIMEDOUT ? End::TimedOut : End::Reset;
        }
    }

    // A whole answer: its head and the body its Content-Length gives.
    std::string ReadAnswer()
    {
        std::string answer = ReadHead();
        const size_t at = answer.find("Content-Length: ");
        if (at != std::string::npos)
            answer += Read(std::stoul(answer.substr(at + 16)));
        return answer;
    }

private:
    SOCKET m_Socket = INVALID_SOCKET;
    bool m_bConnected = false;
    uint16_t m_LocalPort = 0;
};

inline const char* EndName(Client::End end)
{
    return end == Client::End::Closed ? "closed (FIN)" : end == Client::End::Reset ? "reset (RST)" : "timed out";
}

// The module's log lines so far, as one text for failure messages.
inline std::string LogText()
{
    std::string text;
    for (const std::wstring& l : WinsockProbe::DebugLines())
        text += Narrow(l);
    return text;
}

// The connections of this PC whose own end is `port`, listeners aside, by
// state ("5 5 11"), after waiting up to the bound for them to end. Windows
// refuses an exclusive bind of the port while one of them is still active,
// TIME_WAIT included. (Under Wine the system drops a reset connection once
// the wineserver lets go of it too, a moment after closesocket.)
inline std::string ConnectionsLeftOn(uint16_t port)
{
    std::string states;
    const DWORD began = GetTickCount();
    do
    {
        states.clear();
        std::vector<unsigned char> buffer(1 << 20);
        ULONG size = static_cast<ULONG>(buffer.size());
        auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
        if (GetTcpTable(table, &size, FALSE) != NO_ERROR)
            return "no TCP table";
        for (DWORD i = 0; i < table->dwNumEntries; ++i)
        {
            const MIB_TCPROW& row = table->table[i];
            if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port && row.dwState != MIB_TCP_STATE_LISTEN)
                states += (states.empty() ? "" : " ") + std::to_string(row.dwState);
        }
        if (states.empty())
            return states;
        Sleep(20);
    } while (GetTickCount() - began < kWaitMs);
    return states + " (5: established, 6: FIN_WAIT1, 7: FIN_WAIT2, 11: TIME_WAIT)";
}

// Where the module's log stands now: the lines a test looks at come after.
inline size_t LogMark()
{
    return WinsockProbe::DebugLines().size();
}

// The module's log lines since `mark` that hold every one of `parts`.
inline std::vector<std::wstring> LogLinesWith(size_t mark, std::initializer_list<std::wstring> parts)
{
    const std::vector<std::wstring> lines = WinsockProbe::DebugLines();
    std::vector<std::wstring> found;
    for (size_t i = mark; i < lines.size(); ++i)
        if (std::all_of(parts.begin(), parts.end(),
                        [&](const std::wstring& p) { return lines[i].find(p) != std::wstring::npos; }))
            found.push_back(lines[i]);
    return found;
}

class HttpServer : public IniModuleTest
{
protected:
    void SetUp() override
    {
        IniModuleTest::SetUp();
        port = FreeTcpPort();
    }
    std::string PortLine() const { return "HttpPort=" + std::to_string(port) + "\r\n"; }

    uint16_t port = 0;
};

inline bool Listening(uint16_t port)
{
    Client probe(port);
    return probe.Connected();
}
