#include "zephcomm/driver/EventLoop.h"

#include <ace/OS_NS_sys_time.h>

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zephcommTcpDrv {

namespace {

// Events taken per wait; more stay ready for the next one.
constexpr int kEventsPerWait = 64;

int lastError()
{
    return errno != 0 ? -errno : -EIO;
}

} // namespace

EventLoop::EventLoop(zephcommdrv::Logger* logger)
    : logger_(logger)
{
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        startError_ = lastError();
        return;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    deadlineFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    // The two events without a registration.
    epoll_event wake {};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    epoll_event deadline {};
    deadline.events = EPOLLIN;
    deadline.data.ptr = &deadlineFd_;
    if (wakeFd_ < 0 || deadlineFd_ < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0
        || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, deadlineFd_, &deadline) != 0)
        startError_ = lastError();
}

EventLoop::~EventLoop()
{
    closeAll();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    if (deadlineFd_ >= 0)
        ::close(deadlineFd_);
    if (epollFd_ >= 0)
        ::close(epollFd_);
}

template <class Callback> bool EventLoop::survived(Callback&& callback) noexcept
{
    try {
        callback();
        return true;
    } catch (...) {
        try {
            if (logger_)
                logger_->fault(__FILE__, __LINE__);
        } catch (...) {
            // Nothing is left to report it with; the loop goes on all the same.
        }
        return false;
    }
}

uint32_t EventLoop::eventsFor(ACE_Reactor_Mask mask)
{
    uint32_t events = 0;
    if (mask & (ACE_Event_Handler::READ_MASK | ACE_Event_Handler::ACCEPT_MASK))
        events |= EPOLLIN;
    if (mask & (ACE_Event_Handler::WRITE_MASK | ACE_Event_Handler::CONNECT_MASK))
        events |= EPOLLOUT;
    return events;
}

EventLoop::Held EventLoop::hold(ACE_Event_Handler* handler)
{
    const bool counted = handler->reference_counting_policy().value()
        == ACE_Event_Handler::Reference_Counting_Policy::ENABLED;
    if (counted)
        handler->add_reference();
    return { handler, counted };
}

void EventLoop::release(const Held& held)
{
    if (held.counted)
        held.handler->remove_reference();
}

EventLoop::Registration* EventLoop::findLocked(ACE_Event_Handler* handler) const
{
    auto found = registrations_.find(handler);
    if (found != registrations_.end())
        return found->second;
    errno = ENOENT;
    return nullptr;
}

int EventLoop::watchLocked(Registration* registration, int operation, uint32_t events)
{
    epoll_event event {};
    event.events = events;
    event.data.ptr = registration;
    if (::epoll_ctl(epollFd_, operation, registration->fd, &event) != 0)
        return -1;
    registration->events = events;
    return 0;
}

int EventLoop::registerHandler(ACE_Event_Handler* handler, ACE_Reactor_Mask mask)
{
    const int fd = handler->get_handle();
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> guard(lock_);
    // As ACE's reactors do: registering again adds to the interest.
    if (Registration* known = findLocked(handler))
        return watchLocked(known, EPOLL_CTL_MOD, known->events | eventsFor(mask));
    auto* registration = new Registration(hold(handler), fd, 0);
    if (watchLocked(registration, EPOLL_CTL_ADD, eventsFor(mask)) != 0) {
        const int error = errno;
        release(registration->held);
        delete registration;
        errno = error;
        return -1;
    }
    registrations_.emplace(handler, registration);
    return 0;
}

int EventLoop::setMask(ACE_Event_Handler* handler, ACE_Reactor_Mask mask)
{
    std::lock_guard<std::mutex> guard(lock_);
    Registration* registration = findLocked(handler);
    if (!registration)
        return -1;
    const uint32_t wanted = eventsFor(mask);
    return wanted == registration->events ? 0 : watchLocked(registration, EPOLL_CTL_MOD, wanted);
}

int EventLoop::removeHandler(ACE_Event_Handler* handler, ACE_Reactor_Mask mask)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Registration* registration = findLocked(handler);
        if (!registration)
            return -1;
        registrations_.erase(handler);
        registration->live = false;
        fd = registration->fd;
        // The descriptor may be closed already, which removed it as well.
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        // The loop may hold an event of it from its current wait: it is
        // let go once that wait's events are done.
        retired_.push_back(registration);
    }
    if (!onLoopThread())
        signal();
    if (!(mask & ACE_Event_Handler::DONT_CALL))
        survived([&] { handler->handle_close(fd, mask); });
    return 0;
}

