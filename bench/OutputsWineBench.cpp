// A headend under Wine: the module with one output per program, fed a
// transponder as fast as it takes it, against a bare sendto loop sending the
// same datagrams from the same process (bench/outputs_wine.py runs it and
// checks what arrives; bench/README.md, "Several outputs").
//
//   tovrin-outputs-bench --module M --ini I --port P --programs A,B,... --rounds R
//                        [--bare C1,C2,...] [--wineserver PID] FILE.ts
//
// Output k (1-based) takes program k of --programs to 127.0.0.1:P+k-1, N = 7,
// RTP: output 1 through IPAddress/UDP_Port/nTS_UDP/Programs, the others
// through Output2..Output16 keys. A module pass is what the host does: the
// module is created, its dialog opened, Start pressed, the file delivered
// once in host blocks of 7-100 packets from the host's engine thread, Close
// pressed, the module destroyed. A bare pass sends C1 datagrams of 1328
// bytes to P, C2 to P+1, ... (the counts the module sent, as receivers
// counted them), each output's from a socket of its own, interleaved evenly,
// from a second thread while the main thread waits for window messages as a
// host's does. Passes alternate (module first in even rounds) with a second
// of silence between, by which the receivers tell them apart.
//
// Each pass prints one line: its kind, the datagrams it sent (the bare loop's
// own count; the module's comes from the receivers), the time from its first
// to its last send (for the module: the first delivery to the last return),
// and over the same span the process's CPU time (every thread: under Wine
// the engine thread's own time is gone once it has ended) and the
// wineserver's, read from Z:\proc\PID\stat when --wineserver gives its
// Linux PID.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "Engine.h"
#include "HostDevice.h"
#include "HostLog.h"
#include "HostOptions.h"
#include "ModuleDebugLines.h"
#include "Supervisor.h"
#include "TsSource.h"
#include "host/host_api.h"

using namespace KelvModuleApi2;

namespace
{
constexpr int kMaxOutputs = 16;
constexpr int kPacketsPerDatagram = 7;
constexpr int kRtpHeader = 12;
constexpr int kDatagramBytes = kRtpHeader + kPacketsPerDatagram * static_cast<int>(kTsPacketBytes);
constexpr DWORD kSilenceMs = 1000;  // between passes; the receivers split runs at shorter gaps

HostDevice* g_device = nullptr;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kMsgOpenFilter && g_device != nullptr)
    {
        g_device->OpenFilter(static_cast<int>(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

struct Arguments
{
    std::string module, ini, file;
    int port = 0;
    int rounds = 1;
    long wineserver = 0;
    std::vector<long> programs;
    std::vector<long long> bare;  // datagrams per output; empty: module passes only
};

std::vector<long long> NumberList(const char* text)
{
    std::vector<long long> out;
    for (const char* p = text; *p;)
    {
        char* end = nullptr;
        out.push_back(std::strtoll(p, &end, 10));
        if (end == p)
            return {};
        p = *end == ',' ? end + 1 : end;
    }
    return out;
}

bool Parse(int argc, char** argv, Arguments* a)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--module" && value)
            a->module = argv[++i];
        else if (arg == "--ini" && value)
            a->ini = argv[++i];
        else if (arg == "--port" && value)
            a->port = std::atoi(argv[++i]);
        else if (arg == "--rounds" && value)
            a->rounds = std::atoi(argv[++i]);
        else if (arg == "--wineserver" && value)
            a->wineserver = std::atol(argv[++i]);
        else if (arg == "--programs" && value)
            for (long long p : NumberList(argv[++i]))
                a->programs.push_back(static_cast<long>(p));
        else if (arg == "--bare" && value)
            a->bare = NumberList(argv[++i]);
        else if (arg[0] != '-' && a->file.empty())
            a->file = arg;
        else
            return false;
    }
    const size_t k = a->programs.size();
    return !a->module.empty() && !a->ini.empty() && !a->file.empty() && a->port > 0 &&
           a->port + static_cast<int>(k) <= 65536 && k >= 1 && k <= kMaxOutputs && a->rounds >= 1 &&
           (a->bare.empty() || a->bare.size() == k);
}

double Ticks(const FILETIME& t)
{
    return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 100e-9;
}

double ProcessCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    return GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) ? Ticks(kernel) + Ticks(user)
                                                                                   : -1.0;
}

// The wineserver's user + system time from Linux's /proc, through Wine's
// drive Z: (the root of the Unix file system); -1 when unknown.
double WineserverCpuSeconds(long pid)
{
    if (pid <= 0)
        return -1.0;
    char path[64];
    std::snprintf(path, sizeof path, "Z:\\proc\\%ld\\stat", pid);
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1.0;
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');  // the command name may hold blanks
    unsigned long long utime = 0, stime = 0;
    // Fields 3..13 after the name, then utime (14) and stime (15).
    if (p == nullptr || std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                                    &stime) != 2)
        return -1.0;
    return double(utime + stime) / 100.0;  // USER_HZ
}

