// Every operation of the four interfaces over a real connection: the client
// library sends each request, the test service records what arrived and
// answers with its sample values; both ends are compared field by field.

#include "interfaces/rpc/TestService.h"

#include "client/RsClient.h"

#include <gtest/gtest.h>

namespace rpc::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;

void expectSampleFailure(const kav::KavErrorInfo* error)
{
    ASSERT_NE(error, nullptr);
    kav::KavErrorInfo expected = sampleError();
    EXPECT_EQ(error->getCode(), expected.getCode());
    EXPECT_EQ(error->getLocation(), expected.getLocation());
    EXPECT_EQ(error->getContext(), expected.getContext());
    EXPECT_EQ(error->getDetail(), expected.getDetail());
    EXPECT_EQ(error->getParams(), expected.getParams());
}

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service->start());
        int rc = 0;
        repository = rsclient::Client::connect(service->address(), IRepository::kInterfaceName, kWait, &rc);
        ASSERT_TRUE(repository) << rc;
        deployment
            = rsclient::Client::connect(service->address(), IAppDeployment::kInterfaceName, kWait, &rc);
        ASSERT_TRUE(deployment) << rc;
    }
    void TearDown() override
    {
        repository.reset();
        deployment.reset();
        service->stop();
        zephcomm::fini(); // the driver's threads end before the process does
    }

    std::string lastRequest()
    {
        EXPECT_TRUE(service->waitForRequests(++expected_));
        return service->requests().back();
    }

    kav::RefPtr<TestService> service = kav::RefPtr<TestService>::adopt(new TestService());
    std::unique_ptr<rsclient::Client> repository;
    std::unique_ptr<rsclient::Client> deployment;
    size_t expected_ = 0;
};

TEST_F(LoopbackTest, ClientLearnsTheServiceName)
{
    EXPECT_EQ(repository->peerName(), "test-service");
    EXPECT_TRUE(repository->isOpen());
}

TEST_F(LoopbackTest, RepositoryOperations)
{
    auto logon = repository->call<IRepository::logon_Call>(kWait, "secret-credential", "team/a");
    ASSERT_TRUE(logon.arrived()) << logon.rc;
    EXPECT_EQ(lastRequest(), "logon|secret-credential|team/a");
    EXPECT_EQ(logon.code(), 0);
    EXPECT_EQ(*logon->responseToken(), "token-7");
    EXPECT_EQ(*logon->responseUser(), "alice");

    auto added = repository->call<IRepository::addModule_Call>(
        kWait, "modA", "modA.zip", rpc::makeBlock(sampleData()).get(), 2);
    ASSERT_TRUE(added.arrived()) << added.rc;
    EXPECT_EQ(lastRequest(), "addModule|modA|modA.zip|[" + sampleData() + "]|2");
    expectSampleFailure(added->error());
    EXPECT_EQ(*added->version(), "1.3");

    auto removed = repository->call<IRepository::removeModule_Call>(kWait, "modB");
    ASSERT_TRUE(removed.arrived());
    EXPECT_EQ(lastRequest(), "removeModule|modB");
    expectSampleFailure(removed->error());

    auto list = repository->call<IRepository::getModuleList_Call>(kWait);
    ASSERT_TRUE(list.arrived());
    EXPECT_EQ(lastRequest(), "getModuleList");
    expectSampleFailure(list->error());
    EXPECT_EQ(*list->applicationList(), sampleModules());

    auto module = repository->call<IRepository::getModule_Call>(kWait, "modA", "", "team/a");
    ASSERT_TRUE(module.arrived());
    EXPECT_EQ(lastRequest(), "getModule|modA||team/a");
    expectSampleFailure(module->error());
    EXPECT_EQ(*module->packageName(), "modA");
    EXPECT_EQ(*module->moduleFileName(), "modA.zip");
    EXPECT_EQ(rpc::blockText(module->moduleData()), sampleData());
    EXPECT_EQ(*module->applicationList(), sampleModules());

    auto linked = repository->call<IRepository::linkModuleApplication_Call>(kWait, "app1", "modA", -1);
    ASSERT_TRUE(linked.arrived());
    EXPECT_EQ(lastRequest(), "linkModuleApplication|app1|modA|-1");
    expectSampleFailure(linked->error());

    auto version = repository->call<IRepository::getRSVersion_Call>(
        kWait, KavVersion { 1, 2, 3, "me" }, KavVersion { 0, 0, 0, "" }, 5);
    ASSERT_TRUE(version.arrived());
    EXPECT_EQ(lastRequest(), "getRSVersion|v1.2.3:me|v0.0.0:|5");
    expectSampleFailure(version->error());
    EXPECT_EQ(*version->narvVersion(), sampleNarvVersion());
    EXPECT_EQ(*version->qelVersion(), sampleQelVersion());
    EXPECT_EQ(version->value(), 1);

    EXPECT_EQ(repository->send<IRepository::shutdownRS_Call>(kWait, "maintenance"), 0);
    EXPECT_EQ(lastRequest(), "shutdownRS|maintenance");
}

