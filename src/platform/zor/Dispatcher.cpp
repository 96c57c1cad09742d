#include "platform/zor/Dispatcher.h"

#include <cstdio>
#include <exception>

namespace zor {

Dispatcher::Dispatcher()
    : thread_([this] { run(); })
{
}

Dispatcher::~Dispatcher()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && !onDispatcherThread())
        thread_.join();
    else if (thread_.joinable())
        thread_.detach();
}

void Dispatcher::post(Clock::time_point due, std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        tasks_.emplace(due, std::move(task));
    }
    wake_.notify_all();
}

void Dispatcher::runTask(const std::function<void()>& task) noexcept
{
    // The callbacks of the library's user must not end its one thread.
    try {
        task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "libzor: a callback failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "libzor: a callback failed\n");
    }
}

void Dispatcher::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = tasks_.begin();
        if (first->first > Clock::now()) {
            wake_.wait_until(lock, first->first);
            continue;
        }
        std::function<void()> task = std::move(first->second);
        tasks_.erase(first);
        lock.unlock();
        runTask(task);
        lock.lock();
    }
}

} // namespace zor
