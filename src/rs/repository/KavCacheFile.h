#pragma once
// KavFileCache: the contents of recently read repository files, kept in
// memory so that repeated downloads of a module are served without touching
// the disk. Bounded by a byte capacity (least recently used evicted first)
// and an idle time-out (entries unused that long are dropped by cleanupCache).
// Writes and deletions of repository files go through it or call closeFile,
// so it never serves a replaced file.
//
// Entries are keyed by the 32-bit hash of the full path (ACE_CString::hash);
// two paths with the same hash share one entry.
//
// Threads: work items on the worker threads call readFile, createFile and
// closeFile; the main loop calls cleanupCache every 15 seconds; start-up calls
// setCacheSize and setCacheTimeout. Every public operation takes the cache's
// recursive mutex (a failure to take it returns -1 and changes nothing).
//
// Ownership: the cache holds one message block per entry. readFile hands the
// caller a duplicate() of it: a new message block over the same reference-
// counted data block (no copy of the contents; the count is guarded by a
// lock, so any thread may release it). The caller releases its block; an
// evicted entry's contents stay valid until the last holder releases them.

#include "common/ServiceCounters.h"

#include <ace/Recursive_Thread_Mutex.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <string>

class ACE_Message_Block;

namespace kav {

class KavFileCache {
public:
    using Clock = std::function<time_t()>;

    static constexpr uint32_t kDefaultCapacity = 200u * 1024u * 1024u;
    static constexpr int kDefaultTimeout = 60;
    static constexpr int kMaxCacheSizeMb = 2000;

    // The process-wide cache, created on first use with the defaults.
    static KavFileCache* instance();

    // A cache of its own (tests, benchmarks); clock gives the time in seconds since 1970.
    explicit KavFileCache(Clock clock = nullptr);
    virtual ~KavFileCache();
    KavFileCache(const KavFileCache&) = delete;
    KavFileCache& operator=(const KavFileCache&) = delete;

    // Capacity in MiB; values outside 1..2000 are ignored. Evicts only on the next insertion.
    virtual void setCacheSize(int megabytes);
    // Idle time-out in seconds; values <= 0 are ignored.
    virtual void setCacheTimeout(int seconds);
    // Drops every entry whose last use lies at least the time-out in the past.
    virtual void cleanupCache();
    // Drops the path's entry and writes the file (rsmanagerutils::createFile).
    // The written contents are not cached. Returns 0 or -1.
    virtual int createFile(const std::string& path, const ACE_Message_Block& data, int openFlags);
    // The file's contents: from memory when cached, else read from disk and
    // cached. On success data holds the caller's block (release() it) and 0 is
    // returned; -1 (data null, cache unchanged) when the file cannot be read.
    virtual int readFile(const std::string& path, ACE_Message_Block*& data);
    // readFile from memory only: -1 (data null, nothing read, cache
    // unchanged) when the file is not cached.
    int cachedFile(const std::string& path, ACE_Message_Block*& data);
    // Drops the path's entry, if any. Returns 0 (-1 only when the mutex cannot be taken).
    virtual int closeFile(const std::string& path);

    // Observers for diagnostics and tests.
    uint32_t capacity() const;
    uint64_t currentSize() const;
    int timeout() const;
    size_t entryCount() const;
    bool contains(const std::string& path) const;

    static uint32_t keyOf(const std::string& path);

    // Where reads count as hits or misses (null: nowhere). The counters
    // outlive the cache's use.
    void setCounters(ServiceCounters* counters) { counters_.store(counters); }

private:
    struct Usage {
        uint32_t size;
        uint32_t key;
        time_t lastUse;
    };
    using UsageList = std::list<Usage>;
    struct Entry {
        ACE_Message_Block* block; // the cache's own reference
        UsageList::iterator usage;
    };

    // All four REQUIRE: mutex_ held.
    // The cached block's duplicate, counted as a hit; null (not counted) when not cached.
    ACE_Message_Block* takeCached(uint32_t key);
    void insertObject(uint32_t key, ACE_Message_Block* block);
    void moveObjectToEnd(uint32_t key);
    int removeObject(uint32_t key);

    time_t now() const;

    mutable ACE_Recursive_Thread_Mutex mutex_;
    Clock clock_;
    std::map<uint32_t, Entry> table_;
    UsageList usage_; // front = least recently used
    uint32_t capacity_ = kDefaultCapacity;
    uint64_t currentSize_ = 0;
    int timeout_ = kDefaultTimeout;
    std::atomic<ServiceCounters*> counters_ { nullptr };
};

} // namespace kav
