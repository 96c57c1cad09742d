#include "zephcomm/driver/EventLoop.h"

#include "zephcomm/driver/DriverTestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using zephcommTcpDrv::EventLoop;

namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

// Records every callback it gets, in order, and lets a test wait for one.
class RecordingHandler : public ACE_Event_Handler {
public:
    explicit RecordingHandler(int fd = -1, bool counted = false)
        : fd_(fd)
    {
        if (counted)
            reference_counting_policy().value(Reference_Counting_Policy::ENABLED);
    }

    ACE_HANDLE get_handle() const override { return fd_; }
    int handle_input(ACE_HANDLE) override { return note("input", inputResult_); }
    int handle_output(ACE_HANDLE) override { return note("output", 0); }
    int handle_exception(ACE_HANDLE) override
    {
        const int result = note("exception", 0);
        if (onException)
            onException();
        return result;
    }
    int handle_close(ACE_HANDLE, ACE_Reactor_Mask) override { return note("close", 0); }
    int handle_timeout(const ACE_Time_Value&, const void* act) override
    {
        return note("timeout " + std::to_string(reinterpret_cast<uintptr_t>(act)), 0);
    }

    // Counted references, for the checks of what the loop holds.
    Reference_Count add_reference() override { return ++references_; }
    Reference_Count remove_reference() override { return --references_; }
    long references() const { return references_; }

    // Calls `onInput` on the loop's thread instead of recording a plain input.
    std::function<void()> onInput;
    // Called after a notification is recorded.
    std::function<void()> onException;
    int inputResult_ = 0;

    std::vector<std::string> calls() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    size_t count(const std::string& call) const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<size_t>(std::count(calls_.begin(), calls_.end(), call));
    }
    bool waitFor(const std::string& call, size_t times = 1) const
    {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, kPatience,
            [&] { return static_cast<size_t>(std::count(calls_.begin(), calls_.end(), call)) >= times; });
    }
    std::thread::id lastThread() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return lastThread_;
    }

private:
    int note(const std::string& call, int result)
    {
        if (call == "input" && onInput)
            onInput();
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(call);
        lastThread_ = std::this_thread::get_id();
        changed_.notify_all();
        return result;
    }

    int fd_;
    std::atomic<long> references_ { 1 };
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::thread::id lastThread_;
};

// Waits until the loop's thread waits for events (so that only a wake-up
// can bring it back); false when it did not within kPatience.
bool waitUntilAsleep(EventLoop& loop)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!loop.waiting()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// A loop running on its own thread, ended and joined when the test ends.
class RunningLoop {
public:
    explicit RunningLoop(zephcommdrv::Logger* logger = nullptr)
        : loop(logger)
        , thread_([this] { loop.run(); })
    {
    }
    ~RunningLoop() { stop(); }
    void stop()
    {
        if (!thread_.joinable())
            return;
        loop.end();
        thread_.join();
    }
    std::thread::id id() const { return thread_.get_id(); }

    EventLoop loop;

private:
    std::thread thread_;
};

class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair_), 0); }
    void TearDown() override
    {
        for (int fd : pair_) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    void sendByte() { ASSERT_EQ(::write(pair_[1], "x", 1), 1); }
    void readByte()
    {
        char byte;
        ASSERT_EQ(::read(pair_[0], &byte, 1), 1);
    }

    int pair_[2] = { -1, -1 };
};

} // namespace

