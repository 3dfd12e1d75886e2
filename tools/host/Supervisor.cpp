#include "Supervisor.h"

#include <cstdio>
#include <cwchar>

#include "HostLog.h"
#include "ProcessResources.h"

namespace
{
constexpr int kIdStart = 1000;
constexpr int kIdStop = 1001;
constexpr int kIdDescription = 1004;
constexpr DWORD kRestartPauseMs = 500;
constexpr int kIdClose = IDCANCEL;  // 2
constexpr DWORD kPollMs = 20;

struct DialogSearch
{
    HWND found;
};

BOOL CALLBACK FindDialogOfThread(HWND window, LPARAM context)
{
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    // The module's dialog: the standard dialog class, shown, with a Start button.
    if (std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window) && GetDlgItem(window, kIdStart) != nullptr)
    {
        reinterpret_cast<DialogSearch*>(context)->found = window;
        return FALSE;
    }
    return TRUE;
}

const char* StateName(Engine::State s)
{
    switch (s)
    {
    case Engine::State::Waiting: return "waiting for Start";
    case Engine::State::Playing: return "playing";
    case Engine::State::Paused: return "paused (no filter)";
    case Engine::State::Done: return "done";
    }
    return "?";
}
}  // namespace

Supervisor::Supervisor(const HostOptions& options, Engine& engine, HostDevice& device, DWORD mainThreadId)
    : options_(options), engine_(engine), device_(device), mainThreadId_(mainThreadId)
{
}

Supervisor::~Supervisor()
{
    Stop();
}

void Supervisor::Start()
{
    thread_ = std::thread([this] { Run(); });
}

void Supervisor::Stop()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

