#include "rs/core/Task.h"
#include "rs/core/WorkQueue.h"

#include "common/LogCapture.h"
#include "common/Loggers.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Generous bound for waits that must succeed; only reached when the queue hangs.
constexpr auto kMustHappen = 20s;
// Bound for checking that something does NOT happen while an item runs.
constexpr auto kMustNotHappen = 300ms;

// What the items did, in order, for the assertions.
class EventLog {
public:
    void add(const std::string& event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    // Waits until `event` is logged; false when it was not within `limit`.
    template <class Duration> bool waitFor(const std::string& event, Duration limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return indexOfLocked(event) < events_.size(); });
    }
    // The event's position; the number of events when it is not logged.
    size_t indexOf(const std::string& event)
    {
        std::lock_guard lock(mutex_);
        return indexOfLocked(event);
    }
    std::vector<std::string> events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    size_t indexOfLocked(const std::string& event) const
    {
        return std::find(events_.begin(), events_.end(), event) - events_.begin();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// A work item that logs its start and end and can be told what to do in between.
class ScriptedWork : public rs::Work {
public:
    using Body = std::function<void()>;
    ScriptedWork(EventLog& log, std::string name, int32_t kind, bool shared, Body body = {})
        : log_(log)
        , name_(std::move(name))
        , kind_(kind)
        , shared_(shared)
        , body_(std::move(body))
    {
    }
    void process() override
    {
        log_.add(name_ + "+");
        if (body_)
            body_();
        log_.add(name_ + "-");
    }
    int32_t kind() const override { return kind_; }
    bool isShared() const override { return shared_; }
    void abandon() override { log_.add(name_ + " abandoned"); }
    bool answerableAtOnce() override { return answerable; }

    bool answerable = true;

private:
    EventLog& log_;
    std::string name_;
    int32_t kind_;
    bool shared_;
    Body body_;
};

// A gate that items wait on until the test opens it.
class Gate {
public:
    Gate()
        : future_(promise_.get_future().share())
    {
    }
    void open() { promise_.set_value(); }
    ScriptedWork::Body waiter() const
    {
        auto f = future_;
        return [f] { f.wait_for(kMustHappen); };
    }

private:
    std::promise<void> promise_;
    std::shared_future<void> future_;
};

class TaskTest : public ::testing::Test {
protected:
    void start(int threads) { ASSERT_NE(task_.openWorkers(threads), -1); }
    void enqueue(const std::string& name, int32_t kind, bool shared, ScriptedWork::Body body = {})
    {
        ASSERT_EQ(task_.enqueueWork(new ScriptedWork(log_, name, kind, shared, std::move(body))), 0);
    }
    // Waits until every listed item has finished.
    void awaitEnd(std::initializer_list<const char*> names)
    {
        for (auto* name : names)
            ASSERT_TRUE(log_.waitFor(std::string(name) + "-", kMustHappen)) << name;
    }

    EventLog log_;
    rs::Task task_;
};

TEST_F(TaskTest, ExclusiveItemWaitsForRunningSharedItemsAndHoldsBackLaterOnes)
{
    start(3);
    enqueue("S1", 3, true, [this] { log_.waitFor("X+", kMustNotHappen); });
    ASSERT_TRUE(log_.waitFor("S1+", kMustHappen));
    enqueue("X", 2, false, [this] { log_.waitFor("S2+", kMustNotHappen); });
    enqueue("S2", 2, true);
    awaitEnd({ "S1", "X", "S2" });
    EXPECT_LT(log_.indexOf("S1-"), log_.indexOf("X+"));
    EXPECT_LT(log_.indexOf("X-"), log_.indexOf("S2+"));
}

TEST_F(TaskTest, AnItemRunsAtOnceOnlyWhileNoExclusiveItemIsQueuedOrRunning)
{
    start(1);
    Gate sharedRuns;
    Gate exclusiveRuns;
    ScriptedWork probe(log_, "P", 3, true);
    enqueue("S", 3, true, sharedRuns.waiter());
    ASSERT_TRUE(log_.waitFor("S+", kMustHappen));
    probe.answerable = false;
    EXPECT_FALSE(task_.runAtOnce(probe)) << "without its answer at hand";
    probe.answerable = true;
    EXPECT_TRUE(task_.runAtOnce(probe)) << "beside a running shared item";
    enqueue("X", 2, false, exclusiveRuns.waiter());
    EXPECT_FALSE(task_.runAtOnce(probe)) << "behind a queued exclusive item";
    sharedRuns.open();
    ASSERT_TRUE(log_.waitFor("X+", kMustHappen));
    EXPECT_FALSE(task_.runAtOnce(probe)) << "beside a running exclusive item";
    // The one worker takes T only once it is done with X.
    enqueue("T", 1, true);
    exclusiveRuns.open();
    awaitEnd({ "T" });
    EXPECT_TRUE(task_.runAtOnce(probe)) << "once the exclusive item is done";
    const auto events = log_.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "P-"), 2);
}

