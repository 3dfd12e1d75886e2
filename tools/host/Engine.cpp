#include "Engine.h"

#include <algorithm>

#include "HostLog.h"

namespace
{
// Sleep in slices no longer than this, so that a stop is noticed quickly.
constexpr int64_t kMaxSleepMs = 50;
}  // namespace

Engine::Engine(HostDevice& device, unsigned char* data, size_t packets, const PlaybackClock* clock,
               BlockSizer sizer, uint64_t repeats)
    : device_(device), data_(data), packets_(packets), clock_(clock), sizer_(sizer), repeats_(repeats)
{
}

Engine::~Engine()
{
    Stop();
}

void Engine::Start()
{
    thread_ = std::thread([this] { Run(); });
}

void Engine::Stop()
{
    stop_.store(true, std::memory_order_relaxed);
    device_.Shutdown();
    if (thread_.joinable())
        thread_.join();
    if (HANDLE h = threadHandle_.exchange(nullptr))
        CloseHandle(h);
}

Engine::Stats Engine::Snapshot() const
{
    Stats s;
    s.state = static_cast<State>(state_.load(std::memory_order_relaxed));
    s.packets = packetsDelivered_.load(std::memory_order_relaxed);
    s.blocks = blocks_.load(std::memory_order_relaxed);
    s.passes = passes_.load(std::memory_order_relaxed);
    s.inModuleSeconds = inModuleNs_.load(std::memory_order_relaxed) / 1e9;
    s.firstSeconds = firstSeconds_.load(std::memory_order_relaxed);
    s.lastSeconds = lastSeconds_.load(std::memory_order_relaxed);
    s.threadCpuSeconds = -1.0;
    FILETIME created, exited, kernel, user;
    const HANDLE thread = threadHandle_.load();
    if (thread != nullptr && GetThreadTimes(thread, &created, &exited, &kernel, &user))
    {
        auto ticks = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        s.threadCpuSeconds = double(ticks(kernel) + ticks(user)) * 100e-9;  // 100 ns units
    }
    return s;
}

bool Engine::SleepUntil(HostClock::time_point due) const
{
    for (;;)
    {
        if (stop_.load(std::memory_order_relaxed))
            return false;
        const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - HostClock::now()).count();
        // Under a millisecond early is close enough: Sleep cannot do better.
        if (ms < 1)
            return true;
        Sleep(static_cast<DWORD>(std::min(ms, kMaxSleepMs)));
    }
}

void Engine::Run()
{
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0))
        threadHandle_.store(self);
    size_t position = 0;  // next packet of the current pass
    uint64_t pass = 0;
    bool needFilter = true;
    int filter = 0;
    bool everPlayed = false;
    HostClock::time_point anchor{};  // when playback time 0 would have been
    const double passSeconds = clock_ ? clock_->PassSeconds() : 0.0;
    auto playbackTime = [&](uint64_t p, size_t index) {
        return std::chrono::duration_cast<HostClock::duration>(
            std::chrono::duration<double>(double(p) * passSeconds + clock_->At(index)));
    };
    int64_t inModuleNs = 0;

    while (!stop_.load(std::memory_order_relaxed))
    {
        if (repeats_ != 0 && pass >= repeats_)
        {
            SetState(State::Done);
            return;
        }
        if (needFilter)
        {
            SetState(everPlayed ? State::Paused : State::Waiting);
            filter = device_.WaitForOpenFilter();
            if (filter == 0)
                return;
            SetState(State::Playing);
            if (clock_)
                anchor = HostClock::now() - playbackTime(pass, position);
            needFilter = false;
        }
        const size_t end = std::min(position + static_cast<size_t>(sizer_.Next()), packets_);
        if (clock_ && !SleepUntil(anchor + playbackTime(pass, end)))
            return;
        double before = 0, after = 0;
        bool delivered = false;
        {
            std::lock_guard<std::mutex> permit(deliveryPermit_);
            before = HostSeconds();
            delivered = device_.Deliver(filter, data_ + position * kTsPacketBytes,
                                        static_cast<int>((end - position) * kTsPacketBytes), &inModuleNs);
            after = HostSeconds();
            // Counted before the permit goes: whoever holds it reads a count
            // that includes every block the module has received.
            if (delivered)
                packetsDelivered_.fetch_add(end - position, std::memory_order_relaxed);
        }
        if (!delivered)
        {
            needFilter = true;  // the filter went away: wait for the next, pacing anew
            continue;
        }
        if (!everPlayed)
        {
            firstSeconds_.store(before, std::memory_order_relaxed);
            everPlayed = true;
        }
        lastSeconds_.store(after, std::memory_order_relaxed);
        inModuleNs_.store(inModuleNs, std::memory_order_relaxed);
        blocks_.fetch_add(1, std::memory_order_relaxed);
        position = end;
        if (position == packets_)
        {
            position = 0;
            ++pass;
            passes_.store(pass, std::memory_order_relaxed);
        }
    }
}
