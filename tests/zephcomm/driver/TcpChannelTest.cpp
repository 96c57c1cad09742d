#include "DriverTestSupport.h"

#include <cerrno>
#include <cstring>

using namespace drvtest;
using zephcommdrv::Channel;

namespace {

class TcpChannelTest : public AcceptedChannelTest { };

int sendOne(
    Channel* channel, const std::string& bytes, RecordingHandler& handler, void* token, long timeoutMs = 0)
{
    const void* buffers[] = { bytes.data() };
    const size_t lengths[] = { bytes.size() };
    return channel->send(1, buffers, lengths, &handler, timeoutMs, token);
}

void* tokenOf(int n)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(n));
}

} // namespace

TEST_F(TcpChannelTest, ReceiveOfSixteenCompletesOnceWhenThePeerSendsTenThenSix)
{
    char buffer[16] = {};
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);

    ASSERT_TRUE(writeAll(peer, "0123456789"));
    // Ten bytes are not enough: no completion may show up for them.
    EXPECT_FALSE(handler.next(Kind::Receive, 100ms).has_value());
    ASSERT_TRUE(writeAll(peer, "abcdef"));

    auto done = handler.next(Kind::Receive);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, 0);
    EXPECT_EQ(done->buffer, buffer);
    EXPECT_EQ(done->length, 16u);
    EXPECT_EQ(std::string(buffer, 16), "0123456789abcdef");
    EXPECT_EQ(handler.pending(Kind::Receive), 0u);
}

TEST_F(TcpChannelTest, ASecondReceiveWhileOneIsPendingIsRefusedAndTheFirstCompletes)
{
    char first[4] = {};
    char second[4] = {};
    ASSERT_EQ(channel->receive(first, 4, &handler, 0), 0);
    EXPECT_EQ(channel->receive(second, 4, &handler, 0), zephcommdrv::kBadHandle);
    EXPECT_TRUE(logger.contains("not allowed multiple calls, return EBADF"));

    ASSERT_TRUE(writeAll(peer, "wxyz"));
    auto done = handler.next(Kind::Receive);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, 0);
    EXPECT_EQ(done->buffer, first);
    EXPECT_EQ(std::string(first, 4), "wxyz");
}

TEST_F(TcpChannelTest, SendsCompleteInIssueOrderAndTheBytesArriveInOrder)
{
    const std::string big = pattern(3 << 20, 1);
    const std::string small = pattern(10, 2);
    const std::string head = "head";
    const std::string tail = pattern(1000, 3);
    ASSERT_EQ(sendOne(channel, big, handler, tokenOf(1)), 0);
    ASSERT_EQ(sendOne(channel, small, handler, tokenOf(2)), 0);
    // A gathered send: its buffers leave in order, as one request.
    const void* buffers[] = { head.data(), tail.data() };
    const size_t lengths[] = { head.size(), tail.size() };
    ASSERT_EQ(channel->send(2, buffers, lengths, &handler, 0, tokenOf(3)), 0);

    EXPECT_EQ(
        readExactly(peer, big.size() + small.size() + head.size() + tail.size()), big + small + head + tail);
    for (int expected = 1; expected <= 3; ++expected) {
        auto done = handler.next(Kind::Send);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->token, tokenOf(expected));
        EXPECT_EQ(done->error, 0);
        EXPECT_EQ(done->channel, channel);
    }
}

TEST_F(TcpChannelTest, ClosingWithQueuedSendsReportsEachAsAborted)
{
    // The peer reads nothing, so this fills both socket buffers and stays.
    const std::string blocker = pattern(16 << 20, 4);
    const std::string small = "queued";
    ASSERT_EQ(sendOne(channel, blocker, handler, tokenOf(100)), 0);
    for (int n = 1; n <= 3; ++n)
        ASSERT_EQ(sendOne(channel, small, handler, tokenOf(n)), 0);

    destroyChannel();
    auto first = handler.next(Kind::Send);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->token, tokenOf(100));
    EXPECT_EQ(first->error, zephcommdrv::kAborted);
    for (int n = 1; n <= 3; ++n) {
        auto done = handler.next(Kind::Send);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->token, tokenOf(n));
        EXPECT_EQ(done->error, zephcommdrv::kAborted);
    }
    EXPECT_TRUE(logger.contains("TcpChannel::closeChannel(): this="));
}

