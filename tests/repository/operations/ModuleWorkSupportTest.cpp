#include "rs/repository/operations/ModuleWorkSupport.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "rs-modwork-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        for (auto& entry : fs::recursive_directory_iterator(root_, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }
    void write(const fs::path& path, const std::string& text)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    fs::path root_;
};

TEST(ModuleDirectories, ConsumerPathsBecomeDirectoriesBelowTheRepository)
{
    EXPECT_EQ(indexDirectory("/repo", ""), "/repo");
    EXPECT_EQ(indexDirectory("/repo", "/apps/web"), "/repo/apps/web");
    EXPECT_EQ(indexDirectory("/repo", "apps/web"), "/repo/apps/web");
    EXPECT_EQ(indexDirectory("/repo", "/"), "/repo");
    EXPECT_EQ(moduleDirectory("/repo", "/apps", "calc"), "/repo/apps/calc");
    EXPECT_EQ(moduleDirectory("/repo", "", "calc"), "/repo/calc");
}

int32_t refusal(const std::function<void()>& check)
{
    int32_t result = KAV_GUARDED([&] {
        check();
        return 0;
    });
    kav::clearErrorInfo();
    return result;
}

TEST(ModuleNames, ConsumersAreCheckedWithoutTheirLeadingSlash)
{
    EXPECT_EQ(refusal([] { checkConsumer("/apps/web"); }), 0);
    EXPECT_EQ(refusal([] { checkConsumer(""); }), 0);
    for (const char* bad : { "//apps", "/apps/", "/apps/../x", "/a|b", "/.index" })
        EXPECT_EQ(refusal([&] { checkConsumer(bad); }), kav::rc::RS_BAD_NAME) << bad;
    EXPECT_EQ(refusal([] { checkName("moduleName", "calc"); }), 0);
    EXPECT_EQ(refusal([] { checkName("moduleName", "a/b"); }), kav::rc::RS_BAD_NAME);
    EXPECT_EQ(refusal([] { checkName("moduleName", ""); }), kav::rc::RS_BAD_NAME);
}

TEST_F(ScratchDir, ConsumerWalkFindsEveryIndexAtAnyDepth)
{
    write(root_ / ".index", "");
    write(root_ / "apps" / "web" / ".index", "");
    write(root_ / "apps" / "web" / "calc" / "calc.zip", "x");
    write(root_ / "apps" / "db" / "deeper" / ".index", "");
    write(root_ / "empty" / "readme", "not an index");
    write(root_ / "apps" / ".index.tmp", "a crash left it");
    std::vector<std::string> paths = consumerPaths(root_.string());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string> { "/", "/apps/db/deeper", "/apps/web" }));
    EXPECT_TRUE(consumerPaths((root_ / "missing").string()).empty());
}

TEST(ModuleRecords, RecordCarriesEveryFieldAndTheContributingConsumer)
{
    kav::ModuleIndexEntry entry;
    entry.moduleName = "calc";
    entry.version = "3";
    entry.fileName = "calc.zip";
    entry.addTime = 100;
    entry.owner = "admin";
    entry.deleted = true;
    entry.fileSize = 512;
    entry.linkCount = 1;
    entry.linkedApps = { "app1" };
    RepositoryAppEntry record = toRecord(entry, "/apps");
    EXPECT_EQ(record.moduleName, "calc");
    EXPECT_EQ(record.version, "3");
    EXPECT_EQ(record.fileName, "calc.zip");
    EXPECT_EQ(record.addTime, 100u);
    EXPECT_EQ(record.owner, "admin");
    EXPECT_TRUE(record.deleted);
    EXPECT_EQ(record.fileSize, 512u);
    EXPECT_EQ(record.linkedApps, std::vector<std::string> { "app1" });
    EXPECT_EQ(record.consumer, "/apps");
}

} // namespace
} // namespace rs::modules
