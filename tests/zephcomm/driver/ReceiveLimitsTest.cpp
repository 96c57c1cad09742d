// The receive limits: a message that starts arriving must finish in time, and
// (when asked for) a receive must get its first byte in time; a channel that
// overruns is closed with a time-out and the peer named in the log.

#include "zephcomm/driver/ReceiveWatch.h"
#include "zephcomm/driver/ReceiveWatchdog.h"
#include "zephcomm/driver/TcpDriver.h"

#include "DriverTestSupport.h"

#include <atomic>
#include <cerrno>

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

TEST(ReceiveWatch, APartialMessageIsTimedFromItsFirstBytesUnlessItKeepsMoving)
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

    // A large message that keeps moving is not cut off; then it stalls.
    const size_t step = ReceiveWatch::kProgressBytes;
    ReceiveWatch moving;
    moving.started(0);
    moving.gotSome(0, 1000);
    moving.gotSome(50000, 1000 + step - 1);
    EXPECT_EQ(moving.check(60000, limits), Verdict::Partial) << "one byte short of the progress step";
    moving.gotSome(55000, 1000 + step);
    EXPECT_EQ(moving.check(60000 + 55000 - 1, limits), Verdict::Fine);
    EXPECT_EQ(moving.check(60000 + 55000, limits), Verdict::Partial) << "and then it stalls";
}

TEST(ReceiveWatch, AReceiveWithoutBytesIsJudgedByTheIdleLimitOnly)
{
    ReceiveWatch watch;
    watch.started(100);
    EXPECT_EQ(watch.check(100 + 3600 * 1000, limitsOf(60000, 0)), Verdict::Fine) << "idle off";
    EXPECT_EQ(watch.check(5099, limitsOf(60000, 5000)), Verdict::Fine);
    EXPECT_EQ(watch.check(5100, limitsOf(60000, 5000)), Verdict::Idle);
    // Once bytes came, only the partial limit counts, and 0 turns it off.
    watch.gotSome(5100, 1);
    EXPECT_EQ(watch.check(int64_t(1) << 40, limitsOf(0, 5000)), Verdict::Fine);
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
