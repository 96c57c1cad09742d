#include "interfaces/rpc/TestService.h"

#include "client/RsClient.h"

#include <gtest/gtest.h>

namespace rsclient {
namespace {

using namespace std::chrono_literals;
using rpc::test::TestService;
constexpr auto kWait = 10s;

class RsClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service->start());
        int rc = 0;
        client = Client::connect(service->address(), IRepository::kInterfaceName, kWait, &rc);
        ASSERT_TRUE(client) << rc;
    }
    void TearDown() override
    {
        client.reset();
        service->stop();
        zephcomm::fini(); // the driver's threads end before the process does
    }

    kav::RefPtr<TestService> service = kav::RefPtr<TestService>::adopt(new TestService());
    std::unique_ptr<Client> client;
};

TEST_F(RsClientTest, ManyRequestsInFlightOnOneConnection)
{
    constexpr int kRequests = 64;
    std::vector<PendingReply<IRepositoryResp::getModuleResp_Call>> replies;
    for (int i = 0; i < kRequests; ++i)
        replies.push_back(client->start<IRepository::getModule_Call>("mod" + std::to_string(i), "", "c"));
    for (int i = 0; i < kRequests; ++i) {
        auto reply = replies[i].wait(kWait);
        ASSERT_TRUE(reply.arrived()) << i << " rc " << reply.rc;
        EXPECT_EQ(*reply->packageName(), "mod" + std::to_string(i));
    }
    auto requests = service->requests();
    ASSERT_EQ(requests.size(), size_t(kRequests));
    EXPECT_EQ(requests.front(), "getModule|mod0||c");
    EXPECT_EQ(requests.back(), "getModule|mod63||c");
}

TEST_F(RsClientTest, LateAnswerOfATimedOutRequestIsNotMistakenForTheNext)
{
    service->holdAnswers();
    auto late = client->call<IRepository::getModule_Call>(1ms, "first", "", "c");
    EXPECT_EQ(late.rc, kTimedOut);
    EXPECT_EQ(late.code(), kTimedOut);
    auto next = client->start<IRepository::getModule_Call>("second", "", "c");
    ASSERT_TRUE(service->waitForRequests(2));
    service->releaseAnswers();
    auto reply = next.wait(kWait);
    ASSERT_TRUE(reply.arrived());
    EXPECT_EQ(*reply->packageName(), "second");
}

TEST_F(RsClientTest, ClosedConnectionEndsWaitingRequests)
{
    service->holdAnswers();
    auto pending = client->start<IRepository::getModuleList_Call>();
    ASSERT_TRUE(service->waitForRequests(1));
    service->dropConnections();
    auto reply = pending.wait(kWait);
    EXPECT_NE(reply.rc, 0);
    EXPECT_NE(reply.rc, kTimedOut);
    EXPECT_FALSE(reply.answer);
    EXPECT_FALSE(client->isOpen());
    EXPECT_NE(client->call<IRepository::getModuleList_Call>(kWait).rc, 0);
}

TEST_F(RsClientTest, ConnectFailures)
{
    int rc = 0;
    EXPECT_FALSE(Client::connect(service->address(), "INoSuchInterface", kWait, &rc));
    EXPECT_EQ(rc, -EINVAL);
    EXPECT_FALSE(Client::connect(service->address(), IRepositoryResp::kInterfaceName, kWait, &rc));
    rc = 0;
    EXPECT_FALSE(Client::connect("127.0.0.1:1", IRepository::kInterfaceName, kWait, &rc));
    EXPECT_NE(rc, 0);
}

} // namespace
} // namespace rsclient
