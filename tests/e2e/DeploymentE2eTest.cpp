// Application deployment end to end: the daemon, the embedded cluster and the
// real deploy command on six hosts of two types.

#include "common/ResultCodes.h"
#include "deployment/operations/ArchiveFixtures.h"
#include "e2e/DeploymentE2eSupport.h"
#include "e2e/DeploymentScenario.h"
#include "interfaces/types/HostDeployState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace rs::e2e;
using rs::test::ArchiveEntrySpec;
using rs::test::makeArchive;
using ::testing::HasSubstr;

namespace {

constexpr auto kDeployWait = std::chrono::seconds(90);

// Six hosts of the embedded cluster, n1-n3 "linux" and n4-n6 "solaris".
// Holding them means restarting the daemon on hosts that take a minute to
// grant a slot.
class EmbeddedBackend final : public DeploymentBackend {
public:
    std::string name() const override { return "Embedded"; }
    std::string unavailableReason() const override { return ""; }
    std::unique_ptr<DeploymentCluster> makeCluster() override
    {
        return std::make_unique<DeploymentCluster>(sixHosts());
    }
    std::vector<std::string> hosts() const override { return hostNames(sixHosts()); }
    std::vector<std::string> linuxHosts() const override { return { "n1", "n2", "n3" }; }
    bool holdHosts(DeploymentCluster& cluster) override
    {
        std::vector<HostSpec> slow = sixHosts();
        for (auto& host : slow)
            host.extra = "alloc_delay_ms = 600000";
        cluster.setHosts(slow);
        return true;
    }
    bool releaseHosts(DeploymentCluster& cluster) override
    {
        cluster.setHosts(sixHosts());
        return true;
    }
};

EmbeddedBackend embedded;

INSTANTIATE_TEST_SUITE_P(Embedded, DeploymentScenarioTest, ::testing::Values(&embedded), backendName);

class DeploymentE2eTest : public ::testing::Test {
protected:
    void startCluster(std::vector<HostSpec> hosts = sixHosts(), std::map<std::string, std::string> env = {})
    {
        cluster_ = std::make_unique<DeploymentCluster>(std::move(hosts), std::move(env));
        ASSERT_TRUE(cluster_->start()) << cluster_->failure();
        admin_ = cluster_->admin();
        ASSERT_NE(admin_, nullptr);
    }
    int32_t install(const std::string& package, const std::string& host = "")
    {
        return admin_->call<IAppDeployment::installPackage_Call>(kCallWait, package, "", host).code();
    }

