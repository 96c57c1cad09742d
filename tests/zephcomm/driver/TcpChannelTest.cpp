#include "DriverTestSupport.h"

#include <cerrno>
#include <functional>

using namespace drvtest;
using zephcommdrv::Channel;
using zephcommdrv::kAborted;
using zephcommdrv::kBadHandle;
using zephcommdrv::kInvalid;

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

// Waits for `count` send completions and checks their tokens (1..count) and error.
void expectSends(RecordingHandler& handler, int count, int error)
{
    for (int n = 1; n <= count; ++n) {
        auto done = handler.next(Kind::Send);
        ASSERT_TRUE(done.has_value()) << n;
        EXPECT_EQ(done->token, tokenOf(n));
        EXPECT_EQ(done->error, error) << n;
    }
}

} // namespace

TEST_F(TcpChannelTest, RefusalsGiveTheirCodesAndTheChannelServesOn)
{
    const char byte = 'b';
    const void* buffers[] = { &byte };
    const size_t lengths[] = { 1 };
    char buffer[4];
    Channel* unconnected = driver->createChannel();
    const struct {
        const char* what;
        std::function<int()> call;
        int expected;
    } rows[] = {
        { "no buffers", [&] { return channel->send(0, buffers, lengths, &handler, 0, nullptr); }, kInvalid },
        { "null buffers", [&] { return channel->send(1, nullptr, lengths, &handler, 0, nullptr); },
            kInvalid },
        { "null lengths", [&] { return channel->send(1, buffers, nullptr, &handler, 0, nullptr); },
            kInvalid },
        { "send without handler", [&] { return channel->send(1, buffers, lengths, nullptr, 0, nullptr); },
            kInvalid },
        { "null receive buffer", [&] { return channel->receive(nullptr, 4, &handler, 0); }, kInvalid },
        { "empty receive", [&] { return channel->receive(buffer, 0, &handler, 0); }, kInvalid },
        { "receive without handler", [&] { return channel->receive(buffer, 4, nullptr, 0); }, kInvalid },
        { "cancel of no receive", [&] { return channel->cancelReceive(); }, kBadHandle },
        { "send unconnected", [&] { return sendOne(unconnected, "x", handler, nullptr); }, kBadHandle },
        { "receive unconnected", [&] { return unconnected->receive(buffer, 4, &handler, 0); }, kBadHandle },
        { "cancel unconnected", [&] { return unconnected->cancelReceive(); }, kBadHandle },
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.call(), row.expected) << row.what;
    unconnected->destroy();
    EXPECT_EQ(handler.pending(Kind::Send), 0u);

    char first[4] = {};
    ASSERT_EQ(channel->receive(first, 4, &handler, 0), 0);
    ASSERT_TRUE(writeAll(peer, "wxyz"));
    auto received = handler.next(Kind::Receive);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->error, 0);
    EXPECT_EQ(std::string(first, 4), "wxyz");
    ASSERT_EQ(sendOne(channel, "ok", handler, tokenOf(1)), 0);
    expectSends(handler, 1, 0);

    // A second receive while one is pending is refused; cancelling the
    // pending one aborts it and ends the channel.
    ASSERT_EQ(channel->receive(first, 4, &handler, 0), 0);
    EXPECT_EQ(channel->receive(buffer, 4, &handler, 0), kBadHandle);
    EXPECT_EQ(channel->cancelReceive(), 0);
    auto cancelled = handler.next(Kind::Receive);
    ASSERT_TRUE(cancelled.has_value());
    EXPECT_EQ(cancelled->error, kAborted);
    EXPECT_EQ(channel->cancelSend(), kBadHandle);
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
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), kBadHandle);
    EXPECT_EQ(channel->receive(buffer, 1, &handler, 0), kBadHandle);
}

// The peer reads nothing in these, so a large send fills both socket
// buffers and stays queued with the sends behind it.
TEST_F(TcpChannelTest, ClosingWithQueuedSendsAbortsEachInOrder)
{
    const std::string blocker = pattern(16 << 20, 4);
    ASSERT_EQ(sendOne(channel, blocker, handler, tokenOf(1)), 0);
    for (int n = 2; n <= 4; ++n)
        ASSERT_EQ(sendOne(channel, "queued", handler, tokenOf(n)), 0);
    destroyChannel();
    expectSends(handler, 4, kAborted);
}

TEST_F(TcpChannelTest, ASendThatCannotFinishInTimeAbortsItselfAndTheQueueBehindIt)
{
    const std::string blocker = pattern(16 << 20, 7);
    // Long enough for the second send to queue behind it on a busy machine.
    ASSERT_EQ(sendOne(channel, blocker, handler, tokenOf(1), 500), 0);
    ASSERT_EQ(sendOne(channel, "behind", handler, tokenOf(2)), 0);
    expectSends(handler, 2, kAborted);
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), kBadHandle);
}

// The driver reads its bound when it starts.
class TcpChannelBound : public AcceptedChannelTest {
    ScopedEnv bound_ { "ZEPHCOMMDRV_TCP_MAX_QUEUED_BYTES", "1048576" };
};

TEST_F(TcpChannelBound, ASendBeyondTheQueuedBytesBoundClosesTheChannel)
{
    // Larger than the bound but alone: accepted. The peer never reads.
    const std::string first = pattern(4 << 20, 5);
    const std::string second = pattern(1 << 20, 6);
    ASSERT_EQ(sendOne(channel, first, handler, tokenOf(1)), 0);
    EXPECT_EQ(sendOne(channel, second, handler, tokenOf(2)), -ENOBUFS);
    expectSends(handler, 1, -ENOBUFS);
    EXPECT_FALSE(handler.next(Kind::Send, 50ms).has_value()) << "the refused send has no completion";
    EXPECT_EQ(sendOne(channel, "x", handler, nullptr), kBadHandle);
}
