#include "rs/startup/HangUpWatcher.h"

#include "common/Loggers.h"

#include <csignal>
#include <pthread.h>

namespace rs {

namespace {

sigset_t hangUpSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void HangUpWatcher::blockHangUp()
{
    sigset_t set = hangUpSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void HangUpWatcher::start(std::function<void()> stopAction)
{
    if (thread_.joinable())
        return;
    stopAction_ = std::move(stopAction);
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void HangUpWatcher::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    // Wakes the watcher's sigwait; it sees the flag and ends without logging.
    pthread_kill(thread_.native_handle(), SIGHUP);
    thread_.join();
}

void HangUpWatcher::run()
{
    sigset_t set = hangUpSet();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || stopping_)
            return;
        LOG4CXX_INFO(kav::loggers::get(kav::loggers::kDaemon),
            "KavGenericDaemon::handle_signal() Caught signal <" << signal << ">");
        if (signal != SIGHUP && stopAction_)
            stopAction_();
    }
}

} // namespace rs
