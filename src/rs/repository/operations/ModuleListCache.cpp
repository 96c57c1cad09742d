#include "rs/repository/operations/ModuleListCache.h"

#include "rs/repository/operations/ModuleWorkSupport.h"

namespace rs::modules {

ModuleListCache& ModuleListCache::instance()
{
    // Never destroyed: work items may still run while the process exits.
    static ModuleListCache* cache = new ModuleListCache;
    return *cache;
}

SharedRecords ModuleListCache::records(const std::string& directory, const std::string& consumer)
{
    const kav::IndexSnapshot entries = kav::IndexCache::instance().entries(directory);
    const Key key { directory, consumer };
    {
        std::lock_guard guard(lock_);
        auto found = built_.find(key);
        if (found != built_.end() && found->second.source.lock() == entries)
            return found->second.records;
    }
    auto list = std::make_shared<RepositoryAppList>();
    for (const kav::ModuleIndexEntry& entry : *entries)
        list->append(toRecord(entry, consumer));
    // Answered many times until the index changes: encoded once here.
    list->seal();
    SharedRecords records = std::move(list);
    if (entries->empty())
        return records; // nothing worth keeping
    std::lock_guard guard(lock_);
    dropStaleLocked();
    built_[key] = Built { entries, records };
    return records;
}

bool ModuleListCache::isReady(const std::string& directory, const std::string& consumer)
{
    const kav::IndexSnapshot entries = kav::IndexCache::instance().freshEntries(directory);
    if (!entries)
        return false;
    std::lock_guard guard(lock_);
    auto found = built_.find(Key { directory, consumer });
    return found != built_.end() && found->second.source.lock() == entries;
}

void ModuleListCache::dropStaleLocked()
{
    std::erase_if(built_, [](const auto& item) { return item.second.source.expired(); });
}

size_t ModuleListCache::size() const
{
    std::lock_guard guard(lock_);
    return built_.size();
}

} // namespace rs::modules
