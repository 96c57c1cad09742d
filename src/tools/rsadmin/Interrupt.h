#pragma once
// Ctrl-C (SIGINT) during a transfer: instead of ending the process at once,
// the transfer learns of it and stops cleanly, so that the operator is told
// what happened.
//
// While an InterruptGuard lives, SIGINT sets its flag (interrupted()) and
// wakes its watcher thread, which runs `onInterrupt` once (for a transfer:
// close the connection, so that a wait for an answer ends at once). The
// previous disposition of SIGINT comes back when the guard goes.
//
// Threads: one guard at a time per process; interrupted() from any thread;
// `onInterrupt` runs on the watcher thread and must be safe to call while
// the guard's owner works on.

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

namespace rsadmin {

class InterruptGuard {
public:
    explicit InterruptGuard(std::function<void()> onInterrupt);
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    bool interrupted() const;

private:
    void watch();

    std::function<void()> onInterrupt_;
    int wake_[2] = { -1, -1 }; // read end, write end
    struct sigaction previous_ { };
    bool installed_ = false;
    std::thread watcher_;
};

} // namespace rsadmin
