#include "DriverTestSupport.h"

#include "zephcomm/driver/TcpDriver.h"

#include <cerrno>
#include <set>
#include <utility>

using namespace drvtest;
using zephcommdrv::Channel;

namespace {

class AcceptorTest : public DriverTest { };

} // namespace

TEST_F(AcceptorTest, EveryConnectionThatArrivesIsDelivered)
{
    constexpr int kClients = 40;
    std::vector<int> peers;
    for (int i = 0; i < kClients; ++i) {
        peers.push_back(rawConnect(port));
        ASSERT_GE(peers.back(), 0);
    }
    std::set<Channel*> channels;
    for (int i = 0; i < kClients; ++i) {
        auto accepted = acceptHandler.next(Kind::Accept);
        ASSERT_TRUE(accepted.has_value()) << "connection " << i;
        EXPECT_EQ(accepted->error, 0);
        channels.insert(accepted->channel);
    }
    EXPECT_EQ(channels.size(), static_cast<size_t>(kClients));
    for (Channel* channel : channels)
        channel->destroy();
    for (int fd : peers)
        ::close(fd);
    EXPECT_TRUE(logger.contains("TcpAcceptor::process_accept(this="));
}

TEST_F(AcceptorTest, ASecondStartIsRefusedAndStopReportsOneAbort)
{
    RecordingHandler other;
    EXPECT_EQ(acceptor->startAccept(&other, 0), zephcommdrv::kInvalid);
    EXPECT_TRUE(logger.contains("second call to accept not allowed, return EINVAL"));

    EXPECT_EQ(acceptor->stopAccept(), 0);
    auto aborted = acceptHandler.next(Kind::Accept);
    ASSERT_TRUE(aborted.has_value());
    EXPECT_EQ(aborted->error, zephcommdrv::kAborted);
    EXPECT_EQ(aborted->channel, nullptr);
    EXPECT_EQ(acceptor->stopAccept(), zephcommdrv::kBadHandle);

    // Accepting again works, with the new handler.
    ASSERT_EQ(acceptor->startAccept(&other, 0), 0);
    const int peer = rawConnect(port);
    auto accepted = other.next(Kind::Accept);
    ASSERT_TRUE(accepted && accepted->channel);
    accepted->channel->destroy();
    ::close(peer);
    acceptor->destroy();
    acceptor = nullptr;
    auto last = other.next(Kind::Accept);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->error, zephcommdrv::kAborted);
    EXPECT_EQ(acceptHandler.pending(Kind::Accept), 0u);
}

TEST_F(AcceptorTest, AnAcceptTimeOutStopsAccepting)
{
    zephcommdrv::Acceptor* timed = driver->createAcceptor("127.0.0.1:0");
    ASSERT_NE(timed, nullptr);
    RecordingHandler handler;
    ASSERT_EQ(timed->startAccept(&handler, 20), 0);
    auto aborted = handler.next(Kind::Accept);
    ASSERT_TRUE(aborted.has_value());
    EXPECT_EQ(aborted->error, zephcommdrv::kAborted);
    EXPECT_TRUE(logger.contains("TcpAcceptor::handle_time_out(this="));
    EXPECT_EQ(timed->stopAccept(), zephcommdrv::kBadHandle);
    timed->destroy();
}

TEST_F(AcceptorTest, ConnectAddressIsHostAndPortAndSaysWhenTheBufferIsSmall)
{
    char tiny[4];
    const int needed = acceptor->getConnectAddr(tiny, sizeof tiny);
    ASSERT_GT(needed, 4);
    EXPECT_TRUE(logger.contains("not enougth size 4"));
    std::vector<char> exact(static_cast<size_t>(needed));
    ASSERT_EQ(acceptor->getConnectAddr(exact.data(), exact.size()), 0);
    const std::string address(exact.data());
    EXPECT_EQ(address.size() + 1, static_cast<size_t>(needed));
    EXPECT_EQ(address.substr(address.rfind(':') + 1), std::to_string(port));
    EXPECT_GT(address.rfind(':'), 0u) << "a host name precedes the port";

    // Every interface: the machine's name stands for the address.
    zephcommdrv::Acceptor* any = driver->createAcceptor(driver->defaultAddress());
    ASSERT_NE(any, nullptr);
    char text[256];
    ASSERT_EQ(any->getConnectAddr(text, sizeof text), 0);
    EXPECT_NE(std::string(text).substr(0, 8), "0.0.0.0:");
    any->destroy();
}

