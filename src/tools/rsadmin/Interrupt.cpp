#include "tools/rsadmin/Interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace rsadmin {

namespace {

// What the signal handler may touch: a lock-free flag and a descriptor.
std::atomic<bool> gInterrupted { false };
std::atomic<int> gWakeFd { -1 };

constexpr char kInterrupt = 'i';
constexpr char kStop = 's';

void onSigint(int)
{
    const int saved = errno;
    gInterrupted.store(true);
    const int fd = gWakeFd.load();
    if (fd >= 0 && ::write(fd, &kInterrupt, 1) < 0) {
        // Nothing more a handler can do: the flag is set all the same.
    }
    errno = saved;
}

} // namespace

InterruptGuard::InterruptGuard(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt))
{
    gInterrupted.store(false);
    if (::pipe2(wake_, O_CLOEXEC) != 0)
        return; // Ctrl-C then ends the process as it always does
    gWakeFd.store(wake_[1]);
    watcher_ = std::thread([this] { watch(); });
    struct sigaction action { };
    action.sa_handler = onSigint;
    sigemptyset(&action.sa_mask);
    installed_ = ::sigaction(SIGINT, &action, &previous_) == 0;
}

InterruptGuard::~InterruptGuard()
{
    if (installed_)
        ::sigaction(SIGINT, &previous_, nullptr);
    if (watcher_.joinable()) {
        // After any interrupt byte already written, so the watcher handles that first.
        while (::write(wake_[1], &kStop, 1) < 0 && errno == EINTR) { }
        watcher_.join();
    }
    gWakeFd.store(-1);
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

bool InterruptGuard::interrupted() const
{
    return gInterrupted.load();
}

void InterruptGuard::watch()
{
    bool handled = false;
    for (;;) {
        char byte = 0;
        const ssize_t got = ::read(wake_[0], &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == kStop)
            return;
        if (!handled && onInterrupt_)
            onInterrupt_();
        handled = true;
    }
}

} // namespace rsadmin
