// The logon requirement: with RS_REQUIRE_LOGON on (the default) a connection
// gets nothing but logon and the version until it has logged on, shutdownRS
// needs role level 1 on "/", and five refused logons end the connection;
// with it off the service is open as on a trusted network.

#include "e2e/ModuleE2eSupport.h"

#include "common/ResultCodes.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "interfaces/rpc/RpcCodecs.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace rs::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kAdminCredential = std::string(kAdminUser) + ":" + kAdminPassword;

std::unique_ptr<rsclient::Client> connectTo(int port, const char* interfaceName)
{
    return rsclient::Client::connect("localhost:" + std::to_string(port), interfaceName, kAnswerWait);
}

// One request of every operation except logon and the version, each with
// valid-looking arguments; the result is the answer's code.
using Request = std::function<int32_t(rsclient::Client&)>;

std::map<std::string, Request> repositoryRequests()
{
    return {
        { "addModule",
            [](rsclient::Client& c) {
                auto piece = rpc::makeBlock("x");
                return c.call<IRepository::addModule_Call>(kAnswerWait, "m", "m.bin", piece.get(), 1).code();
            } },
        { "removeModule",
            [](rsclient::Client& c) {
                return c.call<IRepository::removeModule_Call>(kAnswerWait, "m").code();
            } },
        { "getModuleList",
            [](rsclient::Client& c) { return c.call<IRepository::getModuleList_Call>(kAnswerWait).code(); } },
        { "getModule",
            [](rsclient::Client& c) {
                return c.call<IRepository::getModule_Call>(kAnswerWait, "m", "1", kKnownConsumer).code();
            } },
        { "linkModuleApplication",
            [](rsclient::Client& c) {
                return c.call<IRepository::linkModuleApplication_Call>(kAnswerWait, "app", "m", 1).code();
            } },
    };
}

std::map<std::string, Request> deploymentRequests()
{
    return {
        { "addPackage",
            [](rsclient::Client& c) {
                auto data = rpc::makeBlock("x");
                return c.call<IAppDeployment::addPackage_Call>(kAnswerWait, "p", "", "p.bin", data.get(), 1)
                    .code();
            } },
        { "removePackage",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::removePackage_Call>(kAnswerWait, "p", "").code();
            } },
        { "installPackage",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::installPackage_Call>(kAnswerWait, "p", "", "node1").code();
            } },
        { "installPackageRecheck",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::installPackageRecheck_Call>(kAnswerWait, "p", "", "node1")
                    .code();
            } },
        { "cancelPackage",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::cancelPackage_Call>(kAnswerWait, "p").code();
            } },
        { "uninstallPackage",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::uninstallPackage_Call>(kAnswerWait, "p", "", "node1").code();
            } },
        { "getPackageList",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::getPackageList_Call>(kAnswerWait).code();
            } },
        { "getPackage",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::getPackage_Call>(kAnswerWait, "p", "", "").code();
            } },
        { "setPackageStatus",
            [](rsclient::Client& c) {
                kav::KavErrorInfo none;
                return c.call<IAppDeployment::setPackageStatus_Call>(kAnswerWait, &none, "p", "node1", 5)
                    .code();
            } },
        { "getPackageStatus",
            [](rsclient::Client& c) {
                return c.call<IAppDeployment::getPackageStatus_Call>(kAnswerWait, "p", 0).code();
            } },
    };
}

std::map<std::string, Request> requestsOf(const std::string& interfaceName)
{
    return interfaceName == kRepository ? repositoryRequests() : deploymentRequests();
}

template <class LogonCall>
int32_t logonWith(rsclient::Client& client, const std::string& credential, const std::string& consumer)
{
    return client.call<LogonCall>(kAnswerWait, credential, consumer).code();
}

int32_t logonOn(rsclient::Client& client, const std::string& credential, const std::string& consumer)
{
    if (client.interfaceName() == kRepository)
        return logonWith<IRepository::logon_Call>(client, credential, consumer);
    return logonWith<IAppDeployment::logon_Call>(client, credential, consumer);
}

// A daemon with the default setting: logon required.
class LogonRequired : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new ModuleDaemon();
        ASSERT_TRUE(daemon_->start()) << daemon_->failure();
    }
    static void TearDownTestSuite()
    {
        if (daemon_) {
            EXPECT_EQ(daemon_->process().stop(), 0);
        }
        delete daemon_;
        daemon_ = nullptr;
    }
    static int port() { return daemon_->port(); }

    static ModuleDaemon* daemon_;
};

ModuleDaemon* LogonRequired::daemon_ = nullptr;

TEST_P(LogonRequired, TheRefusalNamesTheOperationAndIsLoggedWithTheCatalogueText)
{
    auto client = connectTo(port(), GetParam());
    ASSERT_TRUE(client);
    const bool repository = std::string(GetParam()) == kRepository;
    const std::string operation = repository ? "getModuleList" : "getPackageList";
    kav::Params parameters;
    if (repository) {
        auto reply = client->call<IRepository::getModuleList_Call>(kAnswerWait);
        ASSERT_TRUE(reply.arrived());
        parameters = reply->error()->getParams();
    } else {
        auto reply = client->call<IAppDeployment::getPackageList_Call>(kAnswerWait);
        ASSERT_TRUE(reply.arrived());
        parameters = reply->error()->getParams();
    }
    EXPECT_EQ(parameters, kav::Params { operation });
    EXPECT_NE(daemon_->cluster().logText().find("The request " + operation + " is refused: log on first."),
        std::string::npos);
}

