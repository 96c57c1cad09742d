#include "rs/repository/dplfileutils.h"

#include "common/KavTraceDebugger.h"
#include "common/Loggers.h"
#include "rs/repository/BackgroundFlush.h"
#include "rs/repository/KavCacheFile.h"
#include "zephcomm/wire/LargeBuffers.h"

#include <ace/Lock_Adapter_T.h>
#include <ace/Message_Block.h>
#include <ace/Thread_Mutex.h>
#include <log4cxx/logger.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace rsmanagerutils {
namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kFileUtils);
    return instance;
}

IoCalls& hooks()
{
    static IoCalls calls = posixIoCalls();
    return calls;
}

// The errno of the calling thread's last failure here; 0 for a failure no
// system call reported (a short write, a file that shrank while read).
thread_local int lastFailureErrno = 0;

// Every public function starts by forgetting the failure of an earlier call.
class FunctionTrace {
public:
    explicit FunctionTrace(const char* name)
        : trace_(logger(), name)
    {
        lastFailureErrno = 0;
    }

private:
    kav::KavTraceDebugger trace_;
};

// Logs the failure with the system's reason and keeps errno for the caller
// (the line is written before errno is read by anyone else).
void logFailure(const char* function, const std::string& message, int error = errno)
{
    lastFailureErrno = error;
    LOG4CXX_DEBUG(logger(), function << ": " << message << (error != 0 ? " (" + errnoText(error) + ")" : ""));
    errno = error;
}

// Closes the descriptor when the scope ends.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : fd_(fd)
    {
    }
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int close()
    {
        int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Shared by every data block that readFile creates: the reference counts of
// blocks handed to other threads must be changed under a lock. Never freed,
// so blocks released during process exit still find it.
ACE_Lock* sharedBlockLock()
{
    static ACE_Lock* lock = new ACE_Lock_Adapter<ACE_Thread_Mutex>();
    return lock;
}

// Writes all of buffer; false on a short or failed write.
bool writeAll(int fd, const char* buffer, size_t count)
{
    errno = 0; // a short write sets none
    ssize_t written = hooks().write(fd, buffer, count);
    return written >= 0 && static_cast<size_t>(written) == count;
}

// The whole units of `unit` bytes that the last `length` bytes before the
// file position completed, as the file range [first, second).
std::pair<off_t, off_t> completedUnits(off_t end, size_t length, size_t unit)
{
    if (length == 0 || end < static_cast<off_t>(length))
        return { 0, 0 };
    const off_t size = static_cast<off_t>(unit);
    return { (end - static_cast<off_t>(length)) / size * size, end / size * size };
}

// Starts writing to the disk each whole kWritebackUnit of the file that the
// last `length` bytes completed, and queues a background flush for each whole
// kFlushUnit. Advice only: a failure shows at the sync that has to follow.
void startWriteback(int fd, size_t length)
{
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (const auto [from, to] = completedUnits(end, length, kWritebackUnit); to > from)
        ::sync_file_range(fd, from, to - from, SYNC_FILE_RANGE_WRITE);
    if (const auto [from, to] = completedUnits(end, length, kFlushUnit); to > from)
        BackgroundFlush::instance().flush(fd);
}

int syncDirectory(const std::string& dir)
{
    FileDescriptor fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fd.valid())
        return -1;
    return hooks().fsync(fd.get());
}

// Bytes of index lines collected before they are written.
constexpr size_t kIndexWriteBatch = 64 * 1024;

// Writes the lines to a new temporary file and syncs it; false on failure.
bool writeLinesToTemporary(
    const std::string& tmpPath, const std::string& finalPath, const std::vector<std::string>& lines)
{
    static const char* trace = "rsmanagerutils::writeLinesToFile";
    ::unlink(tmpPath.c_str());
    FileDescriptor fd(::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        logFailure(trace, "Failed to open index file for write: " + finalPath);
        return false;
    }
    // Lines go out in batches: one system call per line made large indexes
    // slow to rewrite.
    std::string text;
    text.reserve(kIndexWriteBatch + 256);
    bool written = true;
    for (const auto& line : lines) {
        if (line.empty())
            continue;
        text.append(line).push_back('\n');
        if (text.size() >= kIndexWriteBatch) {
            written = writeAll(fd.get(), text.data(), text.size());
            if (!written)
                break;
            text.clear();
        }
    }
    if (written && !text.empty())
        written = writeAll(fd.get(), text.data(), text.size());
    if (!written || hooks().fsync(fd.get()) != 0 || ::fchmod(fd.get(), S_IRUSR) != 0 || fd.close() != 0) {
        logFailure(trace, "Failed to write to index file: " + finalPath);
        return false;
    }
    return true;
}

// Splits the text at "\n" into lines, carrying an unfinished line in pending.
void splitLines(const char* text, size_t count, std::string& pending, std::vector<std::string>& lines)
{
    const char* end = text + count;
    while (text < end) {
        const char* newline = static_cast<const char*>(memchr(text, '\n', end - text));
        if (!newline) {
            pending.append(text, end);
            return;
        }
        pending.append(text, newline);
        if (!pending.empty() && pending.back() == '\r')
            pending.pop_back();
        lines.push_back(std::move(pending));
        pending.clear();
        text = newline + 1;
    }
}

} // namespace

