#include "zephcomm/router/FakeDriver.h"

#include "zephcomm/router/ChannelAcceptor.h"
#include "zephcomm/router/ChannelConnector.h"
#include "zephcomm/router/DriverLoader.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace zephcomm::test {
namespace {

class AcceptorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(init(2), 0);
        acceptor = new ChannelAcceptor("127.0.0.1:0", "server-host", DriverLoader::instance());
        ASSERT_TRUE(acceptor->isOpen());
        acceptor->addHandler(serverSide.get());
    }
    void TearDown() override
    {
        if (acceptor != nullptr)
            acceptor->destroy();
        fini(); // the driver's threads end before the process does
    }

    // Connects a client asking for `interfaceName`; both ends' notifications arrive.
    void connectClient(const std::string& interfaceName)
    {
        ASSERT_EQ(acceptor->accept(), 0);
        std::string address;
        ASSERT_EQ(acceptor->getConnectAddr(address), 0);
        auto* connector = new ChannelConnector(DriverLoader::instance());
        ASSERT_EQ(connector->connect(address, interfaceName, clientSide.get()), 0);
        ASSERT_TRUE(clientSide->waitForEvents(1))
            << address << " server events " << serverSide->events().size();
        ASSERT_EQ(clientSide->events()[0].error, 0) << address;
        ASSERT_TRUE(serverSide->waitForEvents(1));
        connector->destroy();
    }

    ChannelAcceptor* acceptor = nullptr;
    Ref<RecordingHandler> serverSide = make<RecordingHandler>();
    Ref<RecordingHandler> clientSide = make<RecordingHandler>();
};

// The service tells the operator why it cannot listen: the acceptor keeps
// the reason its port could not be opened.
TEST_F(AcceptorTest, APortInUseIsTheReasonAcceptGives)
{
    std::string address;
    ASSERT_EQ(acceptor->getConnectAddr(address), 0);
    const std::string port = address.substr(address.rfind(':') + 1);
    auto* second = new ChannelAcceptor("127.0.0.1:" + port, "server-host", DriverLoader::instance());
    EXPECT_FALSE(second->isOpen());
    EXPECT_EQ(second->accept(), -EADDRINUSE);
    second->destroy();
}

TEST_F(AcceptorTest, HandshakeNamesBothEnds)
{
    connectClient("IRepository");
    auto accepted = serverSide->events().at(0);
    auto connected = clientSide->events().at(0);
    EXPECT_EQ(accepted.kind, "accept");
    EXPECT_EQ(accepted.error, 0);
    EXPECT_EQ(accepted.text, "IRepository");
    EXPECT_EQ(connected.kind, "connect");
    EXPECT_EQ(connected.error, 0);
    EXPECT_EQ(connected.text, "server-host");
    // Each end keeps its own reference: destroying one end closes the other,
    // which would otherwise free it before it is destroyed.
    kav::RefPtr<Channel> holdServer(accepted.channel), holdClient(connected.channel);
    accepted.channel->destroy();
    connected.channel->destroy();
}

TEST_F(AcceptorTest, MessagesTravelBetweenTheEnds)
{
    connectClient("IAppDeployment");
    Channel* server = serverSide->events().at(0).channel;
    Channel* client = clientSide->events().at(0).channel;
    kav::RefPtr<Channel> holdServer(server), holdClient(client);
    auto received = make<RecordingHandler>();
    auto sender = make<RecordingHandler>();
    ASSERT_EQ(server->receive("I::ping", received.get()), 0);
    ASSERT_EQ(client->send("I::ping", blockOf("hello"), sender.get(), nullptr), 0);
    ASSERT_TRUE(received->waitForEvents(1));
    EXPECT_EQ(received->events()[0].payload, "hello");
    ASSERT_TRUE(sender->waitForEvents(1));
    EXPECT_EQ(sender->events()[0].error, 0);

    // The peer closing ends the server's binding with an error.
    client->destroy();
    ASSERT_TRUE(received->waitForEvents(2));
    EXPECT_NE(received->events()[1].error, 0);
    server->destroy();
}

TEST_F(AcceptorTest, EmptyHandshakePayloadGivesNoAccept)
{
    FakeDriver driver;
    FakeDriverChannel io;
    auto* channel = new Channel("server-host", &driver);
    channel->accept_CB(0, &io);
    channel->reference(); // the acceptor's reference while the handshake runs
    ASSERT_EQ(channel->receive(wire::kHandshakeTypeName, acceptor), 0);
    acceptor->receive_CB(0, wire::kHandshakeTypeName, blockOf(""), channel);
    EXPECT_TRUE(serverSide->events().empty());
    EXPECT_TRUE(io.destroyed);
    channel->release();
}

TEST_F(AcceptorTest, NamedHandshakeNotifiesEveryHandler)
{
    auto second = make<RecordingHandler>();
    acceptor->addHandler(second.get());
    FakeDriver driver;
    FakeDriverChannel io;
    auto* channel = new Channel("server-host", &driver);
    channel->accept_CB(0, &io);
    channel->reference();
    ASSERT_EQ(channel->receive(wire::kHandshakeTypeName, acceptor), 0);
    io.feed(frame(wire::kHandshakeTypeName, "IRepository"));
    for (auto* handler : { serverSide.get(), second.get() }) {
        ASSERT_EQ(handler->events().size(), 1u);
        EXPECT_EQ(handler->events()[0].text, "IRepository");
        EXPECT_EQ(handler->events()[0].channel, channel);
    }
    channel->destroy();
    channel->release();
}

TEST_F(AcceptorTest, ConnectorReportsARefusedConnection)
{
    auto* connector = new ChannelConnector(DriverLoader::instance());
    // A URL without address, then a port nobody serves.
    EXPECT_EQ(connector->connect("zephcomm:||", "IRepository", clientSide.get()), -1);
    ASSERT_EQ(connector->connect("127.0.0.1:1", "IRepository", clientSide.get()), 0);
    ASSERT_TRUE(clientSide->waitForEvents(1));
    EXPECT_NE(clientSide->events()[0].error, 0);
    EXPECT_EQ(clientSide->events()[0].channel, nullptr);
    connector->destroy();
}

TEST_F(AcceptorTest, DestroyClosesConnectionsStillInTheirHandshake)
{
    ASSERT_EQ(acceptor->accept(), 0);
    std::string address;
    ASSERT_EQ(acceptor->getConnectAddr(address), 0);
    const int port = std::stoi(address.substr(address.rfind(':') + 1));

    // A peer that connects, takes the server's handshake and never answers.
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    char byte = 0;
    ASSERT_EQ(::recv(peer, &byte, 1, 0), 1) << "the server sends its handshake first";

    std::exchange(acceptor, nullptr)->destroy();
    // The connection ends (end of stream) instead of staying open with
    // nobody to serve it. The poll limit only bounds a failing run.
    pollfd watched { peer, POLLIN, 0 };
    char rest[256];
    ssize_t got = 1;
    while (got > 0 && ::poll(&watched, 1, 10000) == 1)
        got = ::recv(peer, rest, sizeof rest, 0);
    EXPECT_EQ(got, 0);
    EXPECT_TRUE(serverSide->events().empty()) << "no handshake, no accept";
    ::close(peer);
}

} // namespace
} // namespace zephcomm::test
