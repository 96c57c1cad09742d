#include "rs/repository/dplfileutils.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace fs = std::filesystem;
using namespace storagetest;
namespace utils = rsmanagerutils;
using Lines = std::vector<std::string>;

namespace {

// A full disk: every write transfers half of what it is given.
ssize_t halfWrite(int fd, const void* buffer, size_t count)
{
    return ::write(fd, buffer, count / 2);
}

// Every way the index rewrite can fail keeps the previous file whole, and
// no temporary file is left beside it.
TEST(StorageIndexRewrite, EveryFailureKeepsThePreviousFile)
{
    ScratchDir dir;
    const std::string path = dir / ".index";
    const Lines before { "calc|3|calc.zip|100|admin|0|512|0", "tool|1|t.bin|7|bob|1|9|0" };
    ASSERT_EQ(utils::writeLinesToFile(path, { "old", "", "lines" }), 0);
    EXPECT_EQ(readFile(path), "old\nlines\n") << "empty lines are not written";
    ASSERT_EQ(utils::writeLinesToFile(path, before), 0) << "the read-only file is rewritten";
    EXPECT_EQ(modeOf(path), 0400u);

    const auto expectPreviousFileKept = [&] {
        EXPECT_EQ(utils::readLinesFromFile(path), before);
        EXPECT_EQ(modeOf(path), 0400u);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    };
    expectPreviousFileKept();
    utils::IoCalls diskFull = utils::posixIoCalls();
    diskFull.write = &halfWrite;
    utils::IoCalls syncFails = utils::posixIoCalls();
    syncFails.fsync = [](int) { return errno = EIO, -1; };
    utils::IoCalls renameFails = utils::posixIoCalls();
    renameFails.rename = [](const char*, const char*) { return errno = EROFS, -1; };
    const std::pair<const char*, utils::IoCalls> failures[]
        = { { "disk full", diskFull }, { "sync", syncFails }, { "rename", renameFails } };
    for (const auto& [name, calls] : failures) {
        SCOPED_TRACE(name);
        ScopedIoCalls hooks(calls);
        EXPECT_EQ(utils::writeLinesToFile(path, { "calc|4|calc.zip|200|admin|0|600|0" }), -1);
        expectPreviousFileKept();
    }
}

// Line files whose line ends fall on and around the read-block boundaries
// read as the same lines as any other file.
TEST(StorageFileUtils, LinesAcrossReadBlockBoundaries)
{
    constexpr size_t kBlock = utils::kLineReadBlock;
    const struct {
        const char* name;
        std::vector<size_t> lengths;
        bool crlf;
    } cases[] = {
        { "newline on the last byte of a block", { kBlock - 1, 10 }, false },
        { "newline on the first byte of the next block", { kBlock, 10 }, false },
        { "carriage return ends a block", { kBlock - 1, 5 }, true },
        { "carriage return starts a block", { kBlock, 5 }, true },
        { "a line over three blocks", { 3, 2 * kBlock + 7, 0, 4 }, false },
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lines lines;
        std::string text;
        for (size_t length : c.lengths) {
            lines.emplace_back(length, static_cast<char>('a' + lines.size()));
            text += lines.back() + (c.crlf ? "\r\n" : "\n");
        }
        writeFile(dir / "lines", text);
        EXPECT_EQ(utils::readLinesFromFile(dir / "lines"), lines);
    }
    writeFile(dir / "ends", "one\r\ntwo\r\n\r\na\rb\nlast");
    EXPECT_EQ(utils::readLinesFromFile(dir / "ends"), (Lines { "one", "two", "", "a\rb", "last" }))
        << "only a carriage return right before a line feed is dropped";
    EXPECT_TRUE(utils::readLinesFromFile(dir / "missing").empty());
}

} // namespace
