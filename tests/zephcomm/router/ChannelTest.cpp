#include "zephcomm/router/FakeDriver.h"

#include "common/LogCapture.h"
#include "zephcomm/router/ErrorReport.h"

#include "zephcomm/router/Channel.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zephcomm::test {
namespace {

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        channel = make<Channel>("local", &driver);
        channel->accept_CB(0, &io);
        ASSERT_TRUE(io.receivePending());
    }
    void TearDown() override
    {
        if (!io.destroyed)
            channel->destroy();
    }

    FakeDriver driver;
    FakeDriverChannel io;
    Ref<Channel> channel;
};

TEST_F(ChannelTest, BoundHandlerReceivesItsMessagesInOrderAndUnboundTypesAreDropped)
{
    auto handler = make<RecordingHandler>();
    ASSERT_EQ(channel->receive("I::a", handler.get()), 0);
    io.feed(frame("I::a", "first") + frame("I::nobody", "lost") + frame("I::a", "second"));
    auto events = handler->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, "I::a");
    EXPECT_EQ(events[0].payload, "first");
    EXPECT_EQ(events[1].payload, "second");
    EXPECT_EQ(events[1].channel, channel.get());
    EXPECT_TRUE(io.receivePending());
}

TEST_F(ChannelTest, DuplicateBindingIsRefusedAndTheFirstStays)
{
    auto first = make<RecordingHandler>();
    auto second = make<RecordingHandler>();
    ASSERT_EQ(channel->receive("I::a", first.get()), 0);
    EXPECT_EQ(channel->receive("I::a", second.get()), -61008);
    io.feed(frame("I::a", "x"));
    EXPECT_EQ(first->events().size(), 1u);
    EXPECT_TRUE(second->events().empty());
}

TEST_F(ChannelTest, ClosingTellsEveryBindingWithTheErrorAndNoMessage)
{
    auto one = make<RecordingHandler>();
    auto two = make<RecordingHandler>();
    ASSERT_EQ(channel->receive("I::a", one.get()), 0);
    ASSERT_EQ(channel->receive("I::b", two.get()), 0);
    io.failReceive(zephcommdrv::kNotConnected);
    for (auto* handler : { one.get(), two.get() }) {
        auto events = handler->events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, "receive");
        EXPECT_EQ(events[0].error, zephcommdrv::kNotConnected);
        EXPECT_TRUE(events[0].payload.empty());
    }
    EXPECT_TRUE(io.destroyed);
    EXPECT_FALSE(channel->isAttached());
}

TEST_F(ChannelTest, BadHeaderClosesTheConnection)
{
    auto handler = make<RecordingHandler>();
    ASSERT_EQ(channel->receive("I::a", handler.get()), 0);
    std::string message = frame("I::a", "x");
    message[4] = 1; // protocol version 1
    io.feed(message);
    EXPECT_TRUE(io.destroyed);
    ASSERT_EQ(handler->events().size(), 1u);
    EXPECT_EQ(handler->events()[0].error, -1);
}

TEST_F(ChannelTest, SendFramesThePayloadAndReportsCompletionOrTheDriversRefusal)
{
    auto handler = make<RecordingHandler>();
    int token = 0;
    ASSERT_EQ(channel->send("I::op", blockOf("abc"), handler.get(), &token), 0);
    ASSERT_EQ(io.sends.size(), 1u);
    EXPECT_EQ(io.sends[0].bytes, frame("I::op", "abc"));
    EXPECT_TRUE(handler->events().empty());
    io.completeSend(0);
    auto events = handler->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "send");
    EXPECT_EQ(events[0].text, std::to_string(reinterpret_cast<uintptr_t>(&token)));

    io.sendResult = -32;
    EXPECT_EQ(channel->send("I::op", blockOf("abc"), handler.get(), nullptr), -32);
    EXPECT_EQ(handler->events().size(), 1u);
}

// A handler that breaks (throws) on a message, and again when told of the close.
class BrokenHandler final : public CompletionHandler {
public:
    void accept_CB(int, const std::string&, Channel*) override { }
    void connect_CB(int, const std::string&, Channel*) override { }
    void send_CB(void*, int, Channel*) override { throw std::runtime_error("broken send"); }
    void receive_CB(int error, const std::string&, ACE_Message_Block* message, Channel*) override
    {
        if (message)
            message->release();
        throw std::runtime_error(error == 0 ? "broken handler" : "broken close");
    }
};

TEST_F(ChannelTest, AHandlerThatThrowsClosesItsConnectionWithAnErrorLine)
{
    kav::test::LogCapture capture(Loggers::channel());
    auto broken = make<BrokenHandler>();
    auto other = make<RecordingHandler>();
    ASSERT_EQ(channel->receive("I::a", broken.get()), 0);
    ASSERT_EQ(channel->receive("I::b", other.get()), 0);
    io.feed(frame("I::a", "x"));
    EXPECT_TRUE(io.destroyed);
    auto events = other->events();
    ASSERT_EQ(events.size(), 1u) << "the other binding is told of the close";
    EXPECT_LT(events[0].error, 0);

    std::vector<std::string> errors;
    for (const auto& line : capture.lines())
        if (line.level == log4cxx::Level::getError())
            errors.push_back(line.message);
    ASSERT_EQ(errors.size(), 2u);
    for (const std::string& line : errors)
        EXPECT_EQ(line.rfind("Code[S1]: ", 0), 0u) << line;
    EXPECT_NE(errors[0].find("broken handler"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("broken close"), std::string::npos) << errors[1];
}

TEST_F(ChannelTest, ASendCompletionThatThrowsClosesTheConnection)
{
    auto broken = make<BrokenHandler>();
    ASSERT_EQ(channel->send("I::op", blockOf("abc"), broken.get(), nullptr), 0);
    io.completeSend(0);
    EXPECT_TRUE(io.destroyed);
}

} // namespace
} // namespace zephcomm::test
