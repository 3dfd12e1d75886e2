#pragma once
// The host's engine thread: plays the file into the open filter in blocks of
// whole packets, the way a tuner hands over what it has received. It waits
// while no filter is open and picks up where it left off when one opens
// again; pacing restarts from that moment, so a pause is not caught up.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "HostDevice.h"
#include "HostLog.h"
#include "TsSource.h"

class Engine
{
public:
    enum class State : int
    {
        Waiting,  // no filter yet
        Playing,
        Paused,   // the filter was removed; playback resumes at the next one
        Done,     // every pass delivered
    };

    struct Stats
    {
        State state;
        uint64_t packets;          // delivered to the module
        uint64_t blocks;
        uint64_t passes;           // whole passes of the file delivered
        double inModuleSeconds;    // spent inside the receiver's calls
        double firstSeconds;       // HostSeconds() when the first block went in, < 0 before
        double lastSeconds;        // HostSeconds() when the latest block came back
        double threadCpuSeconds;   // the engine thread's user + kernel time, < 0 when unknown
    };

    // `clock` null: as fast as the module takes it. `repeats` 0: until stopped.
    Engine(HostDevice& device, unsigned char* data, size_t packets, const PlaybackClock* clock,
           BlockSizer sizer, uint64_t repeats);
    ~Engine();

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void Start();
    // Ends the thread and waits for it; safe to call twice.
    void Stop();

    Stats Snapshot() const;

    // Holds back the next delivery (waiting for one in flight to return and
    // be counted) until ResumeDeliveries, from the same thread. For scripted Stop/Start:
    // a real tuner's packets during a stop are lost, and a comparison of what
    // was played with what arrived would then prove nothing.
    void HoldDeliveries() { deliveryPermit_.lock(); }
    void ResumeDeliveries() { deliveryPermit_.unlock(); }
    bool Done() const { return state_.load(std::memory_order_relaxed) == static_cast<int>(State::Done); }

private:
    void Run();
    // False when the engine is being stopped.
    bool SleepUntil(HostClock::time_point due) const;
    void SetState(State s) { state_.store(static_cast<int>(s), std::memory_order_relaxed); }

    HostDevice& device_;
    unsigned char* const data_;
    const size_t packets_;
    const PlaybackClock* const clock_;
    BlockSizer sizer_;
    const uint64_t repeats_;

    std::mutex deliveryPermit_;  // held by the engine around each delivery
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> state_{static_cast<int>(State::Waiting)};
    std::atomic<uint64_t> packetsDelivered_{0};
    std::atomic<uint64_t> blocks_{0};
    std::atomic<uint64_t> passes_{0};
    std::atomic<int64_t> inModuleNs_{0};
    std::atomic<double> firstSeconds_{-1.0};
    std::atomic<double> lastSeconds_{-1.0};
    // The engine thread, for its CPU time; set by the thread itself, closed after it ends.
    std::atomic<HANDLE> threadHandle_{nullptr};
};
