#pragma once
// Enforces the receive limits (ReceiveWatch.h) on every open channel of a
// driver: a periodic event-loop timer reads the clock, and each channel whose
// pending receive has overrun its limit is closed with a time-out.
//
// Cost: nothing per message beyond what the channel's ReceiveWatch records;
// the clock is read once per sweep, and channels stamp their steps with the
// time of the last sweep (now()). A limit therefore fires between its value
// and its value plus two periods; the period is a quarter of the shortest
// limit, between 10 ms and 1 s.
//
// Threads: add/remove from any thread (channels register when connected,
// deregister when closed, under their own lock); sweep() on a driver thread
// (the timer) or any other thread (tests). Lock: lock_ guards the channel
// set, the limits, the clock and the timer; it is taken after a channel's
// lock, never before: a sweep takes a reference on each channel under
// lock_, then checks each after releasing it.
//
// Lifetime: owned by the driver; start() after the event loop exists, stop()
// once the driver's threads have ended and before the event loop goes.

#include "zephcomm/driver/ReceiveWatch.h"

#include <ace/Event_Handler.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_set>

namespace zephcommTcpDrv {

class EventLoop;

class TcpChannel;

class ReceiveWatchdog final : public ACE_Event_Handler {
public:
    // Milliseconds on a monotonic scale.
    using Clock = std::function<int64_t()>;

    ReceiveWatchdog();
    ReceiveWatchdog(const ReceiveWatchdog&) = delete;
    ReceiveWatchdog& operator=(const ReceiveWatchdog&) = delete;

    // Starts the periodic sweep on `loop`; 0 or minus errno.
    int start(EventLoop* loop, const ReceiveLimits& limits);
    void stop();

    ReceiveLimits limits() const;
    // Replaces the limits (and the sweep period with them). A receive's
    // clock keeps its start, so a lowered limit may end waits at once.
    void setLimits(const ReceiveLimits& limits);
    // Replaces the clock (tests) and reads it at once.
    void setClock(Clock clock);

    // The clock's reading at the last sweep: what channels stamp with.
    int64_t now() const { return now_.load(std::memory_order_relaxed); }
    int64_t periodMs() const;

    void add(TcpChannel* channel);
    void remove(TcpChannel* channel);

    // Reads the clock and closes every channel whose pending receive has
    // overrun its limit. Returns how many were closed.
    int sweep();

    int handle_timeout(const ACE_Time_Value& now, const void* act) override;

private:
    static int64_t periodFor(const ReceiveLimits& limits);
    // Schedules the timer at the current period (lock_ held).
    int scheduleLocked();

    mutable std::mutex lock_;
    EventLoop* loop_ = nullptr;
    long timerId_ = -1;
    ReceiveLimits limits_;
    Clock clock_;
    std::unordered_set<TcpChannel*> channels_;
    std::atomic<int64_t> now_ { 0 };
};

} // namespace zephcommTcpDrv
