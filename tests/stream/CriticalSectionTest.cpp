// The module's lock and its scoped guard: mutual exclusion under contention,
// TryLock that never waits, and a guard that lets go however its scope ends.
//
// Whether a lock is free is always asked from another thread: a Windows
// critical section lets its owner enter again, so asking from the owning
// thread would prove nothing.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "ts/CriticalSection.h"

static_assert(std::has_virtual_destructor_v<critical_section>, "deleted through a pointer to it");
static_assert(!std::is_copy_constructible_v<critical_section> && !std::is_copy_assignable_v<critical_section>,
              "the lock lives in its owner and is never copied");
static_assert(!std::is_copy_constructible_v<SafeCriticalSection>, "a guard is a local, never copied");

namespace {

// Runs `body` on a thread of its own and waits for it at most `seconds`:
// a lock that is never released must fail the test, not hang the run. On a
// timeout the thread is left behind, blocked; whatever it uses must be owned
// by the body itself (shared, never the caller's stack).
bool FinishesWithin(int seconds, std::function<void()> body)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([body = std::move(body), done] {
        body();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

// Generous: the contention tests take well under a second when the lock works.
constexpr int kContentionBoundSeconds = 30;

bool FreeForAnotherThread(const critical_section& lock)
{
    bool taken = false;
    std::thread([&] {
        taken = lock.TryLock();
        if (taken)
            lock.Unlock();
    }).join();
    return taken;
}

// Stands for the sender: the guard is its first statement, and a call below
// one chunk returns early.
int SendWholeChunks(critical_section& lock, int length, int chunkSize, int& datagrams)
{
    SafeCriticalSection guard(lock);
    if (length < chunkSize)
        return 0;
    datagrams += length / chunkSize;
    return length / chunkSize;
}

void FailWhileHolding(critical_section& lock)
{
    SafeCriticalSection guard(lock);
    throw std::runtime_error("send failed");
}

// Counts the calls that reach the lock through its virtual operations; the
// extra field makes a delete through the base's pointer visible to the
// sanitizer if the destructor were not virtual.
class CountingSection : public critical_section
{
public:
    void Lock() const override
    {
        ++locks;
        critical_section::Lock();
    }
    void Unlock() const override
    {
        ++unlocks;
        critical_section::Unlock();
    }
    mutable int locks = 0;
    mutable int unlocks = 0;
    char padding[64] = {};
};

}  // namespace

TEST(CriticalSection, TryLockTakesAFreeLock)
{
    critical_section lock;
    ASSERT_TRUE(lock.TryLock());
    EXPECT_FALSE(FreeForAnotherThread(lock));  // the caller holds it now
    lock.Unlock();
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

// The holder lets go only after the trying thread has been joined, so a
// TryLock that waited would never return: it must answer false at once.
TEST(CriticalSection, TryLockFailsAtOnceWhileAnotherThreadHolds)
{
    critical_section lock;
    lock.Lock();
    bool taken = true;
    std::thread([&] {
        taken = lock.TryLock();
        if (taken)
            lock.Unlock();
    }).join();
    EXPECT_FALSE(taken);
    lock.Unlock();

    // And the other way round: held by a second thread, tried by this one.
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        lock.Lock();
        held.set_value();
        release.get_future().wait();
        lock.Unlock();
    });
    held.get_future().wait();
    const bool takenHere = lock.TryLock();
    if (takenHere)
        lock.Unlock();
    release.set_value();
    holder.join();
    EXPECT_FALSE(takenHere);
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

TEST(CriticalSection, ConstLockCanBeTakenAndReleased)
{
    critical_section lock;
    const critical_section& view = lock;
    view.Lock();
    EXPECT_FALSE(FreeForAnotherThread(lock));
    view.Unlock();
    EXPECT_TRUE(view.TryLock());
    view.Unlock();
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

TEST(CriticalSection, DerivedLockDeletedThroughBasePointer)
{
    std::unique_ptr<critical_section> lock = std::make_unique<CountingSection>();
    lock->Lock();
    lock->Unlock();
    lock.reset();  // a non-virtual destructor shows as a size mismatch under the sanitizer
    SUCCEED();
}

TEST(SafeCriticalSection, HoldsTheLockForItsScope)
{
    critical_section lock;
    {
        SafeCriticalSection guard(lock);
        EXPECT_FALSE(FreeForAnotherThread(lock));
    }
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

TEST(SafeCriticalSection, ReleasesOnEarlyReturnAndOnNormalEnd)
{
    struct Case { int length; int result; };
    const Case cases[] = {{0, 0}, {187, 0}, {188, 1}, {564, 3}};
    critical_section lock;
    int datagrams = 0;
    for (const Case& c : cases)
    {
        EXPECT_EQ(SendWholeChunks(lock, c.length, 188, datagrams), c.result) << "length " << c.length;
        ASSERT_TRUE(FreeForAnotherThread(lock)) << "length " << c.length;  // the next call would wait for ever
    }
    EXPECT_EQ(datagrams, 4);
}

TEST(SafeCriticalSection, ReleasesWhenAnExceptionPassesThrough)
{
    critical_section lock;
    EXPECT_THROW(FailWhileHolding(lock), std::runtime_error);
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

TEST(SafeCriticalSection, GoesThroughTheLocksVirtualOperations)
{
    CountingSection lock;
    {
        SafeCriticalSection guard(lock);
        EXPECT_EQ(lock.locks, 1);
        EXPECT_EQ(lock.unlocks, 0);
    }
    EXPECT_EQ(lock.locks, 1);
    EXPECT_EQ(lock.unlocks, 1);
}

// The contention tests wait for threads that may be blocked for ever on a
// lock that was never released: they wait a bounded time and fail.

// Several threads bump a plain counter with a pause between read and write,
// which loses updates at once if two are ever inside together; half of them
// go through the guard, half call Lock and Unlock directly.
TEST(CriticalSection, KeepsThreadsApartUnderContention)
{
    struct Shared
    {
        critical_section lock;
        int counter = 0;  // deliberately not atomic
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::atomic<bool> go{false};
    };
    auto shared = std::make_shared<Shared>();
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;

    const bool finished = FinishesWithin(kContentionBoundSeconds, [shared] {
        Shared& s = *shared;
        auto critical = [&s] {
            if (s.inside.fetch_add(1) != 0)
                s.overlaps.fetch_add(1);
            const int seen = s.counter;
            for (volatile int pause = 0; pause < 20; pause = pause + 1)
            {
            }
            s.counter = seen + 1;
            s.inside.fetch_sub(1);
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&s, critical, t] {
                while (!s.go.load())
                    std::this_thread::yield();
                for (int i = 0; i < kRounds; ++i)
                {
                    if (t % 2 == 0)
                    {
                        SafeCriticalSection guard(s.lock);
                        critical();
                    }
                    else
                    {
                        s.lock.Lock();
                        critical();
                        s.lock.Unlock();
                    }
                }
            });
        s.go.store(true);
        for (std::thread& thread : threads)
            thread.join();
    });
    ASSERT_TRUE(finished) << "threads still waiting for the lock after " << kContentionBoundSeconds
                          << " s: a guard or an Unlock did not release it";

    EXPECT_EQ(shared->overlaps.load(), 0);
    EXPECT_EQ(shared->counter, kThreads * kRounds);
    EXPECT_TRUE(FreeForAnotherThread(shared->lock));
}

// A stopper that takes the lock while a sender call runs sees every datagram
// of that call done before it gets in.
TEST(CriticalSection, StopperWaitsForTheRunningSenderCall)
{
    struct Shared
    {
        critical_section lock;
        int sent = 0;  // guarded by lock
        int seenByStopper = -1;
    };
    auto shared = std::make_shared<Shared>();

    const bool finished = FinishesWithin(kContentionBoundSeconds, [shared] {
        Shared& s = *shared;
        std::promise<void> senderInside;
        std::thread sender([&s, &senderInside] {
            SafeCriticalSection guard(s.lock);
            senderInside.set_value();
            for (int datagram = 0; datagram < 1000; ++datagram)
            {
                ++s.sent;
                if (datagram % 100 == 0)
                    std::this_thread::yield();
            }
        });
        senderInside.get_future().wait();
        s.lock.Lock();
        s.seenByStopper = s.sent;
        s.lock.Unlock();
        sender.join();
    });
    ASSERT_TRUE(finished) << "the stopper still waits for the lock after " << kContentionBoundSeconds
                          << " s: the sender's guard did not release it";
    EXPECT_EQ(shared->seenByStopper, 1000);
}
