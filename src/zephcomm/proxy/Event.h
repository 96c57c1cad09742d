#pragma once
// zephcomm::ConnectEvent: lets a thread wait until a proxy's connection has
// been opened (or failed). Thread-safe.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zephcomm {

class ConnectEvent {
public:
    void signal(int result)
    {
        {
            std::lock_guard guard(lock_);
            result_ = result;
            signalled_ = true;
        }
        changed_.notify_all();
    }
    // True when signalled within `timeout`.
    bool wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, timeout, [this] { return signalled_; });
    }
    int result() const
    {
        std::lock_guard guard(lock_);
        return result_;
    }

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool signalled_ = false;
    int result_ = 0;
};

} // namespace zephcomm
