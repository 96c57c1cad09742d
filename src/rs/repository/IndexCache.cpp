#include "rs/repository/IndexCache.h"

#include "rs/repository/ByteBoundedCache.h"
#include "rs/repository/dplfileutils.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>

namespace kav {

namespace {

bool sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

const IndexSnapshot& emptySnapshot()
{
    static const IndexSnapshot empty = std::make_shared<const IndexEntries>();
    return empty;
}

} // namespace

bool IndexCache::Identity::operator==(const Identity& other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

IndexCache& IndexCache::instance()
{
    // Never destroyed: work items may still run while the process exits.
    static IndexCache* cache = new IndexCache;
    return *cache;
}

bool IndexCache::identify(const std::string& path, Identity& identity)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.size = info.st_size;
    identity.modified = info.st_mtim;
    identity.changed = info.st_ctim;
    return true;
}

IndexSnapshot IndexCache::entries(const std::string& directory)
{
    if (directory.empty())
        return emptySnapshot();
    const std::string path = directory + "/" + IndexFile::kFileName;
    Identity before;
    if (!identify(path, before)) {
        forget(directory);
        return emptySnapshot();
    }
    uint64_t generation = 0;
    {
        std::lock_guard guard(lock_);
        auto found = cached_.find(directory);
        if (found != cached_.end() && found->second.identity == before) {
            noteUse(found->second, uses_);
            return found->second.entries;
        }
        generation = generation_;
    }
    auto parsed = std::make_shared<const IndexEntries>(
        IndexFile::parseLines(rsmanagerutils::readLinesFromFile(path)));
    // Kept only when nothing changed the file while it was read.
    Identity after;
    if (identify(path, after) && after == before) {
        std::lock_guard guard(lock_);
        if (generation == generation_)
            keepLocked(directory, Cached { before, parsed, bytesOf(*parsed), ++uses_ });
    }
    return parsed;
}

IndexSnapshot IndexCache::freshEntries(const std::string& directory)
{
    {
        std::lock_guard guard(lock_);
        if (cached_.find(directory) == cached_.end())
            return nullptr;
    }
    Identity now;
    if (!identify(directory + "/" + IndexFile::kFileName, now))
        return nullptr;
    std::lock_guard guard(lock_);
    auto found = cached_.find(directory);
    if (found == cached_.end() || !(found->second.identity == now))
        return nullptr;
    noteUse(found->second, uses_);
    return found->second.entries;
}

size_t IndexCache::bytesOf(const IndexEntries& entries)
{
    size_t bytes = entries.capacity() * sizeof(ModuleIndexEntry);
    for (const ModuleIndexEntry& entry : entries)
        bytes += heapBytes(entry.moduleName) + heapBytes(entry.version) + heapBytes(entry.fileName)
            + heapBytes(entry.owner) + heapBytes(entry.linkedApps);
    return bytes;
}

void IndexCache::keepLocked(const std::string& directory, Cached cached)
{
    keepWithinCapacity(cached_, cachedBytes_, capacity_, directory, std::move(cached));
}

void IndexCache::setCapacity(size_t bytes)
{
    std::lock_guard guard(lock_);
    capacity_ = bytes;
    evictLeastRecentlyUsed(cached_, cachedBytes_, capacity_);
}

bool IndexCache::forgetUnusedSince(UseClock::time_point since)
{
    std::lock_guard guard(lock_);
    return kav::forgetUnusedSince(cached_, cachedBytes_, since);
}

void IndexCache::invalidate(const std::string& directory)
{
    std::lock_guard guard(lock_);
    ++generation_;
    forgetLocked(directory);
}

void IndexCache::forget(const std::string& directory)
{
    std::lock_guard guard(lock_);
    forgetLocked(directory);
}

void IndexCache::forgetLocked(const std::string& directory)
{
    forgetItem(cached_, cachedBytes_, directory);
}

void IndexCache::clear()
{
    std::lock_guard guard(lock_);
    ++generation_;
    cached_.clear();
    cachedBytes_ = 0;
}

size_t IndexCache::directories() const
{
    std::lock_guard guard(lock_);
    return cached_.size();
}

size_t IndexCache::cachedEntries() const
{
    std::lock_guard guard(lock_);
    size_t entries = 0;
    for (const auto& [directory, cached] : cached_)
        entries += cached.entries->size();
    return entries;
}

size_t IndexCache::cachedBytes() const
{
    std::lock_guard guard(lock_);
    return cachedBytes_;
}

} // namespace kav