TEST_F(AcceptorTest, ABusyPortOrABadAddressGivesNoAcceptor)
{
    errno = 0;
    EXPECT_EQ(driver->createAcceptor("127.0.0.1:" + std::to_string(port)), nullptr);
    EXPECT_EQ(errno, EADDRINUSE);
    errno = 0;
    EXPECT_EQ(driver->createAcceptor("no-port-here"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(AcceptorTest, AConnectorReachesTheAcceptorAndBothEndsTalk)
{
    zephcommdrv::Connector* connector = driver->createConnector();
    RecordingHandler handler;
    ASSERT_EQ(connector->connect("127.0.0.1:" + std::to_string(port), &handler, 0), 0);
    auto connected = handler.next(Kind::Connect);
    ASSERT_TRUE(connected.has_value());
    ASSERT_EQ(connected->error, 0);
    auto accepted = acceptHandler.next(Kind::Accept);
    ASSERT_TRUE(accepted && accepted->channel);

    char buffer[5] = {};
    ASSERT_EQ(accepted->channel->receive(buffer, 5, &handler, 0), 0);
    const std::string hello = "hello";
    const void* buffers[] = { hello.data() };
    const size_t lengths[] = { hello.size() };
    ASSERT_EQ(connected->channel->send(1, buffers, lengths, &handler, 0, nullptr), 0);
    auto received = handler.next(Kind::Receive);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->error, 0);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    ASSERT_TRUE(handler.next(Kind::Send).has_value());

    EXPECT_EQ(connector->cancel(), zephcommdrv::kBadHandle);
    EXPECT_TRUE(logger.contains("TcpConnector::cancel() : debug - no connector found, return EBADF"));
    connected->channel->destroy();
    accepted->channel->destroy();
    connector->destroy();
}

TEST_F(AcceptorTest, AConnectToAClosedPortReportsTheRefusal)
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
    ASSERT_EQ(connector->connect("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), &handler, 0), 0);
    auto done = handler.next(Kind::Connect);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->error, -ECONNREFUSED);
    EXPECT_EQ(done->channel, nullptr);
    connector->destroy();
    ::close(holder);
}

TEST_F(AcceptorTest, ABadConnectAddressIsRefusedAtOnce)
{
    zephcommdrv::Connector* connector = driver->createConnector();
    RecordingHandler handler;
    EXPECT_EQ(connector->connect("nonsense", &handler, 0), zephcommdrv::kInvalid);
    EXPECT_TRUE(logger.contains("TcpConnector::connect() : kdx_gethostbyname_r() error"));
    connector->destroy();
}

TEST(DriverFactory, NamesSelectTheDriver)
{
    CapturingLogger logger;
    zephcommdrv::Driver* driver = reinterpret_cast<zephcommdrv::Driver*>(1);
    EXPECT_EQ(
        zephcommdrv::create_IO_Driver(&driver, 1, &logger, "NoSuchDriver", nullptr), zephcommdrv::kInvalid);
    EXPECT_EQ(driver, nullptr);

    static int calls = 0;
    zephcommdrv::registerDriver(
        "Custom", [](zephcommdrv::Driver** out, int, zephcommdrv::Logger*, const char* arg) {
            ++calls;
            *out = nullptr;
            return arg && std::string(arg) == "x" ? -5 : -6;
        });
    EXPECT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &logger, "Custom", "x"), -5);
    EXPECT_EQ(calls, 1);

    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 0, &logger, "TCPIPv4", nullptr), 0);
    EXPECT_EQ(static_cast<zephcommTcpDrv::TcpDriver*>(driver)->threadCount(), 4);
    EXPECT_TRUE(logger.contains("TcpDriver::svc() - debug : start proactor_run_event_loop()"));
    driver->destroy();
}

namespace {

// A driver's destroy() runs every callback owed when it is called (aborts of
// stopped acceptors, completions of closed channels) before it returns, so
// that a handler may go right after and nothing is kept alive for a callback
// that never comes. Each case repeats: the owed callback races the end of
// the event loop.
class DriverShutdownTest : public ::testing::Test {
protected:
    static constexpr int kRounds = 20;

    void startDriver() { ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 2, &logger, nullptr, nullptr), 0); }

    void destroyDriver() { std::exchange(driver, nullptr)->destroy(); }

    // A fresh driver with an acceptor on a loopback port accepting for `handler`.
    zephcommdrv::Acceptor* startAccepting(RecordingHandler& handler)
    {
        startDriver();
        zephcommdrv::Acceptor* acceptor = driver ? driver->createAcceptor("127.0.0.1:0") : nullptr;
        if (acceptor && acceptor->startAccept(&handler, 0) != 0) {
            acceptor->destroy();
            acceptor = nullptr;
        }
        return acceptor;
    }

    void TearDown() override
    {
        if (driver)
            destroyDriver();
    }

    CapturingLogger logger;
    zephcommdrv::Driver* driver = nullptr;
};

} // namespace

TEST_F(DriverShutdownTest, TheAbortOfADestroyedAcceptorArrivesBeforeDestroyReturns)
{
    for (int round = 0; round < kRounds; ++round) {
        RecordingHandler handler;
        zephcommdrv::Acceptor* acceptor = startAccepting(handler);
        ASSERT_NE(acceptor, nullptr);
        acceptor->destroy();
        destroyDriver();
        auto aborted = handler.next(Kind::Accept, 0ms);
        ASSERT_TRUE(aborted.has_value()) << "round " << round;
        EXPECT_EQ(aborted->error, zephcommdrv::kAborted);
        EXPECT_EQ(aborted->channel, nullptr);
    }
}

TEST_F(DriverShutdownTest, TheCompletionsOfADestroyedChannelArriveBeforeDestroyReturns)
{
    for (int round = 0; round < kRounds; ++round) {
        RecordingHandler acceptHandler;
        zephcommdrv::Acceptor* acceptor = startAccepting(acceptHandler);
        ASSERT_NE(acceptor, nullptr);
        const int peer = rawConnect(portOf(acceptor));
        ASSERT_GE(peer, 0);
        auto accepted = acceptHandler.next(Kind::Accept);
        ASSERT_TRUE(accepted && accepted->channel);

        RecordingHandler handler;
        char buffer[8];
        ASSERT_EQ(accepted->channel->receive(buffer, sizeof buffer, &handler, 0), 0);
        accepted->channel->destroy();
        acceptor->destroy();
        destroyDriver();
        ::close(peer);

        auto received = handler.next(Kind::Receive, 0ms);
        ASSERT_TRUE(received.has_value()) << "round " << round;
        EXPECT_EQ(received->error, zephcommdrv::kAborted);
        EXPECT_EQ(received->buffer, buffer);
        auto aborted = acceptHandler.next(Kind::Accept, 0ms);
        ASSERT_TRUE(aborted.has_value()) << "round " << round;
        EXPECT_EQ(aborted->error, zephcommdrv::kAborted);
    }
}
