#include "zephcomm/router/FakeDriver.h"

#include "zephcomm/router/ChannelAcceptor.h"
#include "zephcomm/router/ChannelConnector.h"
#include "zephcomm/router/DriverLoader.h"

#include <gtest/gtest.h>

#include <string>

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

TEST_F(AcceptorTest, HandshakeNamesBothEndsAndMessagesTravelUntilThePeerCloses)
{
    connectClient("IAppDeployment");
    auto accepted = serverSide->events().at(0);
    auto connected = clientSide->events().at(0);
    EXPECT_EQ(accepted.kind, "accept");
    EXPECT_EQ(accepted.text, "IAppDeployment");
    EXPECT_EQ(connected.kind, "connect");
    EXPECT_EQ(connected.text, "server-host");
    Channel* server = accepted.channel;
    Channel* client = connected.channel;
    // Each end keeps its own reference: destroying one end closes the other,
    // which would otherwise free it before it is destroyed.
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

} // namespace
} // namespace zephcomm::test
