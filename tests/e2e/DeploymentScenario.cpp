#include "e2e/DeploymentScenario.h"

#include "common/ResultCodes.h"
#include "deployment/operations/ArchiveFixtures.h"
#include "interfaces/types/HostDeployState.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using rs::test::ArchiveEntrySpec;
using rs::test::makeArchive;
using rs::test::readFile;

namespace rs::e2e {

namespace {

constexpr auto kDeployWait = std::chrono::seconds(90);

// A page for the web server and an install hook that records the host it
// was given, plus the backend's own lines.
std::string pageArchive(const std::string& page, const std::string& hookLines)
{
    return makeArchive(
        { { ArchiveEntrySpec::Dir, "site", "" }, { ArchiveEntrySpec::File, "site/index.html", page },
            { ArchiveEntrySpec::File, "rs-install.sh", "echo \"$RS_HOST\" > installed-on\n" + hookLines } });
}

// The largest count the installers logged as "Actively downloading hosts: ".
int largestLoggedActiveCount(const std::string& log)
{
    static const std::regex line("Actively downloading hosts: ([0-9]+)");
    int largest = -1;
    for (std::sregex_iterator at(log.begin(), log.end(), line), end; at != end; ++at)
        largest = std::max(largest, std::stoi((*at)[1]));
    return largest;
}

// Repeats `call` while an installer of the package still finishing its
// clean-up refuses it; finished installers go on the daemon's house-keeping
// round, which tells nobody.
int32_t whenNoInstallerRuns(const std::function<int32_t()>& call)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    int32_t code = call();
    while (code == kav::rc::RS_INSTALLER_RUNNING && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        code = call();
    }
    return code;
}

} // namespace

std::vector<HostSpec> sixHosts()
{
    return { { "n1", "linux", "" }, { "n2", "linux", "" }, { "n3", "linux", "" }, { "n4", "solaris", "" },
        { "n5", "solaris", "" }, { "n6", "solaris", "" } };
}

std::string backendName(const ::testing::TestParamInfo<DeploymentBackend*>& info)
{
    return info.param->name();
}

void DeploymentE2eTest::SetUp()
{
    if (std::string why = backend().unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    cluster_ = backend().makeCluster();
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);
}

void DeploymentE2eTest::TearDown()
{
    admin_.reset();
    cluster_.reset();
}

void DeploymentE2eTest::restartDaemon()
{
    admin_.reset();
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);
}

int32_t DeploymentE2eTest::install(const std::string& package)
{
    return admin_->call<IAppDeployment::installPackage_Call>(kCallWait, package, "", "").code();
}

HostStates DeploymentE2eTest::waitAll(const std::string& package, uint32_t state)
{
    const std::vector<std::string> hosts = backend().hosts();
    return waitForStates(
        *admin_, package, [&](const HostStates& s) { return allIn(s, hosts, state); }, kDeployWait);
}

void DeploymentE2eTest::expectInstalledOnEveryHost(const std::string& package)
{
    const std::vector<std::string> linux = backend().linuxHosts();
    for (const auto& host : backend().hosts()) {
        const std::string app = cluster_->hostTop(host) + "/apps/" + package;
        const bool isLinux = std::count(linux.begin(), linux.end(), host) > 0;
        EXPECT_EQ(readFile(app + "/site/index.html"), isLinux ? "linux build" : "generic build") << host;
        EXPECT_EQ(readFile(app + "/installed-on"), host + "\n");
        backend().expectHookRanOn(host, app);
    }
}

std::string DeploymentE2eTest::failureContext() const
{
    return backend().state() + "\n--- daemon log ---\n" + cluster_->logText();
}

