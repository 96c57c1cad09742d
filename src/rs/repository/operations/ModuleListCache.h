#pragma once
// ModuleListCache: the list records of an index, built once per version of
// the index and then answered as they are, without copying them again.
//
// Records are kept per directory and consumer label (the consumer the
// records name) together with the IndexCache snapshot they were built from,
// held weakly: when IndexCache drops or replaces that snapshot (the index was
// written, changed on disk or evicted), the records are built again, and
// records whose snapshot is gone are dropped at the next look-up. Besides,
// the records kept are bounded by a capacity in bytes (an estimate of their
// heap use, encoding included; the daemon gives it the same share of
// REPOSITORY_CACHE_SIZE as IndexCache): the least recently used go first,
// and records larger than the whole capacity are answered but not kept.
//
// Threads: any (worker threads running list items side by side); lock_
// guards the table; records are built outside the lock.
// Ownership: returned lists are shared and immutable.

#include "interfaces/types/RepositoryAppList.h"
#include "rs/repository/IndexCache.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

namespace rs::modules {

using SharedRecords = std::shared_ptr<const RepositoryAppList>;

// Which entries of an index the records are made of.
enum class RecordSet {
    All, // deleted ones included: the module list
    Present, // deleted ones left out: what a download answers beside the file
};

class ModuleListCache {
public:
    static ModuleListCache& instance();

    explicit ModuleListCache(size_t capacityBytes = kav::IndexCache::kDefaultCapacity)
        : capacity_(capacityBytes)
    {
    }
    ModuleListCache(const ModuleListCache&) = delete;
    ModuleListCache& operator=(const ModuleListCache&) = delete;

    // The records of the named entries of the index in `directory` that `set`
    // takes, in file order, each naming `consumer`. Never null.
    SharedRecords records(
        const std::string& directory, const std::string& consumer, RecordSet set = RecordSet::All);
    // The records records() would answer when they are built from the
    // index's current contents (one stat, nothing read); null otherwise.
    // With them, *entries (when given) is the index's entries they were built from.
    SharedRecords builtRecords(const std::string& directory, const std::string& consumer,
        RecordSet set = RecordSet::All, kav::IndexSnapshot* entries = nullptr);

    // Record lists currently kept, and their bytes as the capacity counts them.
    size_t size() const;
    size_t keptBytes() const;
    // Sets the capacity, dropping what no longer fits.
    void setCapacity(size_t bytes);
    // Forgets the records not answered after `since`, and those whose index
    // snapshot IndexCache dropped; true when any went.
    bool forgetUnusedSince(std::chrono::steady_clock::time_point since);
    // The heap that a record list uses, as the capacity counts it.
    static size_t bytesOf(const RepositoryAppList& list);

private:
    using Key = std::tuple<std::string, std::string, RecordSet>; // directory, consumer, set
    struct Built {
        std::weak_ptr<const kav::IndexEntries> source;
        SharedRecords records;
        size_t bytes = 0;
        uint64_t lastUse = 0;
        std::chrono::steady_clock::time_point usedAt = std::chrono::steady_clock::now();
    };

    // Forgets the records whose index snapshot is gone; true when any went.
    // REQUIRES: lock_ held.
    bool dropStaleLocked();

    mutable std::mutex lock_;
    std::map<Key, Built> built_;
    size_t capacity_;
    size_t keptBytes_ = 0;
    uint64_t uses_ = 0;
};

} // namespace rs::modules
