// rsadmin against a live daemon: every command in-process through the
// command library, with the exit statuses and messages of its failures and
// its --json output parsed back.
#include "tools/rsadmin/AdminTestIo.h"

#include "e2e/E2eSupport.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/i18n/NarvI18n.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

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

class RsadminDaemonTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new rs::e2e::ServingDaemon();
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

TEST_F(RsadminDaemonTest, VersionNeedsNoLogonAndParsesBack)
{
    admin.env.erase(kPasswordVariable);
    json answer = runJson(admin, { "version" });
    EXPECT_EQ(answer["value"], 1);
    EXPECT_GE(answer["service"]["major"].get<int>(), 1);
    EXPECT_FALSE(answer["host"].get<std::string>().empty());
    auto human = admin.run({ "version" });
    EXPECT_EQ(human.status, kExitOk);
    EXPECT_NE(human.out.find(answer["service"]["display"].get<std::string>()), std::string::npos) << human.out;
}

TEST_F(RsadminDaemonTest, WrongPasswordIsRefusedWithCodeAndCatalogueText)
{
    admin.env[kPasswordVariable] = "wrong-Password";
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    for (const char* interfaceCommand : { "module", "package" }) {
        auto run = admin.run({ interfaceCommand, "list" });
        EXPECT_EQ(run.status, kExitRefused) << run.err;
        EXPECT_NE(run.err.find("0xD0014C21"), std::string::npos) << run.err;
        const std::string text = catalogue(0xD0014C21u);
        ASSERT_FALSE(text.empty());
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("password"), std::string::npos) << "a hint on what to do";
        EXPECT_EQ(run.err.find("wrong-Password"), std::string::npos) << "the password is never shown";
    }
}

TEST_F(RsadminDaemonTest, WrongPasswordIsRefusedOnTheGlobalIndexToo)
{
    admin.env[kPasswordVariable] = "wrong-Password";
    auto run = admin.run({ "module", "list" });
    EXPECT_EQ(run.status, kExitRefused) << run.err;
    EXPECT_NE(run.err.find("0xD0014C21"), std::string::npos) << run.err;
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
    const fs::path copy = work / "tool-copy.sh";
    runJson(admin, { "module", "get", "global-tool", "-o", copy.string() });
    EXPECT_EQ(readFile(copy), readFile(file));
    auto table = admin.run({ "module", "list" });
    EXPECT_EQ(table.status, kExitOk);
    EXPECT_NE(table.out.find("global-tool"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("MODULE"), std::string::npos);
}

TEST_F(RsadminDaemonTest, UnknownModuleIsRefused)
{
    const std::vector<std::string> consumer { "--consumer", rs::e2e::kKnownConsumer };
    auto get = admin.run({ "--consumer", rs::e2e::kKnownConsumer, "module", "get", "no-such-module" });
    EXPECT_EQ(get.status, kExitRefused);
    EXPECT_NE(get.err.find("0xD0014C1A"), std::string::npos) << get.err;
    EXPECT_NE(get.err.find("module list"), std::string::npos) << get.err;
    auto remove = admin.run({ "--consumer", rs::e2e::kKnownConsumer, "module", "remove", "no-such-module" });
    EXPECT_EQ(remove.status, kExitRefused);
    EXPECT_NE(remove.err.find("0xD0014C1A"), std::string::npos) << remove.err;
    auto link = admin.run({ "--consumer", rs::e2e::kKnownConsumer, "module", "link", "app", "no-such-module" });
    EXPECT_EQ(link.status, kExitRefused);
    EXPECT_NE(link.err.find("0xD0014C20"), std::string::npos) << link.err;
}

TEST_F(RsadminDaemonTest, UserWithoutRoleIsRefusedPermission)
{
    test::AdminRunner other = admin;
    other.env[kUserVariable] = rs::e2e::kServiceUser;
    other.env[kPasswordVariable] = rs::e2e::kServicePassword;
    auto run = other.run({ "--consumer", rs::e2e::kKnownConsumer, "module", "list" });
    EXPECT_EQ(run.status, kExitRefused) << run.out << run.err;
    EXPECT_NE(run.err.find("0xD0014C26"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(catalogue(0xD0014C26u)), std::string::npos) << run.err;
}

TEST_F(RsadminDaemonTest, UnknownConsumerIsRefusedAtLogon)
{
    auto run = admin.run({ "--consumer", "/no/such/consumer", "module", "list" });
    EXPECT_EQ(run.status, kExitRefused) << run.err;
    EXPECT_NE(run.err.find("0xD0014C2C"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--consumer"), std::string::npos) << run.err;
}

TEST_F(RsadminDaemonTest, PackageCommandsNeedAConsumer)
{
    auto run = admin.run({ "package", "list" });
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_NE(run.err.find("--consumer"), std::string::npos) << run.err;
}

TEST_F(RsadminDaemonTest, UnknownPackageIsRefused)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    auto status = admin.run({ "package", "status", "no-such-package" });
    EXPECT_EQ(status.status, kExitRefused) << status.err;
    EXPECT_NE(status.err.find("0xD0014C35"), std::string::npos) << status.err;
    auto install = admin.run({ "package", "install", "no-such-package", "--group", "InternalResourceGroup" });
    EXPECT_EQ(install.status, kExitRefused) << install.err;
    EXPECT_NE(install.err.find("0xD0014C35"), std::string::npos) << install.err;
}

TEST_F(RsadminDaemonTest, PackageAddListGetRemove)
{
    admin.env[kConsumerVariable] = rs::e2e::kKnownConsumer;
    const fs::path file = writeInput("pkg.tar", std::string(300, 'p') + "end");
    json added = runJson(admin, { "--piece-size", "100", "package", "add", "pkg", file.string() });
    EXPECT_EQ(added["size"], 303);
    bool found = false;
    for (const auto& entry : runJson(admin, { "package", "list" }))
        found = found || (entry["name"] == "pkg" && entry["fileName"] == "pkg.tar" && entry["fileSize"] == 303);
    EXPECT_TRUE(found);
    const fs::path copy = work / "pkg-copy.tar";
    runJson(admin, { "package", "get", "pkg", "-o", copy.string() });
    EXPECT_EQ(readFile(copy), readFile(file));
    auto neverDeployed = admin.run({ "package", "status", "pkg" });
    EXPECT_EQ(neverDeployed.status, kExitRefused) << neverDeployed.err;
    runJson(admin, { "package", "remove", "pkg" });
    for (const auto& entry : runJson(admin, { "package", "list" }))
        EXPECT_NE(entry["name"], "pkg");
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