TEST_F(EventLoopTest, ReadinessReachesTheHandlerForTheInterestItHas)
{
    RunningLoop running;
    RecordingHandler handler(pair_[0]);
    handler.onInput = [&] { readByte(); };
    ASSERT_EQ(running.loop.registerHandler(&handler, ACE_Event_Handler::READ_MASK), 0);
    sendByte();
    ASSERT_TRUE(handler.waitFor("input"));
    EXPECT_EQ(handler.lastThread(), running.id());

    // A socket with room to write is writable at once.
    ASSERT_EQ(running.loop.setMask(&handler, ACE_Event_Handler::WRITE_MASK), 0);
    ASSERT_TRUE(handler.waitFor("output"));
    ASSERT_EQ(running.loop.setMask(&handler, ACE_Event_Handler::NULL_MASK), 0);
    // A notification's turn comes after any upcall already under way.
    RecordingHandler marker;
    ASSERT_EQ(running.loop.notify(&marker), 0);
    ASSERT_TRUE(marker.waitFor("exception"));
    const size_t outputs = handler.count("output");
    sendByte();
    // An interest-free registration sees nothing: the loop goes round for
    // the next notification without calling the handler for the byte.
    ASSERT_EQ(running.loop.notify(&marker), 0);
    ASSERT_TRUE(marker.waitFor("exception", 2));
    EXPECT_EQ(handler.count("input"), 1u);
    EXPECT_EQ(handler.count("output"), outputs);

    EXPECT_EQ(running.loop.removeHandler(
                  &handler, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL),
        0);
    EXPECT_EQ(running.loop.removeHandler(&handler, ACE_Event_Handler::ALL_EVENTS_MASK), -1);
    EXPECT_EQ(handler.count("close"), 0u);
}

TEST_F(EventLoopTest, AHangUpWithoutInterestEndsTheRegistrationWithHandleClose)
{
    RunningLoop running;
    RecordingHandler handler(pair_[0]);
    ASSERT_EQ(running.loop.registerHandler(&handler, ACE_Event_Handler::NULL_MASK), 0);
    ::close(pair_[1]);
    pair_[1] = -1;
    ASSERT_TRUE(handler.waitFor("close"));
    // Ended, not reported again and again: it is no longer registered.
    EXPECT_EQ(running.loop.setMask(&handler, ACE_Event_Handler::READ_MASK), -1);
    running.stop();
    EXPECT_EQ(handler.count("close"), 1u);
}

TEST_F(EventLoopTest, AHandlerThatRefusesIsRemovedAndClosed)
{
    RunningLoop running;
    RecordingHandler handler(pair_[0]);
    handler.inputResult_ = -1;
    ASSERT_EQ(running.loop.registerHandler(&handler, ACE_Event_Handler::READ_MASK), 0);
    sendByte();
    ASSERT_TRUE(handler.waitFor("close"));
    running.stop();
    EXPECT_EQ(handler.calls(), (std::vector<std::string> { "input", "close" }));
}

// Whatever a callback throws stays on the loop's thread: the handler is
// ended as one that refuses, the fault is reported, and the loop goes on.
TEST_F(EventLoopTest, AHandlerThatThrowsIsReportedRemovedAndClosedAndTheLoopGoesOn)
{
    drvtest::CapturingLogger logger;
    RunningLoop running(&logger);
    RecordingHandler handler(pair_[0]);
    handler.onInput = [] { throw std::runtime_error("broken input"); };
    ASSERT_EQ(running.loop.registerHandler(&handler, ACE_Event_Handler::READ_MASK), 0);
    sendByte();
    ASSERT_TRUE(handler.waitFor("close"));
    RecordingHandler marker;
    marker.onException = [] { throw std::runtime_error("broken notification"); };
    ASSERT_EQ(running.loop.notify(&marker), 0);
    ASSERT_EQ(running.loop.notify(&marker), 0);
    ASSERT_TRUE(marker.waitFor("exception", 2)) << "the loop still runs after a throwing notification";
    running.stop();
    EXPECT_EQ(handler.calls(), (std::vector<std::string> { "close" }));
    EXPECT_TRUE(logger.contains("broken input"));
    EXPECT_TRUE(logger.contains("broken notification"));
}

TEST_F(EventLoopTest, TimersFireInDueOrderAndACancelledOneNever)
{
    RunningLoop running;
    RecordingHandler handler;
    ACE_Time_Value later, sooner, cancelled;
    later.msec(60);
    sooner.msec(20);
    cancelled.msec(40);
    running.loop.scheduleTimer(&handler, reinterpret_cast<const void*>(2), later);
    running.loop.scheduleTimer(&handler, reinterpret_cast<const void*>(1), sooner);
    const long dropped = running.loop.scheduleTimer(&handler, reinterpret_cast<const void*>(3), cancelled);
    EXPECT_EQ(running.loop.cancelTimer(dropped), 0);
    EXPECT_EQ(running.loop.cancelTimer(dropped), -1);
    ASSERT_TRUE(handler.waitFor("timeout 2"));
    EXPECT_EQ(handler.calls(), (std::vector<std::string> { "timeout 1", "timeout 2" }));
    EXPECT_EQ(handler.lastThread(), running.id());
}

