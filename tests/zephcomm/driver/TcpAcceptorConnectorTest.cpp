#include "DriverTestSupport.h"

#include "zephcomm/driver/TcpDriver.h"

#include <cerrno>

using namespace drvtest;
using zephcommdrv::kAborted;
using zephcommdrv::kBadHandle;
using zephcommdrv::kInvalid;

namespace {

class AcceptorTest : public DriverTest { };

} // namespace

TEST_F(AcceptorTest, ABusyPortOrABadAddressGivesNoAcceptor)
{
    errno = 0;
    EXPECT_EQ(driver->createAcceptor("127.0.0.1:" + std::to_string(port)), nullptr);
    EXPECT_EQ(errno, EADDRINUSE);
    errno = 0;
    EXPECT_EQ(driver->createAcceptor("no-port-here"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(AcceptorTest, AConnectToAClosedPortOrABadAddressIsRefused)
{
    // A port known to be free: bound, never listening.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t length = sizeof addr;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &length);

    zephcommdrv::Connector* connector = driver->createConnector();
    RecordingHandler handler;
    EXPECT_EQ(connector->connect("nonsense", &handler, 0), kInvalid);
    ASSERT_EQ(connector->connect("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), &handler, 0), 0);
    auto done = handler.next(Kind::Connect);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, -ECONNREFUSED);
    EXPECT_EQ(done->channel, nullptr);
    EXPECT_EQ(connector->cancel(), kBadHandle);
    connector->destroy();
    ::close(holder);
}

TEST_F(AcceptorTest, ASecondStartIsRefusedAndAStopOrTimeOutReportsOneAbort)
{
    RecordingHandler other;
    EXPECT_EQ(acceptor->startAccept(&other, 0), kInvalid);
    EXPECT_EQ(acceptor->stopAccept(), 0);
    auto aborted = acceptHandler.next(Kind::Accept);
    ASSERT_TRUE(aborted.has_value());
    EXPECT_EQ(aborted->error, kAborted);
    EXPECT_EQ(aborted->channel, nullptr);
    EXPECT_EQ(acceptor->stopAccept(), kBadHandle);

    // Accepting again works, with the new handler and a time limit.
    ASSERT_EQ(acceptor->startAccept(&other, 20), 0);
    auto timedOut = other.next(Kind::Accept);
    ASSERT_TRUE(timedOut.has_value());
    EXPECT_EQ(timedOut->error, kAborted);
    EXPECT_EQ(acceptor->stopAccept(), kBadHandle);
    EXPECT_EQ(acceptHandler.pending(Kind::Accept), 0u);
}

TEST(DriverFactory, NamesSelectTheDriver)
{
    CapturingLogger logger;
    zephcommdrv::Driver* driver = reinterpret_cast<zephcommdrv::Driver*>(1);
    for (const char* unknown : { "NoSuchDriver", "TCPIPv4ssl" }) {
        EXPECT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &logger, unknown, nullptr), kInvalid);
        EXPECT_EQ(driver, nullptr);
    }
    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 0, &logger, "TCPIPv4", nullptr), 0);
    EXPECT_EQ(static_cast<zephcommTcpDrv::TcpDriver*>(driver)->threadCount(), 4);
    driver->destroy();
}

// A driver's destroy() runs every callback owed when it is called (aborts of
// stopped acceptors, completions of closed channels) before it returns, so
// that a handler may go right after and nothing is kept alive for a callback
// that never comes. It repeats: the owed callback races the end of the loop.
TEST(DriverShutdownTest, OwedCallbacksArriveBeforeDestroyReturns)
{
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        CapturingLogger logger;
        zephcommdrv::Driver* driver = nullptr;
        ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 2, &logger, nullptr, nullptr), 0);
        zephcommdrv::Acceptor* acceptor = driver->createAcceptor("127.0.0.1:0");
        ASSERT_NE(acceptor, nullptr);
        RecordingHandler acceptHandler;
        ASSERT_EQ(acceptor->startAccept(&acceptHandler, 0), 0);
        RecordingHandler handler;
        char buffer[8];
        int peer = -1;
        if (round % 2 == 0) { // and a channel with a receive pending
            peer = rawConnect(portOf(acceptor));
            ASSERT_GE(peer, 0);
            auto accepted = acceptHandler.next(Kind::Accept);
            ASSERT_TRUE(accepted && accepted->channel);
            ASSERT_EQ(accepted->channel->receive(buffer, sizeof buffer, &handler, 0), 0);
            accepted->channel->destroy();
        }
        acceptor->destroy();
        driver->destroy();
        if (peer >= 0) {
            ::close(peer);
            auto received = handler.next(Kind::Receive, 0ms);
            ASSERT_TRUE(received.has_value());
            EXPECT_EQ(received->error, kAborted);
            EXPECT_EQ(received->buffer, buffer);
        }
        auto aborted = acceptHandler.next(Kind::Accept, 0ms);
        ASSERT_TRUE(aborted.has_value());
        EXPECT_EQ(aborted->error, kAborted);
        EXPECT_EQ(aborted->channel, nullptr);
    }
}