IoCalls posixIoCalls()
{
    return IoCalls { &::write, &::read, &::fsync, &::rename };
}

const IoCalls& ioCalls()
{
    return hooks();
}

IoCalls setIoCalls(const IoCalls& calls)
{
    IoCalls previous = hooks();
    hooks() = calls;
    return previous;
}

std::string parseOutDir(const std::string& path)
{
    FunctionTrace trace("rsmanagerutils::parseOutDir()");
    size_t backslash = path.rfind('\\');
    size_t slash = path.rfind('/');
    size_t last = 0;
    if (backslash != std::string::npos)
        last = backslash;
    if (slash != std::string::npos && slash > last)
        last = slash;
    return last > 0 ? path.substr(0, last) : std::string();
}

std::string errnoText(int error)
{
    return std::string(std::strerror(error)) + ", errno " + std::to_string(error);
}

std::string lastFailureText()
{
    return lastFailureErrno != 0 ? errnoText(lastFailureErrno) : std::string();
}

std::string failureDetail(const std::string& what)
{
    const std::string reason = lastFailureText();
    return reason.empty() ? what : what + ": " + reason;
}

int64_t fileSize(const std::string& path)
{
    FunctionTrace trace("rsmanagerutils::fileSize()");
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        logFailure("rsmanagerutils::fileSize()", "Can not open: " + path);
        return 0;
    }
    return st.st_size;
}

int assertPath(const std::string& path)
{
    FunctionTrace trace("rsmanagerutils::assertPath()");
    if (exists(path))
        return 1;
    if (::mkdir(path.c_str(), 0700) == 0) {
        ::chmod(path.c_str(), 0700);
        return 0;
    }
    int failure = -errno;
    std::string parent = parseOutDir(path);
    if (parent.empty())
        return failure;
    int parentResult = assertPath(parent);
    if (parentResult < 0)
        return parentResult;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = -errno;
        logFailure("rsmanagerutils::assertPath()", "Could not create directory: " + path);
        return failure;
    }
    ::chmod(path.c_str(), 0700);
    return 0;
}

int createFile(const std::string& path, const ACE_Message_Block& data, int openFlags, Writeback writeback)
{
    static const char* traceName = "rsmanagerutils::createFile()";
    FunctionTrace trace(traceName);
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | openFlags, 0600));
    if (!fd.valid()) {
        logFailure(traceName, "Can not create/open: " + path);
        return -1;
    }
    int result = 0;
    const char* next = data.rd_ptr();
    size_t left = data.length();
    while (left > 0) {
        size_t piece = std::min(left, kTransferUnit);
        if (!writeAll(fd.get(), next, piece)) {
            logFailure(traceName, "Failed to write buffer" + path + ", bytes" + std::to_string(piece));
            result = -1;
            break;
        }
        next += piece;
        left -= piece;
    }
    if (result == 0 && writeback == Writeback::Start)
        startWriteback(fd.get(), data.length());
    fd.close();
    ::chmod(path.c_str(), 0600);
    return result;
}

int deleteFile(const std::string& path)
{
    FunctionTrace trace("rsmanagerutils::deleteFile()");
    ::chmod(path.c_str(), 0777);
    if (::unlink(path.c_str()) == 0)
        return 0;
    logFailure("rsmanagerutils::deleteFile()", "Can not delete: " + path);
    return -1;
}

int findFile(const std::string& dirPath, std::string& fileName)
{
    return findFile(dirPath, fileName, [](const std::string&) { return true; });
}

int findFile(
    const std::string& dirPath, std::string& fileName, const std::function<bool(const std::string&)>& accept)
{
    FunctionTrace trace("rsmanagerutils::findFile()");
    fileName.clear();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dirPath.c_str()), &::closedir);
    if (!dir)
        return -1;
    while (const dirent* item = ::readdir(dir.get())) {
        std::string name = item->d_name;
        if (name == "." || name == ".." || name.starts_with(".nfs"))
            continue;
        if (!accept(name))
            continue;
        // The listing's type saves a stat, except for links (followed) and
        // file systems that do not tell.
        struct stat st;
        const bool regular = item->d_type == DT_REG
            || ((item->d_type == DT_LNK || item->d_type == DT_UNKNOWN)
                && ::stat((dirPath + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode));
        if (regular) {
            fileName = name;
            return 0;
        }
    }
    return -1;
}

