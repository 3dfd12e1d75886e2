#pragma once
// The helper thread of unattended runs: it finds the module's dialog, presses
// Start and Close the way a user would (only buttons that are enabled),
// decides when the run ends, and prints progress once a second (and, when
// asked, what the process holds).

#include <atomic>
#include <thread>

#include "Engine.h"
#include "HostDevice.h"
#include "HostOptions.h"

class Supervisor
{
public:
    Supervisor(const HostOptions& options, Engine& engine, HostDevice& device, DWORD mainThreadId);
    ~Supervisor();

    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    void Start();
    void Stop();

    // Ctrl+C, the time limit, or a Start that did not work: end the run.
    bool EndRequested() const { return endRequested_.load(); }
    bool StartFailed() const { return startFailed_.load(); }
    bool TimeLimitReached() const { return timeLimitReached_.load(); }
    // Set from the console's Ctrl+C handler.
    void Interrupt() { interrupted_.store(true); }

private:
    void Run();
    HWND FindDialog() const;
    void Press(HWND dialog, int id, const char* name);
    // Stop, called with the engine's deliveries held so that the packet count
    // it logs is exact; false, ending the run, when the filter stayed registered.
    bool PressStop(HWND dialog);
    // Stop, a pause, Start; ends the run if either fails.
    void StopAndStart(HWND dialog);
    void PrintSample(double now);
    void PrintProgress(double now);

    const HostOptions& options_;
    Engine& engine_;
    HostDevice& device_;
    const DWORD mainThreadId_;

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> endRequested_{false};
    std::atomic<bool> startFailed_{false};
    std::atomic<bool> timeLimitReached_{false};
    std::atomic<bool> interrupted_{false};

    // Progress between two lines; only the supervisor's thread touches these.
    double lastPrint_ = -1.0;
    uint64_t lastPackets_ = 0;
    int lastState_ = -1;
    int restarts_ = 0;
};
