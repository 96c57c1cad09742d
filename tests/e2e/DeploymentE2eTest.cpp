// Application deployment end to end: the daemon, the embedded cluster and the
// real deploy command on six hosts of two types.

#include "common/ResultCodes.h"
#include "deployment/operations/ArchiveFixtures.h"
#include "e2e/DeploymentE2eSupport.h"
#include "interfaces/types/HostDeployState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using namespace rs::e2e;
using rs::test::ArchiveEntrySpec;
using rs::test::makeArchive;
using ::testing::HasSubstr;

namespace {

constexpr auto kDeployWait = std::chrono::seconds(90);
const std::vector<std::string> kLinuxHosts { "n1", "n2", "n3" };
const std::vector<std::string> kAllHosts { "n1", "n2", "n3", "n4", "n5", "n6" };

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string pageArchive(const std::string& page)
{
    return makeArchive(
        { { ArchiveEntrySpec::Dir, "site", "" }, { ArchiveEntrySpec::File, "site/index.html", page },
            { ArchiveEntrySpec::File, "rs-install.sh", "echo \"$RS_HOST\" > installed-on\n" } });
}

int activeHosts(const HostStates& states)
{
    int active = 0;
    for (const auto& [host, state] : states.state)
        active += state == rs::HOST_WAITING || state == rs::HOST_DOWNLOADING;
    return active;
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
    HostStates waitAll(const std::string& package, const std::vector<std::string>& hosts, uint32_t state)
    {
        return waitForStates(
            *admin_, package, [&](const HostStates& s) { return allIn(s, hosts, state); }, kDeployWait,
            [&](const HostStates& s) { maxActive_ = std::max(maxActive_, activeHosts(s)); });
    }

    std::unique_ptr<DeploymentCluster> cluster_;
    std::unique_ptr<rsclient::Client> admin_;
    int maxActive_ = 0;
};

TEST_F(DeploymentE2eTest, InstallUninstallRecheckAndRestartOnSixHostsOfTwoTypes)
{
    startCluster();
    ASSERT_EQ(addPackage(*admin_, "web", "linux", "web.tar", pageArchive("linux build")), 0);
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.tar", pageArchive("generic build")), 0);

    ASSERT_EQ(install("web"), 0);
    EXPECT_EQ(install("web"), kav::rc::RS_INSTALLER_RUNNING);
    HostStates installed = waitAll("web", kAllHosts, rs::HOST_INSTALLED);
    ASSERT_TRUE(allIn(installed, kAllHosts, rs::HOST_INSTALLED)) << cluster_->logText();
    EXPECT_LE(maxActive_, 4);
    int logged = largestLoggedActiveCount(cluster_->logText());
    EXPECT_GE(logged, 0);
    EXPECT_LE(logged, 4);
    for (const auto& host : kAllHosts) {
        const std::string app = cluster_->hostTop(host) + "/apps/web";
        bool linux = host <= "n3";
        EXPECT_EQ(readText(app + "/site/index.html"), linux ? "linux build" : "generic build") << host;
        EXPECT_EQ(readText(app + "/installed-on"), host + "\n");
    }

    ASSERT_EQ(admin_->call<IAppDeployment::uninstallPackage_Call>(kCallWait, "web", "", "").code(), 0);
    ASSERT_TRUE(allIn(waitAll("web", kAllHosts, rs::HOST_UNINSTALLED), kAllHosts, rs::HOST_UNINSTALLED));
    for (const auto& host : kAllHosts)
        EXPECT_FALSE(fs::exists(cluster_->hostTop(host) + "/apps/web")) << host;

    ASSERT_EQ(admin_->call<IAppDeployment::installPackageRecheck_Call>(kCallWait, "web", "", "").code(), 0);
    ASSERT_TRUE(allIn(waitAll("web", kAllHosts, rs::HOST_INSTALLED), kAllHosts, rs::HOST_INSTALLED));
    EXPECT_LE(maxActive_, 4);

    // The persisted final states come back with a restarted service.
    admin_.reset();
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);
    HostStates resumed = hostStates(*admin_, "web");
    EXPECT_EQ(resumed.code, 0);
    EXPECT_TRUE(allIn(resumed, kAllHosts, rs::HOST_INSTALLED));
}

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

TEST_F(DeploymentE2eTest, CancelledHostsStayCancelledWhateverIsReported)
{
    std::vector<HostSpec> slow;
    for (auto host : sixHosts()) {
        host.extra = "alloc_delay_ms = 60000";
        slow.push_back(host);
    }
    startCluster(slow);
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.tar", pageArchive("x")), 0);
    ASSERT_EQ(install("web"), 0);
    ASSERT_EQ(admin_->call<IAppDeployment::cancelPackage_Call>(kCallWait, "web").code(), 0);
    HostStates cancelled = hostStates(*admin_, "web");
    EXPECT_TRUE(allIn(cancelled, kAllHosts, rs::HOST_CANCELLED));

    auto reporter = cluster_->connect(kServiceUser, kServicePassword);
    ASSERT_NE(reporter, nullptr);
    auto report = reporter->call<IAppDeployment::setPackageStatus_Call>(
        kCallWait, nullptr, "web", "n1", int32_t(rs::HOST_INSTALLED));
    EXPECT_EQ(report.code(), kav::rc::RS_HOST_STATE_FINAL);
    EXPECT_EQ(hostStates(*admin_, "web").state["n1"], rs::HOST_CANCELLED);
}

TEST_F(DeploymentE2eTest, FailedContainerUnavailableHostAndLostDeployCommandEndInError)
{
    startCluster({ { "n1", "linux", "fail_start = true" }, { "n2", "linux", "unavailable = true" },
                     { "n3", "linux", "" }, { "n4", "solaris", "" } },
        { { "RSDEPLOY_HOST_TIMEOUT", "2" } });
    // Stored for linux only: the solaris host has no package to get.
    ASSERT_EQ(addPackage(*admin_, "web", "linux", "web.tar", pageArchive("linux build")), 0);
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
