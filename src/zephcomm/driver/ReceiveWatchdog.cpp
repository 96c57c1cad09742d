#include "zephcomm/driver/ReceiveWatchdog.h"

#include "zephcomm/driver/SocketOps.h"
#include "zephcomm/driver/TcpChannel.h"

#include "zephcomm/driver/EventLoop.h"

#include <ace/Time_Value.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <vector>

namespace zephcommTcpDrv {

namespace {

constexpr int64_t kMinPeriodMs = 10;
constexpr int64_t kMaxPeriodMs = 1000;

int64_t steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Whole seconds, 0 or more; false for anything else.
bool parseSeconds(const char* text, int64_t& milliseconds)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > INT_MAX / 1000)
        return false;
    milliseconds = static_cast<int64_t>(value) * 1000;
    return true;
}

void readVariable(const char* name, int64_t& milliseconds, std::vector<std::string>& rejected)
{
    const char* text = std::getenv(name);
    if (text && *text && !parseSeconds(text, milliseconds))
        rejected.push_back(std::string(name) + "=" + text);
}

} // namespace

ReceiveLimits ReceiveLimits::fromEnvironment(std::vector<std::string>* rejected)
{
    ReceiveLimits limits;
    std::vector<std::string> ignored;
    std::vector<std::string>& bad = rejected ? *rejected : ignored;
    readVariable(kPartialVariable, limits.partialMs, bad);
    readVariable(kIdleVariable, limits.idleMs, bad);
    return limits;
}

ReceiveWatchdog::ReceiveWatchdog()
    : clock_(steadyMilliseconds)
{
    now_ = clock_();
}

int64_t ReceiveWatchdog::periodFor(const ReceiveLimits& limits)
{
    int64_t shortest = kMaxPeriodMs * 4;
    for (int64_t limit : { limits.partialMs, limits.idleMs }) {
        if (limit > 0)
            shortest = std::min(shortest, limit);
    }
    return std::clamp<int64_t>(shortest / 4, kMinPeriodMs, kMaxPeriodMs);
}

int ReceiveWatchdog::start(EventLoop* loop, const ReceiveLimits& limits)
{
    std::lock_guard<std::mutex> guard(lock_);
    loop_ = loop;
    limits_ = limits;
    return scheduleLocked();
}

void ReceiveWatchdog::stop()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (loop_ && timerId_ != -1)
        loop_->cancelTimer(timerId_);
    timerId_ = -1;
    loop_ = nullptr;
}

int ReceiveWatchdog::scheduleLocked()
{
    if (!loop_)
        return 0;
    if (timerId_ != -1)
        loop_->cancelTimer(timerId_);
    ACE_Time_Value period;
    period.msec(static_cast<long>(periodFor(limits_)));
    timerId_ = loop_->scheduleTimer(this, nullptr, period, period);
    return timerId_ == -1 ? SocketOps::lastError() : 0;
}

ReceiveLimits ReceiveWatchdog::limits() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return limits_;
}

void ReceiveWatchdog::setLimits(const ReceiveLimits& limits)
{
    std::lock_guard<std::mutex> guard(lock_);
    limits_ = limits;
    scheduleLocked();
}

void ReceiveWatchdog::setClock(Clock clock)
{
    std::lock_guard<std::mutex> guard(lock_);
    clock_ = std::move(clock);
    now_ = clock_();
}

int64_t ReceiveWatchdog::periodMs() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return periodFor(limits_);
}

void ReceiveWatchdog::add(TcpChannel* channel)
{
    std::lock_guard<std::mutex> guard(lock_);
    channels_.insert(channel);
}

void ReceiveWatchdog::remove(TcpChannel* channel)
{
    std::lock_guard<std::mutex> guard(lock_);
    channels_.erase(channel);
}

int ReceiveWatchdog::sweep()
{
    std::vector<TcpChannel*> watched;
    ReceiveLimits limits;
    int64_t deadlineNow = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const int64_t now = clock_();
        now_.store(now, std::memory_order_relaxed);
        if (!limits_.any())
            return 0;
        limits = limits_;
        // A channel's stamp may be up to one period older than the moment
        // it stands for: judge by the earliest moment this sweep can be.
        deadlineNow = now - periodFor(limits_);
        watched.reserve(channels_.size());
        for (TcpChannel* channel : channels_) {
            // Registered channels are open, so someone still holds them.
            channel->add_reference();
            watched.push_back(channel);
        }
    }
    int closed = 0;
    for (TcpChannel* channel : watched) {
        closed += channel->enforceReceiveLimits(deadlineNow, limits) ? 1 : 0;
        channel->remove_reference();
    }
    return closed;
}

int ReceiveWatchdog::handle_timeout(const ACE_Time_Value&, const void*)
{
    sweep();
    return 0;
}

} // namespace zephcommTcpDrv
