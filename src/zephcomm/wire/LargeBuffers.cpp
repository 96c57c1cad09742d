#include "zephcomm/wire/LargeBuffers.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace zephcomm::wire {

namespace {

constexpr size_t kHugePage = 2 * 1024 * 1024;
// In front of the bytes handed out: the mapping's length (for munmap and
// reuse), padded so the bytes keep the CDR alignment.
constexpr size_t kHeader = 64;

size_t roundUp(size_t value, size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

// A 2 MiB-aligned anonymous mapping of `length` bytes (a multiple of 2 MiB)
// with huge pages asked for; null when the system has no memory.
void* mapAligned(size_t length)
{
    const size_t padded = length + kHugePage;
    void* raw = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = roundUp(start, kHugePage);
    if (aligned > start)
        ::munmap(raw, aligned - start);
    const uintptr_t end = aligned + length;
    if (start + padded > end)
        ::munmap(reinterpret_cast<void*>(end), start + padded - end);
    auto* mapping = reinterpret_cast<void*>(aligned);
    // Advice only: without huge pages the buffer still works.
    ::madvise(mapping, length, MADV_HUGEPAGE);
    return mapping;
}

} // namespace

struct LargeBuffers::Impl {
    using Clock = std::chrono::steady_clock;
    struct Kept {
        void* mapping;
        size_t length;
    };
    mutable std::mutex lock;
    std::vector<Kept> kept; // most recently freed last
    size_t keptBytes = 0;
    // For releaseWhenIdle: whether buffers were used since the last release, and when last.
    bool releasing = false;
    bool used = false;
    Clock::time_point lastUse;
    std::condition_variable firstUse;

    // REQUIRES: lock held.
    void noteUse()
    {
        lastUse = Clock::now();
        if (!used && releasing) {
            used = true;
            firstUse.notify_one();
        }
    }

    // A kept mapping of `length` bytes or somewhat more, if any.
    void* reuse(size_t length)
    {
        std::lock_guard guard(lock);
        noteUse();
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            if (it->length >= length && it->length <= 2 * length) {
                void* mapping = it->mapping;
                keptBytes -= it->length;
                kept.erase(std::next(it).base());
                return mapping;
            }
        }
        return nullptr;
    }

    // Keeps the mapping, dropping the oldest kept ones beyond the limits;
    // returns what is to be unmapped.
    std::vector<Kept> keep(Kept freed)
    {
        std::vector<Kept> dropped;
        std::lock_guard guard(lock);
        noteUse();
        if (freed.length > kKeptBytes) {
            dropped.push_back(freed);
            return dropped;
        }
        kept.push_back(freed);
        keptBytes += freed.length;
        while (kept.size() > kKeptBuffers || keptBytes > kKeptBytes) {
            dropped.push_back(kept.front());
            keptBytes -= kept.front().length;
            kept.erase(kept.begin());
        }
        return dropped;
    }

    // The thread of releaseWhenIdle. Never returns.
    void releaseAfterQuiet(std::chrono::milliseconds quiet)
    {
        std::unique_lock guard(lock);
        for (;;) {
            firstUse.wait(guard, [this] { return used; });
            // Each use moves the deadline on; the wait re-checks it when it passes.
            while (Clock::now() < lastUse + quiet)
                firstUse.wait_until(guard, lastUse + quiet);
            used = false;
            std::vector<Kept> taken;
            taken.swap(kept);
            keptBytes = 0;
            guard.unlock();
            for (const Kept& mapping : taken)
                ::munmap(mapping.mapping, mapping.length);
            ::malloc_trim(0);
            guard.lock();
        }
    }
};

LargeBuffers& LargeBuffers::allocator()
{
    static LargeBuffers* instance = new LargeBuffers;
    return *instance;
}

LargeBuffers::Impl& LargeBuffers::impl() const
{
    static Impl* instance = new Impl;
    return *instance;
}

void* LargeBuffers::malloc(size_t bytes)
{
    const size_t length = roundUp(bytes + kHeader, kHugePage);
    void* mapping = impl().reuse(length);
    if (mapping == nullptr) {
        mapping = mapAligned(length);
        if (mapping == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
        std::memcpy(mapping, &length, sizeof length);
    }
    return static_cast<char*>(mapping) + kHeader;
}

void* LargeBuffers::calloc(size_t bytes, char initialValue)
{
    void* bytesOut = malloc(bytes);
    if (bytesOut != nullptr)
        std::memset(bytesOut, initialValue, bytes);
    return bytesOut;
}

void* LargeBuffers::calloc(size_t count, size_t size, char initialValue)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    return calloc(count * size, initialValue);
}

void LargeBuffers::free(void* pointer)
{
    if (pointer == nullptr)
        return;
    void* mapping = static_cast<char*>(pointer) - kHeader;
    size_t length = 0;
    std::memcpy(&length, mapping, sizeof length);
    for (const Impl::Kept& dropped : impl().keep({ mapping, length }))
        ::munmap(dropped.mapping, dropped.length);
}

size_t LargeBuffers::keptBytes() const
{
    std::lock_guard guard(impl().lock);
    return impl().keptBytes;
}

void LargeBuffers::releaseKept()
{
    std::vector<Impl::Kept> kept;
    {
        std::lock_guard guard(impl().lock);
        kept.swap(impl().kept);
        impl().keptBytes = 0;
    }
    for (const Impl::Kept& mapping : kept)
        ::munmap(mapping.mapping, mapping.length);
}

void LargeBuffers::noteLargeTransfer()
{
    std::lock_guard guard(impl().lock);
    impl().noteUse();
}

void LargeBuffers::releaseWhenIdle(std::chrono::milliseconds quiet)
{
    Impl& state = impl();
    {
        std::lock_guard guard(state.lock);
        if (state.releasing)
            return;
        state.releasing = true;
        state.used = true; // what was used before the thread started counts too
    }
    try {
        std::thread([&state, quiet] {
            try {
                state.releaseAfterQuiet(quiet);
            } catch (const std::system_error&) {
                // A lock that failed: the buffers then stay kept, nothing is lost.
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread: kept buffers then stay until reused, as without the call.
        std::lock_guard guard(state.lock);
        state.releasing = false;
    }
}

} // namespace zephcomm::wire
