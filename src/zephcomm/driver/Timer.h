#pragma once
// The time limit of one driver operation, run on the driver's event loop.
//
// The event loop calls target->handle_timeout(now, act) on a driver thread when
// the limit expires, where act is serial() cast to a pointer: the target
// matches it against its live operations instead of dereferencing it, so an
// expiry that races with stop() is harmless. The event loop holds a reference
// to the (reference-counted) target while the timer is scheduled.
//
// Not synchronised: owned by one operation, used under its owner's lock.

#include <cstdint>

class ACE_Event_Handler;

namespace zephcommdrv {
class Logger;
}

namespace zephcommTcpDrv {

class EventLoop;

class Timer {
public:
    Timer() = default;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { stop(); }

    // Prepares a limit of `timeoutMs`; a value below 1 means no limit and
    // start() then does nothing.
    void configure(EventLoop* loop, ACE_Event_Handler* target, long timeoutMs, zephcommdrv::Logger* logger);
    bool active() const { return timeoutMs_ >= 1 && loop_; }
    // Schedules the expiry; false (errno set) when the event loop refused it,
    // and the operation then runs without a limit.
    bool start();
    void stop();
    // 0 when the limit is inactive (never an expiry's act).
    uint64_t serial() const { return serial_; }

private:
    EventLoop* loop_ = nullptr;
    ACE_Event_Handler* target_ = nullptr;
    zephcommdrv::Logger* logger_ = nullptr;
    long timeoutMs_ = 0;
    long timerId_ = -1;
    uint64_t serial_ = 0;
};

} // namespace zephcommTcpDrv