TEST_P(LogonRequired, ARefusedLogonOpensNothingAndASuccessfulOneOpensEverything)
{
    auto client = connectTo(port(), GetParam());
    ASSERT_TRUE(client);
    EXPECT_EQ(logonOn(*client, std::string(kAdminUser) + ":wrong", kKnownConsumer), kav::rc::RS_LOGON_FAILED);
    for (auto& [operation, request] : requestsOf(GetParam())) {
        EXPECT_EQ(request(*client), kav::rc::RS_LOGON_REQUIRED) << operation;
    }
    ASSERT_EQ(logonOn(*client, kAdminCredential, kKnownConsumer), 0);
    for (auto& [operation, request] : requestsOf(GetParam())) {
        EXPECT_NE(request(*client), kav::rc::RS_LOGON_REQUIRED) << operation;
    }
}

TEST_P(LogonRequired, TheFifthRefusedLogonClosesTheConnection)
{
    WireClient client;
    ASSERT_TRUE(client.connect(port(), GetParam()));
    for (int i = 1; i < 5; ++i) {
        LogonAnswer refused = logon(client, GetParam(), "nobody-here:x", kKnownConsumer);
        ASSERT_TRUE(refused.answered) << i;
        EXPECT_EQ(refused.code, kav::rc::RS_LOGON_FAILED) << i;
    }
    ASSERT_TRUE(getVersion(client, GetParam()).answered) << "still open after four";
    LogonAnswer fifth = logon(client, GetParam(), std::string(kAdminUser) + ":wrong", kKnownConsumer);
    if (fifth.answered) {
        EXPECT_EQ(fifth.code, kav::rc::RS_LOGON_FAILED);
    }
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(serves(port(), GetParam()));
}

TEST_P(LogonRequired, TheEmptyConsumerIsAccepted)
{
    auto client = connectTo(port(), GetParam());
    ASSERT_TRUE(client);
    EXPECT_EQ(logonOn(*client, kAdminCredential, ""), 0);
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, LogonRequired, ::testing::Values(kRepository, kDeployment));

TEST_F(LogonRequired, TheEmptyConsumerReachesTheGlobalIndex)
{
    auto global = ModuleSession::open(port(), kAdminUser, kAdminPassword, "");
    ASSERT_TRUE(global);
    ASSERT_EQ(global->addPiece("global-only", "g.bin", "shared bytes", 1).code, 0);
    GetResult got = global->get("global-only", "1", "");
    ASSERT_EQ(got.code, 0);
    EXPECT_EQ(got.contents, "shared bytes");
}

// shutdownRS has no answer: a version request behind it on the same
// connection is answered only after it was handled.
void sendShutdownAndWaitUntilHandled(WireClient& client)
{
    ASSERT_TRUE(client.send(kRepository, IRepository::shutdownRS_Call("stop please")));
    ASSERT_TRUE(getVersion(client, kRepository).answered);
}

size_t countOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST_F(LogonRequired, ShutdownWithoutLogonOrWithoutLevelOneOnRootIsIgnoredWithAWarning)
{
    const std::string warning = "RepositoryServer::shutdownRS ignored";
    const size_t before = countOf(daemon_->cluster().logText(), warning);
    {
        WireClient anonymous;
        ASSERT_TRUE(anonymous.connect(port(), kRepository));
        sendShutdownAndWaitUntilHandled(anonymous);
    }
    {
        WireClient guest;
        ASSERT_TRUE(guest.connect(port(), kRepository));
        ASSERT_EQ(
            logon(guest, kRepository, std::string(kGuestUser) + ":" + kGuestPassword, kKnownConsumer).code,
            0);
        sendShutdownAndWaitUntilHandled(guest);
    }
    const std::string log = daemon_->cluster().logText();
    EXPECT_EQ(countOf(log, warning), before + 2);
    EXPECT_NE(log.find("WARN rs.repositoryServer - " + warning + ": user " + kGuestUser), std::string::npos);
    EXPECT_FALSE(daemon_->process().waitForExit(std::chrono::seconds(0)).has_value());
    EXPECT_TRUE(serves(port()));
}

TEST(LogonSwitch, ShutdownByAnAdministratorOfRootStopsTheDaemon)
{
    ServingDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.failure;
    WireClient client;
    ASSERT_TRUE(client.connect(daemon.port, kRepository));
    ASSERT_EQ(logon(client, kRepository, kAdminCredential, kKnownConsumer).code, 0);
    ASSERT_TRUE(client.send(kRepository, IRepository::shutdownRS_Call("maintenance")));
    EXPECT_EQ(daemon.process.waitForExit(), 0);
    EXPECT_NE(daemon.cluster.logText().find("Repository Service is down"), std::string::npos);
}

TEST(LogonSwitch, OffServesRequestsWithoutLogonAndObeysAnyShutdown)
{
    ServingDaemon daemon;
    RunOptions options;
    options.env["RS_REQUIRE_LOGON"] = "off";
    ASSERT_TRUE(daemon.start(options)) << daemon.failure;
    for (const char* interfaceName : { kRepository, kDeployment }) {
        auto client = connectTo(daemon.port, interfaceName);
        ASSERT_TRUE(client);
        for (auto& [operation, request] : requestsOf(interfaceName)) {
            EXPECT_NE(request(*client), kav::rc::RS_LOGON_REQUIRED) << operation;
        }
    }
    auto client = connectTo(daemon.port, kRepository);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->call<IRepository::getModuleList_Call>(kAnswerWait).code(), 0);
    EXPECT_NE(daemon.cluster.logText().find("RS_REQUIRE_LOGON is off"), std::string::npos);

    WireClient anonymous;
    ASSERT_TRUE(anonymous.connect(daemon.port, kRepository));
    ASSERT_TRUE(anonymous.send(kRepository, IRepository::shutdownRS_Call("trusted network")));
    EXPECT_EQ(daemon.process.waitForExit(), 0);
}

} // namespace
} // namespace rs::e2e
