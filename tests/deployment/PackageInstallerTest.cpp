#include "rs/deployment/installer/PackageInstaller.h"
#include "common/Loggers.h"
#include "rs/deployment/installer/InstallerRegistry.h"

#include "common/LogCapture.h"
#include "deployment/FakeDeployment.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace rs {
namespace {

using Hosts = std::vector<std::string>;
using namespace std::chrono_literals;

// A tick long enough that the installer's thread never steps on its own
// while a test drives deployNextHost directly.
constexpr std::chrono::milliseconds kIdleTick = std::chrono::hours(1);

class PackageInstallerTest : public ::testing::Test {
protected:
    PackageInstallerTest()
    {
        service.storage = storage.path();
        std::filesystem::create_directories(storage.path().string() + "/.global/pkg");
    }

    // A started installer over the given group hosts.
    kav::RefPtr<PackageInstaller> start(
        const Hosts& hosts, bool uninstall = false, std::chrono::milliseconds tick = kIdleTick)
    {
        cluster.groups[RsResAlloc::kDefaultResourceGroup] = hosts;
        auto installer = kav::RefPtr<PackageInstaller>::adopt(
            new PackageInstaller(service, cluster, tick, PackageInstaller::kStopWait));
        DeploymentRequest r;
        r.package = "pkg";
        r.user = "alice";
        r.uninstall = uninstall;
        installer->init(r);
        return installer;
    }

    void report(const std::string& host, uint32_t state)
    {
        service.table.updateHMStatus("pkg", host, "", state, nullptr, false);
    }

    Hosts hostsIn(uint32_t state)
    {
        Hosts hosts;
        auto list = service.table.getHMStatus("pkg", state);
        if (list)
            for (const auto& e : list->entries)
                hosts.push_back(e.hostName);
        return hosts;
    }

