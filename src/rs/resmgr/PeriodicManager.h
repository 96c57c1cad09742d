#pragma once
// PeriodicManager: runs methods of other objects at fixed intervals on one
// thread of its own (an ACE thread-pool reactor whose event loop that thread
// runs). The resource manager client schedules its house-keeping and its
// credential refresh here.
//
// Threads: registerMethod and cancel may be called from any thread (the
// reactor serialises timer-queue changes); scheduled methods run one after
// another on the manager's thread. A scheduled MethodInfo is owned by the
// reactor (reference-counted event handler) and released when its timer ends.

#include <ace/Time_Value.h>

#include <functional>
#include <memory>
#include <thread>

class ACE_Reactor;
class ACE_Barrier;

namespace rs::resmgr {

class PeriodicManager {
public:
    using Method = std::function<void()>;

    // The process's manager, created (and started) on first use.
    static PeriodicManager& instance();

    enum class Start { Now, Later };
    explicit PeriodicManager(Start mode = Start::Now);
    ~PeriodicManager();
    PeriodicManager(const PeriodicManager&) = delete;
    PeriodicManager& operator=(const PeriodicManager&) = delete;

    // Opens the reactor and spawns the thread; 0 on success, -1 otherwise.
    int start();
    // Schedules method after delay, then every interval (once when interval is
    // zero). firstCall, when given, runs at once on the caller's thread.
    // Returns the timer identifier, or -1 when method is empty or the manager
    // is not started.
    long registerMethod(
        Method method, Method firstCall, const ACE_Time_Value& delay, const ACE_Time_Value& interval);
    // Cancels one timer; -1 when the manager is not started or the timer unknown.
    int cancel(long timerId);
    // Ends the event loop, joins the thread and closes the reactor.
    void cleanup();
    bool started() const { return started_; }

private:
    void svc();

    std::unique_ptr<ACE_Reactor> reactor_;
    std::unique_ptr<ACE_Barrier> barrier_;
    std::thread thread_;
    bool started_ = false;
};

} // namespace rs::resmgr
