#include "rs/core/Task.h"
#include "rs/core/WorkQueue.h"

#include "common/LogCapture.h"
#include "common/Loggers.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <stdexcept>
#include <mutex>
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
    template <class Duration>
    bool waitFor(const std::string& event, Duration limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return contains(event); });
    }
    std::vector<std::string> events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    size_t indexOf(const std::string& event)
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < events_.size(); ++i)
            if (events_[i] == event)
                return i;
        return events_.size();
    }

private:
    bool contains(const std::string& event) const
    {
        for (const auto& e : events_)
            if (e == event)
                return true;
        return false;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// A work item that logs its start and end and can be told what to do in between.
class ScriptedWork : public rs::Work {
public:
    using Body = std::function<void()>;
    ScriptedWork(EventLog& log, std::string name, int32_t kind, bool shared, Body body = {},
                 std::atomic<int>* destroyed = nullptr)
        : log_(log), name_(std::move(name)), kind_(kind), shared_(shared), body_(std::move(body)),
          destroyed_(destroyed)
    {
    }
    ~ScriptedWork() override
    {
        if (destroyed_)
            ++*destroyed_;
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

private:
    EventLog& log_;
    std::string name_;
    int32_t kind_;
    bool shared_;
    Body body_;
    std::atomic<int>* destroyed_;
};

// A gate that items wait on until the test opens it.
class Gate {
public:
    Gate() : future_(promise_.get_future().share()) {}
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
        ASSERT_EQ(task_.enqueueWork(new ScriptedWork(log_, name, kind, shared, std::move(body), &destroyed_)),
                  0);
    }
    // Waits until every listed item has finished.
    void awaitEnd(std::initializer_list<const char*> names)
    {
        for (auto* name : names)
            ASSERT_TRUE(log_.waitFor(std::string(name) + "-", kMustHappen)) << name;
    }

    EventLog log_;
    std::atomic<int> destroyed_{0};
    rs::Task task_;
};

TEST_F(TaskTest, ExclusiveItemKeepsLaterSharedItemWaiting)
{
    start(2);
    // The exclusive item looks for the shared item's start while it runs.
    enqueue("X", 2, false, [this] { log_.waitFor("S+", kMustNotHappen); });
    ASSERT_TRUE(log_.waitFor("X+", kMustHappen));
    enqueue("S", 3, true);
    awaitEnd({"X", "S"});
    EXPECT_LT(log_.indexOf("X-"), log_.indexOf("S+"));
}

TEST_F(TaskTest, ExclusiveItemWaitsForRunningSharedItemsAndHoldsBackLaterOnes)
{
    start(3);
    enqueue("S1", 3, true, [this] { log_.waitFor("X+", kMustNotHappen); });
    ASSERT_TRUE(log_.waitFor("S1+", kMustHappen));
    enqueue("X", 2, false, [this] { log_.waitFor("S2+", kMustNotHappen); });
    enqueue("S2", 2, true);
    awaitEnd({"S1", "X", "S2"});
    EXPECT_LT(log_.indexOf("S1-"), log_.indexOf("X+"));
    EXPECT_LT(log_.indexOf("X-"), log_.indexOf("S2+"));
}

TEST_F(TaskTest, SharedItemsRunAtTheSameTime)
{
    start(2);
    // Each item finishes only once it has seen the other one running.
    enqueue("A", 3, true, [this] { EXPECT_TRUE(log_.waitFor("B+", kMustHappen)); });
    enqueue("B", 3, true, [this] { EXPECT_TRUE(log_.waitFor("A+", kMustHappen)); });
    awaitEnd({"A", "B"});
}

TEST_F(TaskTest, ABurstWakesAWorkerForEveryItemThatNeedsOne)
{
    // Idle workers are woken one at a time; each item here finishes only once
    // all of them run, so the burst completes only if every wake-up passes
    // the next one on.
    start(4);
    // Only a burst that finds every worker waiting shows it.
    const auto deadline = std::chrono::steady_clock::now() + kMustHappen;
    while (task_.idleWorkers() < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(task_.idleWorkers(), 4u);
    const std::vector<std::string> names { "A", "B", "C", "D" };
    auto seeAll = [this, names] {
        for (const auto& name : names)
            EXPECT_TRUE(log_.waitFor(name + "+", kMustHappen)) << name;
    };
    for (const auto& name : names)
        enqueue(name, 3, true, seeAll);
    awaitEnd({ "A", "B", "C", "D" });
}

TEST_F(TaskTest, AnItemRunsAtOnceOnlyWhileNoExclusiveItemIsQueuedOrRunning)
{
    start(1);
    Gate sharedRuns;
    Gate exclusiveRuns;
    ScriptedWork probe(log_, "P", 3, true);
    enqueue("S", 3, true, sharedRuns.waiter());
    ASSERT_TRUE(log_.waitFor("S+", kMustHappen));
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

TEST_F(TaskTest, HigherKindIsTakenFirstAndEqualKindsKeepArrivalOrder)
{
    start(1);
    Gate gate;
    enqueue("blocker", 3, false, gate.waiter());
    ASSERT_TRUE(log_.waitFor("blocker+", kMustHappen));
    enqueue("get", 1, true);
    enqueue("list1", 3, true);
    enqueue("add", 2, false);
    enqueue("list2", 3, true);
    enqueue("cancel", 4, true);
    gate.open();
    awaitEnd({"get"});
    std::vector<std::string> starts;
    for (const auto& e : log_.events())
        if (e.back() == '+' && e != "blocker+")
            starts.push_back(e.substr(0, e.size() - 1));
    EXPECT_EQ(starts, (std::vector<std::string>{"cancel", "list1", "list2", "add", "get"}));
}

TEST_F(TaskTest, HangUpEndsEveryWorkerAndLeavesTheHangUpBlockQueued)
{
    start(4);
    enqueue("last", 1, true);
    awaitEnd({"last"});
    task_.hangUp();
    EXPECT_EQ(task_.thr_count(), 0u);
    ASSERT_EQ(task_.msg_queue()->message_count(), 1u);
    ACE_Message_Block* head = nullptr;
    ASSERT_EQ(task_.msg_queue()->peek_dequeue_head(head), 1);
    EXPECT_EQ(head->msg_type(), ACE_Message_Block::MB_HANGUP);
}

TEST(TaskLifetime, ItemsBehindTheHangUpAreDeletedUnprocessed)
{
    EventLog log;
    std::atomic<int> destroyed{0};
    {
        rs::Task task;
        ASSERT_NE(task.openWorkers(2), -1);
        task.hangUp();
        ASSERT_EQ(task.enqueueWork(new ScriptedWork(log, "late", 4, true, {}, &destroyed)), 0);
        EXPECT_EQ(destroyed.load(), 0);
    }
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_TRUE(log.events().empty());
}

TEST_F(TaskTest, ProcessedItemsAreDeleted)
{
    start(2);
    enqueue("a", 1, true);
    enqueue("b", 2, false);
    awaitEnd({"a", "b"});
    task_.hangUp();
    EXPECT_EQ(destroyed_.load(), 2);
}

TEST_F(TaskTest, FailedEnqueueDeletesTheItem)
{
    EXPECT_EQ(task_.enqueueWork(nullptr), -1);
    task_.msg_queue()->close();
    EXPECT_EQ(task_.enqueueWork(new ScriptedWork(log_, "refused", 1, true, {}, &destroyed_)), -1);
    EXPECT_EQ(destroyed_.load(), 1);
}

TEST_F(TaskTest, AnItemThatThrowsIsLoggedAndAbandonedAndTheWorkerGoesOn)
{
    kav::test::LogCapture capture(kav::loggers::get(kav::loggers::kWork));
    start(1);
    enqueue("thrower", 2, false, [] { throw std::runtime_error("broken item"); });
    enqueue("next", 1, false);
    ASSERT_TRUE(log_.waitFor("next-", kMustHappen));
    EXPECT_EQ(log_.indexOf("thrower-"), log_.events().size()); // never reached its end
    EXPECT_LT(log_.indexOf("thrower abandoned"), log_.indexOf("next+")) << "its client is not kept waiting";
    EXPECT_EQ(log_.indexOf("next abandoned"), log_.events().size());
    const auto lines = capture.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, log4cxx::Level::getError());
    EXPECT_EQ(lines[0].message.rfind("Code[S1]: ", 0), 0u) << lines[0].message;
    EXPECT_NE(lines[0].message.find("broken item"), std::string::npos) << lines[0].message;
}

TEST(TaskOpen, RefusesAnEmptyPool)
{
    rs::Task task;
    EXPECT_EQ(task.openWorkers(0), -1);
}

// A worker asleep on an empty queue must leave when the queue is shut down,
// or the service's stop waits for it forever.
TEST(WorkQueueShutdown, AWorkerWaitingOnAnEmptyQueueLeavesWhenItIsDeactivated)
{
    rs::WorkQueue queue;
    std::promise<int> leftWith;
    std::future<int> left = leftWith.get_future();
    std::thread worker([&] {
        ACE_Message_Block* block = nullptr;
        const int rc = queue.dequeue_head(block);
        leftWith.set_value(rc == -1 ? errno : 0);
        if (block != nullptr)
            block->release();
    });
    while (queue.waitingThreads() == 0)
        std::this_thread::yield();
    queue.deactivate();
    const bool leftInTime = left.wait_for(kMustHappen) == std::future_status::ready;
    if (!leftInTime) { // free the stuck worker so that the test can end
        queue.activate();
        queue.enqueue_tail(new ACE_Message_Block(1));
    }
    worker.join();
    ASSERT_TRUE(leftInTime);
    EXPECT_EQ(left.get(), ESHUTDOWN);
}

} // namespace
