// Logging on to the real daemon: a connection is refused everything but
// logon and the version until it logs on, refused logons name no secret in
// the log, the fifth refusal ends the connection, and only an administrator
// of "/" shuts the daemon down.

#include "e2e/E2eSupport.h"

#include "common/ResultCodes.h"
#include "platform/wardn/PasswordFile.h"

#include <gtest/gtest.h>

namespace rs::e2e {
namespace {

using namespace kav::rc;

int32_t listOn(rsclient::Client& client)
{
    if (client.interfaceName() == kRepository)
        return client.call<IRepository::getModuleList_Call>(kAnswerWait).code();
    return client.call<IAppDeployment::getPackageList_Call>(kAnswerWait).code();
}

class LogonRequired : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.failure; }

    ServingDaemon daemon_;
};

TEST_P(LogonRequired, OnlyARightCredentialForAKnownConsumerOpensTheConnection)
{
    auto client = connectTo(daemon_.port, GetParam());
    ASSERT_TRUE(client);
    EXPECT_EQ(listOn(*client), RS_LOGON_REQUIRED);
    const struct {
        std::string credential, consumer;
        int32_t code;
    } rows[] = {
        { std::string(kAdminUser) + ":wrong-Password-9", kKnownConsumer, RS_LOGON_FAILED },
        { "nobody-here:x", kKnownConsumer, RS_LOGON_FAILED },
        { kAdminCredential, "/no/such/consumer", RS_BAD_CONSUMER },
    };
    for (const auto& row : rows) {
        EXPECT_EQ(logonOn(*client, row.credential, row.consumer), row.code)
            << row.credential << " " << row.consumer;
        EXPECT_EQ(listOn(*client), RS_LOGON_REQUIRED) << row.credential << " " << row.consumer;
    }
    ASSERT_EQ(logonOn(*client, kAdminCredential, kKnownConsumer), 0);
    EXPECT_EQ(listOn(*client), 0);
    EXPECT_EQ(logonOn(*client, kAdminCredential, ""), 0) << "the empty consumer is the global index";
    EXPECT_EQ(daemon_.cluster.logText().find("wrong-Password-9"), std::string::npos);
}

TEST_P(LogonRequired, TheFifthRefusedLogonClosesTheConnection)
{
    WireClient client;
    ASSERT_TRUE(client.connect(daemon_.port, GetParam()));
    for (int i = 1; i < 5; ++i)
        ASSERT_EQ(wireLogon(client, GetParam(), "nobody-here:x"), RS_LOGON_FAILED) << i;
    ASSERT_TRUE(wireVersion(client, GetParam())) << "still open after four";
    const auto fifth = wireLogon(client, GetParam(), std::string(kAdminUser) + ":wrong");
    EXPECT_TRUE(!fifth || *fifth == RS_LOGON_FAILED);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(serves(daemon_.port, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, LogonRequired, ::testing::Values(kRepository, kDeployment));

// shutdownRS has no answer: a version request behind it on the same
// connection is answered only once it was handled.
void shutDownBy(WireClient& client)
{
    ASSERT_TRUE(client.send(kRepository, IRepository::shutdownRS_Call("stop please")));
    ASSERT_TRUE(wireVersion(client, kRepository));
}

TEST(LogonSwitch, OnlyAnAdministratorOfRootShutsTheDaemonDown)
{
    ServingDaemon daemon;
    wardn::setPassword((daemon.cluster.root() / "passwd").string(), "guest", "guest-Pass-7");
    ASSERT_TRUE(daemon.start()) << daemon.failure;
    WireClient anonymous, guest, admin;
    ASSERT_TRUE(anonymous.connect(daemon.port, kRepository));
    shutDownBy(anonymous);
    ASSERT_TRUE(guest.connect(daemon.port, kRepository));
    ASSERT_EQ(wireLogon(guest, kRepository, "guest:guest-Pass-7"), 0);
    shutDownBy(guest);
    EXPECT_NE(daemon.cluster.logText().find(
                  "WARN rs.repositoryServer - RepositoryServer::shutdownRS ignored: user guest"),
        std::string::npos);
    EXPECT_TRUE(serves(daemon.port));

    ASSERT_TRUE(admin.connect(daemon.port, kRepository));
    ASSERT_EQ(wireLogon(admin, kRepository, kAdminCredential), 0);
    ASSERT_TRUE(admin.send(kRepository, IRepository::shutdownRS_Call("maintenance")));
    EXPECT_EQ(daemon.process.waitForExit(), 0);
    EXPECT_NE(daemon.cluster.logText().find("Repository Service is down"), std::string::npos);
}

} // namespace
} // namespace rs::e2e
