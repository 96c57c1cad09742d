#include "zephcomm/driver/ChannelOptions.h"

#include "DriverTestSupport.h"

using namespace drvtest;
using zephcommTcpDrv::ChannelOptions;

namespace {

class ChannelOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { fd = ::socket(AF_INET, SOCK_STREAM, 0); }
    void TearDown() override { ::close(fd); }

    int intOption(int level, int name)
    {
        int value = -1;
        socklen_t length = sizeof value;
        ::getsockopt(fd, level, name, &value, &length);
        return value;
    }

    CapturingLogger logger;
    ChannelOptions options { &logger };
    int fd = -1;
};

} // namespace

TEST_F(ChannelOptionsTest, ReceiveBufferVariableOverridesTheGivenValueWhenAcceptable)
{
    {
        ScopedEnv env("ZEPHCOMMDRV_TCP_RECV_BUFFER_SIZE", "100000");
        ASSERT_TRUE(options.apply(fd, "TCP_RECV_BUFFER_SIZE", "65535"));
        EXPECT_EQ(options.value("TCP_RECV_BUFFER_SIZE"), "100000");
        EXPECT_GE(intOption(SOL_SOCKET, SO_RCVBUF), 100000);
    }
    {
        ScopedEnv env("ZEPHCOMMDRV_TCP_RECV_BUFFER_SIZE", "1000");
        ASSERT_TRUE(options.apply(fd, "TCP_RECV_BUFFER_SIZE", "70000"));
        EXPECT_EQ(options.value("TCP_RECV_BUFFER_SIZE"), "70000");
    }
    ScopedEnv unset("ZEPHCOMMDRV_TCP_RECV_BUFFER_SIZE", nullptr);
    EXPECT_FALSE(options.apply(fd, "TCP_RECV_BUFFER_SIZE", "1000"));
    EXPECT_EQ(options.value("TCP_RECV_BUFFER_SIZE"), "70000") << "a refused value leaves the last one";
    EXPECT_TRUE(logger.contains("TcpChannel::option() : RECV_BUFFER_SIZE - error setting to value 1000"));
}

TEST_F(ChannelOptionsTest, SendBufferHasTheSameRules)
{
    ScopedEnv unset("ZEPHCOMMDRV_TCP_SEND_BUFFER_SIZE", nullptr);
    EXPECT_FALSE(options.apply(fd, "TCP_SEND_BUFFER_SIZE", "65534"));
    EXPECT_FALSE(options.apply(fd, "TCP_SEND_BUFFER_SIZE", "lots"));
    EXPECT_TRUE(logger.contains("TcpChannel::option() : SEND_BUFFER_SIZE - error setting to value 65534"));
    ASSERT_TRUE(options.apply(fd, "TCP_SEND_BUFFER_SIZE", "200000"));
    EXPECT_GE(intOption(SOL_SOCKET, SO_SNDBUF), 200000);
    ScopedEnv env("ZEPHCOMMDRV_TCP_SEND_BUFFER_SIZE", "300000");
    ASSERT_TRUE(options.apply(fd, "TCP_SEND_BUFFER_SIZE", "65535"));
    EXPECT_EQ(options.value("TCP_SEND_BUFFER_SIZE"), "300000");
}

TEST_F(ChannelOptionsTest, KeepAliveBelowThreeMinutesIsRefusedAndAboveSetsIdleTime)
{
    ScopedEnv unset("ZEPHCOMMDRV_TCP_KEEPALIVE_TIME", nullptr);
    EXPECT_FALSE(options.apply(fd, "TCP_KEEP_ALIVE_TIME", "120"));
    EXPECT_TRUE(logger.contains("TcpChannel::option() : KEEPALIVE_TIME - error setting to wrong value 120"));
    EXPECT_FALSE(options.value("TCP_KEEP_ALIVE_TIME").has_value());

    ASSERT_TRUE(options.apply(fd, "TCP_KEEP_ALIVE_TIME", "180"));
    EXPECT_EQ(options.value("TCP_KEEP_ALIVE_TIME"), "180");
    EXPECT_EQ(intOption(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(IPPROTO_TCP, TCP_KEEPIDLE), 180);
    EXPECT_EQ(intOption(IPPROTO_TCP, TCP_KEEPINTVL), 1);

    ScopedEnv env("ZEPHCOMMDRV_TCP_KEEPALIVE_TIME", "600");
    ASSERT_TRUE(options.apply(fd, "TCP_KEEP_ALIVE_TIME", "180"));
    EXPECT_EQ(intOption(IPPROTO_TCP, TCP_KEEPIDLE), 600);
}

TEST_F(ChannelOptionsTest, NoDelayTakesZeroOrOneAndRecordsTheGivenString)
{
    ScopedEnv unset("ZEPHCOMMDRV_TCP_NODELAY", nullptr);
    EXPECT_FALSE(options.apply(fd, "TCP_NODELAY", "2"));
    EXPECT_FALSE(options.apply(fd, "TCP_NODELAY", "-1"));
    EXPECT_TRUE(logger.contains("TcpChannel::option() : TCP_NODELAY - error setting to value 2"));
    ASSERT_TRUE(options.apply(fd, "TCP_NODELAY", "1"));
    EXPECT_NE(intOption(IPPROTO_TCP, TCP_NODELAY), 0);

    ScopedEnv env("ZEPHCOMMDRV_TCP_NODELAY", "1");
    ASSERT_TRUE(options.apply(fd, "TCP_NODELAY", "0"));
    EXPECT_NE(intOption(IPPROTO_TCP, TCP_NODELAY), 0) << "the variable wins";
    EXPECT_EQ(options.value("TCP_NODELAY"), "0");
}

TEST_F(ChannelOptionsTest, UnknownNamesFailAndReadAsNone)
{
    EXPECT_FALSE(options.apply(fd, "TCP_KEEPALIVE_TIME", "200"));
    EXPECT_TRUE(logger.contains("TcpChannel::option() : ERROR setting to unknown option TCP_KEEPALIVE_TIME"));
    EXPECT_FALSE(options.value("TCP_KEEPALIVE_TIME").has_value());
}

TEST_F(ChannelOptionsTest, AFailingSocketCallIsReportedWithItsErrno)
{
    ::close(fd);
    ScopedEnv unset("ZEPHCOMMDRV_TCP_NODELAY", nullptr);
    EXPECT_FALSE(options.apply(fd, "TCP_NODELAY", "1"));
    EXPECT_TRUE(logger.contains("TCP_NODELAY - error setting to value 1, errno #" + std::to_string(EBADF)));
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
}
