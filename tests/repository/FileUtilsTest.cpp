#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
using namespace storagetest;
namespace utils = rsmanagerutils;

namespace {

constexpr size_t kMiB = 1024 * 1024;

// Sizes of the write and read calls made through the hooks while a test runs.
std::vector<size_t> gWrites;
std::vector<size_t> gReads;
size_t gFailWriteAfter = SIZE_MAX; // bytes accepted before writes come up short

ssize_t countingWrite(int fd, const void* buffer, size_t count)
{
    gWrites.push_back(count);
    return ::write(fd, buffer, count);
}

ssize_t countingRead(int fd, void* buffer, size_t count)
{
    gReads.push_back(count);
    return ::read(fd, buffer, count);
}

// A disk that fills up: once gFailWriteAfter bytes are written, writes transfer half of what they are given.
ssize_t fillingWrite(int fd, const void* buffer, size_t count)
{
    if (count <= gFailWriteAfter) {
        gFailWriteAfter -= count;
        return ::write(fd, buffer, count);
    }
    return ::write(fd, buffer, count / 2);
}

// A file that loses its tail while being read.
ssize_t truncatedRead(int fd, void* buffer, size_t count)
{
    return gReads.empty() ? (gReads.push_back(count), ::read(fd, buffer, count / 2)) : 0;
}

class StorageFileUtils : public ::testing::Test {
protected:
    void SetUp() override
    {
        gWrites.clear();
        gReads.clear();
        gFailWriteAfter = SIZE_MAX;
    }
    utils::IoCalls withWrite(ssize_t (*write)(int, const void*, size_t))
    {
        utils::IoCalls calls = utils::posixIoCalls();
        calls.write = write;
        return calls;
    }
    utils::IoCalls withRead(ssize_t (*read)(int, void*, size_t))
    {
        utils::IoCalls calls = utils::posixIoCalls();
        calls.read = read;
        return calls;
    }
    ScratchDir dir;
};

TEST(StoragePaths, ParentDirectory)
{
    EXPECT_EQ(utils::parseOutDir("calc.zip"), "");
    EXPECT_EQ(utils::parseOutDir(""), "");
    EXPECT_EQ(utils::parseOutDir("/repo"), "") << "the only separator is the first character";
    EXPECT_EQ(utils::parseOutDir("/repo/cons/calc"), "/repo/cons");
    EXPECT_EQ(utils::parseOutDir("repo\\cons\\calc"), "repo\\cons");
    EXPECT_EQ(utils::parseOutDir("a\\b/c"), "a\\b") << "the later separator wins";
    EXPECT_EQ(utils::parseOutDir("a/b\\c"), "a/b");
}

TEST_F(StorageFileUtils, AssertPathReportsExistingAndCreatesMissingChain)
{
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(utils::assertPath(dir.path()), 1);
    EXPECT_EQ(modeOf(dir.path()), 0755u) << "an existing directory is left alone";

    std::string third = dir / "second/third";
    EXPECT_EQ(utils::assertPath(third), 0);
    EXPECT_TRUE(fs::is_directory(dir / "second"));
    EXPECT_TRUE(fs::is_directory(third));
    EXPECT_EQ(modeOf(third), 0700u);
    EXPECT_EQ(modeOf(dir / "second"), 0700u);

    writeRaw(dir / "plain", "x");
    EXPECT_LT(utils::assertPath(dir / "plain/below"), 0) << "a file in the way is a failure";
}

TEST_F(StorageFileUtils, FileSizeOfMissingFileIsZero)
{
    writeRaw(dir / "f", std::string(1234, 'a'));
    EXPECT_EQ(utils::fileSize(dir / "f"), 1234);
    LogCapture log("CLI.dpl.rsmanagerutils");
    EXPECT_EQ(utils::fileSize(dir / "missing"), 0);
    EXPECT_TRUE(log.contains("Can not open: " + dir / "missing"));
}

TEST_F(StorageFileUtils, CreateFileTruncatesOrAppends)
{
    std::string path = dir / "module.zip";
    ASSERT_EQ(utils::createFile(path, *makeBlock("first"), O_TRUNC), 0);
    ASSERT_EQ(utils::createFile(path, *makeBlock("+second"), O_APPEND), 0);
    EXPECT_EQ(readRaw(path), "first+second");
    EXPECT_EQ(modeOf(path), 0600u);
    ASSERT_EQ(utils::createFile(path, *makeBlock("new"), O_TRUNC), 0);
    EXPECT_EQ(readRaw(path), "new");

    // Only the readable part of the block is written.
    BlockPtr block = makeBlock("skipKEPT");
    block->rd_ptr(4);
    ASSERT_EQ(utils::createFile(path, *block, O_TRUNC), 0);
    EXPECT_EQ(readRaw(path), "KEPT");
}

TEST_F(StorageFileUtils, PiecesWhoseWritebackStartsAtOnceAddUpToTheSameFile)
{
    // As an upload stores its pieces: the first truncates, the others append
    // (an empty one included), each starting its write-back.
    const std::string path = dir / "upload.tmp";
    std::string big(3 * kMiB + 5, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + (i >> 12));
    ASSERT_EQ(utils::createFile(path, *makeBlock("stale bytes of an earlier upload"), O_TRUNC), 0);
    const auto start = utils::Writeback::Start;
    ASSERT_EQ(utils::createFile(path, *makeBlock("head"), O_TRUNC, start), 0);
    ASSERT_EQ(utils::createFile(path, *makeBlock(""), O_APPEND, start), 0);
    ASSERT_EQ(utils::createFile(path, *makeBlock(big), O_APPEND, start), 0);
    ASSERT_EQ(utils::createFile(path, *makeBlock("tail"), O_APPEND, start), 0);
    EXPECT_TRUE(readRaw(path) == "head" + big + "tail");
    EXPECT_EQ(utils::syncFile(path), 0);
}

TEST_F(StorageFileUtils, CreateFileFailsWhenDirectoryIsMissing)
{
    LogCapture log("CLI.dpl.rsmanagerutils");
    EXPECT_EQ(utils::createFile(dir / "no/such/file", *makeBlock("x"), O_TRUNC), -1);
    EXPECT_TRUE(log.contains("Can not create/open: " + dir / "no/such/file"));
    // The system's reason travels with the failure, for the error record.
    EXPECT_TRUE(log.contains(std::strerror(ENOENT)));
    EXPECT_EQ(utils::lastFailureText(), utils::errnoText(ENOENT));
    EXPECT_EQ(utils::failureDetail("cannot write x"), "cannot write x: " + utils::errnoText(ENOENT));
}

TEST_F(StorageFileUtils, LargeBlockIsWrittenInTenMiBSystemCalls)
{
    std::string bytes(25 * kMiB, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + (i >> 20));
    ScopedIoCalls hooks(withWrite(&countingWrite));
    ASSERT_EQ(utils::createFile(dir / "big", *makeBlock(bytes), O_TRUNC), 0);
    EXPECT_EQ(gWrites, (std::vector<size_t> { 10 * kMiB, 10 * kMiB, 5 * kMiB }));
    EXPECT_TRUE(readRaw(dir / "big") == bytes);
}

TEST_F(StorageFileUtils, ShortWriteStopsAndFails)
{
    gFailWriteAfter = 10 * kMiB;
    ScopedIoCalls hooks(withWrite(&fillingWrite));
    LogCapture log("CLI.dpl.rsmanagerutils");
    EXPECT_EQ(utils::createFile(dir / "big", *makeBlock(std::string(25 * kMiB, 'z')), O_TRUNC), -1);
    EXPECT_TRUE(log.contains("Failed to write buffer" + dir / "big" + ", bytes" + std::to_string(10 * kMiB)));
    EXPECT_EQ(modeOf(dir / "big"), 0600u) << "closed and made private even after a failure";
    EXPECT_EQ(utils::lastFailureText(), "") << "a short write has no system reason, not a stale one";
}

TEST_F(StorageFileUtils, DeleteFileRemovesReadOnlyFile)
{
    writeRaw(dir / "ro", "x");
    ::chmod((dir / "ro").c_str(), 0400);
    EXPECT_EQ(utils::deleteFile(dir / "ro"), 0);
    EXPECT_FALSE(fs::exists(dir / "ro"));
    EXPECT_EQ(utils::deleteFile(dir / "ro"), -1);
}

TEST_F(StorageFileUtils, FindFileSkipsDirectoriesAndNfsLeftovers)
{
    std::string name = "unset";
    EXPECT_EQ(utils::findFile(dir / "missing", name), -1);
    EXPECT_EQ(name, "");

    fs::create_directory(dir / "sub");
    writeRaw(dir / ".nfs0001", "stale");
    name = "unset";
    EXPECT_EQ(utils::findFile(dir.path(), name), -1);
    EXPECT_EQ(name, "");

    writeRaw(dir / "calc.zip", "zip");
    EXPECT_EQ(utils::findFile(dir.path(), name), 0);
    EXPECT_EQ(name, "calc.zip");
}

TEST_F(StorageFileUtils, ReadFileGivesShareableBlockInTenMiBReads)
{
    std::string bytes(25 * kMiB, 'r');
    bytes[0] = 'a';
    bytes.back() = 'z';
    writeRaw(dir / "big", bytes);
    ACE_Message_Block* raw = nullptr;
    {
        ScopedIoCalls hooks(withRead(&countingRead));
        ASSERT_EQ(utils::readFile(dir / "big", raw), 0);
    }
    BlockPtr block(raw);
    EXPECT_EQ(gReads, (std::vector<size_t> { 10 * kMiB, 10 * kMiB, 5 * kMiB }));
    EXPECT_TRUE(contentsOf(*block) == bytes);
    EXPECT_NE(block->data_block()->locking_strategy(), nullptr)
        << "the reference count of shared contents must be lock-guarded";
}

TEST_F(StorageFileUtils, ReadFileOfEmptyMissingAndShrinkingFiles)
{
    writeRaw(dir / "empty", "");
    ACE_Message_Block* raw = nullptr;
    ASSERT_EQ(utils::readFile(dir / "empty", raw), 0);
    BlockPtr empty(raw);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->length(), 0u);