TEST_F(TcpChannelTest, ThePeerClosingDuringAReceiveGivesNotConnected)
{
    char buffer[16];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    ASSERT_TRUE(writeAll(peer, "short"));
    closePeer();

    auto done = handler.next(Kind::Receive);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, zephcommdrv::kNotConnected);
    EXPECT_EQ(done->length, sizeof buffer);
    // The channel is closed now.
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), zephcommdrv::kBadHandle);
    EXPECT_EQ(channel->receive(buffer, 1, &handler, 0), zephcommdrv::kBadHandle);
}

TEST_F(TcpChannelTest, AReceiveTimeOutAbortsAndClosesTheConnection)
{
    char buffer[8];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 20), 0);
    auto done = handler.next(Kind::Receive);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, zephcommdrv::kAborted);
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), zephcommdrv::kBadHandle);
    // The peer sees the end of the stream.
    EXPECT_EQ(readExactly(peer, 1), "");
}

TEST_F(TcpChannelTest, ASendThatCannotFinishInTimeAbortsItselfAndTheQueueBehindIt)
{
    const std::string blocker = pattern(16 << 20, 7);
    ASSERT_EQ(sendOne(channel, blocker, handler, tokenOf(1), 20), 0);
    ASSERT_EQ(sendOne(channel, "behind", handler, tokenOf(2)), 0);
    for (int n = 1; n <= 2; ++n) {
        auto done = handler.next(Kind::Send);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->token, tokenOf(n));
        EXPECT_EQ(done->error, zephcommdrv::kAborted);
    }
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), zephcommdrv::kBadHandle);
}

TEST_F(TcpChannelTest, CancelReceiveAbortsThePendingReceiveOnly)
{
    EXPECT_EQ(channel->cancelReceive(), zephcommdrv::kBadHandle);
    EXPECT_TRUE(logger.contains("no current receive started, return EBADF"));
    char buffer[8];
    ASSERT_EQ(channel->receive(buffer, sizeof buffer, &handler, 0), 0);
    EXPECT_EQ(channel->cancelReceive(), 0);
    auto done = handler.next(Kind::Receive);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, zephcommdrv::kAborted);
    EXPECT_EQ(channel->cancelSend(), zephcommdrv::kBadHandle);
}

TEST_F(TcpChannelTest, AnUnconnectedChannelRefusesEveryOperation)
{
    Channel* unconnected = driver->createChannel();
    char buffer[4];
    EXPECT_EQ(sendOne(unconnected, "x", handler, nullptr), zephcommdrv::kBadHandle);
    EXPECT_TRUE(logger.contains("TcpChannel::send() : debug - Channel already disconnected, return EBADF"));
    EXPECT_EQ(unconnected->receive(buffer, 4, &handler, 0), zephcommdrv::kBadHandle);
    EXPECT_EQ(unconnected->cancelSend(), zephcommdrv::kBadHandle);
    EXPECT_EQ(unconnected->cancelReceive(), zephcommdrv::kBadHandle);
    EXPECT_FALSE(unconnected->option("TCP_NODELAY", "1"));
    unconnected->destroy();
}

TEST_F(TcpChannelTest, BadArgumentsAreRefusedAndTheChannelServesOn)
{
    const char byte = 'b';
    const void* buffers[] = { &byte };
    const size_t lengths[] = { 1 };
    char buffer[4];
    EXPECT_EQ(channel->send(0, buffers, lengths, &handler, 0, nullptr), zephcommdrv::kInvalid);
    EXPECT_EQ(channel->send(1, nullptr, lengths, &handler, 0, nullptr), zephcommdrv::kInvalid);
    EXPECT_EQ(channel->send(1, buffers, nullptr, &handler, 0, nullptr), zephcommdrv::kInvalid);
    EXPECT_EQ(channel->send(1, buffers, lengths, nullptr, 0, nullptr), zephcommdrv::kInvalid);
    EXPECT_EQ(channel->receive(nullptr, 4, &handler, 0), zephcommdrv::kInvalid);
    EXPECT_EQ(channel->receive(buffer, 0, &handler, 0), zephcommdrv::kInvalid);
    EXPECT_EQ(channel->receive(buffer, 4, nullptr, 0), zephcommdrv::kInvalid);
    EXPECT_EQ(handler.pending(Kind::Send), 0u);

    ASSERT_EQ(sendOne(channel, "ok", handler, nullptr), 0);
    auto sent = handler.next(Kind::Send);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->error, 0);
}

