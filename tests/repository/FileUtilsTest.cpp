#include "rs/repository/dplfileutils.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <ace/Message_Block.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

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

// The background flush of a file being written: it holds until the test lets
// it end, with the result the test gives. Syncs on the test's own thread go
// straight to the disk.
class HeldFlush {
public:
    static utils::IoCalls calls()
    {
        utils::IoCalls calls = utils::posixIoCalls();
        calls.fsync = &fsync;
        return calls;
    }
    static void waitUntilRunning()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [] { return running_; });
    }
    static void end(int error)
    {
        {
            std::lock_guard lock(mutex_);
            result_ = error;
        }
        changed_.notify_all();
    }

private:
    static int fsync(int fd)
    {
        if (std::this_thread::get_id() == testThread_)
            return ::fsync(fd);
        std::unique_lock lock(mutex_);
        running_ = true;
        changed_.notify_all();
        changed_.wait(lock, [] { return result_.has_value(); });
        return *result_ == 0 ? 0 : (errno = *result_, -1);
    }

    static inline const std::thread::id testThread_ = std::this_thread::get_id();
    static inline std::mutex mutex_;
    static inline std::condition_variable changed_;
    static inline bool running_ = false;
    static inline std::optional<int> result_;
};

// A file written in pieces is flushed in the background once a flush unit
// is complete. Its sync reports a flush that failed meanwhile, which the
// sync's own descriptor would not be told of, and no other file's sync
// waits for that flush or fails with it.
TEST(StorageUploadSync, AFailedBackgroundFlushFailsThatFilesSyncOnly)
{
    ScratchDir dir;
    ScopedIoCalls hooks(HeldFlush::calls());
    const std::string upload = dir / "upload.bin.tmp";
    constexpr size_t kPiece = 1 << 20;
    std::string bytes(kPiece, '\0');
    for (size_t i = 0; i < kPiece; ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    ACE_Message_Block piece(bytes.data(), bytes.size());
    piece.wr_ptr(bytes.size());
    const size_t pieces = utils::kFlushUnit / kPiece + 1;
    for (size_t i = 0; i < pieces; ++i)
        ASSERT_EQ(utils::createFile(upload, piece, i == 0 ? O_TRUNC : O_APPEND, utils::Writeback::Start), 0);
    HeldFlush::waitUntilRunning();

    const std::string other = dir / "other.bin";
    ASSERT_EQ(utils::createFile(other, piece, O_TRUNC, utils::Writeback::Start), 0);
    EXPECT_EQ(utils::syncFile(other), 0) << "a file without flushes of its own does not wait for another's";

    HeldFlush::end(EIO);
    EXPECT_EQ(utils::syncFile(upload), -1);
    EXPECT_NE(utils::lastFailureText().find("errno 5"), std::string::npos) << utils::lastFailureText();
    EXPECT_EQ(fs::file_size(upload), pieces * kPiece) << "the bytes written stay for the caller to remove";
    EXPECT_EQ(utils::syncFile(upload), 0) << "the failure is reported once";
}

} // namespace
