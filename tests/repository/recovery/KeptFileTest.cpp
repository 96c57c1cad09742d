#include "rs/repository/recovery/KeptFile.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kav {
namespace {

namespace fs = std::filesystem;
using storagetest::readRaw;
using storagetest::writeRaw;

TEST(KeptFileNames, RecordDirectoryNamesReadBack)
{
    for (KeptFile::Kind kind : { KeptFile::Kind::Replaced, KeptFile::Kind::Created }) {
        const std::string name = KeptFile::directoryName(kind, "12");
        std::optional<KeptFile::Record> record = KeptFile::parseDirectoryName(name);
        ASSERT_TRUE(record) << name;
        EXPECT_EQ(record->kind, kind);
        EXPECT_EQ(record->version, "12");
    }
}

// A record's name must be one no module, file or consumer name can take.
TEST(KeptFileNames, RecordDirectoryNamesHoldACharacterNamesCannot)
{
    EXPECT_NE(KeptFile::directoryName(KeptFile::Kind::Replaced, "1").find('|'), std::string::npos);
    EXPECT_NE(KeptFile::directoryName(KeptFile::Kind::Created, "1").find('|'), std::string::npos);
}

TEST(KeptFileNames, OtherNamesAreNotRecords)
{
    const std::string replaced = KeptFile::directoryName(KeptFile::Kind::Replaced, "");
    for (const std::string& name : { std::string("calc.zip"), std::string("3"), replaced, replaced + "3a",
             replaced + "-1", "x" + replaced + "3" })
        EXPECT_FALSE(KeptFile::parseDirectoryName(name)) << name;
}

class KeptFileTest : public ::testing::Test {
protected:
    std::string target() const { return dir_ / "m.zip"; }

    storagetest::ScratchDir dir_;
};

TEST_F(KeptFileTest, RestoreBringsBackReplacedContents)
{
    writeRaw(target(), "old");
    KeptFile kept(target(), "2");
    ASSERT_EQ(kept.keep(), 0);
    fs::remove(target());
    writeRaw(target(), "new");
    kept.restore();
    EXPECT_EQ(readRaw(target()), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(KeptFileTest, RestoreRemovesAFileThatDidNotExist)
{
    KeptFile kept(target(), "0");
    ASSERT_EQ(kept.keep(), 0);
    writeRaw(target(), "new");
    kept.restore();
    EXPECT_FALSE(fs::exists(target()));
}

TEST_F(KeptFileTest, DiscardKeepsTheNewFile)
{
    writeRaw(target(), "old");
    {
        KeptFile kept(target(), "2");
        ASSERT_EQ(kept.keep(), 0);
        fs::remove(target());
        writeRaw(target(), "new");
        kept.discard();
    }
    EXPECT_EQ(readRaw(target()), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(KeptFileTest, NothingKeptMeansNothingRestored)
{
    writeRaw(target(), "current");
    {
        KeptFile kept(target(), "2");
    }
    EXPECT_EQ(readRaw(target()), "current");
}

TEST_F(KeptFileTest, UnwritableModuleDirectoryKeepsNothing)
{
    writeRaw(target(), "old");
    KeptFile kept(dir_ / "missing/m.zip", "2");
    EXPECT_EQ(kept.keep(), -1);
    EXPECT_EQ(readRaw(target()), "old");
}

} // namespace
} // namespace kav
