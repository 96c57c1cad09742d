#include "zephcomm/router/FakeDriver.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "zephcomm/proxy/Proxy.h"
#include "zephcomm/proxy/Stub.h"

#include <gtest/gtest.h>

namespace zephcomm::test {
namespace {

// Keeps every call it is given.
class RecordingCompletion final : public CallCompletion {
public:
    void sent(Call* call, int error) override
    {
        sentErrors.push_back(error);
        delete call;
    }
    void complete(int error, Call* call) override
    {
        completeErrors.push_back(error);
        if (call != nullptr)
            calls.emplace_back(call);
    }
    std::vector<int> sentErrors;
    std::vector<int> completeErrors;
    std::vector<std::unique_ptr<Call>> calls;
};

class ProxyStubTest : public ::testing::Test {
protected:
    void SetUp() override { channel->accept_CB(0, &io); }
    void TearDown() override { channel->destroy(); }

    FakeDriver driver;
    FakeDriverChannel io;
    Ref<Channel> channel = make<Channel>("local", &driver);
    Ref<RecordingCompletion> completion = make<RecordingCompletion>();
};

TEST_F(ProxyStubTest, ProxySendsUnderItsInterfaceAndAFailedSendLeavesItWithoutChannel)
{
    auto proxy = make<Proxy>("IRepository", channel.get(), std::chrono::milliseconds(0));
    ASSERT_EQ(proxy->call(new IRepository::getModuleList_Call(), completion.get()), 0);
    ASSERT_EQ(io.sends.size(), 1u);
    EXPECT_EQ(io.sends[0].bytes, frame("IRepository::getModuleList", "\x01"));
    EXPECT_TRUE(completion->sentErrors.empty());
    io.completeSend(-104);
    EXPECT_EQ(completion->sentErrors, std::vector<int> { -104 });
    EXPECT_FALSE(proxy->hasChannel());
    IRepository::removeModule_Call next("m");
    EXPECT_EQ(proxy->call(&next, completion.get()), -1);

    // A send the channel refuses at once detaches the proxy just the same.
    auto refused = make<Proxy>("IRepository", channel.get(), std::chrono::milliseconds(0));
    io.sendResult = -32;
    IRepository::removeModule_Call first("m");
    EXPECT_EQ(refused->call(&first, completion.get()), -32);
    EXPECT_FALSE(refused->hasChannel());
    EXPECT_EQ(io.sends.size(), 1u);
}

TEST_F(ProxyStubTest, TwoStubsOfDifferentInterfacesShareOneChannel)
{
    auto repositoryCalls = make<RecordingCompletion>();
    auto deploymentCalls = make<RecordingCompletion>();
    auto repository = make<Stub>("IRepository", channel.get());
    auto deployment = make<Stub>("IAppDeployment", channel.get());
    ASSERT_EQ(repository->bind(IRepository::prototypes(), repositoryCalls.get()), 0);
    ASSERT_EQ(deployment->bind(IAppDeployment::prototypes(), deploymentCalls.get()), 0);

    // logon and getRSVersion exist in both interfaces under the same method name.
    io.feed(frame("IRepository::logon", rpc::blockText(IRepository::logon_Call("c1", "x").payload())));
    io.feed(frame("IAppDeployment::logon", rpc::blockText(IAppDeployment::logon_Call("c2", "y").payload())));
    io.feed(frame("IAppDeployment::getPackageList", "\x01"));

    ASSERT_EQ(repositoryCalls->calls.size(), 1u);
    EXPECT_EQ(*static_cast<IRepository::logon_Call&>(*repositoryCalls->calls[0]).credential(), "c1");
    ASSERT_EQ(deploymentCalls->calls.size(), 2u);
    EXPECT_EQ(*static_cast<IAppDeployment::logon_Call&>(*deploymentCalls->calls[0]).credential(), "c2");
    EXPECT_EQ(deploymentCalls->calls[1]->methodName(), "getPackageList");
    repository->unbind();
    repository.detach();
    deployment->unbind();
    deployment.detach();
}

TEST_F(ProxyStubTest, ClosingTheChannelTellsTheCompletionOnce)
{
    auto stub = make<Stub>("IRepository", channel.get());
    ASSERT_EQ(stub->bind(IRepository::prototypes(), completion.get()), 0);
    io.failReceive(zephcommdrv::kNotConnected);
    EXPECT_EQ(completion->completeErrors, std::vector<int> { zephcommdrv::kNotConnected });
    EXPECT_TRUE(completion->calls.empty());
}

} // namespace
} // namespace zephcomm::test
