#pragma once
// HangUpWatcher: receives the daemon's signals on a thread of its own
// (sigwait), so that nothing runs in signal context. The hang-up signal is
// only logged; an interrupt or termination request (Ctrl-C, kill) calls the
// stop action, which ends the daemon the way a client's shutdownRS does.
// The signals are blocked process-wide by blockHangUp(), which must run
// before any other thread starts so that every later thread inherits the mask.
//
// Threads: blockHangUp(), start() and stop() on the main thread; the
// watcher thread only logs.

#include <atomic>
#include <functional>
#include <thread>

namespace rs {

class HangUpWatcher {
public:
    HangUpWatcher() = default;
    ~HangUpWatcher() { stop(); }
    HangUpWatcher(const HangUpWatcher&) = delete;
    HangUpWatcher& operator=(const HangUpWatcher&) = delete;

    // Blocks SIGHUP for the calling thread and the threads it creates later.
    static void blockHangUp();
    // stopAction runs on the watcher thread for SIGINT and SIGTERM.
    void start(std::function<void()> stopAction = {});
    void stop();

private:
    void run();

    std::function<void()> stopAction_;
    std::thread thread_;
    std::atomic<bool> stopping_ { false };
};

} // namespace rs
