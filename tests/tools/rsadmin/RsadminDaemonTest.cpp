// rsadmin against a live daemon: every command in-process through the
// command library, with the exit statuses and messages of its failures and
// its --json output parsed back.
#include "tools/rsadmin/AdminTestIo.h"

#include "e2e/E2eSupport.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/i18n/NarvI18n.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace rsadmin {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The catalogue text of a code, as the tool should print it.
std::string catalogue(uint32_t code, const kav::Params& params = {})
{
    kav::NarvI18n::instance().init();
    return kav::catalogueText(code, params);
}

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

    // Runs with --json and parses the answer; fails the test on a non-zero status.
    json runJson(test::AdminRunner& runner, std::vector<std::string> args)
    {
        args.insert(args.begin(), "--json");
        auto run = runner.run(args);
        EXPECT_EQ(run.status, kExitOk) << run.err;
        try {
            return json::parse(run.out);
        } catch (const json::exception& e) {
            ADD_FAILURE() << "not JSON: " << run.out;
            return json();
        }
    }

    static json findModule(const json& list, const std::string& name)
    {
        for (const auto& entry : list)
            if (entry["name"] == name)
                return entry;
        return json();
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

// The watch of a live deployment, bounded so that a stuck host fails the test.
const std::vector<std::string> kWatch { "--watch", "--interval", "0.2", "--max-wait", "120" };

std::vector<std::string> statusArgs(const std::string& package, std::vector<std::string> extra = {})
{
    std::vector<std::string> args { "package", "status", package };
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::map<std::string, std::string> statesByHost(const json& hosts)
{
    std::map<std::string, std::string> states;
    for (const auto& entry : hosts)
        states[entry["host"].get<std::string>()] = entry["stateName"].get<std::string>();
    return states;
}

std::map<std::string, std::string> bothNodes(const std::string& state)
{
    return { { "node1", state }, { "node2", state } };
}

// The state a piped watch showed last for each host: a table row
// ("node1  WAITING") or a change line ("node1  WAITING -> INSTALLED: text").
std::map<std::string, std::string> lastShownStates(const std::string& output)
{
    std::map<std::string, std::string> states;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line.substr(0, line.find(':')));
        std::string host, word, state;
        words >> host;
        while (words >> word)
            state = word == "->" ? "" : (state.empty() ? word : state);
        if (host.rfind("node", 0) == 0 || host.rfind("slow", 0) == 0)
            states[host] = state;
    }
    return states;
}

TEST_F(RsadminDaemonTest, VersionNeedsNoLogonAndParsesBack)
{
    admin.env.erase(kPasswordVariable);
    json answer = runJson(admin, { "version" });
    EXPECT_EQ(answer["value"], 1);
    EXPECT_GE(answer["service"]["major"].get<int>(), 1);
    EXPECT_FALSE(answer["host"].get<std::string>().empty());
    auto human = admin.run({ "version" });
    EXPECT_EQ(human.status, kExitOk);
    EXPECT_NE(human.out.find(answer["service"]["display"].get<std::string>()), std::string::npos)
        << human.out;
}