    std::unique_ptr<DeploymentCluster> cluster_;
    std::unique_ptr<rsclient::Client> admin_;
};

TEST_F(DeploymentE2eTest, APackageNeverDeployedHasNoStatusButAnEmptyList)
{
    startCluster();
    ASSERT_EQ(addPackage(*admin_, "idle", "", "idle.txt", "nothing"), 0);
    auto reply = admin_->call<IAppDeployment::getPackageStatus_Call>(kCallWait, "idle", 0);
    EXPECT_EQ(reply.code(), kav::rc::RS_NO_SERVER_MANAGER);
    ASSERT_TRUE(reply.arrived());
    ASSERT_NE(reply->list(), nullptr);
    EXPECT_TRUE(reply->list()->entries.empty());
    EXPECT_EQ(hostStates(*admin_, "missing").code, kav::rc::RS_NO_SUCH_PACKAGE);
}

TEST_F(DeploymentE2eTest, FailedContainerUnavailableHostAndLostDeployCommandEndInError)
{
    startCluster({ { "n1", "linux", "fail_start = true" }, { "n2", "linux", "unavailable = true" },
                     { "n3", "linux", "" }, { "n4", "solaris", "" } },
        { { "RSDEPLOY_HOST_TIMEOUT", "2" } });
    // Stored for linux only: the solaris host has no package to get.
    ASSERT_EQ(addPackage(*admin_, "web", "linux", "web.tar",
                  makeArchive({ { ArchiveEntrySpec::File, "index.html", "linux build" } })),
        0);
    ASSERT_EQ(install("web"), 0);
    HostStates states = waitForStates(
        *admin_, "web",
        [](const HostStates& s) {
            return allIn(s, { "n1", "n2", "n4" }, rs::HOST_ERROR) && allIn(s, { "n3" }, rs::HOST_INSTALLED);
        },
        kDeployWait);
    ASSERT_TRUE(allIn(states, { "n1", "n2", "n4" }, rs::HOST_ERROR)) << cluster_->logText();
    EXPECT_EQ(states.state["n3"], rs::HOST_INSTALLED);
    // The host's text is the catalogue text of the container failure; the
    // cluster's own reason goes to the log.
    EXPECT_THAT(states.message["n1"], HasSubstr("resource manager"));
    EXPECT_THAT(cluster_->logText(), HasSubstr("refuses to start containers"));
    EXPECT_THAT(states.message["n2"], HasSubstr("within 2 seconds"));
    EXPECT_THAT(states.message["n4"], HasSubstr("solaris"));

    // A deploy command that reports DOWNLOADING and then goes away.
    {
        auto deployCommand = cluster_->connect(kServiceUser, kServicePassword);
        ASSERT_NE(deployCommand, nullptr);
        ASSERT_EQ(deployCommand
                      ->call<IAppDeployment::setPackageStatus_Call>(
                          kCallWait, nullptr, "web", "n1", int32_t(rs::HOST_DOWNLOADING))
                      .code(),
            0);
        EXPECT_EQ(hostStates(*admin_, "web").state["n1"], rs::HOST_DOWNLOADING);
    }
    HostStates lost = waitForStates(
        *admin_, "web", [](const HostStates& s) { return allIn(s, { "n1" }, rs::HOST_ERROR); }, kDeployWait);
    ASSERT_EQ(lost.state["n1"], rs::HOST_ERROR);
    EXPECT_THAT(lost.message["n1"], HasSubstr("DOWNLOADING"));
}

// A removed package takes its deployment state with it: added again, it has
// never been deployed, before and after a restart.
TEST_F(DeploymentE2eTest, ARemovedPackageLeavesNoDeploymentStateBehind)
{
    // A host that takes ten minutes to grant keeps the run allocating.
    startCluster({ { "n1", "linux", "alloc_delay_ms = 600000" } });
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.txt", "first"), 0);
    ASSERT_EQ(install("web"), 0);
    ASSERT_EQ(admin_->call<IAppDeployment::cancelPackage_Call>(kCallWait, "web").code(), 0);
    ASSERT_EQ(hostStates(*admin_, "web").state["n1"], rs::HOST_CANCELLED);
    auto remove
        = [&] { return admin_->call<IAppDeployment::removePackage_Call>(kCallWait, "web", "").code(); };
    ASSERT_EQ(whenNoInstallerRuns(remove), 0);

    ASSERT_EQ(addPackage(*admin_, "web", "", "web.txt", "second"), 0);
    EXPECT_EQ(hostStates(*admin_, "web").code, kav::rc::RS_NO_SERVER_MANAGER);
    admin_.reset();
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);
    EXPECT_EQ(hostStates(*admin_, "web").code, kav::rc::RS_NO_SERVER_MANAGER);
}

TEST_F(DeploymentE2eTest, AHostileArchiveIsRefusedOnTheHost)
{
    startCluster();
    ASSERT_EQ(addPackage(*admin_, "evil", "", "evil.tar",
                  makeArchive({ { ArchiveEntrySpec::File, "fine.txt", "ok" },
                      { ArchiveEntrySpec::File, "../../escaped.txt", "gotcha" } })),
        0);
    ASSERT_EQ(install("evil", "n1"), 0);
    HostStates states = waitForStates(
        *admin_, "evil", [](const HostStates& s) { return allIn(s, { "n1" }, rs::HOST_ERROR); }, kDeployWait);
    ASSERT_EQ(states.state["n1"], rs::HOST_ERROR) << cluster_->logText();
    EXPECT_THAT(states.message["n1"], HasSubstr("refused archive entry"));
    EXPECT_EQ(states.state.size(), 1u);
    EXPECT_FALSE(fs::exists(cluster_->hostTop("n1") + "/escaped.txt"));
    EXPECT_FALSE(fs::exists(cluster_->hostTop("n1") + "/apps/escaped.txt"));
    EXPECT_FALSE(fs::exists(cluster_->hostTop("n1") + "/apps/evil"));
}

} // namespace
