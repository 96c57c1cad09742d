#pragma once
// ServiceCounters: the few numbers the service counts while it serves, for
// the metrics page. The daemon creates one at start-up and hands a pointer to
// the parts that count (channels, work queue, file cache, resource manager
// access, answers); a part given none counts nothing.
//
// Threads: any. The counters bumped while requests are served are split into
// stripes, one cache line each: a thread adds to its own stripe only, so the
// threads that count on every request never share a line, and a reader sums
// the stripes. The answers' table is striped the same way, one mutex per
// stripe. Nothing here names a package, host or user.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kav {

inline constexpr size_t kCounterStripes = 16;

// This thread's stripe, the same for every striped value, given when it first
// counts. More threads than stripes share stripes: still correct, only slower.
inline size_t counterStripe()
{
    static std::atomic<size_t> next { 0 };
    thread_local const size_t stripe = next.fetch_add(1, std::memory_order_relaxed) % kCounterStripes;
    return stripe;
}

// One value per stripe, each on its own cache line (64 bytes on x86-64).
template <class Value> class Striped {
public:
    Value& mine() { return slots_[counterStripe()].value; }

    template <class Visit> void forEach(Visit visit) const
    {
        for (const Slot& slot : slots_)
            visit(slot.value);
    }

private:
    struct alignas(64) Slot {
        Value value {};
    };
    std::array<Slot, kCounterStripes> slots_;
};

template <class T> class StripedCounter {
public:
    void add(T by) { stripes_.mine().fetch_add(by, std::memory_order_relaxed); }

    T total() const
    {
        T sum = 0;
        stripes_.forEach([&sum](const std::atomic<T>& part) { sum += part.load(std::memory_order_relaxed); });
        return sum;
    }

private:
    Striped<std::atomic<T>> stripes_;
};

// Answers sent, by operation and result code.
class AnswerCounts {
public:
    struct Row {
        std::string operation;
        int32_t code;
        uint64_t count;
    };

    void add(std::string_view operation, int32_t code) { table_.mine().add(operation, code); }

    // One row per operation and code, in that order, the stripes merged.
    std::vector<Row> rows() const
    {
        std::map<std::pair<std::string, int32_t>, uint64_t> merged;
        table_.forEach([&merged](const Table& part) { part.addTo(merged); });
        std::vector<Row> out;
        out.reserve(merged.size());
        for (const auto& [key, count] : merged)
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

    // One stripe's table: its mutex is taken by its own thread, and by a
    // reader now and then, so it is hardly ever waited for.
    class Table {
    public:
        void add(std::string_view operation, int32_t code)
        {
            std::lock_guard guard(mutex_);
            auto found = counts_.find(Key { operation, code });
            if (found != counts_.end())
                ++found->second;
            else
                counts_.emplace(std::make_pair(std::string(operation), code), 1);
        }

        void addTo(std::map<std::pair<std::string, int32_t>, uint64_t>& merged) const
        {
            std::lock_guard guard(mutex_);
            for (const auto& [key, count] : counts_)
                merged[key] += count;
        }

    private:
        mutable std::mutex mutex_;
        std::map<std::pair<std::string, int32_t>, uint64_t, Less> counts_;
    };

    Striped<Table> table_;
};

struct ServiceCounters {
    template <class T> static void bump(StripedCounter<T>& counter, T by = 1) { counter.add(by); }
    template <class T> static void bump(std::atomic<T>& gauge, T by)
    {
        gauge.fetch_add(by, std::memory_order_relaxed);
    }

    StripedCounter<uint64_t> bytesReceived;
    StripedCounter<uint64_t> bytesSent;
    StripedCounter<uint64_t> connectionsAccepted;
    // A gauge, moved only when a connection opens or closes: one atomic, so
    // that a read never sees a close without its open.
    std::atomic<int64_t> connectionsOpen { 0 };
    StripedCounter<uint64_t> workItemsStarted;
    StripedCounter<uint64_t> workWaitMicroseconds;
    StripedCounter<uint64_t> resourceManagerCalls;
    StripedCounter<uint64_t> resourceManagerFailures;
    StripedCounter<uint64_t> cacheHits;
    StripedCounter<uint64_t> cacheMisses;
    AnswerCounts answers;
};

} // namespace kav
