// The periodic manager: repeating, cancelling, failing methods, cleanup.

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

// A method repeats on the manager's thread after its first call on the
// caller's; one that throws, a one-shot and a cancelled one are not called
// again while a ticker goes on; after cleanup nothing can be registered.
TEST(PeriodicManager, MethodsRepeatUntilTheyThrowOrAreCancelled)
{
    Counters counters; // outlives the manager's thread
    PeriodicManager manager;
    int repeats = 0, throws = 0, once = 0, ticks = 0;
    std::thread::id methodThread, firstThread;
    const long repeating = manager.registerMethod(
        [&] {
            methodThread = std::this_thread::get_id();
            counters.bump(repeats);
        },
        [&] { firstThread = std::this_thread::get_id(); }, ACE_Time_Value::zero, kTick);
    ASSERT_GE(repeating, 0);
    EXPECT_EQ(firstThread, std::this_thread::get_id());
    auto throwing = [&] {
        counters.bump(throws);
        throw std::runtime_error("broken method");
    };
    ASSERT_GE(manager.registerMethod(throwing, {}, ACE_Time_Value::zero, kTick), 0);
    ASSERT_GE(
        manager.registerMethod([&] { counters.bump(once); }, {}, ACE_Time_Value::zero, ACE_Time_Value::zero),
        0);
    ASSERT_GE(manager.registerMethod([&] { counters.bump(ticks); }, {}, kTick, kTick), 0);
    ASSERT_TRUE(counters.waitFor([&] { return repeats >= 3; }));
    ASSERT_EQ(manager.cancel(repeating), 0);
    EXPECT_NE(methodThread, std::this_thread::get_id());
    EXPECT_EQ(manager.cancel(repeating), -1); // gone already
    const int atCancel = counters.read(repeats), ticksAtCancel = counters.read(ticks);
    // The others would have run many times over while the ticker counts 20 more.
    ASSERT_TRUE(counters.waitFor([&] { return ticks >= ticksAtCancel + 20; }));
    EXPECT_LE(counters.read(repeats), atCancel + 1) << "at most the call running while cancel ran";
    EXPECT_EQ(counters.read(throws), 1);
    EXPECT_EQ(counters.read(once), 1);

    manager.cleanup();
    EXPECT_FALSE(manager.started());
    EXPECT_EQ(manager.registerMethod([] {}, {}, kTick, kTick), -1);
}

} // namespace