TEST_F(TcpChannelTest, NewConnectionsCarryTheDefaultOptions)
{
    EXPECT_EQ(channel->option("TCP_SEND_BUFFER_SIZE"), "65535");
    EXPECT_EQ(channel->option("TCP_RECV_BUFFER_SIZE"), "65535");
    EXPECT_EQ(channel->option("TCP_NODELAY"), "1");
    if (!std::getenv("ZEPHCOMMDRV_TCP_KEEPALIVE_TIME")) {
        EXPECT_FALSE(channel->option("TCP_KEEP_ALIVE_TIME").has_value());
    }
    EXPECT_FALSE(channel->option("NO_SUCH_OPTION").has_value());
    EXPECT_FALSE(channel->option("NO_SUCH_OPTION", "1"));
    EXPECT_TRUE(logger.contains("TcpChannel::option() : ERROR setting to unknown option NO_SUCH_OPTION"));
    EXPECT_TRUE(channel->option("TCP_NODELAY", "0"));
    EXPECT_EQ(channel->option("TCP_NODELAY"), "0");
}

TEST(TcpChannelBound, ASendBeyondTheQueuedBytesBoundClosesTheChannel)
{
    ScopedEnv bound("ZEPHCOMMDRV_TCP_MAX_QUEUED_BYTES", "1048576");
    CapturingLogger logger;
    zephcommdrv::Driver* driver = nullptr;
    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 2, &logger, "TCPIPv4", nullptr), 0);
    zephcommdrv::Acceptor* acceptor = driver->createAcceptor("127.0.0.1:0");
    ASSERT_NE(acceptor, nullptr);
    RecordingHandler accepts;
    ASSERT_EQ(acceptor->startAccept(&accepts, 0), 0);
    const int peer = rawConnect(portOf(acceptor));
    auto accepted = accepts.next(Kind::Accept);
    ASSERT_TRUE(accepted && accepted->channel);
    Channel* channel = accepted->channel;

    RecordingHandler handler;
    // Larger than the bound but alone: accepted. The peer never reads.
    const std::string first = pattern(4 << 20, 5);
    const std::string second = pattern(1 << 20, 6);
    ASSERT_EQ(sendOne(channel, first, handler, tokenOf(1)), 0);
    EXPECT_EQ(sendOne(channel, second, handler, tokenOf(2)), -ENOBUFS);
    auto done = handler.next(Kind::Send);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->token, tokenOf(1));
    EXPECT_EQ(done->error, -ENOBUFS);
    EXPECT_FALSE(handler.next(Kind::Send, 50ms).has_value()) << "the refused send has no completion";
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), zephcommdrv::kBadHandle);

    channel->destroy();
    acceptor->destroy();
    accepts.next(Kind::Accept);
    driver->destroy();
    ::close(peer);
}

TEST(TcpDriverErrors, TextsFollowTheErrorConvention)
{
    CapturingLogger logger;
    zephcommdrv::Driver* driver = nullptr;
    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &logger, "", nullptr), 0);
    EXPECT_EQ(driver->errorText(0), "No error");
    EXPECT_EQ(driver->errorText(5), "Operation timeout");
    EXPECT_EQ(driver->errorText(zephcommdrv::kAborted), "Operation aborted");
    EXPECT_EQ(driver->errorText(-ECONNREFUSED), std::strerror(ECONNREFUSED));
    EXPECT_EQ(driver->errorText(zephcommdrv::kNotConnected), std::strerror(ENOTCONN));
    EXPECT_EQ(driver->errorText(-99999), "unknown error : -99999");
    EXPECT_STREQ(driver->defaultAddress(), "0.0.0.0:0");
    driver->destroy();
}
