// A client's view of the running daemon: logon on both interfaces, the
// version and unknown interfaces.

#include "e2e/E2eSupport.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

namespace {

using namespace rs::e2e;

const std::string kAdminCredential = std::string(kAdminUser) + ":" + kAdminPassword;

class DaemonService : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new ServingDaemon();
        ASSERT_TRUE(daemon_->start()) << daemon_->failure;
    }
    static void TearDownTestSuite()
    {
        delete daemon_;
        daemon_ = nullptr;
    }
    static ServingDaemon* daemon_;
};

ServingDaemon* DaemonService::daemon_ = nullptr;

TEST_P(DaemonService, LogonWithTheRightPasswordNamesTheUser)
{
    WireClient client;
    ASSERT_TRUE(client.connect(daemon_->port, GetParam()));
    LogonAnswer answer = logon(client, GetParam(), kAdminCredential, kKnownConsumer);
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.code, 0);
    EXPECT_EQ(answer.user, kAdminUser);
    EXPECT_FALSE(answer.token.empty());
}

TEST_P(DaemonService, LogonWithAWrongPasswordOrUnknownUserIsRefused)
{
    for (const std::string& credential : { std::string(kAdminUser) + ":wrong", std::string("nobody-here:x"),
                                          std::string("no-colon") }) {
        WireClient client;
        ASSERT_TRUE(client.connect(daemon_->port, GetParam()));
        LogonAnswer answer = logon(client, GetParam(), credential, kKnownConsumer);
        ASSERT_TRUE(answer.answered) << credential;
        EXPECT_EQ(answer.code, kav::rc::RS_LOGON_FAILED) << credential;
        EXPECT_TRUE(answer.user.empty());
    }
    EXPECT_EQ(daemon_->cluster.logText().find("wrong"), std::string::npos); // no password in the log
}

TEST_P(DaemonService, LogonForAnUnknownConsumerIsRefused)
{
    WireClient client;
    ASSERT_TRUE(client.connect(daemon_->port, GetParam()));
    LogonAnswer answer = logon(client, GetParam(), kAdminCredential, "/no/such/consumer");
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.code, kav::rc::RS_BAD_CONSUMER);
}

TEST_P(DaemonService, VersionIsAnsweredWithValueOne)
{
    WireClient client;
    ASSERT_TRUE(client.connect(daemon_->port, GetParam()));
    VersionAnswer answer = getVersion(client, GetParam());
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.code, 0);
    EXPECT_EQ(answer.value, 1);
    EXPECT_GE(answer.productMajor, 1);
    if (std::string(GetParam()) == kRepository) {
        EXPECT_EQ(answer.serviceMajor, 4);
        EXPECT_EQ(answer.serviceMinor, 0);
        EXPECT_EQ(answer.serviceLevel, 0);
    }
}

TEST_P(DaemonService, ManyRequestsOnOneConnectionAreAllAnswered)
{
    WireClient client;
    ASSERT_TRUE(client.connect(daemon_->port, GetParam()));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(logon(client, GetParam(), kAdminCredential, kKnownConsumer).code, 0) << i;
        ASSERT_TRUE(getVersion(client, GetParam()).answered) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, DaemonService, ::testing::Values(kRepository, kDeployment));

TEST(DaemonConnections, UnknownInterfaceIsDisconnectedWithOnlyADebugLine)
{
    ServingDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.failure;
    WireClient client;
    ASSERT_TRUE(client.open(daemon.port));
    ASSERT_TRUE(client.handshake("IUnknownThing"));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(serves(daemon.port));
    std::string log = daemon.cluster.logText();
    const std::string line = "RepositoryServerManager::accept_CB: Unknown connection attempted";
    size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find(line, at + 1), std::string::npos);
    size_t lineStart = log.rfind('\n', at) + 1;
    EXPECT_EQ(log.compare(lineStart, 6, "DEBUG "), 0) << log.substr(lineStart, at - lineStart);
    EXPECT_EQ(daemon.process.stop(), 0);
}

} // namespace