long EventLoop::scheduleTimer(
    ACE_Event_Handler* handler, const void* act, const ACE_Time_Value& delay, const ACE_Time_Value& interval)
{
    const auto due = Clock::now() + std::chrono::microseconds(delay.usec() + delay.sec() * 1000000LL);
    const Clock::duration every = std::chrono::microseconds(interval.usec() + interval.sec() * 1000000LL);
    bool wake = false;
    long id = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        id = nextTimerId_++;
        timers_.emplace(id, TimerEntry { hold(handler), act, due, every });
        timerOrder_.emplace(due, id);
        wake = due < sleepingUntil_;
    }
    if (wake && !onLoopThread())
        signal();
    return id;
}

int EventLoop::cancelTimer(long id)
{
    Held held {};
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = timers_.find(id);
        if (found == timers_.end())
            return -1;
        held = found->second.held;
        timerOrder_.erase({ found->second.due, id });
        timers_.erase(found);
    }
    release(held);
    return 0;
}

int EventLoop::notify(ACE_Event_Handler* handler, std::chrono::microseconds within)
{
    if (ended_) {
        errno = ESHUTDOWN;
        return -1;
    }
    bool now = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        notifications_.push_back(hold(handler));
        // A loop that is not waiting takes the notifications before it waits.
        if (sleepingUntil_ != Clock::time_point::min()) {
            if (within <= std::chrono::microseconds::zero()) {
                now = true;
            } else {
                const Clock::time_point due = Clock::now() + within;
                if (due < sleepingUntil_)
                    wakeByLocked(due);
            }
        }
    }
    if (now)
        signal();
    return 0;
}

void EventLoop::wakeByLocked(Clock::time_point due)
{
    itimerspec when {};
    const auto fromEpoch
        = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    // steady_clock is CLOCK_MONOTONIC, the timerfd's clock.
    when.it_value.tv_sec = static_cast<time_t>(fromEpoch / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(fromEpoch % 1000000000);
    if (::timerfd_settime(deadlineFd_, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
        signal();
        return;
    }
    deadlineDue_ = due;
    sleepingUntil_ = due;
}

void EventLoop::signal()
{
    if (signalled_.exchange(true))
        return;
    const uint64_t one = 1;
    // Only fails when the counter is full, which an unread one never is.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

bool EventLoop::waiting()
{
    std::lock_guard<std::mutex> guard(lock_);
    return sleepingUntil_ != Clock::time_point::min();
}

void EventLoop::end()
{
    ended_ = true;
    signal();
}

int EventLoop::timeoutLocked(Clock::time_point now) const
{
    if (timerOrder_.empty())
        return -1;
    const Clock::time_point first = timerOrder_.begin()->first;
    if (first <= now)
        return 0;
    // Rounded up: waking a little early would only wait again for the rest.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - now).count();
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

void EventLoop::run()
{
    thread_ = std::this_thread::get_id();
    epoll_event events[kEventsPerWait];
    std::vector<Held> notified;
    while (startError_ == 0 && !ended_) {
        int timeout = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            const Clock::time_point now = Clock::now();
            timeout = notifications_.empty() ? timeoutLocked(now) : 0;
            sleepingUntil_
                = timeout < 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeout);
            // An armed deadline ends the wait as well.
            if (deadlineDue_ < sleepingUntil_)
                sleepingUntil_ = deadlineDue_;
        }
        const int ready = ::epoll_wait(epollFd_, events, kEventsPerWait, timeout);
        {
            std::lock_guard<std::mutex> guard(lock_);
            sleepingUntil_ = Clock::time_point::min();
            notified.swap(notifications_);
        }
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.ptr == nullptr) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
                signalled_ = false;
            } else if (events[i].data.ptr == &deadlineFd_) {
                uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t read = ::read(deadlineFd_, &expirations, sizeof expirations);
                std::lock_guard<std::mutex> guard(lock_);
                if (deadlineDue_ <= Clock::now())
                    deadlineDue_ = Clock::time_point::max();
            } else {
                dispatch(events[i]);
            }
        }
        runNotifications(notified);
        runDueTimers();
        dropRetired();
    }
}

