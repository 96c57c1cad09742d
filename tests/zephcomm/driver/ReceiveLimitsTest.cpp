// The receive limits: a message that starts arriving must finish in time, and
// (when asked for) a receive must get its first byte in time; a channel that
// overruns is closed with a time-out and the peer named in the log.

#include "zephcomm/driver/ReceiveWatch.h"
#include "zephcomm/driver/ReceiveWatchdog.h"
#include "zephcomm/driver/TcpDriver.h"

#include "DriverTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

using namespace drvtest;
using zephcommTcpDrv::ReceiveLimits;
using zephcommTcpDrv::ReceiveWatch;
using Verdict = zephcommTcpDrv::ReceiveWatch::Verdict;

namespace {

ReceiveLimits limitsOf(int64_t partialMs, int64_t idleMs)
{
    ReceiveLimits limits;
    limits.partialMs = partialMs;
    limits.idleMs = idleMs;
    return limits;
}

} // namespace

TEST(ReceiveWatch, APartialMessageIsTimedFromItsFirstBytesWhateverFollows)
{
    const ReceiveLimits limits = limitsOf(60000, 0);
    ReceiveWatch watch;
    watch.started(0);
    watch.gotSome(10, 1);
    // A byte now and then does not buy more time.
    watch.gotSome(30000, 2);
    watch.gotSome(60000, 3);
    EXPECT_EQ(watch.check(60009, limits), Verdict::Fine);
    EXPECT_EQ(watch.check(60010, limits), Verdict::Partial);
}

TEST(ReceiveWatch, ALargeMessageThatKeepsMovingIsNotCutOff)
{
    const ReceiveLimits limits = limitsOf(60000, 0);
    const size_t step = ReceiveWatch::kProgressBytes;
    ReceiveWatch watch;
    watch.started(0);
    watch.gotSome(0, 1000);
    watch.gotSome(50000, 1000 + step - 1);
    EXPECT_EQ(watch.check(60000, limits), Verdict::Partial) << "one byte short of the progress step";
    watch.gotSome(55000, 1000 + step);
    EXPECT_EQ(watch.check(60000 + 55000 - 1, limits), Verdict::Fine);
    EXPECT_EQ(watch.check(60000 + 55000, limits), Verdict::Partial) << "and then it stalls";
}

TEST(ReceiveWatch, AReceiveWithoutBytesIsJudgedByTheIdleLimitOnly)
{
    ReceiveWatch watch;
    watch.started(100);
    EXPECT_EQ(watch.check(100 + 3600 * 1000, limitsOf(60000, 0)), Verdict::Fine) << "idle off";
    EXPECT_EQ(watch.check(5099, limitsOf(60000, 5000)), Verdict::Fine);
    EXPECT_EQ(watch.check(5100, limitsOf(60000, 5000)), Verdict::Idle);
}

TEST(ReceiveWatch, OnlyAPendingReceiveIsJudgedAndEachStartsItsOwnClock)
{
    const ReceiveLimits limits = limitsOf(1000, 1000);
    ReceiveWatch watch;
    EXPECT_EQ(watch.check(1000000, limits), Verdict::Fine) << "no receive yet";
    watch.started(0);
    watch.gotSome(1, 1);
    watch.finished();
    EXPECT_EQ(watch.check(1000000, limits), Verdict::Fine);
    watch.started(1000000);
    EXPECT_EQ(watch.check(1000999, limits), Verdict::Fine) << "the new receive is neither late nor partial";
    EXPECT_EQ(watch.check(1001000, limits), Verdict::Idle);
}

TEST(ReceiveWatch, WithThePartialLimitOffAStartedMessageMayTakeAnyTime)
{
    ReceiveWatch watch;
    watch.started(0);
    watch.gotSome(0, 1);
    EXPECT_EQ(watch.check(int64_t(1) << 40, limitsOf(0, 5000)), Verdict::Fine);
}

TEST(ReceiveLimitsEnvironment, DefaultsValuesAndRejectedSettings)
{
    {
        ScopedEnv partial(ReceiveLimits::kPartialVariable, nullptr);
        ScopedEnv idle(ReceiveLimits::kIdleVariable, "");
        const ReceiveLimits limits = ReceiveLimits::fromEnvironment();
        EXPECT_EQ(limits.partialMs, 60000);
        EXPECT_EQ(limits.idleMs, 0);
    }
    {
        ScopedEnv partial(ReceiveLimits::kPartialVariable, "0");
        ScopedEnv idle(ReceiveLimits::kIdleVariable, "600");
        const ReceiveLimits limits = ReceiveLimits::fromEnvironment();
        EXPECT_EQ(limits.partialMs, 0) << "0 turns the limit off";
        EXPECT_EQ(limits.idleMs, 600000);
        EXPECT_TRUE(limits.any());
    }
    for (const char* bad : { "-5", "1.5", "ten", "99999999999" }) {
        ScopedEnv partial(ReceiveLimits::kPartialVariable, bad);
        ScopedEnv idle(ReceiveLimits::kIdleVariable, nullptr);
        std::vector<std::string> rejected;
        const ReceiveLimits limits = ReceiveLimits::fromEnvironment(&rejected);
        EXPECT_EQ(limits.partialMs, ReceiveLimits::kDefaultPartialMs) << bad;
        ASSERT_EQ(rejected.size(), 1u) << bad;
        EXPECT_EQ(rejected[0], std::string(ReceiveLimits::kPartialVariable) + "=" + bad);
    }
}

