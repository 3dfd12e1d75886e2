// tovrin-host: a console host for the receiver module. It loads the module
// file the way a TV host does, plays a transport-stream file through the
// filter the module registers, and opens the module's options dialog; see
// HostOptions.cpp for the command line.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Engine.h"
#include "HostDevice.h"
#include "HostLog.h"
#include "HostOptions.h"
#include "ModuleDebugLines.h"
#include "Supervisor.h"
#include "TsSource.h"
#include "host/host_api.h"

#include <mmsystem.h>
#include <shellapi.h>

using namespace KelvModuleApi2;

namespace
{
enum ExitCode
{
    kExitDone = 0,
    kExitUsage = 1,
    kExitModule = 2,
    kExitExport = 3,
    kExitInput = 4,
    kExitRefused = 5,
    kExitStartFailed = 6,
    kExitNotDelivered = 7,
};

const char kExportName[] = "KelvModuleApi2_GetReceiverModuleUnit";
using GetUnitFn = IReceiverModuleUnit*(__cdecl*)();

std::atomic<Supervisor*> g_supervisor{nullptr};

BOOL WINAPI OnConsoleControl(DWORD)
{
    if (Supervisor* s = g_supervisor.load())
    {
        s->Interrupt();
        return TRUE;
    }
    return FALSE;
}

HostDevice* g_device = nullptr;  // for the main window's procedure

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kMsgOpenFilter && g_device != nullptr)
    {
        g_device->OpenFilter(static_cast<int>(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The host's main window: never shown; it owns the dialog and receives the
// message that opens a new filter once the dialog's Start has finished.
HWND CreateMainWindow()
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TovrinHostMain";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"Tovrin host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           400, 300, nullptr, nullptr, wc.hInstance, nullptr);
}

std::wstring ProgramDirectory()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    const size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : p.substr(0, slash);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(full, n) : path;
}

std::string SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = text ? Utf8FromWide(text) : std::string();
    if (text)
        LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* data, std::string* error)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        *error = SystemMessage(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) != 0;
    if (ok)
    {
        data->resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (ok && done < data->size())
        {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(data->size() - done, 1u << 24));
            ok = ReadFile(file, data->data() + done, want, &got, nullptr) != 0 && got > 0;
            done += got;
        }
    }
    if (!ok)
        *error = SystemMessage(GetLastError());
    CloseHandle(file);
    return ok;
}

void WriteIniKey(const std::wstring& ini, const wchar_t* key, const std::string& value)
{
    WritePrivateProfileStringW(L"TovrinStreamer", key, WideFromUtf8(value).c_str(), ini.c_str());
    HostLog("host: INI [TovrinStreamer] %s=%s", Utf8FromWide(key).c_str(), value.c_str());
}

// Keeps the main thread's messages moving while it waits (the module may post
// to its windows; the filter-open message comes this way too).
void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::vector<std::string> Arguments()
{
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(Utf8FromWide(argv[i]));
    LocalFree(argv);
    return args;
}