    raw = reinterpret_cast<ACE_Message_Block*>(0x1);
    EXPECT_EQ(utils::readFile(dir / "missing", raw), -1);
    EXPECT_EQ(raw, nullptr);

    writeRaw(dir / "shrinks", std::string(1000, 's'));
    ScopedIoCalls hooks(withRead(&truncatedRead));
    LogCapture log("CLI.dpl.rsmanagerutils");
    EXPECT_EQ(utils::readFile(dir / "shrinks", raw), -1);
    EXPECT_EQ(raw, nullptr);
    EXPECT_TRUE(log.contains("Can not read file (in the loop) into memory: " + dir / "shrinks"));
}

TEST_F(StorageFileUtils, DeleteDirRemovesTreeWithReadOnlyFilesAndDropsCachedContents)
{
    EXPECT_EQ(utils::deleteDir(dir / "missing"), 1);

    std::string top = dir / "module";
    fs::create_directories(top + "/a/b");
    writeRaw(top + "/calc.zip", "zip");
    writeRaw(top + "/a/b/deep", "deep");
    ::chmod((top + "/a/b/deep").c_str(), 0400);
    ::chmod((top + "/a/b").c_str(), 0500);

    ACE_Message_Block* raw = nullptr;
    ASSERT_EQ(kav::KavFileCache::instance()->readFile(top + "/calc.zip", raw), 0);
    BlockPtr held(raw);
    ASSERT_TRUE(kav::KavFileCache::instance()->contains(top + "/calc.zip"));

    EXPECT_EQ(utils::deleteDir(top), 0);
    EXPECT_FALSE(fs::exists(top));
    EXPECT_FALSE(kav::KavFileCache::instance()->contains(top + "/calc.zip"));
    EXPECT_EQ(contentsOf(*held), "zip") << "a holder keeps its contents after the entry is dropped";
}

