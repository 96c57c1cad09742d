// The periodic manager: scheduling, first calls, cancelling, failing methods.

#include "rs/resmgr/PeriodicManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

using rs::resmgr::PeriodicManager;

namespace {

const ACE_Time_Value kTick(0, 2000); // 2 ms

// Counts calls of several methods; tests wait on it, never sleep.
class Counters {
public:
    void bump(int& counter)
    {
        // Notifies under the lock: a waiter that wakes may destroy the object.
        std::lock_guard lock(mutex_);
        ++counter;
        cv_.notify_all();
    }
    template <class P> bool waitFor(P&& predicate)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), predicate);
    }
    int read(const int& counter)
    {
        std::lock_guard lock(mutex_);
        return counter;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

} // namespace

TEST(PeriodicManager, NotStartedRefusesAndCleanupDoesNothing)
{
    PeriodicManager manager(PeriodicManager::Start::Later);
    bool firstCalled = false;
    EXPECT_FALSE(manager.started());
    EXPECT_EQ(manager.registerMethod([] {}, [&] { firstCalled = true; }, kTick, kTick), -1);
    EXPECT_FALSE(firstCalled);
    EXPECT_EQ(manager.cancel(0), -1);
    manager.cleanup();
    manager.cleanup();
    EXPECT_FALSE(manager.started());
}

TEST(PeriodicManager, MethodRepeatsOnItsOwnThreadAfterFirstCallOnTheCaller)
{
    Counters counters; // outlives the manager's thread
    PeriodicManager manager;
    int calls = 0;
    std::thread::id methodThread, firstThread;
    long id = manager.registerMethod(
        [&] {
            methodThread = std::this_thread::get_id();
            counters.bump(calls);
        },
        [&] { firstThread = std::this_thread::get_id(); }, ACE_Time_Value::zero, kTick);
    ASSERT_GE(id, 0);
    EXPECT_EQ(firstThread, std::this_thread::get_id());
    ASSERT_TRUE(counters.waitFor([&] { return calls >= 3; }));
    EXPECT_NE(methodThread, std::this_thread::get_id());
    EXPECT_EQ(manager.cancel(id), 0);
    EXPECT_EQ(manager.cancel(id), -1); // gone already
}

TEST(PeriodicManager, ThrowingMethodAndOneShotAreNotCalledAgain)
{
    Counters counters; // outlives the manager's thread
    PeriodicManager manager;
    int throws = 0, once = 0, ticks = 0;
    ASSERT_GE(manager.registerMethod(
                  [&] {
                      counters.bump(throws);
                      throw std::runtime_error("broken method");
                  },
                  {}, ACE_Time_Value::zero, kTick),
        0);
    ASSERT_GE(
        manager.registerMethod([&] { counters.bump(once); }, {}, ACE_Time_Value::zero, ACE_Time_Value::zero),
        0);
    ASSERT_GE(manager.registerMethod([&] { counters.bump(ticks); }, {}, kTick, kTick), 0);
    // Both ran long before the ticker reached 20, and would have run again meanwhile.
    ASSERT_TRUE(counters.waitFor([&] { return ticks >= 20; }));
    EXPECT_EQ(counters.read(throws), 1);
    EXPECT_EQ(counters.read(once), 1);
}

TEST(PeriodicManager, CancelledMethodStops)
{
    Counters counters; // outlives the manager's thread
    PeriodicManager manager;
    int cancelled = 0, ticks = 0;
    long id = manager.registerMethod([&] { counters.bump(cancelled); }, {}, ACE_Time_Value::zero, kTick);
    ASSERT_GE(manager.registerMethod([&] { counters.bump(ticks); }, {}, kTick, kTick), 0);
    ASSERT_TRUE(counters.waitFor([&] { return cancelled >= 2; }));
    ASSERT_EQ(manager.cancel(id), 0);
    int atCancel = counters.read(cancelled);
    int ticksAtCancel = counters.read(ticks);
    ASSERT_TRUE(counters.waitFor([&] { return ticks >= ticksAtCancel + 10; }));
    // At most the call that was running while cancel ran.
    EXPECT_LE(counters.read(cancelled), atCancel + 1);
}

TEST(PeriodicManager, CleanupStopsTheThreadAndLaterRegistrationsFail)
{
    Counters counters; // outlives the manager's thread
    PeriodicManager manager;
    int calls = 0;
    ASSERT_GE(manager.registerMethod([&] { counters.bump(calls); }, {}, ACE_Time_Value::zero, kTick), 0);
    ASSERT_TRUE(counters.waitFor([&] { return calls >= 1; }));
    EXPECT_EQ(manager.registerMethod({}, {}, kTick, kTick), -1) << "an empty method";
    manager.cleanup();
    EXPECT_FALSE(manager.started());
    EXPECT_EQ(manager.registerMethod([] {}, {}, kTick, kTick), -1);
}