// Each refusal: its exit status, its code, and a word on what to do.
TEST_F(RsadminDaemonTest, RefusalsExitWithTheirStatusCodeAndHint)
{
    struct Refusal {
        const char* user;
        const char* password;
        std::vector<std::string> args;
        int status;
        const char* code; // empty: a usage failure of the tool itself
        const char* hint;
    };
    const std::string known = rs::e2e::kKnownConsumer;
    const char* admin_ = rs::e2e::kAdminUser;
    const char* good = rs::e2e::kAdminPassword;
    const Refusal refusals[] = {
        { admin_, "wrong-Password", { "--consumer", known, "module", "list" }, kExitRefused, "0xD0014C21",
            "password" },
        { admin_, "wrong-Password", { "--consumer", known, "package", "list" }, kExitRefused, "0xD0014C21",
            "password" },
        { admin_, "wrong-Password", { "module", "list" }, kExitRefused, "0xD0014C21", "password" },
        { rs::e2e::kServiceUser, rs::e2e::kServicePassword, { "--consumer", known, "module", "list" },
            kExitRefused, "0xD0014C26", "" },
        { admin_, good, { "--consumer", "/no/such/consumer", "module", "list" }, kExitRefused, "0xD0014C2C",
            "--consumer" },
        { admin_, good, { "package", "list" }, kExitUsage, "", "--consumer" },
        { admin_, good, { "--consumer", known, "module", "get", "no-such-module" }, kExitRefused,
            "0xD0014C1A", "module list" },
        { admin_, good, { "--consumer", known, "module", "remove", "no-such-module" }, kExitRefused,
            "0xD0014C1A", "" },
        { admin_, good, { "--consumer", known, "module", "link", "app", "no-such-module" }, kExitRefused,
            "0xD0014C20", "" },
        { admin_, good, { "--consumer", known, "package", "status", "no-such-package" }, kExitRefused,
            "0xD0014C35", "" },
        { admin_, good,
            { "--consumer", known, "package", "install", "no-such-package", "--group",
                "InternalResourceGroup" },
            kExitRefused, "0xD0014C35", "" },
    };
    for (const Refusal& refusal : refusals) {
        test::AdminRunner runner = admin;
        runner.env[kUserVariable] = refusal.user;
        runner.env[kPasswordVariable] = refusal.password;
        auto run = runner.run(refusal.args);
        SCOPED_TRACE(run.err);
        EXPECT_EQ(run.status, refusal.status);
        EXPECT_NE(run.err.find(refusal.code), std::string::npos);
        // These two texts take no arguments: they are checked whole.
        if (std::string(refusal.code) == "0xD0014C21" || std::string(refusal.code) == "0xD0014C26") {
            const std::string text = catalogue(static_cast<uint32_t>(std::stoul(refusal.code, nullptr, 16)));
            EXPECT_NE(run.err.find(text), std::string::npos) << "the catalogue text";
        }
        EXPECT_NE(run.err.find(refusal.hint), std::string::npos) << "a hint on what to do";
        EXPECT_EQ(run.err.find("wrong-Password"), std::string::npos) << "the password is never shown";
    }
    // With --json, a failure is a document carrying the code.
    admin.env[kPasswordVariable] = "wrong-Password";
    auto run = admin.run({ "--json", "--consumer", known, "module", "list" });
    EXPECT_EQ(run.status, kExitRefused);
    json answer = json::parse(run.out);
    EXPECT_EQ(answer["ok"], false);
    EXPECT_EQ(answer["exitStatus"], kExitRefused);
    EXPECT_EQ(answer["code"], "0xD0014C21");
    EXPECT_EQ(answer["message"].get<std::string>().find("wrong-Password"), std::string::npos);
}

TEST_F(RsadminDaemonTest, PasswordFileLogsOn)
{
    admin.env.erase(kPasswordVariable);
    auto noPassword = admin.run({ "module", "list" });
    EXPECT_EQ(noPassword.status, kExitUsage);
    const fs::path file = writeInput("pw", std::string(rs::e2e::kAdminPassword) + "\n");
    auto run = admin.run({ "--password-file", file.string(), "module", "list" });
    EXPECT_EQ(run.status, kExitOk) << run.err;
}

