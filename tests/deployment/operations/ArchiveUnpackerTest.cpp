#include "tools/rsdeploy/ArchiveUnpacker.h"
#include "deployment/operations/ArchiveFixtures.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using rs::test::ArchiveEntrySpec;
using rs::test::ArchiveFormat;
using rs::test::makeArchive;
using rsdeploy::ArchiveUnpacker;
using rsdeploy::UnpackError;

namespace {

class ArchiveUnpackerTest : public ::testing::Test {
protected:
    // The package tree lies one level below the temporary directory, so that
    // an escaping entry would land in `outside_` where the test can see it.
    void SetUp() override
    {
        outside_ = dir_.path();
        target_ = outside_ + "/tree";
        fs::create_directory(target_);
    }

    bool nothingWritten() const
    {
        return fs::is_empty(target_) && std::distance(fs::directory_iterator(outside_), {}) == 1;
    }

    rs::test::ScratchDir dir_;
    std::string outside_;
    std::string target_;
};

TEST_F(ArchiveUnpackerTest, UnpacksEveryFormatWithDirectoriesAndModes)
{
    for (ArchiveFormat format : { ArchiveFormat::Tar, ArchiveFormat::TarGz, ArchiveFormat::Zip }) {
        fs::remove_all(target_);
        fs::create_directory(target_);
        std::string archive
            = makeArchive({ { ArchiveEntrySpec::Dir, "bin", "" },
                              { ArchiveEntrySpec::File, "bin/run.sh", "#!/bin/sh\necho hi\n", 0755 },
                              { ArchiveEntrySpec::File, "conf/app.conf", "port=1\n" } },
                format);
        EXPECT_EQ(ArchiveUnpacker::unpack(archive, "pkg.any", target_), ArchiveUnpacker::Kind::Archive);
        EXPECT_EQ(rs::test::readFile(target_ + "/bin/run.sh"), "#!/bin/sh\necho hi\n");
        EXPECT_EQ(rs::test::readFile(target_ + "/conf/app.conf"), "port=1\n");
        EXPECT_NE(fs::status(target_ + "/bin/run.sh").permissions() & fs::perms::owner_exec, fs::perms::none);
    }
}

TEST_F(ArchiveUnpackerTest, CopiesAnyOtherFileAsItIs)
{
    const std::string contents("plain \0 bytes, not an archive", 29);
    EXPECT_EQ(ArchiveUnpacker::unpack(contents, "tool.bin", target_), ArchiveUnpacker::Kind::PlainFile);
    EXPECT_EQ(rs::test::readFile(target_ + "/tool.bin"), contents);
    EXPECT_EQ(ArchiveUnpacker::unpack("", "empty.txt", target_), ArchiveUnpacker::Kind::PlainFile);
    EXPECT_TRUE(fs::is_regular_file(target_ + "/empty.txt"));

    fs::remove_all(target_);
    fs::create_directory(target_);
    EXPECT_THROW(ArchiveUnpacker::unpack("data", "../escape.txt", target_), UnpackError);
    EXPECT_THROW(ArchiveUnpacker::unpack("data", "sub/file.txt", target_), UnpackError);
    EXPECT_TRUE(nothingWritten()) << "a plain file whose name is a path is refused";
}

TEST_F(ArchiveUnpackerTest, RefusesEntriesThatLeaveTheTreeBeforeWritingAnything)
{
    const std::vector<std::vector<ArchiveEntrySpec>> hostile {
        { { ArchiveEntrySpec::File, "ok.txt", "fine" }, { ArchiveEntrySpec::File, "../evil.txt", "x" } },
        { { ArchiveEntrySpec::File, "ok.txt", "fine" }, { ArchiveEntrySpec::File, "a/../../evil.txt", "x" } },
        { { ArchiveEntrySpec::File, "ok.txt", "fine" },
            { ArchiveEntrySpec::File, outside_ + "/evil.txt", "x" } },
        { { ArchiveEntrySpec::Symlink, "link", outside_ } },
        { { ArchiveEntrySpec::Symlink, "sub/link", "../../evil" } },
        { { ArchiveEntrySpec::Symlink, "link", ".." }, { ArchiveEntrySpec::File, "link/evil.txt", "x" } },
        { { ArchiveEntrySpec::File, "ok.txt", "fine" },
            { ArchiveEntrySpec::Hardlink, "hard", "../evil.txt" } },
    };
    for (const auto& entries : hostile) {
        for (ArchiveFormat format : { ArchiveFormat::Tar, ArchiveFormat::TarGz }) {
            std::string archive = makeArchive(entries, format);
            EXPECT_THROW(ArchiveUnpacker::unpack(archive, "pkg.tar", target_), UnpackError)
                << entries.back().path;
            EXPECT_TRUE(nothingWritten()) << entries.back().path;
        }
    }
}

TEST_F(ArchiveUnpackerTest, AcceptsLinksThatStayInside)
{
    std::string archive = makeArchive({ { ArchiveEntrySpec::File, "lib/libx.so.1", "elf" },
        { ArchiveEntrySpec::Symlink, "lib/libx.so", "libx.so.1" },
        { ArchiveEntrySpec::Symlink, "bin/lib", "../lib" },
        { ArchiveEntrySpec::Hardlink, "lib/copy", "lib/libx.so.1" } });
    ArchiveUnpacker::unpack(archive, "pkg.tar", target_);
    EXPECT_EQ(rs::test::readFile(target_ + "/lib/libx.so"), "elf");
    EXPECT_EQ(rs::test::readFile(target_ + "/bin/lib/libx.so.1"), "elf");
    EXPECT_EQ(rs::test::readFile(target_ + "/lib/copy"), "elf");
}

TEST_F(ArchiveUnpackerTest, RefusesADamagedArchiveAfterItsFirstEntry)
{
    std::string archive = makeArchive({ { ArchiveEntrySpec::File, "a.txt", std::string(5000, 'a') },
        { ArchiveEntrySpec::File, "b.txt", std::string(5000, 'b') } });
    archive.resize(archive.size() / 2 + 100);
    EXPECT_THROW(ArchiveUnpacker::unpack(archive, "pkg.tar", target_), UnpackError);
}

} // namespace