int Run()
{
    HostOptions options;
    std::string error;
    if (!ParseHostOptions(Arguments(), &options, &error))
    {
        HostError("%s", error.c_str());
        std::fputs(kHostUsage, stderr);
        return kExitUsage;
    }
    if (options.help)
    {
        std::fputs(kHostUsage, stdout);
        return kExitDone;
    }

    // The input first: a wrong file should not cost a module load.
    const std::wstring tsPath = FullPath(WideFromUtf8(options.tsFile));
    std::vector<unsigned char> stream;
    if (!ReadWholeFile(tsPath, &stream, &error))
    {
        HostError("cannot read %s: %s", Utf8FromWide(tsPath.c_str()).c_str(), error.c_str());
        return kExitInput;
    }
    error = CheckTransportStream(stream.data(), stream.size());
    if (!error.empty())
    {
        HostError("%s is not an MPEG transport stream: %s", Utf8FromWide(tsPath.c_str()).c_str(), error.c_str());
        return kExitInput;
    }
    const size_t packets = stream.size() / kTsPacketBytes;
    if (stream.size() % kTsPacketBytes != 0)
        HostLog("host: note: the last %zu bytes are not a whole packet and are not played",
                stream.size() % kTsPacketBytes);

    PlaybackClock clock;
    const PlaybackClock* pacing = nullptr;
    if (options.pacing == Pacing::Pcr)
    {
        if (!PlaybackClock::FromPcr(stream.data(), packets, &clock, &error))
        {
            HostError("%s: cannot pace by PCR: %s (use --rate or --fast)", options.tsFile.c_str(), error.c_str());
            return kExitInput;
        }
        pacing = &clock;
    }
    else if (options.pacing == Pacing::Rate)
    {
        clock = PlaybackClock::AtRate(options.rateMbits * 1e6, packets);
        pacing = &clock;
    }
    if (pacing)
        HostLog("host: %s: %zu packets, %.2f s per pass at %.3f Mbit/s (%s)", options.tsFile.c_str(), packets,
                clock.PassSeconds(), clock.MeanBitsPerSecond() / 1e6,
                options.pacing == Pacing::Pcr ? "from its PCRs" : "as given");
    else
        HostLog("host: %s: %zu packets, as fast as the module takes them", options.tsFile.c_str(), packets);

    const std::wstring dir = ProgramDirectory();
    const std::wstring iniPath =
        FullPath(options.iniPath.empty() ? dir + L"\\tovrin-host.ini" : WideFromUtf8(options.iniPath));
    const std::wstring modulePath =
        FullPath(options.modulePath.empty() ? dir + L"\\TovrinStreamer.module" : WideFromUtf8(options.modulePath));
    HostLog("host: INI file %s", Utf8FromWide(iniPath.c_str()).c_str());
    if (!options.address.empty())
        WriteIniKey(iniPath, L"IPAddress", options.address);
    if (options.port >= 0)
        WriteIniKey(iniPath, L"UDP_Port", std::to_string(options.port));
    if (options.packets != -1)
        WriteIniKey(iniPath, L"nTS_UDP", std::to_string(options.packets));
    for (const auto& key : options.iniKeys)
        WriteIniKey(iniPath, WideFromUtf8(key.first).c_str(), key.second);

    if (GetFileAttributesW(modulePath.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        HostError("module file not found: %s", Utf8FromWide(modulePath.c_str()).c_str());
        return kExitModule;
    }
    HMODULE library = LoadLibraryW(modulePath.c_str());
    if (library == nullptr)
    {
        HostError("cannot load %s: %s", Utf8FromWide(modulePath.c_str()).c_str(),
                  SystemMessage(GetLastError()).c_str());
        return kExitModule;
    }
    struct Unload
    {
        HMODULE h;
        ~Unload() { FreeLibrary(h); }
    } unload{library};

    auto getUnit = reinterpret_cast<GetUnitFn>(reinterpret_cast<void*>(GetProcAddress(library, kExportName)));
    if (getUnit == nullptr)
    {
        HostError("%s has no export %s: not a receiver module", Utf8FromWide(modulePath.c_str()).c_str(),
                  kExportName);
        return kExitExport;
    }
    // Its log lines join the host's output, where a test reads them.
    PrintModuleDebugLines(library);
    IReceiverModuleUnit* unit = getUnit();
    if (unit == nullptr)
    {
        HostError("%s returned no unit", kExportName);
        return kExitExport;
    }

    const HWND mainWindow = CreateMainWindow();
    const DWORD mainThread = GetCurrentThreadId();

    SUnitInfo unitInfo{};
    unitInfo.Size = sizeof(SUnitInfo);
    unitInfo.hMainWnd = mainWindow;
    unitInfo.IniFileName = iniPath.c_str();
    if (unit->GetInfo(&unitInfo) == 0)
    {
        HostError("the module refused GetInfo");
        return kExitRefused;
    }
    SModuleInfo moduleInfo{};
    moduleInfo.Size = sizeof(SModuleInfo);
    unit->GetModuleInfo(&moduleInfo);
    wchar_t author[201] = {};
    std::copy(unitInfo.Author, unitInfo.Author + 200, author);
    wchar_t name[101] = {};
    std::copy(moduleInfo.Name, moduleInfo.Name + 100, name);
    HostLog("host: loaded %s: \"%s\" by \"%s\", API version %d, transport type %d",
            Utf8FromWide(modulePath.c_str()).c_str(), Utf8FromWide(name).c_str(), Utf8FromWide(author).c_str(),
            unitInfo.ApiVersion, static_cast<int>(moduleInfo.TransportType));

    HostDevice device(options.deviceTransportType, mainWindow, mainThread);
    g_device = &device;
    SCreateModuleParams create{};
    create.Size = sizeof(SCreateModuleParams);
    create.pDevice = &device;
    IReceiverModule* module = unit->CreateModule(&create);
    if (module == nullptr)
    {
        HostError("the module refused CreateModule");
        g_device = nullptr;
        DestroyWindow(mainWindow);
        return kExitRefused;
    }

    // Windows' default timer tick is 15.6 ms; pacing wants 1 ms sleeps.
    timeBeginPeriod(1);
    Engine engine(device, stream.data(), packets, pacing, BlockSizer(options.blockMin, options.blockMax, options.seed),
                  options.repeats);
    Supervisor supervisor(options, engine, device, mainThread);
    g_supervisor.store(&supervisor);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    engine.Start();
    supervisor.Start();

    HostLog("host: opening the options dialog%s", options.pressStart ? "" : " (press Start to stream)");
    module->ShowOptionsDialog(mainWindow);
    HostLog("host: dialog closed");

    // Closing the dialog leaves the stream running: a stream that runs goes on
    // to the end of the file, unless the run was told to end.
    if (device.FilterRegistered() && !engine.Done() && !supervisor.EndRequested())
        HostLog("host: the stream goes on until the file ends (Ctrl+C ends it now)");
    while (device.FilterRegistered() && !engine.Done() && !supervisor.EndRequested())
    {
        PumpMessages();
        Sleep(20);
    }

    unit->DestroyModule(module);  // stops the stream: the filter is removed here
    supervisor.Stop();
    g_supervisor.store(nullptr);
    engine.Stop();
    timeEndPeriod(1);
    g_device = nullptr;
    DestroyWindow(mainWindow);

    const Engine::Stats s = engine.Snapshot();
    const double seconds = s.firstSeconds >= 0 ? s.lastSeconds - s.firstSeconds : 0.0;
    const unsigned long long bytes = s.packets * kTsPacketBytes;
    HostLog("summary: %llu packets, %llu bytes, %.3f s, %.2f Mbit/s, %llu blocks, %llu whole passes, "
            "%.3f s inside the module",
            static_cast<unsigned long long>(s.packets), bytes, seconds,
            seconds > 0 ? bytes * 8.0 / seconds / 1e6 : 0.0, static_cast<unsigned long long>(s.blocks),
            static_cast<unsigned long long>(s.passes), s.inModuleSeconds);
    if (device.UnexpectedCalls() != 0)
        HostLog("host: warning: the module called a device slot it must not use (%d times)", device.UnexpectedCalls());

    if (supervisor.StartFailed())
        return kExitStartFailed;
    if (options.pressStart && device.FiltersAdded() == 0)
    {
        HostError("no stream was started");
        return kExitStartFailed;
    }
    if (options.closeWhenDone && !engine.Done())
    {
        HostError("the run ended before the file was delivered (%llu of %llu packets)",
                  static_cast<unsigned long long>(s.packets),
                  static_cast<unsigned long long>(packets * options.repeats));
        return kExitNotDelivered;
    }
    return kExitDone;
}
}  // namespace

int main()
{
    return Run();
}
