// Runs every command of the README's walkthrough, in order, with the real
// rsadmin binary against the demo that `make run` starts (scripts/start-demo
// in a scratch directory: its own cluster file, accounts and passwords), so
// that neither the README nor the demo can rot. The walkthrough addresses
// the demo's port and status page; those two addresses are replaced by the
// scratch demo's.
// Nothing else of the commands is changed.
#include "e2e/E2eSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr const char* kSection = "## Walkthrough";
constexpr const char* kDemoServer = "127.0.0.1:7869";
constexpr const char* kDemoPage = "127.0.0.1:8081";

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The command lines of the ```sh blocks of the walkthrough section.
std::vector<std::string> walkthroughCommands(const std::string& readme)
{
    std::vector<std::string> commands;
    std::istringstream lines(readme);
    std::string line;
    bool inSection = false, inBlock = false;
    while (std::getline(lines, line)) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == kSection;
        else if (inSection && line.rfind("```", 0) == 0)
            inBlock = !inBlock && line == "```sh";
        else if (inSection && inBlock && !line.empty() && line[0] != '#')
            commands.push_back(line);
    }
    return commands;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Single quotes for sh.
std::string quoted(const std::string& text)
{
    return "'" + replaceAll(text, "'", "'\\''") + "'";
}

TEST(ReadmeWalkthroughTest, EveryCommandSucceedsOnTheDemoCluster)
{
    const std::string readme = readFile(fs::path(RS_TEST_SOURCE_DIR) / "README.md");
    const std::vector<std::string> commands = walkthroughCommands(readme);
    ASSERT_GE(commands.size(), 10u) << "the README has a walkthrough";
    EXPECT_EQ(commands.back(), "build/bin/rsadmin shutdown");

    // The test cluster gives only the scratch directory and the log configuration.
    rs::e2e::TestCluster scratch;
    const fs::path work = scratch.root() / "walkthrough";
    fs::create_directories(work);
    fs::create_directory_symlink(RS_TEST_BUILD_DIR, work / "build");
    fs::create_directory_symlink(fs::path(RS_TEST_SOURCE_DIR) / "examples", work / "examples");

    const int port = rs::e2e::DaemonProcess::freePort();
    const std::string page = "127.0.0.1:" + std::to_string(rs::e2e::DaemonProcess::freePort());
    rs::e2e::RunOptions demo;
    demo.program = (fs::path(RS_TEST_SOURCE_DIR) / "scripts" / "start-demo").string();
    demo.args = { RS_TEST_BUILD_DIR };
    demo.env = { { "RS_DEMO_DIR", (work / "var").string() },
        { "REPOSITORY_SERVICE_PORT", std::to_string(port) }, { "RS_HTTP_LISTEN", page } };
    rs::e2e::DaemonProcess daemon;
    daemon.start(demo, scratch.environment());
    ASSERT_TRUE(daemon.waitUntilServing())
        << daemon.standardOutput() << daemon.standardError() << "\n--- log ---\n"
        << scratch.logText();

    const std::string server = "127.0.0.1:" + std::to_string(port);
    std::string script = "cd " + quoted(work.string()) + " || exit 99\n";
    bool addressed = false;
    for (const auto& command : commands) {
        addressed = addressed || command.find(kDemoServer) != std::string::npos;
        const std::string line = replaceAll(replaceAll(command, kDemoServer, server), kDemoPage, page);
        script += line + " || { echo " + quoted("walkthrough step failed: " + command) + " >&2; exit 1; }\n";
    }
    ASSERT_TRUE(addressed) << "the walkthrough names the demo's address " << kDemoServer;
    std::ofstream(work / "walkthrough.sh") << script;

    const std::string output = (work / "output.txt").string();
    const int status = std::system(
        ("/bin/sh " + quoted((work / "walkthrough.sh").string()) + " > " + quoted(output) + " 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << readFile(output) << "\n--- daemon log ---\n" << scratch.logText();
    // The watches ended with every host of the group installed, then uninstalled.
    const std::string text = readFile(output);
    for (const char* expected : { "node1", "node2", " INSTALLED", "UNINSTALLED", "rs_deployment_hosts" })
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    EXPECT_EQ(
        readFile(work / "hello-tool.sh"), readFile(fs::path(RS_TEST_SOURCE_DIR) / "examples/hello/hello.sh"));
    auto exited = daemon.waitForExit(std::chrono::seconds(60));
    EXPECT_TRUE(exited.has_value()) << "the walkthrough's shutdown stops the service";
}

} // namespace
