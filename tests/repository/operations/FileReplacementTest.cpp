#include "rs/repository/operations/FileReplacement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;

class FileReplacementTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "rs-replace-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::ofstream(upload()) << "new";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string upload() const { return (dir_ / "m.zip.tmp").string(); }
    std::string target() const { return (dir_ / "m.zip").string(); }
    static std::string read(const std::string& path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    size_t fileCount() const
    {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

TEST_F(FileReplacementTest, CommittedReplacementLeavesOnlyTheNewFile)
{
    std::ofstream(target()) << "old";
    {
        FileReplacement replacement(upload(), target());
        ASSERT_EQ(replacement.apply(), 0);
        EXPECT_EQ(read(target()), "new");
        replacement.commit();
    }
    EXPECT_EQ(read(target()), "new");
    EXPECT_EQ(fileCount(), 1u);
}

TEST_F(FileReplacementTest, UncommittedReplacementPutsTheServedFileBack)
{
    std::ofstream(target()) << "old";
    {
        FileReplacement replacement(upload(), target());
        ASSERT_EQ(replacement.apply(), 0);
    }
    EXPECT_EQ(read(target()), "old");
    EXPECT_EQ(fileCount(), 1u);
}

TEST_F(FileReplacementTest, UncommittedFirstUploadLeavesNoFile)
{
    {
        FileReplacement replacement(upload(), target());
        ASSERT_EQ(replacement.apply(), 0);
    }
    EXPECT_FALSE(fs::exists(target()));
    EXPECT_EQ(fileCount(), 0u);
}

TEST_F(FileReplacementTest, KeptFileLeftByACrashIsReplaced)
{
    std::ofstream(target()) << "old";
    std::ofstream(target() + ".previous") << "stale";
    FileReplacement replacement(upload(), target());
    ASSERT_EQ(replacement.apply(), 0);
    replacement.commit();
    EXPECT_FALSE(fs::exists(target() + ".previous"));
}

TEST_F(FileReplacementTest, MissingUploadChangesNothing)
{
    std::ofstream(target()) << "old";
    FileReplacement replacement((dir_ / "absent.tmp").string(), target());
    EXPECT_EQ(replacement.apply(), -1);
    EXPECT_EQ(read(target()), "old");
    EXPECT_FALSE(fs::exists(target() + ".previous"));
}

} // namespace
} // namespace rs::modules