TEST_F(EventLoopTest, ANotificationThatMayWaitArrivesByItsDeadlineEveryTime)
{
    // The loop sleeps without a time limit between them: each one needs its
    // own deadline wake-up, the second one after the first has fired.
    RunningLoop running;
    RecordingHandler deferred;
    for (size_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(waitUntilAsleep(running.loop));
        ASSERT_EQ(running.loop.notify(&deferred, 2ms), 0);
        ASSERT_TRUE(deferred.waitFor("exception", round)) << "round " << round;
    }
}

TEST_F(EventLoopTest, ANotificationThatMayWaitRidesAlongWithTheNextWakeUp)
{
    RunningLoop running;
    RecordingHandler deferred;
    RecordingHandler marker;
    ASSERT_EQ(running.loop.notify(&deferred, std::chrono::hours(1)), 0);
    // A prompt notification wakes the loop; the one queued before it runs
    // in the same turn, long before its deadline.
    ASSERT_EQ(running.loop.notify(&marker), 0);
    ASSERT_TRUE(marker.waitFor("exception"));
    EXPECT_EQ(deferred.count("exception"), 1u);
}

TEST_F(EventLoopTest, NotificationsFromManyThreadsEachRunOnceOnTheLoop)
{
    RunningLoop running;
    RecordingHandler handler(-1, true);
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(running.loop.notify(&handler), 0);
        });
    for (auto& sender : senders)
        sender.join();
    ASSERT_TRUE(handler.waitFor("exception", kThreads * kEach));
    EXPECT_EQ(handler.lastThread(), running.id());
    running.stop();
    EXPECT_EQ(handler.count("exception"), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(handler.references(), 1);
    EXPECT_EQ(running.loop.notify(&handler), -1); // ended
}

TEST_F(EventLoopTest, ReferencesAreHeldWhileRegisteredAndGivenBackAfterTheWaitEnds)
{
    RunningLoop running;
    RecordingHandler handler(pair_[0], true);
    // Removes itself from inside its own upcall, as a closing channel does:
    // it must stay held until the loop is done with the wait's events.
    long heldInUpcall = 0;
    handler.onInput = [&] {
        readByte();
        running.loop.removeHandler(
            &handler, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        heldInUpcall = handler.references();
    };
    ASSERT_EQ(running.loop.registerHandler(&handler, ACE_Event_Handler::READ_MASK), 0);
    EXPECT_EQ(handler.references(), 2);
    sendByte();
    ASSERT_TRUE(handler.waitFor("input"));
    RecordingHandler marker;
    ASSERT_EQ(running.loop.notify(&marker), 0);
    ASSERT_TRUE(marker.waitFor("exception"));
    EXPECT_EQ(heldInUpcall, 2);
    EXPECT_EQ(handler.references(), 1);
}

TEST_F(EventLoopTest, ClosingTheLoopTellsWhatIsStillRegisteredAndDropsItsHolds)
{
    RecordingHandler registered(pair_[0], true);
    RecordingHandler timed(-1, true);
    {
        EventLoop loop; // never run: everything is still queued when it goes
        ASSERT_EQ(loop.registerHandler(&registered, ACE_Event_Handler::READ_MASK), 0);
        ACE_Time_Value hour;
        hour.sec(3600);
        loop.scheduleTimer(&timed, nullptr, hour);
        ASSERT_EQ(loop.notify(&timed), 0);
        EXPECT_EQ(timed.references(), 3);
    }
    EXPECT_EQ(registered.calls(), (std::vector<std::string> { "close" }));
    EXPECT_EQ(registered.references(), 1);
    EXPECT_TRUE(timed.calls().empty());
    EXPECT_EQ(timed.references(), 1);
}
