#include "rs/deployment/installer/RsResAlloc.h"

#include "deployment/FakeDeployment.h"
#include "deployment/TestResources.h"
#include "rs/deployment/installer/DeployTransport.h"
#include "support/ScratchDir.h"
#include "zephcomm/driver/DriverTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace rs {
namespace {

using Hosts = std::vector<std::string>;

// Records the resources that allocation hands on.
struct RecordingDeployer : IHostDeployer {
    void deployNextHost(const ResourceHandle& resource) override { deployed.push_back(resource.hostName()); }
    Hosts deployed;
};

class RsResAllocTest : public ::testing::Test {
protected:
    RsResAllocTest()
        : alloc(service, cluster)
    {
        service.storage = storage.path();
        cluster.groups[RsResAlloc::kDefaultResourceGroup] = { "h1", "h2", "h3" };
        cluster.groups["grp"] = { "a1.example.com", "b1.example.com" };
    }

    // Stores a package below ".global" as the repository lays it out.
    void storePackage(const std::string& storedName)
    {
        std::filesystem::create_directories(storage.path().string() + "/.global/" + storedName);
    }

    DeploymentRequest request(bool uninstall = false)
    {
        DeploymentRequest r;
        r.package = "pkg";
        r.user = "alice";
        r.uninstall = uninstall;
        return r;
    }

    uint32_t stateOf(const std::string& host)
    {
        auto list = service.table.getHMStatus("pkg", 0);
        if (list)
            for (const auto& e : list->entries)
                if (e.hostName == host)
                    return e.state;
        return HOST_STATE_NONE;
    }

    test::ScratchDir storage;
    test::FakeService service;
    test::FakeCluster cluster;
    RecordingDeployer deployer;
    RsResAlloc alloc;
};

TEST_F(RsResAllocTest, DefaultsRegisterEveryGroupHostAndAskForAllOfThem)
{
    alloc.init(deployer, request());
    EXPECT_EQ(cluster.registered, Hosts { RsResAlloc::kDefaultConsumer });
    EXPECT_EQ(cluster.askedGroups, Hosts { RsResAlloc::kDefaultResourceGroup });
    EXPECT_EQ(
        cluster.requests, Hosts { "/ClusterServices/QELClusterServices 1..3 InternalResourceGroup any" });
    EXPECT_EQ(service.consumerCleanups, 1) << "stale consumers go before a new one registers";
    auto list = service.table.getHMStatus("pkg", HostStatusTable::kFilterAll);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->entries.size(), 3u);
    for (const auto& e : list->entries)
        EXPECT_EQ(e.state, HOST_ALLOCATING) << e.hostName;
    EXPECT_EQ(service.sink.changesTogether, 1) << "the hosts are persisted as one change";
}

TEST_F(RsResAllocTest, RegistrationKeepsHostsFinalForThisRunAndResetsTheOthers)
{
    for (const char* host : { "h1", "h2", "h3" })
        service.table.createHMElement("pkg", host, "bob", test::makeResource(host), false);
    service.table.updateHMStatus("pkg", "h1", "", HOST_INSTALLED, nullptr, false);
    service.table.updateHMStatus("pkg", "h2", "", HOST_ERROR, nullptr, false);
    service.table.updateHMStatus("pkg", "h3", "", HOST_UNINSTALLED, nullptr, true);

    alloc.init(deployer, request());
    EXPECT_EQ(stateOf("h1"), HOST_INSTALLED);
    EXPECT_EQ(stateOf("h2"), HOST_ALLOCATING);
    EXPECT_EQ(stateOf("h3"), HOST_ALLOCATING);
}