TEST_F(StorageFileUtils, WriteLinesSkipsEmptyLinesAndLeavesFileReadOnly)
{
    std::string path = dir / ".index";
    ASSERT_EQ(utils::writeLinesToFile(path, { "a", "", "b" }), 0);
    EXPECT_EQ(readRaw(path), "a\nb\n");
    EXPECT_EQ(modeOf(path), 0400u);

    ASSERT_EQ(utils::writeLinesToFile(path, { "c" }), 0) << "a read-only file is rewritten";
    EXPECT_EQ(readRaw(path), "c\n");
    EXPECT_EQ(modeOf(path), 0400u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << "no temporary file is left beside the index";
}

TEST_F(StorageFileUtils, MoveFileReplacesTargetOrLeavesBothAlone)
{
    writeRaw(dir / "calc.zip.tmp", "new");
    writeRaw(dir / "calc.zip", "old");
    {
        utils::IoCalls calls = utils::posixIoCalls();
        calls.rename = [](const char*, const char*) { return errno = EIO, -1; };
        ScopedIoCalls hooks(calls);
        EXPECT_EQ(utils::moveFile(dir / "calc.zip.tmp", dir / "calc.zip"), -1);
        EXPECT_EQ(utils::lastFailureText(), utils::errnoText(EIO));
    }
    EXPECT_EQ(readRaw(dir / "calc.zip"), "old");
    EXPECT_EQ(readRaw(dir / "calc.zip.tmp"), "new");
    EXPECT_EQ(utils::moveFile(dir / "calc.zip.tmp", dir / "calc.zip"), 0);
    EXPECT_EQ(utils::lastFailureText(), "") << "a call that succeeds forgets the earlier failure";
    EXPECT_EQ(readRaw(dir / "calc.zip"), "new");
    EXPECT_FALSE(fs::exists(dir / "calc.zip.tmp"));
    EXPECT_EQ(utils::syncFile(dir / "calc.zip"), 0);
    EXPECT_EQ(utils::syncFile(dir / "missing"), -1);
}

// Every way the rewrite can fail must keep the previous file whole.
class StorageIndexRewrite : public StorageFileUtils {
protected:
    void SetUp() override
    {
        StorageFileUtils::SetUp();
        ASSERT_EQ(utils::writeLinesToFile(path, before), 0);
    }
    void expectPreviousFileKept()
    {
        EXPECT_EQ(utils::readLinesFromFile(path), before);
        EXPECT_EQ(modeOf(path), 0400u);
        EXPECT_FALSE(fs::exists(path + ".tmp"));
    }
    std::string path = dir / ".index";
    std::vector<std::string> before { "calc|3|calc.zip|100|admin|0|512|0", "tool|1|t.bin|7|bob|1|9|0" };
    std::vector<std::string> after { "calc|4|calc.zip|200|admin|0|600|0" };
};

TEST_F(StorageIndexRewrite, DiskFullMidWay)
{
    gFailWriteAfter = 0;
    ScopedIoCalls hooks(withWrite(&fillingWrite));
    LogCapture log("CLI.dpl.rsmanagerutils");
    EXPECT_EQ(utils::writeLinesToFile(path, after), -1);
    EXPECT_TRUE(log.contains("Failed to write to index file: " + path));
    expectPreviousFileKept();
}

TEST_F(StorageIndexRewrite, SyncFails)
{
    utils::IoCalls calls = utils::posixIoCalls();
    calls.fsync = [](int) { return errno = EIO, -1; };
    ScopedIoCalls hooks(calls);
    EXPECT_EQ(utils::writeLinesToFile(path, after), -1);
    expectPreviousFileKept();
}

TEST_F(StorageIndexRewrite, RenameFails)
{
    utils::IoCalls calls = utils::posixIoCalls();
    calls.rename = [](const char*, const char*) { return errno = EROFS, -1; };
    ScopedIoCalls hooks(calls);
    EXPECT_EQ(utils::writeLinesToFile(path, after), -1);
    expectPreviousFileKept();
}

TEST_F(StorageIndexRewrite, DirectoryReadOnly)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the super-user; the injected failures cover this path";
    ::chmod(dir.path().c_str(), 0500);
    EXPECT_EQ(utils::writeLinesToFile(path, after), -1);
    ::chmod(dir.path().c_str(), 0700);
    expectPreviousFileKept();
}

