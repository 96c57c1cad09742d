// The daemon's start-up as an operator sees it: options, environment, exit
// statuses and the events it raises.

#include "e2e/E2eSupport.h"

#include "common/ResultCodes.h"
#include "rs/startup/DaemonConfig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <functional>

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

// Something else listening on a port while it lives.
class PortHolder {
public:
    PortHolder()
        : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 1) != 0)
            throw std::runtime_error("cannot hold a port");
    }
    ~PortHolder() { ::close(fd_); }
    int port() const { return port_; }

private:
    int port_ = DaemonProcess::freePort();
    int fd_;
};

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// Each start-up that cannot go on says why on standard error, in the
// operator's terms (file and line, the system's reason), and exits with 1.
TEST(DaemonStartup, RefusalsSayTheirReasonOnStandardError)
{
    using Setup = std::function<void(TestCluster&, RunOptions&)>;
    auto clusterFile = [](std::string text) {
        return [text](TestCluster& cluster, RunOptions& options) {
            writeText(cluster.root() / "bad.toml", "[params]\nQEL_SEC_PLUGIN = \"sec_passwd\"\n" + text);
            options.env["ZOR_CLUSTER_FILE"] = (cluster.root() / "bad.toml").string();
        };
    };
    PortHolder busy;
    struct Row {
        const char* name;
        Setup setup;
        std::vector<std::string> said; // on standard error, each
    };
    const Row rows[] = {
        { "unknown key", clusterFile("[[hosts]]\nname = \"n1\"\nslot = 2\n"),
            { "bad.toml:5", "hosts.slot" } },
        { "syntax error", clusterFile("[[hosts]]\nname = \"n1\n"), { "bad.toml:4" } },
        { "unknown host in a group",
            clusterFile("[[hosts]]\nname = \"n1\"\n[groups]\nG = [\"n1\", \"zz\"]\n"),
            { "bad.toml:", "zz" } },
        { "missing cluster file",
            [](TestCluster& cluster, RunOptions& options) {
                options.env["ZOR_CLUSTER_FILE"] = (cluster.root() / "none.toml").string();
            },
            { "none.toml", "No such file or directory" } },
        { "cluster file unset",
            [](TestCluster&, RunOptions& options) { options.unsetEnv = { "ZOR_CLUSTER_FILE" }; },
            { "ZOR_CLUSTER_FILE is not set" } },
        { "storage path is a file",
            [](TestCluster& cluster, RunOptions& options) {
                writeText(cluster.root() / "plain", "");
                options.args.push_back("-d");
                options.args.push_back((cluster.root() / "plain").string());
            },
            { "plain", "is not a directory" } },
        { "port in use",
            [&busy](TestCluster&, RunOptions& options) {
                options.args = { "-p", std::to_string(busy.port()) };
            },
            { "port " + std::to_string(busy.port()), "Address already in use" } },
        { "no catalogue",
            [](TestCluster&, RunOptions& options) {
                options.env["RS_I18N_DATA"] = "/nonexistent/catalogue";
                options.args.clear(); // and no port: it cannot start
            },
            { "message catalogue cannot be opened", "message 85002" } },
        { "check of a malformed cluster file",
            [&](TestCluster& cluster, RunOptions& options) {
                clusterFile("[[hosts]]\nname = \"n1\"\nslot = 2\n")(cluster, options);
                options.args.push_back("--check");
            },
            { "bad.toml:5", "hosts.slot", "not usable" } },
    };
    for (const Row& row : rows) {
        TestCluster cluster;
        RunOptions options { .args = { "-p", std::to_string(DaemonProcess::freePort()) } };
        row.setup(cluster, options);
        DaemonProcess process;
        EXPECT_EQ(runToEnd(cluster, process, options), 1) << row.name;
        const std::string said = process.standardError();
        for (const auto& text : row.said)
            EXPECT_NE(said.find(text), std::string::npos) << row.name << ": no \"" << text << "\" in\n"
                                                          << said;
    }
}

// What the service does not understand, or cannot use without refusing to
// start, it says at start-up (and keeps the values the service always took).
TEST(DaemonStartup, ValuesAndFilesItCannotUseAreNamedAtStartUp)
{
    ServingDaemon daemon;
    writeText(daemon.cluster.root() / "plain", "");
    fs::remove(daemon.cluster.root() / "passwd");
    ASSERT_TRUE(daemon.start({ .env
        = { { "REPOSITORY_CACHE_SIZE", "abc" }, { "RSDEPLOY_HOST_TIMEOUT", "1m" }, { "RS_AUDIT_LOG", "ON" },
            { "QEL_AUDIT_LOGDIR", (daemon.cluster.root() / "plain").string() } } }))
        << daemon.failure;
    const std::string said = daemon.process.standardError();
    for (const char* text : { "REPOSITORY_CACHE_SIZE='abc' is not a whole number; 0 is used",
             "RSDEPLOY_HOST_TIMEOUT='1m' is not a whole number; 1 is used", "audit directory",
             "password file" })
        EXPECT_NE(said.find(text), std::string::npos) << "no \"" << text << "\" in\n" << said;
    EXPECT_EQ(said.find("log4cxx:"), std::string::npos) << said;
    EXPECT_NE(daemon.cluster.logText().find("WARN rs - REPOSITORY_CACHE_SIZE='abc'"), std::string::npos);
    EXPECT_EQ(daemon.process.stop(), 0);
}

// The deploy command's libraries log through log4cxx: its own set-up must
// take their lines (its container keeps standard error), not log4cxx's
// complaint that nobody configured it.
TEST(DeployCommandLogging, ItsOutputCarriesNoLog4cxxComplaint)
{
    ServingDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.failure;
    std::string command = "env -i";
    for (const auto& [name, value] : daemon.cluster.environment())
        command += " " + name + "='" + value + "'";
    command += " QEL_TOP='" + daemon.cluster.root().string() + "' '"
        + (fs::path(DaemonProcess::binary()).parent_path() / "rsdeploy").string()
        + "' download no-such-package -r linux -t node1 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output; // the package does not exist
    EXPECT_NE(output.find("no-such-package"), std::string::npos) << output;
    EXPECT_EQ(output.find("log4cxx:"), std::string::npos) << output;
    EXPECT_EQ(daemon.process.stop(), 0);
}

TEST(DaemonStartup, CheckOfAUsableConfigurationStartsNothing)
{
    TestCluster cluster;
    DaemonProcess process;
    const int port = DaemonProcess::freePort();
    EXPECT_EQ(runToEnd(cluster, process, { .args = { "--check", "-p", std::to_string(port) } }), 0)
        << process.standardError();
    EXPECT_NE(process.standardError().find("usable"), std::string::npos);
    EXPECT_FALSE(fs::exists(cluster.storageDir())) << "a check creates nothing";
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
        ASSERT_TRUE(
            daemon.start({ .env = { { "RS_AUDIT_LOG", value }, { "QEL_AUDIT_LOGDIR", auditDir.string() } } }))
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
    fs::permissions(cluster.storageDir(),
        fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec
            | fs::perms::others_read | fs::perms::others_exec);
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
