#pragma once
// ServiceCounters: the few numbers the service counts while it serves, for
// the metrics page. The daemon creates one at start-up and hands a pointer to
// the parts that count (channels, work queue, file cache, resource manager
// access, answers); a part given none counts nothing.
//
// Threads: any; every counter is a relaxed atomic, the answers' table has its
// own mutex. Nothing here names a package, host or user.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kav {

// Answers sent, by operation and result code.
class AnswerCounts {
public:
    struct Row {
        std::string operation;
        int32_t code;
        uint64_t count;
    };

    void add(std::string_view operation, int32_t code)
    {
        std::lock_guard guard(mutex_);
        auto found = counts_.find(Key { operation, code });
        if (found != counts_.end())
            ++found->second;
        else
            counts_.emplace(std::make_pair(std::string(operation), code), 1);
    }

    std::vector<Row> rows() const
    {
        std::lock_guard guard(mutex_);
        std::vector<Row> out;
        out.reserve(counts_.size());
        for (const auto& [key, count] : counts_)
            out.push_back({ key.first, key.second, count });
        return out;
    }

private:
    using Key = std::pair<std::string_view, int32_t>;
    // Looks a key up without building a string: this runs once per answer.
    struct Less {
        using is_transparent = void;
        template <class A, class B> bool operator()(const A& a, const B& b) const
        {
            return Key(a.first, a.second) < Key(b.first, b.second);
        }
    };

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int32_t>, uint64_t, Less> counts_;
};

struct ServiceCounters {
    template <class T> static void bump(std::atomic<T>& counter, T by = 1)
    {
        counter.fetch_add(by, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> bytesReceived { 0 };
    std::atomic<uint64_t> bytesSent { 0 };
    std::atomic<uint64_t> connectionsAccepted { 0 };
    std::atomic<int64_t> connectionsOpen { 0 };
    std::atomic<uint64_t> workItemsStarted { 0 };
    std::atomic<uint64_t> workWaitMicroseconds { 0 };
    std::atomic<uint64_t> resourceManagerCalls { 0 };
    std::atomic<uint64_t> resourceManagerFailures { 0 };
    std::atomic<uint64_t> cacheHits { 0 };
    std::atomic<uint64_t> cacheMisses { 0 };
    AnswerCounts answers;
};

} // namespace kav