TEST(ReceiveLimitsEnvironment, TheDriverStartsWithTheVariablesAndLogsARejectedOne)
{
    ScopedEnv partial(ReceiveLimits::kPartialVariable, "7");
    ScopedEnv idle(ReceiveLimits::kIdleVariable, "soon");
    CapturingLogger logger;
    zephcommdrv::Driver* driver = nullptr;
    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &logger, nullptr, nullptr), 0);
    auto* tcp = dynamic_cast<zephcommTcpDrv::TcpDriver*>(driver);
    ASSERT_NE(tcp, nullptr);
    const ReceiveLimits limits = tcp->receiveWatchdog().limits();
    EXPECT_EQ(limits.partialMs, 7000);
    EXPECT_EQ(limits.idleMs, 0);
    EXPECT_TRUE(logger.contains("ignoring ZEPHCOMMDRV_TCP_IDLE_TIMEOUT_SEC=soon"));
    driver->destroy();
}

namespace {

// A connection whose driver's watchdog runs on a clock the test moves.
class ReceiveLimitsTest : public AcceptedChannelTest {
protected:
    void SetUp() override
    {
        AcceptedChannelTest::SetUp();
        if (HasFatalFailure())
            return;
        auto* tcp = dynamic_cast<zephcommTcpDrv::TcpDriver*>(driver);
        ASSERT_NE(tcp, nullptr);
        watchdog = &tcp->receiveWatchdog();
        watchdog->setClock([this] { return now.load(); });
        sockaddr_in local {};
        socklen_t length = sizeof local;
        ::getsockname(peer, reinterpret_cast<sockaddr*>(&local), &length);
        peerName = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
    }

    // Moves the clock to `to` and sweeps there.
    int sweepAt(int64_t to)
    {
        now = to;
        return watchdog->sweep();
    }

    zephcommTcpDrv::ReceiveWatchdog* watchdog = nullptr;
    std::atomic<int64_t> now { 1000000 };
    std::string peerName;
};

} // namespace

TEST_F(ReceiveLimitsTest, AReceiveThatGetsNoByteWithinTheIdleLimitClosesTheChannel)
{
    watchdog->setLimits(limitsOf(60000, 5000));
    const int64_t posted = now;
    const int64_t lateAt = posted + 5000 + watchdog->periodMs();
    char buffer[8];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    // The peer reads nothing: this send stays queued.
    const std::string blocker = pattern(16 << 20, 9);
    const void* buffers[] = { blocker.data() };
    const size_t lengths[] = { blocker.size() };
    ASSERT_EQ(channel->send(1, buffers, lengths, &handler, 0, nullptr), 0);

    EXPECT_EQ(sweepAt(lateAt - 1), 0);
    EXPECT_EQ(handler.pending(Kind::Receive), 0u);
    sweepAt(lateAt);

    auto received = handler.next(Kind::Receive);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->error, ETIMEDOUT) << "a time-out is positive";
    EXPECT_EQ(driver->errorText(received->error), "Operation timeout");
    auto sent = handler.next(Kind::Send);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->error, -ETIMEDOUT);
    EXPECT_TRUE(logger.contains("no message from " + peerName + " within 5000 ms, closing"));
    EXPECT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), zephcommdrv::kBadHandle);
}

TEST_F(ReceiveLimitsTest, AMessageThatStopsHalfWayClosesTheChannelAfterThePartialLimit)
{
    // Real time here: the limit starts when the driver has read the first
    // bytes, which the test cannot observe; it only waits for the outcome.
    watchdog->setClock([] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count();
    });
    watchdog->setLimits(limitsOf(40, 0));
    char buffer[16];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    ASSERT_TRUE(writeAll(peer, "12345"));

    auto received = handler.next(Kind::Receive);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->error, ETIMEDOUT);
    EXPECT_EQ(received->buffer, buffer);
    EXPECT_TRUE(logger.contains("message from " + peerName + " not complete within 40 ms, closing"));
    EXPECT_EQ(readExactly(peer, 1), "") << "the peer sees the end of the stream";
}

TEST_F(ReceiveLimitsTest, OnlyAPendingReceiveIsTimedAndEachReceiveStartsAfresh)
{
    watchdog->setLimits(limitsOf(60000, 5000));
    char buffer[4];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    ASSERT_TRUE(writeAll(peer, "abcd"));
    auto first = handler.next(Kind::Receive);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->error, 0);

    // Long after, with nothing pending: the channel is not idle, just unused.
    EXPECT_EQ(sweepAt(now + 3600 * 1000), 0);
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    EXPECT_EQ(sweepAt(now + 5000 + watchdog->periodMs() - 1), 0);
    ASSERT_TRUE(writeAll(peer, "wxyz"));
    auto second = handler.next(Kind::Receive);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->error, 0);
    EXPECT_EQ(std::string(buffer, 4), "wxyz");
}

TEST_F(ReceiveLimitsTest, ByDefaultAQuietConnectionStaysOpen)
{
    watchdog->setLimits(ReceiveLimits {});
    char buffer[4];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    EXPECT_EQ(sweepAt(now + int64_t(10) * 3600 * 1000), 0);
    ASSERT_TRUE(writeAll(peer, "late"));
    auto received = handler.next(Kind::Receive);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->error, 0);
}
