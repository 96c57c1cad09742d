#pragma once
// The repository's only contact with the file system: directory chains, whole
// files carried in message blocks, deletion of files and trees, the file of a
// module directory, and the line files behind the index files.
//
// Every function reports failure by its result and a debug line on the logger
// "CLI.dpl.rsmanagerutils"; none throws. Repository paths are joined with "/".
//
// Thread-safety: the functions keep no state but the background flushes
// (BackgroundFlush) and take no lock but its one; callers serialise access
// to the same files (the work queue's readers/writer lock, the file cache's
// mutex). The I/O hooks below are process-wide and are only
// replaced by tests, before any other thread uses the functions.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ACE_Message_Block;

namespace kav {
class KavFileCache;
}

namespace rsmanagerutils {

// Largest transfer of one read or write system call for whole files.
inline constexpr size_t kTransferUnit = 10 * 1024 * 1024;
// Bytes of a file whose write to the disk Writeback::Start starts at once.
// Much of a start's cost is per call (the file system maps and submits the
// range), so small pieces wait until together they fill a unit.
inline constexpr size_t kWritebackUnit = 16 * 1024 * 1024;
// Bytes of a file after which Writeback::Start queues a background flush
// (BackgroundFlush): often enough that the closing sync has little left,
// seldom enough that each flush's fixed cost stays small.
inline constexpr size_t kFlushUnit = 32 * 1024 * 1024;
// Bytes read per call by readLinesFromFile (a 64,000-byte buffer minus its terminator).
inline constexpr size_t kLineReadBlock = 63999;

// "No space left on device, errno 28": the system's text for an errno value.
std::string errnoText(int error);
// The system's reason for the calling thread's last failed call of the
// functions below ("Permission denied, errno 13"); empty when the call
// failed without one (a short write) or did not fail. Error records of file
// failures carry it.
std::string lastFailureText();
// what + ": " + lastFailureText(), or what alone when there is no reason.
std::string failureDetail(const std::string& what);

// Parent directory of path: the text before its last "/" or "\"; empty for a
// bare name or when the only separator is the first character.
std::string parseOutDir(const std::string& path);

// Size in bytes; 0 when the file cannot be opened.
int64_t fileSize(const std::string& path);

// Creates the directory and any missing parents (mode 0700).
// Returns 1 when it already existed, 0 when created, minus errno on failure.
int assertPath(const std::string& path);

// When the bytes createFile wrote go to the disk.
enum class Writeback {
    // Whenever the kernel flushes them (or a later syncFile).
    Later,
    // Started at once, not waited for, for every whole kWritebackUnit of
    // the file that the write completed, and flushed in the background for
    // every whole kFlushUnit: a file written in pieces and synced when
    // complete then waits at the sync for its last part only, instead of
    // for all of it.
    Start,
};

// Writes the block's readable bytes (rd_ptr, length) to path, opened with
// O_WRONLY | O_CREAT | openFlags (callers pass O_TRUNC or O_APPEND), in
// system calls of at most kTransferUnit bytes; mode 0600 afterwards.
// Returns 0, or -1 (a short write may leave a partly written file).
int createFile(const std::string& path, const ACE_Message_Block& data, int openFlags,
    Writeback writeback = Writeback::Later);

// Makes the file writable and removes it. Returns 0 or -1.
int deleteFile(const std::string& path);

// First regular file of the directory (skipping ".", ".." and names that
// begin with ".nfs"), as a bare name. Returns 0 when found, -1 (fileName empty) otherwise.
int findFile(const std::string& dirPath, std::string& fileName);
// As findFile, passing over the regular files that `accept` refuses.
int findFile(
    const std::string& dirPath, std::string& fileName, const std::function<bool(const std::string&)>& accept);

// Reads the whole file into a new block whose data block's reference count is
// guarded by a lock, so that duplicates of it may be shared and released by
// any thread. On success *data holds the caller's reference (release() it)
// and 0 is returned; on failure *data is null and -1 is returned.
int readFile(const std::string& path, ACE_Message_Block*& data);

// Removes the tree (dropping each file from `cache` first, the process's file
// cache when none is given; read-only files included). Returns 1 when path
// did not exist, 0 when removed, -1 on failure.
int deleteDir(const std::string& path, kav::KavFileCache* cache = nullptr);

// Replaces path by a file holding the non-empty lines, each ended by "\n".
// Crash-safe: the lines go to a temporary file beside path, which is synced,
// made read-only (0400) and renamed over path, and the directory is synced.
// On failure (returns -1) the previous file stays as it was.
int writeLinesToFile(const std::string& path, const std::vector<std::string>& lines);

// What readLines found.
enum class LineFile {
    Read, // the file's lines
    Missing, // no file: no lines, nothing logged
    Unreadable, // a file is there but could not be opened or read: no lines, logged
};
// Fills lines with the file's lines without their line ends ("\n" or
// "\r\n"); a last line without "\n" counts when not empty.
LineFile readLines(const std::string& path, std::vector<std::string>& lines);
// readLines without telling why there are no lines.
std::vector<std::string> readLinesFromFile(const std::string& path);

// Renames from over to (an upload moved into place) and syncs the directory
// so that the new name survives a crash. Returns 0, or -1 with both names as they were.
int moveFile(const std::string& from, const std::string& to);

// Flushes the file's contents and its directory entry to the disk, after the
// file's background flushes; one of them that failed fails the sync. Returns 0 or -1.
int syncFile(const std::string& path);

// --- I/O hooks --------------------------------------------------------------
// The system calls through which the functions above move bytes and commit
// files. Tests replace them to count calls or inject failures (a full or
// read-only disk); production uses the plain POSIX calls.
struct IoCalls {
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
};

// The hooks in use.
const IoCalls& ioCalls();
// Replaces the hooks; returns the previous ones. REQUIRES: no other thread is inside the functions above.
IoCalls setIoCalls(const IoCalls& calls);
// The plain POSIX calls.
IoCalls posixIoCalls();

} // namespace rsmanagerutils