struct Sample
{
    double wall, process, wineserver;
};

Sample Take(long wineserver)
{
    return {HostSeconds(), ProcessCpuSeconds(), WineserverCpuSeconds(wineserver)};
}

void PrintPass(int round, const char* kind, long long datagrams, double seconds, const Sample& a, const Sample& b)
{
    const bool server = a.wineserver >= 0 && b.wineserver >= 0;
    HostLog("pass round=%d kind=%s datagrams=%lld seconds=%.6f process_cpu_s=%.4f wineserver_cpu_s=%.4f", round, kind,
            datagrams, seconds, b.process - a.process, server ? b.wineserver - a.wineserver : -1.0);
}

class Bench
{
public:
    Bench(const Arguments& args, IReceiverModuleUnit* unit, HWND mainWindow, std::vector<unsigned char>& stream)
        : args_(args), unit_(unit), mainWindow_(mainWindow), stream_(stream)
    {
        options_.pressStart = true;
        options_.closeWhenDone = true;
        options_.quiet = true;
        options_.pacing = Pacing::Fast;
        options_.closeAfterSeconds = 600;  // a pass that hangs ends the run
    }

    bool ModulePass(int round)
    {
        HostDevice device(options_.deviceTransportType, mainWindow_, GetCurrentThreadId());
        g_device = &device;
        SCreateModuleParams create{};
        create.Size = sizeof(SCreateModuleParams);
        create.pDevice = &device;
        IReceiverModule* module = unit_->CreateModule(&create);
        if (module == nullptr)
        {
            HostError("the module refused CreateModule");
            g_device = nullptr;
            return false;
        }
        Engine engine(device, stream_.data(), stream_.size() / kTsPacketBytes, nullptr,
                      BlockSizer(options_.blockMin, options_.blockMax, options_.seed), 1);
        Supervisor supervisor(options_, engine, device, GetCurrentThreadId());
        // The CPU figures span the deliveries: from the first block to the end of the file.
        Sample first{}, last{};
        std::thread watcher([&] {
            while (engine.Snapshot().firstSeconds < 0 && !engine.Done() && !supervisor.EndRequested())
                Sleep(10);
            first = Take(args_.wineserver);
            while (!engine.Done() && !supervisor.EndRequested())
                Sleep(10);
            last = Take(args_.wineserver);
        });
        engine.Start();
        supervisor.Start();
        module->ShowOptionsDialog(mainWindow_);
        watcher.join();
        const Engine::Stats s = engine.Snapshot();
        unit_->DestroyModule(module);
        supervisor.Stop();
        engine.Stop();
        g_device = nullptr;
        if (!engine.Done() || supervisor.StartFailed())
        {
            HostError("the module pass did not deliver the file");
            return false;
        }
        PrintPass(round, "module", -1, s.lastSeconds - s.firstSeconds, first, last);
        return true;
    }

