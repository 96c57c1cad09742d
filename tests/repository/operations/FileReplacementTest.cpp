#include "rs/repository/operations/FileReplacement.h"

#include "rs/repository/recovery/KeptFile.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;
using kav::KeptFile;
using test::readFile;
using test::writeFile;

size_t entryCount(const fs::path& dir)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Until commit the disk records what the target was, for which version, so
// that a crash can be undone at the next start; a replacement that is not
// committed puts the served file back. Either way nothing else is left.
TEST(FileReplacementTest, CommitKeepsTheNewFileAndAnythingElseUndoesIt)
{
    const struct {
        bool targetExisted, committed;
        const char* left; // the target's contents afterwards; null: no file
    } rows[] = { { true, true, "new" }, { false, true, "new" }, { true, false, "old" },
        { false, false, nullptr } };
    for (const auto& row : rows) {
        SCOPED_TRACE(
            ::testing::Message() << "existed " << row.targetExisted << " committed " << row.committed);
        test::ScratchDir dir;
        const std::string upload = dir.file("m.zip.tmp"), target = dir.file("m.zip");
        const std::string version = row.targetExisted ? "3" : "0";
        writeFile(upload, "new");
        if (row.targetExisted) {
            writeFile(target, "old");
            // A record a crash left for the same version is replaced.
            fs::create_directory(dir.path() / KeptFile::directoryName(KeptFile::Kind::Replaced, version));
            writeFile(
                (dir.path() / KeptFile::directoryName(KeptFile::Kind::Replaced, version) / "m.zip"), "stale");
        }
        {
            FileReplacement replacement(upload, target, version);
            ASSERT_EQ(replacement.apply(), 0);
            EXPECT_EQ(readFile(target), "new");
            const auto kind = row.targetExisted ? KeptFile::Kind::Replaced : KeptFile::Kind::Created;
            const fs::path record = dir.path() / KeptFile::directoryName(kind, version) / "m.zip";
            EXPECT_TRUE(fs::exists(record));
            if (row.targetExisted) {
                EXPECT_EQ(readFile(record), "old");
            }
            if (row.committed)
                replacement.commit();
        }
        EXPECT_EQ(fs::exists(target), row.left != nullptr);
        if (row.left) {
            EXPECT_EQ(readFile(target), row.left);
        }
        EXPECT_EQ(entryCount(dir.path()), row.left ? 1u : 0u);
    }
}

// The kept contents share the served file's inode: dropping them must not
// change the served file's permissions.
TEST(FileReplacementTest, FailedMoveChangesNothing)
{
    test::ScratchDir dir;
    writeFile(dir.file("m.zip"), "old");
    ::chmod(dir.file("m.zip").c_str(), 0400);
    {
        FileReplacement replacement(dir.file("absent.tmp"), dir.file("m.zip"), "3");
        EXPECT_EQ(replacement.apply(), -1);
    }
    EXPECT_EQ(readFile(dir.file("m.zip")), "old");
    struct stat info { };
    ASSERT_EQ(::stat(dir.file("m.zip").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0400u);
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

} // namespace
} // namespace rs::modules