TEST_F(TaskTest, AnItemThatThrowsIsLoggedAndAbandonedAndTheWorkerGoesOn)
{
    kav::test::LogCapture capture(kav::loggers::get(kav::loggers::kWork));
    start(1);
    enqueue("thrower", 2, false, [] { throw std::runtime_error("broken item"); });
    enqueue("next", 1, false);
    ASSERT_TRUE(log_.waitFor("next-", kMustHappen));
    EXPECT_FALSE(log_.waitFor("thrower-", 0s)) << "never reached its end";
    EXPECT_LT(log_.indexOf("thrower abandoned"), log_.indexOf("next+")) << "its client is not kept waiting";
    EXPECT_FALSE(log_.waitFor("next abandoned", 0s));
    const auto lines = capture.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, log4cxx::Level::getError());
    EXPECT_EQ(lines[0].message.rfind("Code[S1]: ", 0), 0u) << lines[0].message;
    EXPECT_NE(lines[0].message.find("broken item"), std::string::npos) << lines[0].message;
}

// Takes one item off the queue as a worker does: 0, or the errno of a refusal.
int takeOne(rs::WorkQueue& queue)
{
    ACE_Message_Block* block = nullptr;
    const int error = queue.dequeue_head(block) == -1 ? errno : 0;
    if (block != nullptr)
        block->release();
    return error;
}

// Two items that arrive together while every worker sleeps: the worker woken
// for the first must wake another for the second, or it waits for the first.
TEST(WorkQueueWakeUp, TwoItemsArrivingTogetherWakeTwoSleepingWorkers)
{
    rs::WorkQueue queue;
    std::future<int> first = std::async(std::launch::async, takeOne, std::ref(queue));
    std::future<int> second = std::async(std::launch::async, takeOne, std::ref(queue));
    while (queue.waitingThreads() < 2)
        std::this_thread::yield();
    auto* items = new ACE_Message_Block(1);
    items->next(new ACE_Message_Block(1));
    ASSERT_NE(queue.enqueue_tail(items), -1);
    const auto deadline = std::chrono::steady_clock::now() + kMustHappen;
    const bool bothTaken = first.wait_until(deadline) == std::future_status::ready
        && second.wait_until(deadline) == std::future_status::ready;
    if (!bothTaken)
        queue.deactivate(); // free the sleeper so that the test can end
    EXPECT_TRUE(bothTaken);
}

// A worker asleep on an empty queue must leave when the queue is shut down,
// or the service's stop waits for it forever.
TEST(WorkQueueShutdown, AWorkerWaitingOnAnEmptyQueueLeavesWhenItIsDeactivated)
{
    rs::WorkQueue queue;
    std::future<int> left = std::async(std::launch::async, takeOne, std::ref(queue));
    while (queue.waitingThreads() == 0)
        std::this_thread::yield();
    queue.deactivate();
    const bool leftInTime = left.wait_for(kMustHappen) == std::future_status::ready;
    if (!leftInTime) { // free the stuck worker so that the test can end
        queue.activate();
        queue.enqueue_tail(new ACE_Message_Block(1));
    }
    ASSERT_TRUE(leftInTime);
    EXPECT_EQ(left.get(), ESHUTDOWN);
}

} // namespace
