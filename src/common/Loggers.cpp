#include "common/Loggers.h"

#include <map>
#include <mutex>
#include <string>

namespace kav::loggers {

const log4cxx::LoggerPtr& get(const char* name)
{
    // Never destroyed: see the header. Map nodes never move.
    static auto* mutex = new std::mutex;
    static auto* cache = new std::map<std::string, log4cxx::LoggerPtr, std::less<>>;
    std::lock_guard lock(*mutex);
    auto it = cache->find(std::string_view(name));
    if (it == cache->end())
        it = cache->emplace(name, log4cxx::Logger::getLogger(name)).first;
    return it->second;
}

} // namespace kav::loggers
