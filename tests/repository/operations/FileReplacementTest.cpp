#include "rs/repository/operations/FileReplacement.h"

#include "rs/repository/recovery/KeptFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;
using kav::KeptFile;

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
    fs::path record(KeptFile::Kind kind, const std::string& version) const
    {
        return dir_ / KeptFile::directoryName(kind, version) / "m.zip";
    }
    static std::string read(const fs::path& path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Every entry of the directory, files and record directories alike.
    size_t entryCount() const
    {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

TEST_F(FileReplacementTest, CommittedReplacementLeavesOnlyTheNewFile)
{
    std::ofstream(target()) << "old";
    {
        FileReplacement replacement(upload(), target(), "3");
        ASSERT_EQ(replacement.apply(), 0);
        EXPECT_EQ(read(target()), "new");
        replacement.commit();
    }
    EXPECT_EQ(read(target()), "new");
    EXPECT_EQ(entryCount(), 1u);
}

TEST_F(FileReplacementTest, UncommittedReplacementPutsTheServedFileBack)
{
    std::ofstream(target()) << "old";
    {
        FileReplacement replacement(upload(), target(), "3");
        ASSERT_EQ(replacement.apply(), 0);
    }
    EXPECT_EQ(read(target()), "old");
    EXPECT_EQ(entryCount(), 1u);
}

TEST_F(FileReplacementTest, UncommittedFirstUploadLeavesNoFile)
{
    {
        FileReplacement replacement(upload(), target(), "0");
        ASSERT_EQ(replacement.apply(), 0);
    }
    EXPECT_FALSE(fs::exists(target()));
    EXPECT_EQ(entryCount(), 0u);
}

// Until commit the disk says what the target was and for which version, so
// that a crash at that point can be undone at the next start.
TEST_F(FileReplacementTest, AppliedReplacementKeepsTheOldContentsUnderTheirVersion)
{
    std::ofstream(target()) << "old";
    FileReplacement replacement(upload(), target(), "7");
    ASSERT_EQ(replacement.apply(), 0);
    EXPECT_EQ(read(record(KeptFile::Kind::Replaced, "7")), "old");
    replacement.commit();
    EXPECT_FALSE(fs::exists(record(KeptFile::Kind::Replaced, "7").parent_path()));
}

TEST_F(FileReplacementTest, AppliedFirstUploadRecordsThatTheTargetDidNotExist)
{
    FileReplacement replacement(upload(), target(), "0");
    ASSERT_EQ(replacement.apply(), 0);
    EXPECT_TRUE(fs::exists(record(KeptFile::Kind::Created, "0")));
    EXPECT_FALSE(fs::exists(record(KeptFile::Kind::Replaced, "0")));
    replacement.commit();
    EXPECT_EQ(read(target()), "new");
    EXPECT_EQ(entryCount(), 1u);
}

TEST_F(FileReplacementTest, RecordLeftByACrashForTheSameVersionIsReplaced)
{
    std::ofstream(target()) << "old";
    fs::create_directory(record(KeptFile::Kind::Replaced, "3").parent_path());
    std::ofstream(record(KeptFile::Kind::Replaced, "3")) << "stale";
    FileReplacement replacement(upload(), target(), "3");
    ASSERT_EQ(replacement.apply(), 0);
    EXPECT_EQ(read(record(KeptFile::Kind::Replaced, "3")), "old");
    replacement.commit();
    EXPECT_EQ(entryCount(), 1u);
}

// The kept contents share the served file's inode: dropping them must not
// change the served file's permissions.
TEST_F(FileReplacementTest, FailedMoveChangesNothing)
{
    std::ofstream(target()) << "old";
    ::chmod(target().c_str(), 0400);
    {
        FileReplacement replacement((dir_ / "absent.tmp").string(), target(), "3");
        EXPECT_EQ(replacement.apply(), -1);
    }
    EXPECT_EQ(read(target()), "old");
    struct stat info { };
    ASSERT_EQ(::stat(target().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0400u);
    EXPECT_EQ(entryCount(), 2u); // the target and the upload
}

TEST_F(FileReplacementTest, TargetThatIsADirectoryIsRefused)
{
    fs::create_directory(target());
    FileReplacement replacement(upload(), target(), "3");
    EXPECT_EQ(replacement.apply(), -1);
    EXPECT_EQ(read(upload()), "new");
    EXPECT_TRUE(fs::is_directory(target()));
}

} // namespace
} // namespace rs::modules
