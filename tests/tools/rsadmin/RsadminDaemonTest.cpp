// rsadmin against a live daemon, in-process through the command library:
// what the walkthrough does not show, the refusals (the service's, the
// placement checks', a watch that ends in an error or gives up) with their
// exit statuses and hints, and an interrupted upload.
#include "tools/rsadmin/AdminTestIo.h"

#include "e2e/E2eSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace rsadmin {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kNodes = "Nodes";
constexpr const char* kSlowNodes = "SlowNodes";

class RsadminDaemonTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new rs::e2e::ServingDaemon();
        // Two groups besides the cluster's own: the test hosts, and a host
        // whose allocation takes a minute, so that there is time to cancel.
        std::ofstream(daemon_->cluster.root() / "cluster.toml", std::ios::app)
            << "[[hosts]]\nname = \"slow1\"\nalloc_delay_ms = 60000\n"
            << "[groups]\n"
            << kNodes << " = [\"node1\", \"node2\"]\n"
            << kSlowNodes << " = [\"slow1\"]\n";
        // rsadmin asks the resource manager through the same cluster file,
        // as on the service's host (read once, at the library's first call).
        ::setenv("ZOR_CLUSTER_FILE", (daemon_->cluster.root() / "cluster.toml").c_str(), 1);
        if (!daemon_->start())
            FAIL() << daemon_->failure;
    }
    static void TearDownTestSuite()
    {
        delete daemon_;
        daemon_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(daemon_ && daemon_->process.pid() > 0);
        admin.env[kServerVariable] = "127.0.0.1:" + std::to_string(daemon_->port);
        admin.env[kUserVariable] = rs::e2e::kAdminUser;
        admin.env[kPasswordVariable] = rs::e2e::kAdminPassword;
        std::string pattern = (fs::temp_directory_path() / "rsadmin-files-XXXXXX").string();
        work = ::mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(work); }

    fs::path writeInput(const std::string& name, const std::string& text)
    {
        std::ofstream(work / name, std::ios::binary) << text;
        return work / name;
    }

    void runOk(std::vector<std::string> args)
    {
        auto run = admin.run(args);
        EXPECT_EQ(run.status, kExitOk) << run.err;
    }

    static rs::e2e::ServingDaemon* daemon_;
    test::AdminRunner admin;
    fs::path work;
};

rs::e2e::ServingDaemon* RsadminDaemonTest::daemon_ = nullptr;

// Packs `dir` as the deploy command expects it: a gzip-compressed tar whose
// root holds the hooks.
bool packDirectory(const fs::path& dir, const fs::path& archive)
{
    const std::string command = "tar -czf '" + archive.string() + "' -C '" + dir.string() + "' .";
    return std::system(command.c_str()) == 0;
}