TEST_F(RsResAllocTest, SingleHostIsMatchedAgainstTheGroupByShortName)
{
    DeploymentRequest r = request();
    r.resourceGroup = "grp";
    r.consumer = "/Apps/Mine";
    r.host = "B1";
    alloc.init(deployer, r);
    EXPECT_EQ(alloc.targetHosts(), Hosts { "b1.example.com" });
    EXPECT_EQ(cluster.requests, Hosts { "/Apps/Mine 1..1 grp any" });
    EXPECT_EQ(stateOf("b1.example.com"), HOST_ALLOCATING);
    EXPECT_EQ(stateOf("a1.example.com"), HOST_STATE_NONE);
}

TEST_F(RsResAllocTest, UnknownSingleHostTargetsNothingAndSaysWhy)
{
    DeploymentRequest r = request();
    r.host = "elsewhere";
    alloc.init(deployer, r);
    EXPECT_TRUE(alloc.targetHosts().empty());
    EXPECT_TRUE(cluster.requests.empty());
    ASSERT_NE(kav::peekErrorInfo(), nullptr);
    EXPECT_EQ(kav::peekErrorInfo()->getCode(), kav::rc::RS_BAD_HOST);
    EXPECT_EQ(kav::peekErrorInfo()->getParams(), Hosts { "elsewhere" });
}

TEST_F(RsResAllocTest, FailedResourceRequestUnregistersButLeavesHostsAllocating)
{
    cluster.getResourcesFails = true;
    alloc.init(deployer, request());
    EXPECT_EQ(cluster.unregistered, Hosts { alloc.registration() });
    EXPECT_EQ(stateOf("h1"), HOST_ALLOCATING);
}

TEST_F(RsResAllocTest, FailedRegistrationStillEntersHostsAndIsNotUndone)
{
    cluster.registerFails = true;
    cluster.getResourcesFails = true;
    alloc.init(deployer, request());
    EXPECT_EQ(stateOf("h2"), HOST_ALLOCATING);
    EXPECT_TRUE(cluster.unregistered.empty());
}

