#pragma once
// Eviction shared by the caches bounded by bytes: drops the least recently
// used items of `items` (a map whose values carry `bytes` and `lastUse`)
// until what is kept fits `capacity`. A linear search is enough: the caches
// keep a few hundred items at most, and evict only when something new comes.

#include <cstddef>

namespace kav {

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

} // namespace kav
