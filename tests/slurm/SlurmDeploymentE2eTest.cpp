// Application deployment end to end on a real Slurm cluster: the daemon and
// the real deploy command, the deploy command running as a job step on each
// of four Slurm nodes of two types.

#include "common/ResultCodes.h"
#include "deployment/operations/ArchiveFixtures.h"
#include "e2e/DeploymentE2eSupport.h"
#include "interfaces/types/HostDeployState.h"
#include "slurm/SlurmTestCluster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using namespace rs::e2e;
using namespace rs::slurmtest;
using rs::test::ArchiveEntrySpec;
using rs::test::makeArchive;

namespace {

constexpr auto kDeployWait = std::chrono::seconds(60);

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The install hook records the host it was given and the Slurm step it ran in.
std::string pageArchive(const std::string& page)
{
    return makeArchive(
        { { ArchiveEntrySpec::Dir, "site", "" }, { ArchiveEntrySpec::File, "site/index.html", page },
            { ArchiveEntrySpec::File, "rs-install.sh",
                "echo \"$RS_HOST\" > installed-on\n"
                "echo \"$SLURMD_NODENAME $SLURM_JOB_ID $SLURM_STEP_ID\" > slurm-step\n" } });
}

int activeHosts(const HostStates& states)
{
    int active = 0;
    for (const auto& [host, state] : states.state)
        active += state == rs::HOST_WAITING || state == rs::HOST_DOWNLOADING;
    return active;
}

class SlurmDeploymentE2eTest : public SlurmClusterTest {
protected:
    void SetUp() override
    {
        SlurmClusterTest::SetUp();
        if (IsSkipped())
            return;
        cluster_ = DeploymentCluster::onSlurm(slurm_->conf());
        ASSERT_TRUE(cluster_->start()) << cluster_->failure();
        admin_ = cluster_->admin();
        ASSERT_NE(admin_, nullptr);
    }
    void TearDown() override
    {
        admin_.reset();
        cluster_.reset();
    }

    HostStates waitAll(const std::string& package, uint32_t state)
    {
        return waitForStates(
            *admin_, package, [&](const HostStates& s) { return allIn(s, kNodes, state); }, kDeployWait,
            [&](const HostStates& s) { maxActive_ = std::max(maxActive_, activeHosts(s)); });
    }
    // A call that an installer still finishing its clean-up refuses is repeated.
    int32_t whenNoInstallerRuns(const std::function<int32_t()>& call)
    {
        int32_t code = call();
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(40);
             code == kav::rc::RS_INSTALLER_RUNNING && std::chrono::steady_clock::now() < until;) {
            // The daemon removes finished installers on its house-keeping round.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            code = call();
        }
        return code;
    }
    void expectInstalledByStepsOnEveryNode()
    {
        for (const auto& host : kNodes) {
            const std::string app = cluster_->hostTop(host) + "/apps/web";
            bool linux = std::count(kLinuxNodes.begin(), kLinuxNodes.end(), host);
            EXPECT_EQ(readText(app + "/site/index.html"), linux ? "linux build" : "generic build") << host;
            EXPECT_EQ(readText(app + "/installed-on"), host + "\n");
            // Set by slurmd only: the hook ran in a job step on that very node.
            EXPECT_THAT(readText(app + "/slurm-step"), ::testing::MatchesRegex(host + " [0-9]+ [0-9]+\n"));
        }
    }

    std::unique_ptr<DeploymentCluster> cluster_;
    std::unique_ptr<rsclient::Client> admin_;
    int maxActive_ = 0;
};


TEST_F(SlurmDeploymentE2eTest, InstallCancelUninstallRecheckAndRestartOnFourNodes)
{
    ASSERT_EQ(addPackage(*admin_, "web", "linux", "web.tar", pageArchive("linux build")), 0);
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.tar", pageArchive("generic build")), 0);

    ASSERT_EQ(admin_->call<IAppDeployment::installPackage_Call>(kCallWait, "web", "", "").code(), 0);
    HostStates installed = waitAll("web", rs::HOST_INSTALLED);
    ASSERT_TRUE(allIn(installed, kNodes, rs::HOST_INSTALLED)) << slurm_->state() << cluster_->logText();
    EXPECT_EQ(installed.state.size(), kNodes.size());
    EXPECT_LE(maxActive_, 4);
    expectInstalledByStepsOnEveryNode();

    ASSERT_EQ(whenNoInstallerRuns([&] {
        return admin_->call<IAppDeployment::uninstallPackage_Call>(kCallWait, "web", "", "").code();
    }),
        0);
    ASSERT_TRUE(allIn(waitAll("web", rs::HOST_UNINSTALLED), kNodes, rs::HOST_UNINSTALLED))
        << slurm_->state() << cluster_->logText();
    for (const auto& host : kNodes)
        EXPECT_FALSE(fs::exists(cluster_->hostTop(host) + "/apps/web")) << host;

    // With every node held by another job the package's allocation waits in
    // Slurm's queue; cancelling it withdraws the queued job.
    std::string blocker = slurm_->hold("node[1-4]", 4);
    ASSERT_FALSE(blocker.empty());
    ASSERT_EQ(whenNoInstallerRuns([&] {
        return admin_->call<IAppDeployment::installPackageRecheck_Call>(kCallWait, "web", "", "").code();
    }),
        0);
    HostStates waiting = waitForStates(
        *admin_, "web", [](const HostStates& s) { return allIn(s, kNodes, rs::HOST_ALLOCATING); },
        kDeployWait);
    ASSERT_TRUE(allIn(waiting, kNodes, rs::HOST_ALLOCATING));
    ASSERT_EQ(admin_->call<IAppDeployment::cancelPackage_Call>(kCallWait, "web").code(), 0);
    EXPECT_TRUE(allIn(hostStates(*admin_, "web"), kNodes, rs::HOST_CANCELLED));
    slurm_->cancel(blocker);

    // The nodes are free again: a new deployment gets all four.
    ASSERT_EQ(whenNoInstallerRuns([&] {
        return admin_->call<IAppDeployment::installPackageRecheck_Call>(kCallWait, "web", "", "").code();
    }),
        0);
    ASSERT_TRUE(allIn(waitAll("web", rs::HOST_INSTALLED), kNodes, rs::HOST_INSTALLED))
        << slurm_->state() << cluster_->logText();
    expectInstalledByStepsOnEveryNode();
    EXPECT_LE(maxActive_, 4);

    // The persisted final states come back with a restarted service.
    admin_.reset();
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);
    HostStates resumed = hostStates(*admin_, "web");
    EXPECT_EQ(resumed.code, 0);
    EXPECT_TRUE(allIn(resumed, kNodes, rs::HOST_INSTALLED));
}

} // namespace