TEST_P(DeploymentE2eTest, InstallUninstallCancelRecheckRestartAndRemove)
{
    const std::vector<std::string> hosts = backend().hosts();
    const std::string hook = backend().hookLines();
    ASSERT_EQ(addPackage(*admin_, "web", "linux", "web.tar", pageArchive("linux build", hook)), 0);
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.tar", pageArchive("generic build", hook)), 0);

    ASSERT_EQ(install("web"), 0);
    EXPECT_EQ(install("web"), kav::rc::RS_INSTALLER_RUNNING);
    HostStates installed = waitAll("web", rs::HOST_INSTALLED);
    ASSERT_TRUE(allIn(installed, hosts, rs::HOST_INSTALLED)) << failureContext();
    // At most four hosts download at once.
    const int logged = largestLoggedActiveCount(cluster_->logText());
    EXPECT_GE(logged, 0);
    EXPECT_LE(logged, 4);
    expectInstalledOnEveryHost("web");

    auto uninstall = [&] {
        return admin_->call<IAppDeployment::uninstallPackage_Call>(kCallWait, "web", "", "").code();
    };
    ASSERT_EQ(whenNoInstallerRuns(uninstall), 0);
    ASSERT_TRUE(allIn(waitAll("web", rs::HOST_UNINSTALLED), hosts, rs::HOST_UNINSTALLED)) << failureContext();
    for (const auto& host : hosts)
        EXPECT_FALSE(fs::exists(cluster_->hostTop(host) + "/apps/web")) << host;

    // With the hosts held the new run's allocation waits; cancelling it
    // makes every host final, whatever a deploy command reports later.
    auto recheck = [&] {
        return admin_->call<IAppDeployment::installPackageRecheck_Call>(kCallWait, "web", "", "").code();
    };
    if (backend().holdHosts(*cluster_))
        restartDaemon();
    ASSERT_EQ(whenNoInstallerRuns(recheck), 0);
    HostStates waiting = waitAll("web", rs::HOST_ALLOCATING);
    ASSERT_TRUE(allIn(waiting, hosts, rs::HOST_ALLOCATING)) << failureContext();
    ASSERT_EQ(admin_->call<IAppDeployment::cancelPackage_Call>(kCallWait, "web").code(), 0);
    EXPECT_TRUE(allIn(hostStates(*admin_, "web"), hosts, rs::HOST_CANCELLED));
    auto reporter = cluster_->connect(kServiceUser, kServicePassword);
    ASSERT_NE(reporter, nullptr);
    EXPECT_EQ(reporter
                  ->call<IAppDeployment::setPackageStatus_Call>(
                      kCallWait, nullptr, "web", hosts.front(), int32_t(rs::HOST_INSTALLED))
                  .code(),
        kav::rc::RS_HOST_STATE_FINAL);
    EXPECT_EQ(hostStates(*admin_, "web").state[hosts.front()], rs::HOST_CANCELLED);
    reporter.reset();
    if (backend().releaseHosts(*cluster_))
        restartDaemon();

    // The hosts are free again: a new run gets them all.
    ASSERT_EQ(whenNoInstallerRuns(recheck), 0);
    ASSERT_TRUE(allIn(waitAll("web", rs::HOST_INSTALLED), hosts, rs::HOST_INSTALLED)) << failureContext();
    expectInstalledOnEveryHost("web");

    // The persisted final states come back with a restarted service.
    restartDaemon();
    HostStates resumed = hostStates(*admin_, "web");
    EXPECT_EQ(resumed.code, 0);
    EXPECT_TRUE(allIn(resumed, hosts, rs::HOST_INSTALLED));

    // A removed package takes its deployment states with it: added again,
    // it has never been deployed, before and after a restart.
    auto remove
        = [&] { return admin_->call<IAppDeployment::removePackage_Call>(kCallWait, "web", "").code(); };
    ASSERT_EQ(whenNoInstallerRuns(remove), 0);
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.tar", pageArchive("generic build", hook)), 0);
    EXPECT_EQ(hostStates(*admin_, "web").code, kav::rc::RS_NO_SERVER_MANAGER);
    restartDaemon();
    EXPECT_EQ(hostStates(*admin_, "web").code, kav::rc::RS_NO_SERVER_MANAGER);
}

} // namespace rs::e2e