int readFile(const std::string& path, ACE_Message_Block*& data)
{
    static const char* traceName = "rsmanagerutils::readFile()";
    FunctionTrace trace(traceName);
    data = nullptr;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        logFailure(traceName, "Can not open: " + path);
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    // Large files go into the buffers large messages are received into:
    // huge pages, and a freed buffer (an evicted cache entry) taken again,
    // where fresh heap memory would cost a page fault per 4 KiB.
    ACE_Allocator* memory = size >= zephcomm::wire::LargeBuffers::kMinSize
        ? &zephcomm::wire::LargeBuffers::allocator()
        : nullptr;
    auto* block = new (std::nothrow)
        ACE_Message_Block(size, ACE_Message_Block::MB_DATA, nullptr, nullptr, memory, sharedBlockLock());
    if (!block || (size > 0 && !block->base())) {
        logFailure(traceName, "Can not read file into memory (allocation problem): " + path, ENOMEM);
        if (block)
            block->release();
        return -1;
    }
    size_t left = size;
    while (left > 0) {
        errno = 0; // a file that shrank sets none
        ssize_t count = hooks().read(fd.get(), block->wr_ptr(), std::min(left, kTransferUnit));
        if (count <= 0) {
            // A file that shrank while being read (count 0) is as unusable as a read error.
            block->release();
            logFailure(traceName, "Can not read file (in the loop) into memory: " + path);
            return -1;
        }
        block->wr_ptr(static_cast<size_t>(count));
        left -= static_cast<size_t>(count);
    }
    data = block;
    return 0;
}

int deleteDir(const std::string& path, kav::KavFileCache* cache)
{
    static const char* traceName = "rsmanagerutils::deleteDir()";
    FunctionTrace trace(traceName);
    if (!exists(path))
        return 1;
    bool failed = false;
    int lastError = 0;
    // A directory left read-only would keep its entries from being removed.
    ::chmod(path.c_str(), 0700);
    if (std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), &::closedir); dir) {
        while (const dirent* item = ::readdir(dir.get())) {
            std::string name = item->d_name;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "/" + name;
            struct stat st;
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                failed |= deleteDir(child, cache) == -1;
                continue;
            }
            (cache ? *cache : *kav::KavFileCache::instance()).closeFile(child);
            ::chmod(child.c_str(), 0600);
            if (::unlink(child.c_str()) != 0) {
                lastError = errno;
                failed = true;
            }
        }
    } else {
        lastError = errno;
        failed = true;
    }
    if (!failed && ::rmdir(path.c_str()) == 0)
        return 0;
    if (!lastError)
        lastError = errno;
    logFailure(traceName, "Delete subtree failed: " + path + ". Last error is: " + std::to_string(lastError),
        lastError);
    return -1;
}

int writeLinesToFile(const std::string& path, const std::vector<std::string>& lines)
{
    FunctionTrace trace("rsmanagerutils::writeLinesToFile");
    std::string tmpPath = path + ".tmp";
    if (!writeLinesToTemporary(tmpPath, path, lines)) {
        ::unlink(tmpPath.c_str());
        return -1;
    }
    if (hooks().rename(tmpPath.c_str(), path.c_str()) != 0) {
        logFailure("rsmanagerutils::writeLinesToFile", "Failed to write to index file: " + path);
        ::unlink(tmpPath.c_str());
        return -1;
    }
    // The rename is durable only once the directory entry is on disk.
    if (syncDirectory(parseOutDir(path)) != 0)
        logFailure("rsmanagerutils::writeLinesToFile", "Failed to sync directory of: " + path);
    return 0;
}

int moveFile(const std::string& from, const std::string& to)
{
    FunctionTrace trace("rsmanagerutils::moveFile()");
    if (hooks().rename(from.c_str(), to.c_str()) != 0) {
        logFailure("rsmanagerutils::moveFile()", "Can not rename: " + from + " to " + to);
        return -1;
    }
    if (syncDirectory(parseOutDir(to)) != 0)
        logFailure("rsmanagerutils::moveFile()", "Failed to sync directory of: " + to);
    return 0;
}

int syncFile(const std::string& path)
{
    FunctionTrace trace("rsmanagerutils::syncFile()");
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const int flushError = fd.valid() ? BackgroundFlush::instance().settle(fd.get()) : 0;
    if (!fd.valid() || flushError != 0 || hooks().fsync(fd.get()) != 0
        || syncDirectory(parseOutDir(path)) != 0) {
        logFailure(
            "rsmanagerutils::syncFile()", "Can not sync: " + path, flushError != 0 ? flushError : errno);
        return -1;
    }
    return 0;
}

LineFile readLines(const std::string& path, std::vector<std::string>& lines)
{
    static const char* traceName = "rsmanagerutils::readLines()";
    FunctionTrace trace(traceName);
    lines.clear();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return LineFile::Missing;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        logFailure(traceName, "Failed to open index file for read: " + path);
        return LineFile::Unreadable;
    }
    char buffer[kLineReadBlock + 1];
    std::string pending;
    ssize_t count;
    while ((count = hooks().read(fd.get(), buffer, kLineReadBlock)) > 0)
        splitLines(buffer, static_cast<size_t>(count), pending, lines);
    if (count < 0) {
        logFailure(traceName, "Failed to read index file: " + path);
        lines.clear();
        return LineFile::Unreadable;
    }
    if (!pending.empty())
        lines.push_back(std::move(pending));
    return LineFile::Read;
}

std::vector<std::string> readLinesFromFile(const std::string& path)
{
    std::vector<std::string> lines;
    readLines(path, lines);
    return lines;
}

} // namespace rsmanagerutils
