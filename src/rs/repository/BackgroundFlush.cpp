#include "rs/repository/BackgroundFlush.h"

#include "rs/repository/dplfileutils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

namespace rsmanagerutils {
namespace {

std::optional<std::pair<dev_t, ino_t>> fileKey(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

} // namespace

BackgroundFlush& BackgroundFlush::instance()
{
    // Never destroyed: a worker still writing while the process exits finds it.
    static BackgroundFlush* flusher = new BackgroundFlush();
    return *flusher;
}

BackgroundFlush::~BackgroundFlush()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
    for (auto& [key, file] : files_)
        if (file.waitingFd >= 0)
            ::close(file.waitingFd);
}

void BackgroundFlush::flush(int fd)
{
    const auto key = fileKey(fd);
    if (!key)
        return;
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    FileState& file = files_[*key];
    if (file.waitingFd >= 0)
        return;
    // A descriptor of our own: the writer closes its one when the piece is written.
    file.waitingFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (file.waitingFd < 0) {
        forgetIfIdle(files_.find(*key));
        return;
    }
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            ::close(std::exchange(file.waitingFd, -1));
            forgetIfIdle(files_.find(*key));
            return;
        }
    }
    queue_.push_back(*key);
    changed_.notify_all();
}

int BackgroundFlush::settle(int fd)
{
    const auto key = fileKey(fd);
    if (!key)
        return 0;
    std::unique_lock lock(mutex_);
    auto file = files_.find(*key);
    if (file == files_.end())
        return 0;
    if (file->second.waitingFd >= 0) {
        ::close(file->second.waitingFd);
        file->second.waitingFd = -1; // its turn in the queue passes by
    }
    // The flusher erases the state of a flush that ends well: look again.
    changed_.wait(lock, [&] {
        file = files_.find(*key);
        return file == files_.end() || !file->second.running;
    });
    if (file == files_.end())
        return 0;
    const int error = file->second.error;
    file->second.error = 0;
    forgetIfIdle(file);
    return error;
}

void BackgroundFlush::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        const FileKey key = queue_.front();
        queue_.pop_front();
        auto file = files_.find(key);
        if (file == files_.end() || file->second.waitingFd < 0)
            continue; // settled meanwhile
        const int fd = std::exchange(file->second.waitingFd, -1);
        file->second.running = true;
        lock.unlock();
        const int error = ioCalls().fsync(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
        ::close(fd);
        lock.lock();
        // Only this thread erases a running file's state.
        file->second.running = false;
        if (error != 0 && file->second.error == 0)
            file->second.error = error;
        forgetIfIdle(file);
        changed_.notify_all();
    }
}

void BackgroundFlush::forgetIfIdle(std::map<FileKey, FileState>::iterator file)
{
    const FileState& state = file->second;
    if (state.waitingFd < 0 && !state.running && state.error == 0)
        files_.erase(file);
}

} // namespace rsmanagerutils