TEST_F(StorageFileUtils, ReadLinesHandlesLineEnds)
{
    writeRaw(dir / "crlf", "one\r\ntwo\r\n\r\nlast");
    EXPECT_EQ(
        utils::readLinesFromFile(dir / "crlf"), (std::vector<std::string> { "one", "two", "", "last" }));
    writeRaw(dir / "lone-cr", "a\rb\n");
    EXPECT_EQ(utils::readLinesFromFile(dir / "lone-cr"), (std::vector<std::string> { "a\rb" }))
        << "only a carriage return right before a line feed is dropped";
    writeRaw(dir / "empty", "");
    EXPECT_TRUE(utils::readLinesFromFile(dir / "empty").empty());
}

TEST_F(StorageFileUtils, ReadLinesOfMissingFileIsEmptyAndSilent)
{
    LogCapture log("CLI.dpl.rsmanagerutils");
    EXPECT_TRUE(utils::readLinesFromFile(dir / "missing").empty());
    EXPECT_TRUE(log.messages().empty());
}

// Line files whose sizes and line ends fall on and around the read-block boundaries.
struct BoundaryCase {
    const char* name;
    std::vector<size_t> lineLengths;
    bool crlf;
};

class StorageLineBlocks : public ::testing::TestWithParam<BoundaryCase> {
protected:
    ScratchDir dir;
};

