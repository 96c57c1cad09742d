#include "tools/rsdeploy/DeployCommand.h"
#include "common/KavErrorInfo.h"
#include "deployment/operations/ArchiveFixtures.h"
#include "interfaces/types/HostDeployState.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using rs::test::ArchiveEntrySpec;
using rs::test::makeArchive;
using rsdeploy::DeployCommand;
using rsdeploy::DeployOptions;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// The service as a table of stored packages and a list of received reports.
class FakeChannel : public rsdeploy::IDeploymentChannel {
public:
    struct Stored {
        std::string fileName;
        std::string contents;
    };
    std::map<std::string, Stored> packages; // key: "<package>|<type>"
    std::vector<uint32_t> states;
    std::vector<std::string> fetches;
    std::string errorText;
    int32_t errorCode = 0;

    int report(uint32_t state, const kav::IKavErrorInfo* error) override
    {
        states.push_back(state);
        if (error) {
            errorCode = error->getCode();
            errorText = error->getDetail();
        }
        return 0;
    }
    int fetch(const std::string& package, const std::string& type, std::string& fileName,
        std::string& contents) override
    {
        fetches.push_back(type);
        auto found = packages.find(package + "|" + type);
        if (found == packages.end())
            return -1;
        fileName = found->second.fileName;
        contents = found->second.contents;
        return 0;
    }
};

class DeployCommandTest : public ::testing::Test {
protected:
    DeployOptions options(bool uninstall = false) const
    {
        return DeployOptions { "web", "linux", "node1", uninstall, top_.path() };
    }
    std::string appDir() const { return top_.path().string() + "/apps/web"; }
    // Names in ${QEL_TOP}/apps: a failed run must leave no temporary tree behind.
    std::vector<std::string> appsEntries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(top_.path().string() + "/apps"))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    rs::test::ScratchDir top_;
    FakeChannel channel_;
};

TEST_F(DeployCommandTest, RunsTheInstallHookInTheTreeWithTheHostInItsEnvironment)
{
    channel_.packages["web|"] = { "web.tar.gz",
        makeArchive({ { ArchiveEntrySpec::File, rsdeploy::kInstallHook,
                        "echo \"$RS_PACKAGE $RS_HOST $RS_HOST_TYPE $RS_APP_DIR\" > hook.out\n" } },
            rs::test::ArchiveFormat::TarGz) };
    EXPECT_EQ(DeployCommand(options(), channel_).run(), 0);
    EXPECT_EQ(rs::test::readFile(appDir() + "/hook.out"), "web node1 linux " + appDir() + "\n");
}

TEST_F(DeployCommandTest, AFailingHookReportsErrorNamingTheHookAndTheHost)
{
    channel_.packages["web|"]
        = { "web.tar", makeArchive({ { ArchiveEntrySpec::File, rsdeploy::kInstallHook, "exit 3\n" } }) };
    EXPECT_EQ(DeployCommand(options(), channel_).run(), 1);
    EXPECT_EQ(channel_.states.back(), rs::HOST_ERROR);
    EXPECT_EQ(channel_.errorCode, rsdeploy::kDeployStepFailed);
    EXPECT_THAT(channel_.errorText, HasSubstr(rsdeploy::kInstallHook));
    EXPECT_THAT(channel_.errorText, HasSubstr("status 3"));
    EXPECT_THAT(channel_.errorText, HasSubstr("node1"));
}

TEST_F(DeployCommandTest, UninstallRunsItsHookThenRemovesTheTree)
{
    fs::create_directories(appDir());
    std::ofstream(appDir() + "/" + rsdeploy::kUninstallHook)
        << "echo bye > \"$RS_APP_DIR/../uninstalled.txt\"\n";
    EXPECT_EQ(DeployCommand(options(true), channel_).run(), 0);
    EXPECT_THAT(channel_.states, ElementsAre(rs::HOST_RUNNING, rs::HOST_UNINSTALLED));
    EXPECT_FALSE(fs::exists(appDir()));
    EXPECT_EQ(rs::test::readFile(top_.path().string() + "/apps/uninstalled.txt"), "bye\n");
    EXPECT_TRUE(channel_.fetches.empty());
}

// A package that cannot be fetched, or whose name is a path, ends in error
// before anything runs.
TEST_F(DeployCommandTest, AMissingPackageOrAPathAsItsNameEndsInError)
{
    EXPECT_EQ(DeployCommand(options(), channel_).run(), 1);
    EXPECT_THAT(channel_.states, ElementsAre(rs::HOST_DOWNLOADING, rs::HOST_ERROR));
    EXPECT_THAT(channel_.errorText, HasSubstr("fetching package web"));

    channel_.states.clear();
    channel_.fetches.clear();
    DeployOptions hostile = options();
    hostile.package = "../etc";
    EXPECT_EQ(DeployCommand(hostile, channel_).run(), 1);
    EXPECT_THAT(channel_.states, ElementsAre(rs::HOST_ERROR));
    EXPECT_TRUE(channel_.fetches.empty());
}

} // namespace
