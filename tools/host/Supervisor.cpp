#include "Supervisor.h"

#include <cstdio>
#include <cwchar>

#include "HostLog.h"

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
            }
            if (startFailed_.load())
                endRequested_.store(true);
        }

        if (options_.restartAfterSeconds > 0 && started >= 0 && !restarted && dialog != nullptr &&
            !endRequested_.load() && now - started >= options_.restartAfterSeconds)
        {
            restarted = true;
            engine_.HoldDeliveries();
            Press(dialog, kIdStop, "Stop");
            if (device_.FilterRegistered())
            {
                HostError("Stop left the filter registered");
                startFailed_.store(true);
                endRequested_.store(true);
            }
            else
            {
                Sleep(kRestartPauseMs);
                Press(dialog, kIdStart, "Start");
                if (!device_.FilterRegistered())
                {
                    HostError("Start after Stop did not register a filter with the device");
                    startFailed_.store(true);
                    endRequested_.store(true);
                }
            }
            engine_.ResumeDeliveries();
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
        const bool closeNow = endRequested_.load() || (options_.closeWhenDone && engine_.Done());
        if (closeNow && dialog != nullptr && !closePressed && IsWindow(dialog))
        {
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