TEST_F(RsadminDaemonTest, ModuleLifeCycleWithPiecesAndLinks)
{
    const std::string contents(1000, 'x');
    std::string varied;
    for (int i = 0; i < 1000; ++i)
        varied += static_cast<char>(i * 7);
    const fs::path file = writeInput("calc.bin", varied);
    const std::vector<std::string> consumer { "--consumer", rs::e2e::kKnownConsumer, "--piece-size", "64" };
    auto with = [&consumer](std::vector<std::string> args) {
        args.insert(args.begin(), consumer.begin(), consumer.end());
        return args;
    };

    json added = runJson(admin, with({ "module", "add", "calc", file.string() }));
    EXPECT_EQ(added["version"], "1");
    EXPECT_EQ(added["size"], varied.size());
    EXPECT_EQ(runJson(admin, with({ "module", "add", "calc", file.string() }))["version"], "2");

    json listed = findModule(runJson(admin, with({ "module", "list" })), "calc");
    ASSERT_FALSE(listed.is_null());
    EXPECT_EQ(listed["version"], "2");
    EXPECT_EQ(listed["fileName"], "calc.bin");
    EXPECT_EQ(listed["fileSize"], varied.size());
    EXPECT_EQ(listed["owner"], rs::e2e::kAdminUser);

    const fs::path copy = work / "copy.bin";
    json fetched = runJson(admin, with({ "module", "get", "calc", "-o", copy.string() }));
    EXPECT_EQ(fetched["version"], "2");
    EXPECT_EQ(readFile(copy), varied);

    auto oldVersion = admin.run(with({ "module", "get", "calc", "--version", "1", "-o", copy.string() }));
    EXPECT_EQ(oldVersion.status, kExitRefused);
    EXPECT_NE(oldVersion.err.find("0xD0014C19"), std::string::npos) << oldVersion.err;

    runJson(admin, with({ "module", "link", "web-app", "calc" }));
    listed = findModule(runJson(admin, with({ "module", "list" })), "calc");
    EXPECT_EQ(listed["linkedApplications"], json({ "web-app" }));
    auto linkedRemove = admin.run(with({ "module", "remove", "calc" }));
    EXPECT_EQ(linkedRemove.status, kExitRefused);
    EXPECT_NE(linkedRemove.err.find("0xD0014C1F"), std::string::npos) << linkedRemove.err;

    runJson(admin, with({ "module", "unlink", "web-app", "calc" }));
    runJson(admin, with({ "module", "remove", "calc" }));
    listed = findModule(runJson(admin, with({ "module", "list" })), "calc");
    EXPECT_TRUE(listed.is_null() || listed["deleted"] == true) << listed.dump();
    auto human = admin.run(with({ "module", "list" }));
    EXPECT_EQ(human.status, kExitOk);
}

TEST_F(RsadminDaemonTest, GlobalModuleIsStoredWhole)
{
    const fs::path file = writeInput("tool.sh", "#!/bin/sh\necho global\n");
    json added = runJson(admin, { "--piece-size", "4", "module", "add", "global-tool", file.string() });
    EXPECT_FALSE(added["version"].get<std::string>().empty()) << added.dump();
    auto toStandardOutput = admin.run({ "module", "get", "global-tool", "-o", "-" });
    EXPECT_EQ(toStandardOutput.status, kExitOk) << toStandardOutput.err;
    EXPECT_EQ(toStandardOutput.out, readFile(file));
    EXPECT_NE(toStandardOutput.err.find("warning: no consumer given"), std::string::npos)
        << toStandardOutput.err;
    auto table = admin.run({ "module", "list" });
    EXPECT_EQ(table.status, kExitOk);
    EXPECT_NE(table.out.find("global-tool"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("MODULE"), std::string::npos);
}

TEST_F(RsadminDaemonTest, PackageAddListGetRemove)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    const fs::path file = writeInput("pkg.tar", std::string(300, 'p') + "end");
    json added = runJson(admin, { "--piece-size", "100", "package", "add", "pkg", file.string() });
    EXPECT_EQ(added["size"], 303);
    bool found = false;
    for (const auto& entry : runJson(admin, { "package", "list" }))
        found
            = found || (entry["name"] == "pkg" && entry["fileName"] == "pkg.tar" && entry["fileSize"] == 303);
    EXPECT_TRUE(found);
    const fs::path copy = work / "pkg-copy.tar";
    runJson(admin, { "package", "get", "pkg", "-o", copy.string() });
    EXPECT_EQ(readFile(copy), readFile(file));
    auto neverDeployed = admin.run({ "package", "status", "pkg" });
    EXPECT_EQ(neverDeployed.status, kExitOk) << neverDeployed.err;
    EXPECT_NE(neverDeployed.out.find("pkg has no deployment state: it has not been deployed yet"),
        std::string::npos)
        << neverDeployed.out;
    EXPECT_EQ(runJson(admin, { "package", "status", "pkg" }), json::array());
    runJson(admin, { "package", "remove", "pkg" });
    for (const auto& entry : runJson(admin, { "package", "list" }))
        EXPECT_NE(entry["name"], "pkg");
}