HWND Supervisor::FindDialog() const
{
    DialogSearch search{nullptr};
    EnumThreadWindows(mainThreadId_, FindDialogOfThread, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Supervisor::Press(HWND dialog, int id, const char* name)
{
    HWND button = GetDlgItem(dialog, id);
    HostLog("host: pressing %s", name);
    // What a click makes the button send; SendMessage returns once the
    // dialog has handled it.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool Supervisor::PressStop(HWND dialog)
{
    Press(dialog, kIdStop, "Stop");
    // With deliveries held the count is exact: what the module got in all up to this Stop.
    HostLog("host: stopped after %llu packets in all", static_cast<unsigned long long>(engine_.Snapshot().packets));
    const bool stopped = !device_.FilterRegistered();
    if (!stopped)
    {
        HostError("Stop left the filter registered");
        startFailed_.store(true);
        endRequested_.store(true);
    }
    return stopped;
}

void Supervisor::StopAndStart(HWND dialog)
{
    engine_.HoldDeliveries();
    if (PressStop(dialog))
    {
        Sleep(kRestartPauseMs);
        Press(dialog, kIdStart, "Start");
        ++restarts_;
        if (!device_.FilterRegistered())
        {
            HostError("Start after Stop did not register a filter with the device");
            startFailed_.store(true);
            endRequested_.store(true);
        }
    }
    engine_.ResumeDeliveries();
}

void Supervisor::PrintSample(double now)
{
    const Engine::Stats s = engine_.Snapshot();
    const ProcessResources r = ReadProcessResources();
    HostLog("sample: t=%.1f handles=%ld handles_listed=%ld handle_types=%s private_usage_bytes=%llu "
            "private_committed_bytes=%llu working_set_bytes=%llu engine_cpu_s=%.3f in_module_s=%.3f packets=%llu "
            "restarts=%d",
            now, r.handles, r.handlesListed, r.handleTypes.empty() ? "-" : r.handleTypes.c_str(),
            static_cast<unsigned long long>(r.privateUsage),
            static_cast<unsigned long long>(r.privateCommitted), static_cast<unsigned long long>(r.workingSet),
            s.threadCpuSeconds, s.inModuleSeconds, static_cast<unsigned long long>(s.packets), restarts_);
}

void Supervisor::PrintProgress(double now)
{
    const Engine::Stats s = engine_.Snapshot();
    const int state = static_cast<int>(s.state);
    const bool changed = state != lastState_;
    if (!changed && (s.state != Engine::State::Playing || now - lastPrint_ < 1.0))
        return;
    // A rate over a short stretch (a line for a change of state) says little.
    const double span = lastPrint_ < 0 ? 0.0 : now - lastPrint_;
    char rate[32] = "";
    if (span >= 0.5 && s.packets >= lastPackets_)
        std::snprintf(rate, sizeof rate, "%8.2f Mbit/s", double(s.packets - lastPackets_) * kTsPacketBytes * 8 / span / 1e6);
    HostLog("[%7.1f s] %-18s packets %10llu  bytes %12llu  %s", now, StateName(s.state),
            static_cast<unsigned long long>(s.packets),
            static_cast<unsigned long long>(s.packets * kTsPacketBytes), rate);
    lastPrint_ = now;
    lastPackets_ = s.packets;
    lastState_ = state;
}

void Supervisor::Run()
{
    HWND dialog = nullptr;
    double dialogOpened = -1.0;
    bool startTried = false;
    double started = -1.0;
    bool restarted = false;
    bool closePressed = false;
    double nextSample = -1.0;

    while (!stop_.load())
    {
        const double now = HostSeconds();
        if (dialog == nullptr || !IsWindow(dialog) || !IsWindowVisible(dialog))
        {
            dialog = FindDialog();
            if (dialog != nullptr)
            {
                RECT r{};
                GetWindowRect(dialog, &r);
                HostLog("host: dialog open at %ld,%ld size %ldx%ld", r.left, r.top, r.right - r.left,
                        r.bottom - r.top);
                if (dialogOpened < 0)
                    dialogOpened = now;
                closePressed = false;
            }
        }

        if (options_.pressStart && !startTried && dialog != nullptr)
        {
            startTried = true;
            if (!IsWindowEnabled(GetDlgItem(dialog, kIdStart)))
            {
                HostError("Start is disabled in the dialog (device transport type %d)",
                          options_.deviceTransportType);
                startFailed_.store(true);
            }
            else
            {
                Press(dialog, kIdStart, "Start");
                // The line under the banner: what the module sends, or why it did not start.
                wchar_t description[256] = {};
                GetDlgItemTextW(dialog, kIdDescription, description, 256);
                HostLog("host: description: %s", Utf8FromWide(description).c_str());
                if (!device_.FilterRegistered())
                {
                    HostError("Start did not register a filter with the device");
                    startFailed_.store(true);
                }
                started = now;
                if (options_.sampleEverySeconds > 0)
                {
                    PrintSample(now);
                    nextSample = now + options_.sampleEverySeconds;
                }
            }
            if (startFailed_.load())
                endRequested_.store(true);
        }

        // --restart-after once, --restart-every each time the delay has passed since the latest Start.
        const bool again = options_.restartEverySeconds > 0;
        const double restartDelay = again ? options_.restartEverySeconds : options_.restartAfterSeconds;
        if (restartDelay > 0 && (again || !restarted) && started >= 0 && dialog != nullptr &&
            !endRequested_.load() && now - started >= restartDelay)
        {
            restarted = true;
            StopAndStart(dialog);
            started = HostSeconds();
        }
        if (interrupted_.load())
            endRequested_.store(true);
        if (options_.closeAfterSeconds > 0 && dialogOpened >= 0 && now - dialogOpened >= options_.closeAfterSeconds &&
            !timeLimitReached_.load())
        {
            HostLog("host: %.1f s since the dialog opened, time is up", options_.closeAfterSeconds);
            timeLimitReached_.store(true);
            endRequested_.store(true);
        }
        if (nextSample >= 0 && now >= nextSample && !endRequested_.load())
        {
            PrintSample(now);
            nextSample += options_.sampleEverySeconds;
        }
        const bool closeNow = endRequested_.load() || (options_.closeWhenDone && engine_.Done());
        if (closeNow && dialog != nullptr && !closePressed && IsWindow(dialog))
        {
            if (nextSample >= 0)
                PrintSample(HostSeconds());
            // The last run ends as every other did, so that it can be counted the same way.
            if (options_.restartEverySeconds > 0 && device_.FilterRegistered())
            {
                engine_.HoldDeliveries();
                PressStop(dialog);
                engine_.ResumeDeliveries();
            }
            if (engine_.Done())
                HostLog("host: the file has been delivered");
            Press(dialog, kIdClose, "Close");
            closePressed = true;
        }

        if (!options_.quiet)
            PrintProgress(now);
        Sleep(kPollMs);
    }
}