TEST_F(LoopbackTest, DeploymentOperations)
{
    auto logon = deployment->call<IAppDeployment::logon_Call>(kWait, "cred", "team/b");
    ASSERT_TRUE(logon.arrived());
    EXPECT_EQ(lastRequest(), "logon|cred|team/b");
    EXPECT_EQ(*logon->responseToken(), "token-8");
    EXPECT_EQ(*logon->responseUser(), "bob");

    auto added = deployment->call<IAppDeployment::addPackage_Call>(
        kWait, "pkg", "rpm", "pkg.rpm", rpc::makeBlock("piece").get(), 1);
    ASSERT_TRUE(added.arrived());
    EXPECT_EQ(lastRequest(), "addPackage|pkg|rpm|pkg.rpm|[piece]|1");
    expectSampleFailure(added->error());

    auto removed = deployment->call<IAppDeployment::removePackage_Call>(kWait, "pkg", "rpm");
    ASSERT_TRUE(removed.arrived());
    EXPECT_EQ(lastRequest(), "removePackage|pkg|rpm");
    expectSampleFailure(removed->error());

    auto installed = deployment->call<IAppDeployment::installPackage_Call>(kWait, "pkg", "group1", "");
    ASSERT_TRUE(installed.arrived());
    EXPECT_EQ(lastRequest(), "installPackage|pkg|group1|");
    expectSampleFailure(installed->error());

    auto cancelled = deployment->call<IAppDeployment::cancelPackage_Call>(kWait, "pkg");
    ASSERT_TRUE(cancelled.arrived());
    EXPECT_EQ(lastRequest(), "cancelPackage|pkg");
    expectSampleFailure(cancelled->error());

    auto uninstalled
        = deployment->call<IAppDeployment::uninstallPackage_Call>(kWait, "pkg", "group1", "host2");
    ASSERT_TRUE(uninstalled.arrived());
    EXPECT_EQ(lastRequest(), "uninstallPackage|pkg|group1|host2");
    expectSampleFailure(uninstalled->error());

    auto list = deployment->call<IAppDeployment::getPackageList_Call>(kWait);
    ASSERT_TRUE(list.arrived());
    EXPECT_EQ(lastRequest(), "getPackageList");
    expectSampleFailure(list->error());
    EXPECT_EQ(*list->applicationList(), samplePackages());

    auto package = deployment->call<IAppDeployment::getPackage_Call>(kWait, "pkg", "rpm", "extra");
    ASSERT_TRUE(package.arrived());
    EXPECT_EQ(lastRequest(), "getPackage|pkg|rpm|extra");
    expectSampleFailure(package->error());
    EXPECT_EQ(*package->packageName(), "pkg");
    EXPECT_EQ(*package->packageFileName(), "pkg.rpm");
    EXPECT_EQ(rpc::blockText(package->moduleData()), sampleData());
    EXPECT_EQ(*package->applicationList(), samplePackages());

    kav::KavErrorInfo report = sampleError();
    auto reported
        = deployment->call<IAppDeployment::setPackageStatus_Call>(kWait, &report, "pkg", "host1", 9);
    ASSERT_TRUE(reported.arrived());
    EXPECT_EQ(lastRequest(),
        "setPackageStatus|E" + std::to_string(report.getCode())
            + ":Server.cpp:42:getModule:name has a slash:a/b:module|pkg|host1|9");
    expectSampleFailure(reported->error());

    auto statuses = deployment->call<IAppDeployment::getPackageStatus_Call>(kWait, "pkg", 0);
    ASSERT_TRUE(statuses.arrived());
    EXPECT_EQ(lastRequest(), "getPackageStatus|pkg|0");
    expectSampleFailure(statuses->error());
    EXPECT_EQ(*statuses->list(), sampleStatuses());

    auto rechecked
        = deployment->call<IAppDeployment::installPackageRecheck_Call>(kWait, "pkg", "group2", "h");
    ASSERT_TRUE(rechecked.arrived());
    EXPECT_EQ(lastRequest(), "installPackageRecheck|pkg|group2|h");
    EXPECT_EQ(rechecked->methodName(), "installPackageResp");
    expectSampleFailure(rechecked->error());

    auto version = deployment->call<IAppDeployment::getRSVersion_Call>(kWait, KavVersion { 8, 1, 0, "x" }, 3);
    ASSERT_TRUE(version.arrived());
    EXPECT_EQ(lastRequest(), "getRSVersion|v8.1.0:x|3");
    EXPECT_EQ(*version->qelVersion(), sampleQelVersion());
    EXPECT_EQ(version->value(), 1);
}

} // namespace
} // namespace rpc::test