TEST_F(RsadminDaemonTest, InstallRecheckAndUninstallAreWatchedToTheEnd)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    admin.realPauses = true;
    const fs::path archive = work / "hello.tar.gz";
    ASSERT_TRUE(packDirectory(fs::path(RS_TEST_SOURCE_DIR) / "examples" / "hello", archive));
    runJson(admin, { "--piece-size", "512", "package", "add", "hello", archive.string() });

    json started = runJson(admin, { "package", "install", "hello", "--group", kNodes });
    EXPECT_EQ(started["action"], "install");
    json watched = runJson(admin, statusArgs("hello", kWatch));
    EXPECT_EQ(statesByHost(watched), bothNodes("INSTALLED")) << watched.dump();
    for (const auto& entry : watched)
        EXPECT_TRUE(entry["final"].get<bool>());
    EXPECT_EQ(runJson(admin, statusArgs("hello", { "--state", "installed" })).size(), 2u);

    runJson(admin, { "package", "uninstall", "hello", "--group", kNodes });
    auto human = admin.run(statusArgs("hello", kWatch));
    EXPECT_EQ(human.status, kExitOk) << human.err;
    EXPECT_EQ(lastShownStates(human.out), bothNodes("UNINSTALLED")) << human.out;

    runJson(admin, { "package", "recheck", "hello", "--group", kNodes });
    watched = runJson(admin, statusArgs("hello", kWatch));
    EXPECT_EQ(statesByHost(watched), bothNodes("INSTALLED")) << watched.dump();
    runJson(admin, { "package", "remove", "hello" });
}

TEST_F(RsadminDaemonTest, FailingInstallHookEndsTheWatchWithStatusOne)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    admin.realPauses = true;
    fs::create_directory(work / "broken");
    std::ofstream(work / "broken" / "rs-install.sh") << "echo 'disk full on target' >&2\nexit 3\n";
    ASSERT_TRUE(packDirectory(work / "broken", work / "broken.tar.gz"));
    runJson(admin, { "package", "add", "broken", (work / "broken.tar.gz").string() });
    runJson(admin, { "package", "install", "broken", "--group", kNodes, "--host", "node1" });

    auto watch = admin.run(statusArgs("broken", kWatch));
    EXPECT_EQ(watch.status, kExitRefused) << watch.err;
    EXPECT_NE(watch.err.find("ERROR"), std::string::npos) << watch.err;
    EXPECT_NE(watch.err.find("package recheck"), std::string::npos) << "says what to do next: " << watch.err;
    EXPECT_EQ(lastShownStates(watch.out)["node1"], "ERROR") << watch.out;
    // With --json the failure is one document that carries the hosts.
    std::vector<std::string> args = statusArgs("broken", kWatch);
    args.insert(args.begin(), "--json");
    auto jsonWatch = admin.run(args);
    EXPECT_EQ(jsonWatch.status, kExitRefused);
    json failure = json::parse(jsonWatch.out);
    EXPECT_EQ(failure["ok"], false);
    EXPECT_EQ(statesByHost(failure["detail"]), (std::map<std::string, std::string> { { "node1", "ERROR" } }));
    json hosts = runJson(admin, statusArgs("broken", { "--state", "ERROR" }));
    ASSERT_EQ(hosts.size(), 1u) << hosts.dump();
    EXPECT_EQ(hosts[0]["host"], "node1");
    EXPECT_FALSE(hosts[0]["message"].get<std::string>().empty()) << "the MESSAGE column says why";
    runJson(admin, { "package", "remove", "broken" });
}

TEST_F(RsadminDaemonTest, CancelStopsHostsThatHaveNotStarted)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    const fs::path file = writeInput("idle.tar", "never unpacked");
    runJson(admin, { "package", "add", "idle", file.string() });
    runJson(admin, { "package", "install", "idle", "--group", kSlowNodes });
    json pending = runJson(admin, statusArgs("idle"));
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_FALSE(pending[0]["final"].get<bool>()) << pending.dump();

    // The host's allocation takes a minute: a short watch gives up, says so
    // and hands over what it saw.
    admin.realPauses = true;
    auto bounded = admin.run(
        { "--json", "package", "status", "idle", "--watch", "--interval", "0.1", "--max-wait", "0.3" });
    admin.realPauses = false;
    EXPECT_EQ(bounded.status, kExitRefused) << bounded.err;
    EXPECT_NE(bounded.err.find("package cancel"), std::string::npos) << bounded.err;
    json gaveUp = json::parse(bounded.out);
    EXPECT_EQ(gaveUp["ok"], false);
    ASSERT_EQ(gaveUp["detail"].size(), 1u) << gaveUp.dump();
    EXPECT_EQ(gaveUp["detail"][0]["final"], false);
    EXPECT_GE(admin.pauses, 1);
    admin.pauses = 0;

    EXPECT_EQ(runJson(admin, { "package", "cancel", "idle" })["ok"], true);
    json watched = runJson(admin, statusArgs("idle", kWatch));
    EXPECT_EQ(statesByHost(watched), (std::map<std::string, std::string> { { "slow1", "CANCELLED" } }));
    EXPECT_EQ(admin.pauses, 0) << "a watch of final hosts ends at once";
}

