// The daemon's start-up as an operator sees it: options, environment, exit
// statuses and the events it raises.

#include "e2e/E2eSupport.h"

#include "common/ResultCodes.h"
#include "rs/startup/DaemonConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

using namespace rs::e2e;
namespace fs = std::filesystem;

// The line the event agent logs for an event number.
std::string eventLine(uint32_t number)
{
    return "narv.common.EventAgent - Code[S" + std::to_string(number) + "]";
}

// Runs the daemon to its end with the given options; returns its status.
std::optional<int> runToEnd(TestCluster& cluster, DaemonProcess& process, const RunOptions& options)
{
    process.start(options, cluster.environment());
    return process.waitForExit();
}

TEST(DaemonStartup, WithoutAPortItFailsWithThePortEvent)
{
    TestCluster cluster;
    DaemonProcess process;
    EXPECT_EQ(runToEnd(cluster, process, { .unsetEnv = { "REPOSITORY_SERVICE_PORT" } }), 1);
    EXPECT_NE(cluster.logText().find(eventLine(kav::msg::EVENT_EXIT_PORT)), std::string::npos);
    EXPECT_EQ(process.standardError().find(DaemonProcess::startedText()), std::string::npos);
}

TEST(DaemonStartup, MalformedAndOutOfRangePortsAreRefused)
{
    for (const std::string port : { "0", "65536", "80a", "" }) {
        TestCluster cluster;
        DaemonProcess process;
        EXPECT_EQ(runToEnd(cluster, process, { .env = { { "REPOSITORY_SERVICE_PORT", port } } }), 1) << port;
        EXPECT_NE(cluster.logText().find(eventLine(kav::msg::EVENT_EXIT_PORT)), std::string::npos) << port;
    }
}

TEST(DaemonStartup, PortWithBlanksAroundItIsAccepted)
{
    TestCluster cluster;
    DaemonProcess process;
    int port = DaemonProcess::freePort();
    process.start({ .env = { { "REPOSITORY_SERVICE_PORT", " " + std::to_string(port) + " " } } },
                  cluster.environment());
    ASSERT_TRUE(process.waitUntilServing()) << process.standardError();
    EXPECT_TRUE(serves(port));
    EXPECT_EQ(process.stop(), 0);
}

TEST(DaemonStartup, PortOptionBeatsTheEnvironment)
{
    ServingDaemon daemon;
    ASSERT_TRUE(daemon.start({ .env = { { "REPOSITORY_SERVICE_PORT", "80a" } } })) << daemon.failure;
    EXPECT_TRUE(serves(daemon.port));
    EXPECT_EQ(daemon.process.stop(), 0);
}

TEST(DaemonStartup, AuditLogOnlyWhenSwitchedOn)
{
    for (auto [value, expected] : { std::pair { "on", true }, std::pair { "1", false } }) {
        ServingDaemon daemon;
        fs::path auditDir = daemon.cluster.root() / "audit";
        fs::create_directories(auditDir);
        ASSERT_TRUE(daemon.start({ .env = { { "RS_AUDIT_LOG", value }, { "QEL_AUDIT_LOGDIR", auditDir.string() } } }))
            << daemon.failure;
        EXPECT_EQ(fs::exists(auditDir / "repositoryservice.audit.log"), expected) << value;
        EXPECT_EQ(daemon.process.stop(), 0);
    }
}

TEST(DaemonStartup, UnknownOptionPrintsTheUsageLine)
{
    TestCluster cluster;
    DaemonProcess process;
    EXPECT_EQ(runToEnd(cluster, process, { .args = { "-x" } }), 0);
    EXPECT_EQ(process.standardOutput(), rs::usageLine(DaemonProcess::binary()));
}

TEST(DaemonStartup, VersionOptionPrintsTheBannerAndExits)
{
    TestCluster cluster;
    DaemonProcess process;
    EXPECT_EQ(runToEnd(cluster, process, { .args = { "-V" } }), 0);
    EXPECT_NE(process.standardOutput().find(".100654, "), std::string::npos);
}

TEST(DaemonStartup, ReadOnlyStorageDirectoryFailsWithTheStorageEvent)
{
    TestCluster cluster;
    fs::create_directories(cluster.storageDir());
    fs::permissions(cluster.storageDir(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
                                              | fs::perms::group_exec | fs::perms::others_read
                                              | fs::perms::others_exec);
    fs::create_directories(cluster.root() / "cluster");
    fs::permissions(cluster.root() / "cluster", fs::perms::all);
    RunOptions options { .args = { "-p", std::to_string(DaemonProcess::freePort()) } };
    // Root may write anywhere: the check must be seen from an ordinary account.
    if (::geteuid() == 0)
        options.runAsUser = 65534;
    DaemonProcess process;
    EXPECT_EQ(runToEnd(cluster, process, options), 1) << process.standardError();
    EXPECT_NE(cluster.logText().find(eventLine(kav::msg::EVENT_EXIT_STORAGE_DIR)), std::string::npos)
        << cluster.logText();
}

} // namespace