TEST_P(StorageLineBlocks, SameLinesAsAnyOtherSize)
{
    const BoundaryCase& param = GetParam();
    std::vector<std::string> lines;
    std::string text;
    char fill = 'a';
    for (size_t length : param.lineLengths) {
        lines.emplace_back(length, fill);
        fill = fill == 'z' ? 'a' : static_cast<char>(fill + 1);
        text += lines.back() + (param.crlf ? "\r\n" : "\n");
    }
    writeRaw(dir / "lines", text);
    EXPECT_EQ(utils::readLinesFromFile(dir / "lines"), lines) << "file size " << text.size();
}

constexpr size_t kBlock = rsmanagerutils::kLineReadBlock;

INSTANTIATE_TEST_SUITE_P(Boundaries, StorageLineBlocks,
    ::testing::Values(BoundaryCase { "NewlineOnLastByteOfBlock", { kBlock - 1, 10 }, false },
        BoundaryCase { "NewlineOnFirstByteOfNextBlock", { kBlock, 10 }, false },
        BoundaryCase { "SizeOneBlockExactly", { 100, kBlock - 102 }, false },
        BoundaryCase { "SizeTwoBlocksExactly", { kBlock - 1, kBlock - 1 }, false },
        BoundaryCase { "CarriageReturnEndsBlock", { kBlock - 1, 5 }, true },
        BoundaryCase { "CarriageReturnStartsBlock", { kBlock, 5 }, true },
        BoundaryCase { "LineSpanningThreeBlocks", { 3, 2 * kBlock + 7, 0, 4 }, false },
        BoundaryCase { "ManyShortLines", std::vector<size_t>(30000, 6), true }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
