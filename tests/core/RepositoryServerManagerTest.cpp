#include "rs/core/RepositoryServerManager.h"

#include "support/FakeServiceContext.h"
#include "zephcomm/router/FakeDriver.h"

#include <gtest/gtest.h>

#include <memory>

namespace rs {
namespace {

using zephcomm::test::FakeDriver;
using zephcomm::test::FakeDriverChannel;

// One accepted connection: a channel over a fake driver channel, with the
// reference the acceptor holds while it notifies.
struct Accepted {
    Accepted()
        : channel(new zephcomm::Channel("rs-host", &driver))
    {
        channel->accept_CB(0, &io);
    }
    ~Accepted() { channel->release(); }

    FakeDriver driver;
    FakeDriverChannel io;
    zephcomm::Channel* channel;
};

// Every connection is served on the manager's context. The served
// connections are closed when the service stops; nothing that arrives
// afterwards is served.
class ServerManagerConnections : public ::testing::Test {
protected:
    ServerManagerConnections()
    {
        manager->addInterface("IRepository", [this](zephcomm::Channel*, ServiceContext& given) {
            served += &given == &context;
            return true;
        });
    }
    ~ServerManagerConnections() override { manager->release(); }

    test::FakeServiceContext context;
    rs::RepositoryServerManager* manager = new rs::RepositoryServerManager(context);
    int served = 0;
};

TEST_F(ServerManagerConnections, OpenConnectionsCloseWhenTheServiceStops)
{
    Accepted first, second;
    manager->accept_CB(0, "IRepository", first.channel);
    manager->accept_CB(0, "IRepository", second.channel);
    EXPECT_EQ(served, 2);
    EXPECT_FALSE(first.io.destroyed);
    EXPECT_FALSE(second.io.destroyed);

    manager->closeConnections();
    EXPECT_TRUE(first.io.destroyed);
    EXPECT_TRUE(second.io.destroyed);
}

TEST_F(ServerManagerConnections, AHandshakeCompletedAfterTheStopIsClosedAtOnce)
{
    manager->closeConnections();
    Accepted late;
    manager->accept_CB(0, "IRepository", late.channel);
    EXPECT_TRUE(late.io.destroyed);
}

TEST_F(ServerManagerConnections, UnknownInterfacesAndFailedBindingsAreClosed)
{
    Accepted unknown;
    manager->accept_CB(0, "INothing", unknown.channel);
    EXPECT_TRUE(unknown.io.destroyed);
    EXPECT_EQ(served, 0);

    manager->addInterface("IAppDeployment", [](zephcomm::Channel*, ServiceContext&) { return false; });
    Accepted unbound;
    manager->accept_CB(0, "IAppDeployment", unbound.channel);
    EXPECT_TRUE(unbound.io.destroyed);
}

TEST_F(ServerManagerConnections, AConnectionClosedByItsPeerIsLetGo)
{
    Accepted closed, open;
    manager->accept_CB(0, "IRepository", closed.channel);
    closed.channel->destroy();
    const long heldWhileClosed = closed.channel->referenceCount();
    // The next accept lets the closed one go: its reference count drops.
    manager->accept_CB(0, "IRepository", open.channel);
    EXPECT_EQ(closed.channel->referenceCount(), heldWhileClosed - 1);
    manager->closeConnections();
    EXPECT_TRUE(open.io.destroyed);
}

} // namespace
} // namespace rs
