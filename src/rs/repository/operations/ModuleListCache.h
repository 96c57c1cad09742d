#pragma once
// ModuleListCache: the list records of an index, built once per version of
// the index and then answered as they are, without copying them again.
//
// Records are kept per directory and consumer label (the consumer the
// records name) together with the IndexCache snapshot they were built from,
// held weakly: when IndexCache drops or replaces that snapshot (the index was
// written, changed on disk or evicted), the records are built again, and
// records whose snapshot is gone are dropped at the next look-up. So this
// cache never outlives, nor holds more than, what IndexCache holds.
//
// Threads: any (worker threads running list items side by side); lock_
// guards the table; records are built outside the lock.
// Ownership: returned lists are shared and immutable.

#include "interfaces/types/RepositoryAppList.h"
#include "rs/repository/IndexCache.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace rs::modules {

using SharedRecords = std::shared_ptr<const RepositoryAppList>;

class ModuleListCache {
public:
    static ModuleListCache& instance();

    ModuleListCache() = default;
    ModuleListCache(const ModuleListCache&) = delete;
    ModuleListCache& operator=(const ModuleListCache&) = delete;

    // The records of every named entry of the index in `directory`, in file
    // order, deleted ones included, each naming `consumer`. Never null.
    SharedRecords records(const std::string& directory, const std::string& consumer);
    // Whether records() would answer from what is built, reading nothing.
    bool isReady(const std::string& directory, const std::string& consumer);

    // Record lists currently kept.
    size_t size() const;

private:
    using Key = std::pair<std::string, std::string>; // directory, consumer
    struct Built {
        std::weak_ptr<const kav::IndexEntries> source;
        SharedRecords records;
    };

    // REQUIRES: lock_ held.
    void dropStaleLocked();

    mutable std::mutex lock_;
    std::map<Key, Built> built_;
};

} // namespace rs::modules