void EventLoop::dispatch(const epoll_event& event)
{
    auto* registration = static_cast<Registration*>(event.data.ptr);
    if (!registration->live)
        return;
    ACE_Event_Handler* handler = registration->handler;
    const uint32_t wanted = registration->events;
    const bool broken = (event.events & (EPOLLERR | EPOLLHUP)) != 0;
    // An error or hang-up reaches the handler through the operation it
    // waits for, which then fails.
    const bool output = (wanted & EPOLLOUT) && ((event.events & EPOLLOUT) || broken);
    const bool input = (wanted & EPOLLIN) && ((event.events & EPOLLIN) || broken);
    if (!output && !input) {
        if (broken)
            removeHandler(handler, ACE_Event_Handler::ALL_EVENTS_MASK);
        return;
    }
    int result = 0;
    if (output && !survived([&] { result = handler->handle_output(registration->fd); }))
        result = -1;
    if (result >= 0 && input && registration->live
        && !survived([&] { result = handler->handle_input(registration->fd); }))
        result = -1;
    if (result < 0 && registration->live)
        removeHandler(handler, ACE_Event_Handler::ALL_EVENTS_MASK);
}

void EventLoop::runDueTimers()
{
    std::vector<DueTimer> due;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const Clock::time_point now = Clock::now();
        while (!timerOrder_.empty() && timerOrder_.begin()->first <= now) {
            const long id = timerOrder_.begin()->second;
            timerOrder_.erase(timerOrder_.begin());
            auto found = timers_.find(id);
            TimerEntry entry = found->second;
            const bool repeats = entry.interval > Clock::duration::zero();
            if (repeats) {
                // Held for the callback too: the timer may be cancelled meanwhile.
                found->second.due = now + entry.interval;
                timerOrder_.emplace(found->second.due, id);
                entry.held = hold(entry.held.handler);
            } else {
                // The timer's own reference now covers the callback.
                timers_.erase(found);
            }
            due.push_back({ id, entry, repeats });
        }
    }
    for (const DueTimer& timer : due) {
        ACE_Event_Handler* handler = timer.entry.held.handler;
        int result = 0;
        if (!survived([&] { result = handler->handle_timeout(ACE_OS::gettimeofday(), timer.entry.act); }))
            result = -1;
        if (result < 0) {
            if (timer.repeats)
                cancelTimer(timer.id);
            survived([&] { handler->handle_close(ACE_INVALID_HANDLE, ACE_Event_Handler::TIMER_MASK); });
        }
        // Not touched again unless counted: the owner of an uncounted
        // handler may let it go as soon as its callback has run.
        release(timer.entry.held);
    }
}

void EventLoop::runNotifications(std::vector<Held>& queued)
{
    for (const Held& held : queued) {
        // A handler that throws is ended if it is registered (its connection
        // closes); a plain notification target is only reported.
        if (!survived([&] { held.handler->handle_exception(ACE_INVALID_HANDLE); }))
            removeHandler(held.handler, ACE_Event_Handler::ALL_EVENTS_MASK);
        release(held);
    }
    queued.clear();
}

void EventLoop::dropRetired()
{
    std::vector<Registration*> retired;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (retired_.empty())
            return;
        retired.swap(retired_);
    }
    for (Registration* registration : retired) {
        release(registration->held);
        delete registration;
    }
}

void EventLoop::closeAll()
{
    // As ACE's reactors do when closed: what is still registered is told
    // (handle_close); queued notifications and timers are dropped.
    std::vector<ACE_Event_Handler*> registered;
    std::vector<Held> notified;
    std::vector<Held> timed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [handler, registration] : registrations_)
            registered.push_back(handler);
        notified.swap(notifications_);
        for (const auto& [id, entry] : timers_)
            timed.push_back(entry.held);
        timers_.clear();
        timerOrder_.clear();
    }
    for (ACE_Event_Handler* handler : registered)
        removeHandler(handler, ACE_Event_Handler::ALL_EVENTS_MASK);
    for (const Held& held : notified)
        release(held);
    for (const Held& held : timed)
        release(held);
    dropRetired();
}

} // namespace zephcommTcpDrv
