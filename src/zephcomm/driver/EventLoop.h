#pragma once
// EventLoop: the event loop one driver thread runs: socket readiness
// (epoll, level-triggered), timers and cross-thread notifications, each
// delivered to an ACE_Event_Handler as ACE's reactors deliver them
// (handle_input, handle_output, handle_timeout, handle_exception,
// handle_close).
//
// Why not ACE's epoll reactor: it takes one event per epoll_wait and arms
// each handle for one event at a time, so every message cost an epoll_wait
// and an epoll_ctl on top of its read and write; with one thread per loop
// there is nothing for the one-shot arming to protect. Here one wait
// returns every ready handle, a handle stays armed until its interest
// changes, and notifications made while one is already on its way share
// its wake-up.
//
// Threads: run() on the loop's own thread; every other call from any
// thread. Callbacks run on the loop's thread only, one at a time. Whatever a
// callback throws stays on that thread: it is reported to the logger's
// fault() and the handler is ended as one that refuses (handle_close).
//
// References: a reference-counted handler is held (add_reference) while it
// is registered, while a timer of its is scheduled and while a
// notification to it is queued. A registration removed while the loop may
// still hold its event is dropped, and its reference released, only after
// the loop has finished the events of that wait, so no callback reaches a
// handler that was let go.

#include "zephcomm/driver/zephcommdrv.h"

#include <ace/Event_Handler.h>
#include <ace/Time_Value.h>

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zephcommTcpDrv {

class EventLoop {
public:
    // `logger` (may be null) hears of the callbacks that throw.
    explicit EventLoop(zephcommdrv::Logger* logger = nullptr);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // 0, or minus errno when the loop's descriptors could not be made.
    int startError() const { return startError_; }

    // Watches handler->get_handle(): READ_MASK or ACCEPT_MASK for readable,
    // WRITE_MASK or CONNECT_MASK for writable. An error or hang-up on a
    // handle that waits for neither ends its registration with
    // handle_close. 0, or -1 with errno set.
    int registerHandler(ACE_Event_Handler* handler, ACE_Reactor_Mask mask);
    int setMask(ACE_Event_Handler* handler, ACE_Reactor_Mask mask);
    // Ends the registration; handle_close follows unless `mask` holds
    // DONT_CALL. -1 when the handler is not registered.
    int removeHandler(ACE_Event_Handler* handler, ACE_Reactor_Mask mask);

    // handler->handle_timeout(now, act) after `delay`, then every `interval`
    // if that is not zero. The timer's id (>= 0).
    long scheduleTimer(ACE_Event_Handler* handler, const void* act, const ACE_Time_Value& delay,
        const ACE_Time_Value& interval = ACE_Time_Value::zero);
    // 0, or -1 when the timer is not scheduled (expired or being delivered).
    int cancelTimer(long id);

    // handler->handle_exception() on the loop's thread: as soon as it can,
    // or, with `within` above zero, at the latest that long from now. A
    // notification that may wait rides along with whatever wakes the loop
    // next; only when nothing does in time does the loop wake for it. 0, or
    // -1 once the loop has ended.
    int notify(
        ACE_Event_Handler* handler, std::chrono::microseconds within = std::chrono::microseconds::zero());

    // Whether the loop's thread is waiting for events now.
    bool waiting();

    // Runs until end(); returns at once if the loop could not start.
    void run();
    void end();

private:
    using Clock = std::chrono::steady_clock;

    // A handler the loop holds: whether it is counted is read once, when it
    // is taken, since a handler that is not counted may be gone by the time
    // the loop lets go of it.
    struct Held {
        ACE_Event_Handler* handler;
        bool counted;
    };
    struct Registration {
        Registration(Held h, int descriptor, uint32_t wanted)
            : held(h)
            , handler(h.handler)
            , fd(descriptor)
            , events(wanted)
        {
        }
        const Held held;
        ACE_Event_Handler* const handler;
        const int fd;
        // Changed under lock_; read by the loop's thread without it.
        std::atomic<uint32_t> events;
        std::atomic<bool> live { true };
    };
    struct TimerEntry {
        Held held;
        const void* act;
        Clock::time_point due;
        Clock::duration interval;
    };
    struct DueTimer {
        long id;
        TimerEntry entry;
        bool repeats;
    };

    // Runs one callback; false (reported) when it threw.
    template <class Callback> bool survived(Callback&& callback) noexcept;
    static uint32_t eventsFor(ACE_Reactor_Mask mask);
    Registration* findLocked(ACE_Event_Handler* handler) const; // null (errno ENOENT) if unknown
    // epoll_ctl(operation) of the registration's descriptor for `events`.
    int watchLocked(Registration* registration, int operation, uint32_t events);
    static Held hold(ACE_Event_Handler* handler);
    static void release(const Held& held);

    // Makes a wait in progress return (the eventfd); one write while unread.
    void signal();
    // Makes the loop's wait end by `due` at the latest (the timerfd).
    void wakeByLocked(Clock::time_point due);
    bool onLoopThread() const { return std::this_thread::get_id() == thread_.load(); }
    int timeoutLocked(Clock::time_point now) const;
    void dispatch(const epoll_event& event);
    void runDueTimers();
    void runNotifications(std::vector<Held>& queued);
    void dropRetired();
    void closeAll();

    zephcommdrv::Logger* const logger_;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    int deadlineFd_ = -1;
    int startError_ = 0;
    std::atomic<bool> ended_ { false };
    std::atomic<bool> signalled_ { false };
    std::atomic<std::thread::id> thread_ {};

    std::mutex lock_;
    std::unordered_map<ACE_Event_Handler*, Registration*> registrations_;
    std::vector<Registration*> retired_;
    std::unordered_map<long, TimerEntry> timers_;
    std::set<std::pair<Clock::time_point, long>> timerOrder_;
    long nextTimerId_ = 0;
    // When the loop's wait ends by itself; Clock::time_point::min() while
    // it is not waiting (it looks at the timers and notifications before it
    // waits again).
    Clock::time_point sleepingUntil_ = Clock::time_point::min();
    // When the armed timerfd expires; max() while it is not armed.
    Clock::time_point deadlineDue_ = Clock::time_point::max();
    std::vector<Held> notifications_;
};

} // namespace zephcommTcpDrv
