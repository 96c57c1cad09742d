#pragma once
// Flushes files to the disk on a thread of its own while their writer goes
// on, so that the sync that ends a large upload waits for the last part only.
//
// The sync that ends an upload waits for the disk to make every byte
// written since the last flush durable (the device's own cache included),
// which costs in proportion to the whole file even when its write-back was
// started piece by piece. Flushing what has arrived so far while the next
// bytes are still crossing the network overlaps that cost with the
// transfer. A flush here is advice: what a caller acknowledges still rests
// on its own sync, which settle() joins to the flushes before it.
//
// Files are known by device and inode, so a renamed file keeps its flushes
// and its failure. A failure is kept until settle() reports it, since the
// flush that met the failed write-back may be the only call the system
// tells (a descriptor opened later is not told of it again).
//
// Thread-safety: every member may be called from any thread.

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace rsmanagerutils {

class BackgroundFlush {
public:
    BackgroundFlush() = default;
    // Drops the flushes still waiting and waits for the one running.
    ~BackgroundFlush();
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;

    // The process's flusher, used by createFile and syncFile; it lives until
    // the process ends.
    static BackgroundFlush& instance();

    // Queues a flush (ioCalls().fsync) of the open file; the caller keeps
    // its descriptor. A flush of the file already waiting covers this one.
    // Nothing is reported or thrown: a file that cannot be queued is
    // flushed by its own sync.
    void flush(int fd);

    // Before the caller's own sync of the open file: drops its waiting flush
    // (the caller's sync covers it) and waits for the running one. Returns 0,
    // or the errno of a flush of the file that failed since the last
    // settle(), which is then forgotten.
    int settle(int fd);

private:
    using FileKey = std::pair<dev_t, ino_t>;
    struct FileState {
        int waitingFd = -1; // a duplicate, owned here
        bool running = false;
        int error = 0;
    };

    void run();
    // Erases the state when it holds nothing more to do or to report. REQUIRES: mutex_ held.
    void forgetIfIdle(std::map<FileKey, FileState>::iterator file);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<FileKey, FileState> files_;
    std::deque<FileKey> queue_;
    bool stopping_ = false;
    std::thread thread_; // started by the first flush
};

} // namespace rsmanagerutils