    test::ScratchDir storage;
    test::FakeService service;
    test::FakeCluster cluster;
};

TEST_F(PackageInstallerTest, OneActiveAndFiveAllocatedStartsExactlyThreeInNameOrder)
{
    auto installer = start({ "h1", "h2", "h3", "h4", "h5", "h6" });
    installer->deployNextHost(test::makeResource("h1"));
    report("h1", HOST_DOWNLOADING);
    ASSERT_EQ(cluster.provisionedHosts(), Hosts { "h1" });
    for (const char* host : { "h6", "h4", "h2", "h5", "h3" })
        service.table.createHMElement("pkg", host, "alice", test::makeResource(host), false);

    installer->deployNextHost({});
    EXPECT_EQ(cluster.provisionedHosts(), (Hosts { "h1", "h2", "h3", "h4" }));
    EXPECT_EQ(hostsIn(HOST_WAITING), (Hosts { "h2", "h3", "h4" }));
    EXPECT_EQ(hostsIn(HOST_ALLOCATED), (Hosts { "h5", "h6" }));
}

TEST_F(PackageInstallerTest, FourDownloadingHoldBackANewHostUntilOneRuns)
{
    auto installer = start({ "h1", "h2", "h3", "h4", "h5" });
    for (const char* host : { "h1", "h2", "h3", "h4" }) {
        installer->deployNextHost(test::makeResource(host));
        report(host, HOST_DOWNLOADING);
    }
    installer->deployNextHost(test::makeResource("h5"));
    EXPECT_EQ(hostsIn(HOST_ALLOCATED), Hosts { "h5" });
    EXPECT_EQ(cluster.provisionedHosts().size(), 4u);

    report("h3", HOST_RUNNING); // running hosts no longer count
    installer->deployNextHost({});
    EXPECT_EQ(hostsIn(HOST_WAITING), Hosts { "h5" });
}

TEST_F(PackageInstallerTest, FinishedAndFailedHostsGiveTheirResourcesBackEveryStep)
{
    test::TestSlot::alive() = 0;
    {
        auto installer = start({ "h1", "h2", "h3" });
        for (const char* host : { "h1", "h2", "h3" })
            installer->deployNextHost(test::makeResource(host));
        report("h1", HOST_INSTALLED);
        report("h2", HOST_ERROR);
        installer->deployNextHost({});
        Hosts released = cluster.releasedHosts();
        std::sort(released.begin(), released.end());
        EXPECT_EQ(released, (Hosts { "h1", "h2" }));
        EXPECT_EQ(test::TestSlot::alive(), 1) << "only the waiting host still holds its slot";

        report("h3", HOST_ERROR);
        installer->deployNextHost({});
        EXPECT_EQ(cluster.releasedHosts().size(), 3u);
        EXPECT_EQ(test::TestSlot::alive(), 0);
    }
}

TEST_F(PackageInstallerTest, AStepThatThrowsIsLoggedAndTheThreadStepsOn)
{
    kav::test::LogCapture capture(kav::loggers::get(kav::loggers::kPackageInstaller));
    cluster.throwingHost = "h1";
    auto installer = start({ "h1", "h2" }, false, 5ms);
    service.table.createHMElement("pkg", "h1", "alice", test::makeResource("h1"), false);
    service.table.createHMElement("pkg", "h2", "alice", test::makeResource("h2"), false);
    ASSERT_TRUE(cluster.waitForProvisioned(2));
    EXPECT_EQ(cluster.provisionedHosts(), (Hosts { "h1", "h2" }));
    installer->cleanup();
    bool logged = false;
    for (const auto& line : capture.lines())
        logged = logged
            || (line.level == log4cxx::Level::getError() && line.message.rfind("Code[S1]: ", 0) == 0
                && line.message.find("broken container start") != std::string::npos);
    EXPECT_TRUE(logged);
}

class InstallerRegistryTest : public PackageInstallerTest {
protected:
    InstallerRegistry registry { service };
};

TEST_F(InstallerRegistryTest, SecondInstallerOfAPackageIsRefusedNamingTheRunningKind)
{
    auto uninstalling = start({ "h1" }, true);
    ASSERT_EQ(registry.addPackageInstaller("pkg", uninstalling), 0);
    auto another = start({ "h1" });
    EXPECT_EQ(registry.addPackageInstaller("pkg", another), kav::rc::RS_INSTALLER_RUNNING);
    EXPECT_EQ(kav::peekErrorInfo()->getParams(), (Hosts { "pkg", "uninstall run" }));
    EXPECT_EQ(registry.checkPackageInstaller("pkg"), kav::rc::RS_INSTALLER_RUNNING);
    EXPECT_EQ(registry.checkPackageInstaller("other"), 0);
    EXPECT_EQ(registry.size(), 1u);
}

TEST_F(InstallerRegistryTest, CleanupRemovesOnlyRunsWhoseHostsAreAllFinal)
{
    auto installer = start({ "h1", "h2" });
    ASSERT_EQ(registry.addPackageInstaller("pkg", installer), 0);
    const Hosts registration { installer->resAlloc().registration() };
    installer = {};
    report("h1", HOST_INSTALLED);
    registry.cleanupPackageInstallers();
    EXPECT_EQ(registry.size(), 1u);
    EXPECT_GE(service.consumerCleanups, 2);

    report("h2", HOST_ERROR);
    registry.cleanupPackageInstallers();
    EXPECT_EQ(registry.size(), 0u);
    EXPECT_EQ(cluster.unregistered, registration);
    EXPECT_EQ(registry.checkPackageInstaller("pkg"), 0);
}

// Ticks keep a one-second beat whatever the steps take, so that a step's own
// time does not push every later host back.
TEST(PackageInstallerTick, KeepsTheOneSecondBeatWhateverTheStepsTake)
{
    const ACE_Time_Value second(1);
    struct Case {
        ACE_Time_Value previous, now, next;
    } cases[] = {
        { ACE_Time_Value(10), ACE_Time_Value(10, 300000), ACE_Time_Value(11) }, // a short step
        { ACE_Time_Value(10), ACE_Time_Value(10, 999999), ACE_Time_Value(11) }, // a step of almost a tick
        { ACE_Time_Value(10), ACE_Time_Value(11), ACE_Time_Value(12) }, // a step of a whole tick
        { ACE_Time_Value(10), ACE_Time_Value(13, 500000), ACE_Time_Value(14, 500000) }, // ticks missed
    };
    for (const Case& c : cases)
        EXPECT_EQ(nextTickAfter(c.previous, c.now, second), c.next) << c.now.sec() << "." << c.now.usec();
}

} // namespace
} // namespace rs
