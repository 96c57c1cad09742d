#pragma once
// IndexCache: the parsed entries of recently read ".index" files, so that a
// list or a fetch does not read and parse an unchanged index again.
//
// A cached index is served only while the file on disk still has the
// identity it had when it was read (device, inode, size, modification and
// status-change time): an index rewritten by another process, or replaced
// by hand, is read again. Writes through IndexFile in this process also
// drop the directory's entry at once (invalidate), which covers a rewrite
// that happens to keep the identity (a reused inode within one timestamp
// tick). A read that overlaps an invalidation or a change of the file is
// returned to its caller but not kept.
//
// The cache holds at most its capacity in bytes of parsed entries (an
// estimate of their heap use) over all directories; beyond that the least
// recently used directories are dropped. An index larger than the whole
// capacity is returned but not kept: memory stays bounded whatever the
// repository holds. The daemon gives it a share of REPOSITORY_CACHE_SIZE.
//
// Threads: any; lock_ guards the table. Files are read and parsed outside
// the lock, so concurrent readers of different (or the same) directories
// do not wait for each other's disk reads.
// Ownership: snapshots are shared and immutable; a caller may keep one as
// long as it likes, the cache dropping its own reference does not affect it.

#include "rs/repository/IndexFile.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kav {

using IndexEntries = std::vector<ModuleIndexEntry>;
using IndexSnapshot = std::shared_ptr<const IndexEntries>;

class IndexCache {
public:
    // Shares of the repository cache size (REPOSITORY_CACHE_SIZE) that the
    // parsed indexes, and the list records built from them, may each use.
    static constexpr size_t kShareDivisor = 2;
    // The share of the default cache size of 200 MiB.
    static constexpr size_t kDefaultCapacity = (200u << 20) / kShareDivisor;

    // The process-wide cache the work items use.
    static IndexCache& instance();

    explicit IndexCache(size_t capacityBytes = kDefaultCapacity)
        : capacity_(capacityBytes)
    {
    }
    IndexCache(const IndexCache&) = delete;
    IndexCache& operator=(const IndexCache&) = delete;

    // Every named entry of directory + "/.index" in file order, as
    // IndexFile::getAllEntries gives them. Never null; empty when the file
    // is missing or unreadable (as an IndexFile would read it).
    IndexSnapshot entries(const std::string& directory);

    // The directory's entries if they are cached and the file still has the
    // identity they were read with; null otherwise (nothing is read).
    IndexSnapshot freshEntries(const std::string& directory);

    // Forgets the directory's index. Called after every write of it.
    void invalidate(const std::string& directory);
    // Forgets everything.
    void clear();
    // Sets the capacity, dropping what no longer fits.
    void setCapacity(size_t bytes);
    // Forgets the directories not read after `since` (the daemon passes the
    // file cache's time-out ago); true when any went.
    bool forgetUnusedSince(std::chrono::steady_clock::time_point since);
    // The heap that the entries use, as the capacity counts it.
    static size_t bytesOf(const IndexEntries& entries);

    // Directories currently cached and their entries in total.
    size_t directories() const;
    size_t cachedEntries() const;
    size_t cachedBytes() const;

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified {};
        timespec changed {};
        bool operator==(const Identity& other) const;
    };
    struct Cached {
        Identity identity;
        IndexSnapshot entries;
        size_t bytes = 0;
        uint64_t lastUse = 0;
        std::chrono::steady_clock::time_point usedAt = std::chrono::steady_clock::now();
    };

    // False when the file cannot be examined (missing, for instance).
    static bool identify(const std::string& path, Identity& identity);
    // REQUIRES: lock_ held.
    void keepLocked(const std::string& directory, Cached cached);
    void forgetLocked(const std::string& directory);
    // Drops a directory whose index is gone, without disturbing other reads.
    void forget(const std::string& directory);

    size_t capacity_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Cached> cached_;
    size_t cachedBytes_ = 0;
    uint64_t uses_ = 0;
    // Raised by every invalidation: a read that started before one is not kept.
    uint64_t generation_ = 0;
};

} // namespace kav
