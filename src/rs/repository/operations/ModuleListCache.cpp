#include "rs/repository/operations/ModuleListCache.h"

#include "rs/repository/ByteBoundedCache.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

namespace rs::modules {

ModuleListCache& ModuleListCache::instance()
{
    // Never destroyed: work items may still run while the process exits.
    static ModuleListCache* cache = new ModuleListCache;
    return *cache;
}

SharedRecords ModuleListCache::records(
    const std::string& directory, const std::string& consumer, RecordSet set)
{
    const kav::IndexSnapshot entries = kav::IndexCache::instance().entries(directory);
    const Key key { directory, consumer, set };
    {
        std::lock_guard guard(lock_);
        auto found = built_.find(key);
        if (found != built_.end() && found->second.source.lock() == entries) {
            kav::noteUse(found->second, uses_);
            return found->second.records;
        }
    }
    auto list = std::make_shared<RepositoryAppList>();
    for (const kav::ModuleIndexEntry& entry : *entries)
        if (set == RecordSet::All || !entry.deleted)
            list->append(toRecord(entry, consumer));
    // Answered many times until the index changes: encoded once here.
    list->seal();
    const size_t bytes = bytesOf(*list);
    SharedRecords records = std::move(list);
    if (entries->empty())
        return records; // nothing worth keeping
    std::lock_guard guard(lock_);
    dropStaleLocked();
    kav::keepWithinCapacity(built_, keptBytes_, capacity_, key, Built { entries, records, bytes, ++uses_ });
    return records;
}

size_t ModuleListCache::bytesOf(const RepositoryAppList& list)
{
    using kav::heapBytes;
    size_t bytes = list.entries().capacity() * sizeof(RepositoryAppEntry);
    for (const RepositoryAppEntry& entry : list.entries())
        bytes += heapBytes(entry.version) + heapBytes(entry.moduleName) + heapBytes(entry.consumer)
            + heapBytes(entry.owner) + heapBytes(entry.fileName) + heapBytes(entry.linkedApps);
    if (list.wire())
        bytes += list.wire()->capacity();
    return bytes;
}

void ModuleListCache::setCapacity(size_t bytes)
{
    std::lock_guard guard(lock_);
    capacity_ = bytes;
    kav::evictLeastRecentlyUsed(built_, keptBytes_, capacity_);
}

SharedRecords ModuleListCache::builtRecords(
    const std::string& directory, const std::string& consumer, RecordSet set, kav::IndexSnapshot* entries)
{
    kav::IndexSnapshot fresh = kav::IndexCache::instance().freshEntries(directory);
    if (!fresh)
        return nullptr;
    std::lock_guard guard(lock_);
    auto found = built_.find(Key { directory, consumer, set });
    if (found == built_.end() || found->second.source.lock() != fresh)
        return nullptr;
    kav::noteUse(found->second, uses_);
    if (entries)
        *entries = std::move(fresh);
    return found->second.records;
}

bool ModuleListCache::forgetUnusedSince(kav::UseClock::time_point since)
{
    std::lock_guard guard(lock_);
    const bool stale = dropStaleLocked();
    const bool unused = kav::forgetUnusedSince(built_, keptBytes_, since);
    return stale || unused;
}

bool ModuleListCache::dropStaleLocked()
{
    return kav::forgetWhere(built_, keptBytes_, [](const Built& built) { return built.source.expired(); });
}

size_t ModuleListCache::size() const
{
    std::lock_guard guard(lock_);
    return built_.size();
}

size_t ModuleListCache::keptBytes() const
{
    std::lock_guard guard(lock_);
    return keptBytes_;
}

} // namespace rs::modules
