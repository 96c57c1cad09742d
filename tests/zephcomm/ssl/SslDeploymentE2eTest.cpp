// A deployment with the daemon on the SSL driver: the deploy command the
// embedded cluster starts on each host reaches the daemon over TLS, checking
// it under the test CA, and gets the transport from its container
// environment without the daemon's private key.

#include "deployment/operations/ArchiveFixtures.h"
#include "e2e/DeploymentE2eSupport.h"
#include "interfaces/types/HostDeployState.h"
#include "support/ScratchDir.h"
#include "zephcomm/driver/DriverSelection.h"
#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/ssl/SslTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace rs::e2e;
using drvtest::ScopedEnv;
using rs::test::ArchiveEntrySpec;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kDeployWait = std::chrono::seconds(90);

class SslDeployment : public ::testing::Test {
protected:
    void SetUp() override { pki_ = ssltest::makeTestPki(dir_.path(), "deploy"); }
    // The test's own connections load their driver anew next time.
    void TearDown() override
    {
        admin_.reset();
        cluster_.reset();
        zephcomm::fini();
    }

    ssltest::ScratchDir dir_;
    ssltest::TestPki pki_;
    std::unique_ptr<DeploymentCluster> cluster_;
    std::unique_ptr<rsclient::Client> admin_;
};

TEST_F(SslDeployment, TheDeployCommandReachesAnSslDaemonAndChecksItWithoutItsKey)
{
    // The daemon's certificate is issued for "localhost"; its own
    // connecting settings say to check exactly that name under the test CA.
    const std::string daemonArgument = "SSL[CERTIFICATE=" + pki_.serverCertificate
        + ",PRIVATE_KEY=" + pki_.serverKey + ",SERVER_AUTH={localhost},CAFILE=" + pki_.caFile + "]";
    cluster_ = std::make_unique<DeploymentCluster>(
        std::vector<HostSpec> { { "n1", "linux", "" }, { "n2", "linux", "" }, { "n3", "solaris", "" } },
        std::map<std::string, std::string> { { zephcommdrv::kDriverVariable, "TCPIPv4SSL" },
            { zephcommdrv::kDriverArgumentVariable, daemonArgument } });
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
    ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, ssltest::verifyingClientArgument(pki_).c_str());
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);

    // The install hook records the transport the deploy command was given.
    const std::string package = rs::test::makeArchive({ { ArchiveEntrySpec::File, "rs-install.sh",
        "echo \"$RS_DRIVER\" > driver\necho \"$RS_DRIVER_ARG\" > driver-arg\n" } });
    ASSERT_EQ(addPackage(*admin_, "web", "", "web.tar", package), 0);
    ASSERT_EQ(admin_->call<IAppDeployment::installPackage_Call>(kCallWait, "web", "", "").code(), 0);
    const std::vector<std::string> hosts { "n1", "n2", "n3" };
    HostStates states = waitForStates(
        *admin_, "web", [&](const HostStates& s) { return allIn(s, hosts, rs::HOST_INSTALLED); },
        kDeployWait);
    ASSERT_TRUE(allIn(states, hosts, rs::HOST_INSTALLED)) << cluster_->logText();

    for (const auto& host : hosts) {
        const std::string app = cluster_->hostTop(host) + "/apps/web/";
        EXPECT_EQ(rs::test::readFile(app + "driver"), "TCPIPv4SSL\n") << host;
        const std::string given = rs::test::readFile(app + "driver-arg");
        EXPECT_THAT(given, HasSubstr("CAFILE=" + pki_.caFile)) << host;
        EXPECT_THAT(given, HasSubstr("SERVER_AUTH={localhost}")) << host;
        EXPECT_THAT(given, Not(HasSubstr(pki_.serverKey))) << host;
        EXPECT_THAT(given, Not(HasSubstr("CERTIFICATE"))) << host;
    }
    // The transport goes in the environment, not on the command lines the daemon logs.
    const std::string log = cluster_->logText();
    static const std::regex started("Starting: [^\n]*");
    int lines = 0;
    for (std::sregex_iterator at(log.begin(), log.end(), started), end; at != end; ++at, ++lines)
        EXPECT_THAT(at->str(), Not(HasSubstr("SSL"))) << at->str();
    EXPECT_EQ(lines, 3);
}

TEST_F(SslDeployment, ADeployCommandThatCannotCheckTheDaemonLeavesItsHostInError)
{
    // The daemon's connecting settings name a host its certificate is not
    // issued for, so every deploy command refuses the daemon: proof that
    // the deploy command checks what it is told to check.
    const std::string daemonArgument = "SSL[CERTIFICATE=" + pki_.serverCertificate
        + ",PRIVATE_KEY=" + pki_.serverKey + ",SERVER_AUTH={elsewhere.example},CAFILE=" + pki_.caFile + "]";
    cluster_ = std::make_unique<DeploymentCluster>(std::vector<HostSpec> { { "n1", "linux", "" } },
        std::map<std::string, std::string> { { zephcommdrv::kDriverVariable, "TCPIPv4SSL" },
            { zephcommdrv::kDriverArgumentVariable, daemonArgument }, { "RSDEPLOY_HOST_TIMEOUT", "2" } });
    ASSERT_TRUE(cluster_->start()) << cluster_->failure();
    ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
    ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, ssltest::verifyingClientArgument(pki_).c_str());
    admin_ = cluster_->admin();
    ASSERT_NE(admin_, nullptr);

    ASSERT_EQ(addPackage(*admin_, "web", "", "web.txt", "page"), 0);
    ASSERT_EQ(admin_->call<IAppDeployment::installPackage_Call>(kCallWait, "web", "", "").code(), 0);
    HostStates states = waitForStates(
        *admin_, "web", [](const HostStates& s) { return allIn(s, { "n1" }, rs::HOST_ERROR); }, kDeployWait);
    ASSERT_EQ(states.state["n1"], rs::HOST_ERROR) << cluster_->logText();
    EXPECT_FALSE(std::filesystem::exists(cluster_->hostTop("n1") + "/apps/web"));
}

} // namespace
