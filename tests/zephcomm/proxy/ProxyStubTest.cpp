#include "zephcomm/router/FakeDriver.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "zephcomm/proxy/Proxy.h"
#include "zephcomm/proxy/Stub.h"

#include "common/LogCapture.h"

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

std::string payloadOf(const Call& call)
{
    std::string bytes;
    for (const ACE_Message_Block* block = call.payload(); block != nullptr; block = block->cont())
        bytes.append(block->rd_ptr(), block->length());
    return bytes;
}

class ProxyStubTest : public ::testing::Test {
protected:
    void SetUp() override { channel->accept_CB(0, &io); }
    void TearDown() override { channel->destroy(); }

    FakeDriver driver;
    FakeDriverChannel io;
    Ref<Channel> channel = make<Channel>("local", &driver);
    Ref<RecordingCompletion> completion = make<RecordingCompletion>();
};

TEST_F(ProxyStubTest, ProxySendsTheCallUnderItsInterfaceAndMethodName)
{
    auto proxy = make<Proxy>("IRepository", channel.get(), std::chrono::milliseconds(0));
    auto* call = new IRepository::getModuleList_Call();
    ASSERT_EQ(proxy->call(call, completion.get()), 0);
    ASSERT_EQ(io.sends.size(), 1u);
    EXPECT_EQ(io.sends[0].bytes, frame("IRepository::getModuleList", "\x01"));
    EXPECT_TRUE(completion->sentErrors.empty());
    io.completeSend(0);
    EXPECT_EQ(completion->sentErrors, std::vector<int> { 0 });
}

TEST_F(ProxyStubTest, AfterAFailedSendTheProxyAnswersMinusOne)
{
    auto proxy = make<Proxy>("IRepository", channel.get(), std::chrono::milliseconds(0));
    io.sendResult = -32;
    IRepository::removeModule_Call first("m");
    EXPECT_EQ(proxy->call(&first, completion.get()), -32);
    io.sendResult = 0; // the channel would accept now, but the proxy no longer uses it
    IRepository::removeModule_Call second("m");
    EXPECT_EQ(proxy->call(&second, completion.get()), -1);
    EXPECT_TRUE(io.sends.empty());
    EXPECT_FALSE(proxy->hasChannel());
}

TEST_F(ProxyStubTest, FailedSendCompletionReachesTheSenderAndDetachesTheProxy)
{
    auto proxy = make<Proxy>("IRepository", channel.get(), std::chrono::milliseconds(0));
    ASSERT_EQ(proxy->call(new IRepository::removeModule_Call("m"), completion.get()), 0);
    io.completeSend(-104);
    EXPECT_EQ(completion->sentErrors, std::vector<int> { -104 });
    EXPECT_FALSE(proxy->hasChannel());
}

TEST_F(ProxyStubTest, ProxyWithoutChannelAnswersMinusOne)
{
    auto proxy = make<Proxy>("IRepository", std::chrono::milliseconds(0));
    IRepository::getModuleList_Call call;
    EXPECT_EQ(proxy->call(&call, completion.get()), -1);
    proxy->connect_CB(0, "peer", channel.get());
    EXPECT_TRUE(proxy->hasChannel());
}

TEST_F(ProxyStubTest, StubRebuildsArrivingCalls)
{
    auto stub = make<Stub>("IRepository", channel.get());
    ASSERT_EQ(stub->bind(IRepository::prototypes(), completion.get()), 0);
    IRepository::getModule_Call sent("mod", "2.1", "team/a");
    io.feed(frame("IRepository::getModule", payloadOf(sent)));
    ASSERT_EQ(completion->calls.size(), 1u);
    auto& got = static_cast<IRepository::getModule_Call&>(*completion->calls[0]);
    EXPECT_EQ(got.unmarshalResult(), 0);
    EXPECT_EQ(*got.moduleName(), "mod");
    EXPECT_EQ(*got.version(), "2.1");
    EXPECT_EQ(*got.consumer(), "team/a");
    stub->unbind();
    stub.detach(); // unbind gave back the creator's reference
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
    io.feed(frame("IRepository::logon", payloadOf(IRepository::logon_Call("c1", "x"))));
    io.feed(frame("IAppDeployment::logon", payloadOf(IAppDeployment::logon_Call("c2", "y"))));
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

TEST_F(ProxyStubTest, BindingAnInterfaceTwiceKeepsTheFirstBindings)
{
    auto second = make<RecordingCompletion>();
    auto stub = make<Stub>("IRepository", channel.get());
    ASSERT_EQ(stub->bind(IRepository::prototypes(), completion.get()), 0);
    EXPECT_EQ(stub->bind(IRepository::prototypes(), second.get()), -1);
    io.feed(frame("IRepository::getModuleList", "\x01"));
    EXPECT_EQ(completion->calls.size(), 1u);
    EXPECT_TRUE(second->calls.empty());
    stub->unbind();
    stub.detach();
}

TEST_F(ProxyStubTest, BindNeedsAChannelAndPrototypes)
{
    auto unattached = make<Stub>("IRepository");
    EXPECT_EQ(unattached->bind(IRepository::prototypes(), completion.get()), -1);
    auto stub = make<Stub>("IRepository", channel.get());
    EXPECT_EQ(stub->bind({}, completion.get()), -1);
}

TEST_F(ProxyStubTest, ClosingTheChannelTellsTheCompletionOnce)
{
    auto stub = make<Stub>("IRepository", channel.get());
    ASSERT_EQ(stub->bind(IRepository::prototypes(), completion.get()), 0);
    io.failReceive(zephcommdrv::kNotConnected);
    EXPECT_EQ(completion->completeErrors, std::vector<int> { zephcommdrv::kNotConnected });
    EXPECT_TRUE(completion->calls.empty());
}

TEST_F(ProxyStubTest, UnboundStubReceivesNothingMore)
{
    auto stub = make<Stub>("IRepository", channel.get());
    ASSERT_EQ(stub->bind(IRepository::prototypes(), completion.get()), 0);
    stub->unbind();
    stub.detach();
    io.feed(frame("IRepository::getModuleList", "\x01"));
    EXPECT_TRUE(completion->calls.empty());
    EXPECT_TRUE(completion->completeErrors.empty());
}

TEST_F(ProxyStubTest, UnusedCallbacksReportAFailedAssertion)
{
    kav::test::LogCapture capture(log4cxx::Logger::getRootLogger());
    auto proxy = make<Proxy>("IRepository", std::chrono::milliseconds(0));
    proxy->accept_CB(0, "peer", channel.get());
    auto lines = capture.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().message.find("KAV_ASSERT: <!\"Proxy::accept_CB() - not implemented\"> failed"),
        std::string::npos)
        << lines.back().message;
}

} // namespace
} // namespace zephcomm::test
