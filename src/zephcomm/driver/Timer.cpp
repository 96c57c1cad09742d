#include "zephcomm/driver/Timer.h"

#include "zephcomm/driver/DriverLog.h"

#include "zephcomm/driver/EventLoop.h"

#include <ace/Time_Value.h>

#include <atomic>
#include <cerrno>

namespace zephcommTcpDrv {

namespace {
std::atomic<uint64_t> nextSerial { 1 };
} // namespace

void Timer::configure(EventLoop* loop, ACE_Event_Handler* target, long timeoutMs, zephcommdrv::Logger* logger)
{
    loop_ = loop;
    target_ = target;
    timeoutMs_ = timeoutMs;
    logger_ = logger;
    // Only a limit that can expire needs a serial; the shared counter is a
    // cache line every driver thread would otherwise fight over per request.
    serial_ = active() ? nextSerial.fetch_add(1, std::memory_order_relaxed) : 0;
}

bool Timer::start()
{
    if (!active() || timerId_ != -1)
        return true;
    ACE_Time_Value delay;
    delay.msec(timeoutMs_);
    timerId_ = loop_->scheduleTimer(target_, reinterpret_cast<const void*>(serial_), delay);
    if (timerId_ == -1) {
        TCPDRV_LOG(logger_, "Timer::start() : schedule_timer() errno #%d", errno);
        return false;
    }
    return true;
}

void Timer::stop()
{
    if (timerId_ == -1)
        return;
    loop_->cancelTimer(timerId_);
    timerId_ = -1;
}

} // namespace zephcommTcpDrv