TEST_F(RsadminDaemonTest, RefusalsExitWithTheirStatusCodeAndHint)
{
    struct Refusal {
        const char* user;
        const char* password;
        std::vector<std::string> args;
        int status;
        const char* code; // empty: refused by the tool itself
        std::string hint;
    };
    const char* admin_ = rs::e2e::kAdminUser;
    const char* good = rs::e2e::kAdminPassword;
    // A package whose install hook fails, one whose only host takes a minute
    // to allocate, and one that is never placed.
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    fs::create_directory(work / "broken");
    std::ofstream(work / "broken" / "rs-install.sh") << "echo 'disk full on target' >&2\nexit 3\n";
    ASSERT_TRUE(packDirectory(work / "broken", work / "broken.tar.gz"));
    runOk({ "package", "add", "broken", (work / "broken.tar.gz").string() });
    runOk({ "package", "install", "broken", "--group", kNodes, "--host", "node1" });
    runOk({ "package", "add", "idle", writeInput("idle.tar", "never unpacked").string() });
    runOk({ "package", "install", "idle", "--group", kSlowNodes });
    runOk({ "package", "add", "placed", writeInput("placed.tar", "never unpacked").string() });
    admin.env.erase(kConsumerVariable);

    const std::string known = rs::e2e::kKnownConsumer;
    const Refusal refusals[] = {
        { admin_, "wrong-Password", { "--consumer", known, "module", "list" }, kExitRefused, "0xD0014C21",
            "password" },
        { rs::e2e::kServiceUser, rs::e2e::kServicePassword, { "--consumer", known, "module", "list" },
            kExitRefused, "0xD0014C26", "" },
        { admin_, good, { "--consumer", "/no/such/consumer", "module", "list" }, kExitRefused, "0xD0014C2C",
            "--consumer" },
        { admin_, good, { "package", "list" }, kExitUsage, "", "--consumer" },
        { admin_, good, { "--consumer", known, "module", "get", "no-such-module" }, kExitRefused,
            "0xD0014C1A", "module list" },
        { admin_, good, { "--consumer", known, "module", "link", "app", "no-such-module" }, kExitRefused,
            "0xD0014C20", "" },
        { admin_, good, { "--consumer", known, "package", "status", "no-such-package" }, kExitRefused,
            "0xD0014C35", "" },
        // Placements are checked against the cluster before a run starts.
        { admin_, good, { "--consumer", known, "package", "install", "placed", "--group", "NoSuchGroup" },
            kExitRefused, "",
            "The resource manager says: no such resource group: resource group 'NoSuchGroup'" },
        { admin_, good,
            { "--consumer", known, "package", "install", "placed", "--group", kNodes, "--host", "node9" },
            kExitRefused, "", "'node9' is not a host of the cluster (node1, node2, slow1)" },
        { admin_, good,
            { "--consumer", known, "package", "install", "placed", "--group", kNodes, "--host", "slow1" },
            kExitRefused, "", "'slow1' is not a host of resource group 'Nodes' (node1, node2)" },
        // A watch ends with the hosts' failure, or gives up at its limit; each says what to do next.
        { admin_, good,
            { "--consumer", known, "package", "status", "broken", "--watch", "--interval", "0.2",
                "--max-wait", "120" },
            kExitRefused, "", "package recheck" },
        { admin_, good,
            { "--consumer", known, "package", "status", "idle", "--watch", "--interval", "0.1", "--max-wait",
                "0.3" },
            kExitRefused, "", "package cancel" },
    };
    for (const Refusal& refusal : refusals) {
        test::AdminRunner runner = admin;
        runner.realPauses = true;
        runner.env[kUserVariable] = refusal.user;
        runner.env[kPasswordVariable] = refusal.password;
        auto run = runner.run(refusal.args);
        SCOPED_TRACE(run.err);
        EXPECT_EQ(run.status, refusal.status);
        EXPECT_NE(run.err.find(refusal.code), std::string::npos);
        EXPECT_NE(run.err.find(refusal.hint), std::string::npos) << "a hint on what to do";
        EXPECT_EQ(run.err.find("wrong-Password"), std::string::npos) << "the password is never shown";
    }
    // With --json, a failure is a document carrying the code.
    admin.env[kPasswordVariable] = "wrong-Password";
    auto run = admin.run({ "--json", "--consumer", known, "module", "list" });
    EXPECT_EQ(run.status, kExitRefused);
    const json answer = json::parse(run.out);
    EXPECT_EQ(answer["exitStatus"], kExitRefused);
    EXPECT_EQ(answer["code"], "0xD0014C21");
    admin.env[kPasswordVariable] = rs::e2e::kAdminPassword;
    runOk({ "--consumer", known, "package", "cancel", "idle" });
}

TEST_F(RsadminDaemonTest, CtrlCDuringAnUploadStopsItWith130)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    const fs::path file = writeInput("big.tar", std::string(64 * 1024, 'b'));
    // Ctrl-C comes when the progress bar is drawn the second time: some pieces are out.
    int readings = 0;
    admin.errIsTerminal = true;
    admin.clock = [&readings] {
        if (++readings == 3)
            ::raise(SIGINT);
        return std::chrono::steady_clock::now();
    };
    auto run = admin.run({ "--piece-size", "1024", "package", "add", "big", file.string() });
    EXPECT_EQ(run.status, kExitInterrupted) << run.err;
    EXPECT_NE(run.err.find("rsadmin: interrupted: the upload of " + file.string() + " was stopped"),
        std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("nothing partial was kept"), std::string::npos) << run.err;
}

} // namespace
} // namespace rsadmin
