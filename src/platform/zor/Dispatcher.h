#pragma once
// The library's callback thread: runs posted tasks one after another, each
// not before its due time; tasks due at the same time run in posting order.
// Tasks run without any lock of the dispatcher held; one that throws is
// reported on standard error and the thread goes on.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace zor {

class Dispatcher {
public:
    using Clock = std::chrono::steady_clock;

    Dispatcher();
    ~Dispatcher(); // drops tasks not yet due and joins the thread
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    void post(Clock::time_point due, std::function<void()> task);
    void post(std::function<void()> task) { post(Clock::now(), std::move(task)); }
    bool onDispatcherThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();
    static void runTask(const std::function<void()>& task) noexcept;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace zor
