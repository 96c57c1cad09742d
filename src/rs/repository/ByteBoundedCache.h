#pragma once
// What the caches bounded by bytes (the parsed indexes and the list records
// built from them) share: keeping an item within the capacity, dropping the
// least recently used, and estimating the heap that strings use.
//
// A map's values carry `bytes` (as the capacity counts them), `lastUse` (an
// order) and `usedAt` (a time, for dropping what has gone unused).
// A linear search for the oldest is enough: the caches keep a few hundred
// items at most, and evict only when something new comes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kav {

// Drops the least recently used items until what is kept fits `capacity`.
template <class Map> void evictLeastRecentlyUsed(Map& items, size_t& keptBytes, size_t capacity)
{
    while (keptBytes > capacity && !items.empty()) {
        auto oldest = items.begin();
        for (auto it = items.begin(); it != items.end(); ++it)
            if (it->second.lastUse < oldest->second.lastUse)
                oldest = it;
        keptBytes -= oldest->second.bytes;
        items.erase(oldest);
    }
}

using UseClock = std::chrono::steady_clock;

// Notes a use of a kept item: its place in the eviction order and its time.
template <class Item> void noteUse(Item& item, uint64_t& uses)
{
    item.lastUse = ++uses;
    item.usedAt = UseClock::now();
}

// Drops the items that `unwanted` picks; true when any went.
template <class Map, class Unwanted> bool forgetWhere(Map& items, size_t& keptBytes, Unwanted unwanted)
{
    return std::erase_if(items, [&](const auto& item) {
        if (!unwanted(item.second))
            return false;
        keptBytes -= item.second.bytes;
        return true;
    }) > 0;
}

// Drops the items not used after `since`; true when any went.
template <class Map> bool forgetUnusedSince(Map& items, size_t& keptBytes, UseClock::time_point since)
{
    return forgetWhere(items, keptBytes, [since](const auto& item) { return item.usedAt <= since; });
}

// Removes the key's item, if kept.
template <class Map> void forgetItem(Map& items, size_t& keptBytes, const typename Map::key_type& key)
{
    auto found = items.find(key);
    if (found == items.end())
        return;
    keptBytes -= found->second.bytes;
    items.erase(found);
}

// Keeps `item` under `key` in place of what was there, then evicts down to
// the capacity; an item larger than the whole capacity is not kept.
template <class Map>
void keepWithinCapacity(Map& items, size_t& keptBytes, size_t capacity, const typename Map::key_type& key,
    typename Map::mapped_type item)
{
    forgetItem(items, keptBytes, key);
    if (item.bytes > capacity)
        return;
    keptBytes += item.bytes;
    items.emplace(key, std::move(item));
    evictLeastRecentlyUsed(items, keptBytes, capacity);
}

// The heap a string uses beyond its object (none while it fits in place).
inline size_t heapBytes(const std::string& text)
{
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

inline size_t heapBytes(const std::vector<std::string>& texts)
{
    size_t bytes = texts.capacity() * sizeof(std::string);
    for (const std::string& text : texts)
        bytes += heapBytes(text);
    return bytes;
}

} // namespace kav