TEST_F(RsadminDaemonTest, WatchBeforeTheRunWaitsForItAndPrintsOnlyChanges)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    const fs::path archive = work / "later.tar.gz";
    ASSERT_TRUE(packDirectory(fs::path(RS_TEST_SOURCE_DIR) / "examples" / "hello", archive));
    runJson(admin, { "package", "add", "later", archive.string() });
    // The run starts while the watch waits after its first reading.
    test::AdminRunner starter = admin;
    admin.realPauses = true;
    admin.onPause = [&starter](int pause) {
        if (pause == 1) {
            EXPECT_EQ(starter.run({ "package", "install", "later", "--group", kNodes }).status, kExitOk);
        }
    };
    auto watch = admin.run(statusArgs("later", kWatch));
    EXPECT_EQ(watch.status, kExitOk) << watch.err;
    EXPECT_EQ(watch.out.find("later has no deployment state yet"), 0u) << watch.out;
    EXPECT_EQ(lastShownStates(watch.out), bothNodes("INSTALLED")) << watch.out;
    EXPECT_EQ(watch.out.find("HOST"), watch.out.rfind("HOST")) << "one table, then changes: " << watch.out;
    runJson(admin, { "package", "remove", "later" });
}

TEST_F(RsadminDaemonTest, ClusterShowsGroupsConsumersAndWhyAGroupIsRefused)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    std::map<std::string, json> groups;
    for (const auto& entry : runJson(admin, { "cluster", "groups" }))
        groups[entry["group"].get<std::string>()] = entry["hosts"];
    EXPECT_EQ(groups[kNodes], json({ "node1", "node2" }));
    EXPECT_EQ(groups[kSlowNodes], json({ "slow1" }));
    EXPECT_EQ(groups["InternalResourceGroup"], json({ "node1", "node2", "slow1" }));
    const json consumers = runJson(admin, { "cluster", "consumers" });
    EXPECT_EQ(consumers,
        json::parse(
            std::string(R"([{"consumer": ")") + rs::e2e::kKnownConsumer + R"(", "role": "cluster admin"}])"));

    const fs::path file = writeInput("placed.tar", "never unpacked");
    runJson(admin, { "package", "add", "placed", file.string() });
    auto group = admin.run({ "package", "install", "placed", "--group", "NoSuchGroup" });
    EXPECT_EQ(group.status, kExitRefused) << group.err;
    EXPECT_NE(
        group.err.find("The resource manager says: no such resource group: resource group 'NoSuchGroup'"),
        std::string::npos)
        << group.err;
    auto host = admin.run({ "package", "install", "placed", "--group", kNodes, "--host", "node9" });
    EXPECT_EQ(host.status, kExitRefused) << host.err;
    EXPECT_NE(host.err.find("'node9' is not a host of the cluster (node1, node2, slow1)"), std::string::npos)
        << host.err;
    // A host of the cluster outside the group would be a run with nothing to do.
    auto outside = admin.run({ "package", "install", "placed", "--group", kNodes, "--host", "slow1" });
    EXPECT_EQ(outside.status, kExitRefused) << outside.err;
    EXPECT_NE(
        outside.err.find("'slow1' is not a host of resource group 'Nodes' (node1, node2)"), std::string::npos)
        << outside.err;
    runJson(admin, { "package", "remove", "placed" });
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

// Last: the daemon is gone afterwards.
TEST_F(RsadminDaemonTest, ZzShutdownStopsTheService)
{
    json answer = runJson(admin, { "shutdown" });
    EXPECT_EQ(answer["ok"], true);
    auto status = daemon_->process.waitForExit(std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value()) << "the daemon did not stop";
    EXPECT_EQ(*status, 0);
    auto after = admin.run({ "--timeout", "5", "version" });
    EXPECT_EQ(after.status, kExitNoConnection) << after.err;
}

} // namespace
} // namespace rsadmin