    bool BarePass(int round)
    {
        bool ok = true;
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread loop([&] {
            ok = SendBare(round);
            SetEvent(done);
        });
        // The main thread waits for window messages, as a host's does while it streams.
        MSG msg;
        while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        loop.join();
        CloseHandle(done);
        return ok;
    }

private:
    bool SendBare(int round)
    {
        const int outputs = static_cast<int>(args_.bare.size());
        SOCKET sockets[kMaxOutputs];
        sockaddr_in to[kMaxOutputs];
        unsigned short sequence[kMaxOutputs] = {};
        for (int k = 0; k < outputs; ++k)
        {
            sockets[k] = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            std::memset(&to[k], 0, sizeof to[k]);
            to[k].sin_family = AF_INET;
            to[k].sin_port = htons(static_cast<unsigned short>(args_.port + k));
            to[k].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        static unsigned char datagram[kDatagramBytes];
        datagram[0] = 0x80;  // RTP version 2
        datagram[1] = 33;    // MPEG-2 transport stream
        for (int i = kRtpHeader; i < kDatagramBytes; i += static_cast<int>(kTsPacketBytes))
            datagram[i] = kTsSync;

        // Each output's datagrams spread evenly over the pass, as the module's
        // are over the host's blocks: every step adds an output's count to its
        // credit and sends when the credit reaches the total.
        long long total = 0;
        for (long long c : args_.bare)
            total += c;
        long long credit[kMaxOutputs] = {};
        long long sent = 0, failed = 0;
        const Sample first = Take(args_.wineserver);
        for (long long step = 0; step < total; ++step)
            for (int k = 0; k < outputs; ++k)
            {
                credit[k] += args_.bare[k];
                if (credit[k] < total)
                    continue;
                credit[k] -= total;
                datagram[2] = static_cast<unsigned char>(sequence[k] >> 8);
                datagram[3] = static_cast<unsigned char>(sequence[k]);
                ++sequence[k];
                if (sendto(sockets[k], reinterpret_cast<const char*>(datagram), kDatagramBytes, 0,
                           reinterpret_cast<const sockaddr*>(&to[k]), sizeof to[k]) == kDatagramBytes)
                    ++sent;
                else
                    ++failed;
            }
        const Sample last = Take(args_.wineserver);
        for (int k = 0; k < outputs; ++k)
            closesocket(sockets[k]);
        PrintPass(round, "bare", sent, last.wall - first.wall, first, last);
        if (failed != 0)
            HostError("the bare loop: %lld sends failed", failed);
        return failed == 0;
    }

    const Arguments& args_;
    IReceiverModuleUnit* const unit_;
    const HWND mainWindow_;
    std::vector<unsigned char>& stream_;
    HostOptions options_;
};

void WriteKey(const std::wstring& ini, const std::string& key, const std::string& value)
{
    WritePrivateProfileStringW(L"TovrinStreamer", WideFromUtf8(key).c_str(), WideFromUtf8(value).c_str(),
                               ini.c_str());
}

// Output 1 by the classic keys, the others by Output keys; every other key of
// the section removed, so that a kept INI file cannot change the run.
void WriteOutputs(const Arguments& args)
{
    const std::wstring ini = WideFromUtf8(args.ini);
    WritePrivateProfileStringW(L"TovrinStreamer", nullptr, nullptr, ini.c_str());
    WriteKey(ini, "IPAddress", "127.0.0.1");
    WriteKey(ini, "UDP_Port", std::to_string(args.port));
    WriteKey(ini, "nTS_UDP", std::to_string(kPacketsPerDatagram));
    WriteKey(ini, "Programs", std::to_string(args.programs[0]));
    for (size_t k = 1; k < args.programs.size(); ++k)
        WriteKey(ini, "Output" + std::to_string(k + 1),
                 "127.0.0.1:" + std::to_string(args.port + static_cast<int>(k)) +
                     " programs=" + std::to_string(args.programs[k]));
}

bool ReadFile(const std::string& path, std::vector<unsigned char>* data)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    unsigned char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data->insert(data->end(), buffer, buffer + n);
    std::fclose(f);
    data->resize(data->size() / kTsPacketBytes * kTsPacketBytes);
    return !data->empty() && CheckTransportStream(data->data(), data->size()).empty();
}

HWND CreateMainWindow()
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TovrinOutputsBench";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"Tovrin outputs bench", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, 400, 300, nullptr, nullptr, wc.hInstance, nullptr);
}

int Run(int argc, char** argv)
{
    Arguments args;
    if (!Parse(argc, argv, &args))
    {
        std::fprintf(stderr, "usage: tovrin-outputs-bench --module M --ini I --port P --programs A,B,... "
                             "--rounds R [--bare C1,C2,...] [--wineserver PID] FILE.ts\n");
        return 2;
    }
    std::vector<unsigned char> stream;
    if (!ReadFile(args.file, &stream))
    {
        HostError("cannot read a transport stream from %s", args.file.c_str());
        return 1;
    }
    WriteOutputs(args);
    HMODULE library = LoadLibraryW(WideFromUtf8(args.module).c_str());
    auto getUnit = library ? reinterpret_cast<IReceiverModuleUnit*(__cdecl*)()>(reinterpret_cast<void*>(
                                 GetProcAddress(library, "KelvModuleApi2_GetReceiverModuleUnit")))
                           : nullptr;
    IReceiverModuleUnit* unit = getUnit ? getUnit() : nullptr;
    if (unit == nullptr)
    {
        HostError("cannot load the module %s", args.module.c_str());
        return 1;
    }
    PrintModuleDebugLines(library);
    const HWND mainWindow = CreateMainWindow();
    const std::wstring ini = WideFromUtf8(args.ini);
    SUnitInfo info{};
    info.Size = sizeof(SUnitInfo);
    info.hMainWnd = mainWindow;
    info.IniFileName = ini.c_str();
    if (unit->GetInfo(&info) == 0)
    {
        HostError("the module refused GetInfo");
        return 1;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    HostLog("bench: %zu packets, %zu outputs, %d rounds%s", stream.size() / kTsPacketBytes, args.programs.size(),
            args.rounds, args.bare.empty() ? ", module passes only" : "");

    Bench bench(args, unit, mainWindow, stream);
    bool ok = true;
    for (int round = 0; ok && round < args.rounds; ++round)
    {
        const bool moduleFirst = round % 2 == 0 || args.bare.empty();
        for (int i = 0; ok && i < (args.bare.empty() ? 1 : 2); ++i)
        {
            if (round + i > 0)
                Sleep(kSilenceMs);
            ok = (i == 0) == moduleFirst ? bench.ModulePass(round) : bench.BarePass(round);
        }
    }
    Sleep(kSilenceMs);
    WSACleanup();
    DestroyWindow(mainWindow);
    FreeLibrary(library);
    return ok ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv)
{
    return Run(argc, argv);
}