// A run deploys each target host once. Any other grant goes back as a
// replacement, so that the allocation still owes the remaining targets their
// hosts (a plain release would lower its maximum instead).
TEST(RsResAllocGrants, EachTargetHostIsDeployedOnceAndEveryOtherGrantIsReplaced)
{
    struct Grant {
        const char* host;
        const char* type;
    };
    struct Case {
        const char* name;
        const char* host; // the requested single host; empty: the whole group
        std::vector<Grant> grants;
        Hosts deployed, replaced, released;
    };
    const Case cases[] = {
        { "a host with two slots", "", { { "h1", "linux" }, { "h1", "linux" }, { "h2", "linux" } },
            { "h1", "h2" }, { "h1" }, {} },
        { "a single host that is not the group's first", "h2", { { "h1", "linux" }, { "h2", "linux" } },
            { "h2" }, { "h1" }, {} },
        { "a host outside the group", "", { { "stranger", "linux" }, { "h3", "linux" } }, { "h3" },
            { "stranger" }, {} },
        { "a host whose type has no package, twice", "", { { "h2", "arm" }, { "h2", "arm" } }, {}, { "h2" },
            { "h2" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchDir storage;
        std::filesystem::create_directories(storage.path().string() + "/.global/pkg.type_linux");
        test::FakeService service;
        service.storage = storage.path();
        test::FakeCluster cluster;
        cluster.groups[RsResAlloc::kDefaultResourceGroup] = { "h1", "h2", "h3" };
        RecordingDeployer deployer;
        RsResAlloc alloc(service, cluster);
        DeploymentRequest r;
        r.package = "pkg";
        r.host = c.host;
        alloc.init(deployer, r);
        test::TestSlot::alive() = 0;
        for (const Grant& grant : c.grants)
            EXPECT_EQ(alloc.onResource(test::makeResource(grant.host, grant.type)), 0);
        EXPECT_EQ(deployer.deployed, c.deployed);
        EXPECT_EQ(cluster.replaced, c.replaced);
        EXPECT_EQ(cluster.released, c.released);
        EXPECT_EQ(test::TestSlot::alive(), 0) << "no reference kept";
        auto list = service.table.getHMStatus("pkg", HostStatusTable::kFilterAll);
        for (const auto& e : list->entries)
            EXPECT_NE(e.hostName, "stranger") << "a host outside the targets gets no entry";
    }
}

TEST_F(RsResAllocTest, HostTypeWithoutPackageBecomesErrorAndIsReleased)
{
    storePackage("pkg.type_linux");
    alloc.init(deployer, request());
    alloc.onResource(test::makeResource("h1", "linux"));
    alloc.onResource(test::makeResource("h2", "arm"));
    EXPECT_EQ(deployer.deployed, Hosts { "h1" });
    EXPECT_EQ(stateOf("h2"), HOST_ERROR);
    EXPECT_EQ(cluster.released, Hosts { "h2" });
    kav::KavErrorInfo expected(kav::rc::RS_NO_PACKAGE_FOR_TYPE, "", "", "", { "pkg", "h2", "arm" });
    auto list = service.table.getHMStatus("pkg", HOST_ERROR);
    EXPECT_EQ(list->entries.at(0).message, test::FakeHostStatusSink::format(expected));
}

TEST_F(RsResAllocTest, UntypedPackageServesEveryTypeAndFoundTypesAreRemembered)
{
    storePackage("pkg");
    alloc.init(deployer, request());
    EXPECT_TRUE(alloc.isPackageAvailable("arm"));
    std::filesystem::remove_all(storage.path().string() + "/.global");
    EXPECT_TRUE(alloc.isPackageAvailable("arm")) << "a type found once is not looked up again";
    EXPECT_FALSE(alloc.isPackageAvailable("linux"));
}

TEST_F(RsResAllocTest, InstallCommandLineEnvironmentAndWorkDirectory)
{
    alloc.init(deployer, request());
    ASSERT_EQ(alloc.startContainer(test::makeResource("h1", "linux")), 0);
    ASSERT_EQ(cluster.provisioned.size(), 1u);
    const test::ProvisionCall& call = cluster.provisioned[0];
    EXPECT_EQ(call.command, "${QEL_BINDIR}/rsdeploy download pkg -r linux -t h1");
    EXPECT_EQ(call.environment,
        (Hosts { "QEL_TOP=${QEL_TOP}", "NARV_HOME=${QEL_TOP}/narv", "QEL_BINDIR=${QEL_BINDIR}",
            "QEL_LIBDIR=${QEL_LIBDIR}", "QEL_SERVERDIR=${QEL_SERVERDIR}",
            "QEL_LOCAL_CONFDIR=${QEL_LOCAL_CONFDIR}" }));
    EXPECT_EQ(call.runAs, "");
    EXPECT_EQ(call.workDir, "${QEL_TOP}/eservice/rs/work");
}

TEST_F(RsResAllocTest, ADaemonOnTheSslDriverHandsItsTransportToTheDeployCommandBesideItsCommandLine)
{
    drvtest::ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
    drvtest::ScopedEnv argument(
        zephcommdrv::kDriverArgumentVariable, "SSL[CERTIFICATE=/etc/rs/rs.pem,PRIVATE_KEY=/etc/rs/rs.key]");
    drvtest::ScopedEnv deployArgument(kDeployDriverArgumentVariable, nullptr);
    alloc.init(deployer, request());
    ASSERT_EQ(alloc.startContainer(test::makeResource("h1", "linux")), 0);
    ASSERT_EQ(cluster.provisioned.size(), 1u);
    const test::ProvisionCall& call = cluster.provisioned[0];
    EXPECT_EQ(call.command, "${QEL_BINDIR}/rsdeploy download pkg -r linux -t h1");
    ASSERT_EQ(call.environment.size(), 8u);
    EXPECT_EQ(call.environment[0], "QEL_TOP=${QEL_TOP}");
    EXPECT_EQ(call.environment[6], "RS_DRIVER=TCPIPv4SSL");
    EXPECT_EQ(call.environment[7], "RS_DRIVER_ARG=");
}

TEST_F(RsResAllocTest, UninstallRunAddsTheFlagAndAcceptsEveryType)
{
    alloc.init(deployer, request(true));
    EXPECT_TRUE(alloc.isPackageAvailable("anything"));
    EXPECT_EQ(alloc.createZorCmd("arm", "h2"), "${QEL_BINDIR}/rsdeploy download pkg -r arm -t h2 -d ");
}

TEST_F(RsResAllocTest, ContainerFailureIsReturnedWithItsErrorInformation)
{
    cluster.failingHost = "h1";
    alloc.init(deployer, request());
    EXPECT_LT(alloc.startContainer(test::makeResource("h1")), 0);
    ASSERT_NE(kav::peekErrorInfo(), nullptr);
    EXPECT_EQ(kav::peekErrorInfo()->getCode(), kav::rc::ZOR_CALL_FAILED);
}

// The resource manager takes a second unregistration of a consumer for an
// error: a run unregisters its consumer at most once, and leaves it to the
// service's consumer clean-up only when the unregistration failed.
TEST(RsResAllocCleanup, UnregistersTheRunsConsumerOnceAndQueuesOnlyAFailure)
{
    struct Row {
        const char* run;
        bool registerFails, getResourcesFails, unregisterFails;
        size_t unregistrations;
        bool queued;
    };
    const Row rows[] = {
        { "that got its request in", false, false, false, 1, false },
        { "whose resource request failed", false, true, false, 1, false },
        { "that could not register", true, false, false, 0, false },
        { "whose unregistration fails", false, false, true, 1, true },
        { "whose request and unregistration fail", false, true, true, 1, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("a run ") + row.run);
        test::ScratchDir storage;
        test::FakeService service;
        service.storage = storage.path();
        test::FakeCluster cluster;
        cluster.groups[RsResAlloc::kDefaultResourceGroup] = { "h1", "h2" };
        cluster.registerFails = row.registerFails;
        cluster.getResourcesFails = row.getResourcesFails;
        cluster.unregisterFails = row.unregisterFails;
        RecordingDeployer deployer;
        RsResAlloc alloc(service, cluster);
        DeploymentRequest request;
        request.package = "pkg";
        request.user = "alice";

        alloc.init(deployer, request);
        alloc.cleanup();

        EXPECT_EQ(cluster.unregistered, Hosts(row.unregistrations, alloc.registration()));
        EXPECT_EQ(service.consumersToClean, row.queued ? Hosts { alloc.registration() } : Hosts {});
        kav::clearErrorInfo();
    }
}

// Two packages of one user at the same time: each run registers on the
// user's consumer under a name of its own and cleans up only that.
TEST_F(RsResAllocTest, TwoRunsOnOneConsumerRegisterAndCleanUpApart)
{
    cluster.groups["grp"] = { "h1" };
    DeploymentRequest first = request();
    first.consumer = "/apps/mine";
    first.resourceGroup = "grp";
    DeploymentRequest second = first;
    second.package = "other";
    RsResAlloc otherRun(service, cluster);
    alloc.init(deployer, first);
    otherRun.init(deployer, second);
    EXPECT_EQ(cluster.registered, (Hosts { "/apps/mine", "/apps/mine" })) << "both on the user's consumer";
    EXPECT_EQ(cluster.live.size(), 2u) << "each run has a registration of its own";
    EXPECT_EQ(cluster.requests, (Hosts { "/apps/mine 1..1 grp any", "/apps/mine 1..1 grp any" }));

    alloc.cleanup();
    EXPECT_EQ(cluster.live.count(otherRun.registration()), 1u) << "the other run stays registered";
    EXPECT_EQ(cluster.live.size(), 1u);
    otherRun.cleanup();
    EXPECT_TRUE(cluster.live.empty());
}

} // namespace
} // namespace rs
