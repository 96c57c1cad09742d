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

// Options whose refused values are logged, whose accepted value reaches the
// socket, and whose variable wins over the value given.
struct OverrideCase {
    const char* option;
    const char* variable;
    const char* refused[2];
    const char* refusalLog;
    const char* accepted;
    int level;
    int socketName;
    const char* fromVariable;
    const char* given;
    const char* recorded; // what reads back after the variable won
};

class ChannelOptionOverrideTest : public ChannelOptionsTest,
                                  public ::testing::WithParamInterface<OverrideCase> { };

TEST_P(ChannelOptionOverrideTest, RefusedValuesAreLoggedAndTheVariableWins)
{
    const OverrideCase& c = GetParam();
    ScopedEnv unset(c.variable, nullptr);
    for (const char* refused : c.refused)
        EXPECT_FALSE(options.apply(fd, c.option, refused)) << refused;
    EXPECT_TRUE(logger.contains(c.refusalLog));
    ASSERT_TRUE(options.apply(fd, c.option, c.accepted));
    EXPECT_GE(intOption(c.level, c.socketName), std::atoi(c.accepted));

    ScopedEnv env(c.variable, c.fromVariable);
    ASSERT_TRUE(options.apply(fd, c.option, c.given));
    EXPECT_GE(intOption(c.level, c.socketName), std::atoi(c.fromVariable)) << "the variable wins";
    EXPECT_EQ(options.value(c.option), c.recorded);
}

INSTANTIATE_TEST_SUITE_P(SendBufferAndNoDelay, ChannelOptionOverrideTest,
    ::testing::Values(
        OverrideCase { "TCP_SEND_BUFFER_SIZE", "ZEPHCOMMDRV_TCP_SEND_BUFFER_SIZE", { "65534", "lots" },
            "TcpChannel::option() : SEND_BUFFER_SIZE - error setting to value 65534", "200000", SOL_SOCKET,
            SO_SNDBUF, "300000", "65535", "300000" },
        // No-delay records the string given, not the variable's.
        OverrideCase { "TCP_NODELAY", "ZEPHCOMMDRV_TCP_NODELAY", { "2", "-1" },
            "TcpChannel::option() : TCP_NODELAY - error setting to value 2", "1", IPPROTO_TCP, TCP_NODELAY,
            "1", "0", "0" }));

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
