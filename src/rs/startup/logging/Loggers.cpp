#include "rs/startup/logging/Loggers.h"

#include <map>
#include <mutex>
#include <string>

namespace kav::loggers {

const log4cxx::LoggerPtr& get(const char* name)
{
    static std::mutex mutex;
    static std::map<std::string, log4cxx::LoggerPtr, std::less<>> cache; // nodes never move
    std::lock_guard lock(mutex);
    auto it = cache.find(std::string_view(name));
    if (it == cache.end())
        it = cache.emplace(name, log4cxx::Logger::getLogger(name)).first;
    return it->second;
}

} // namespace kav::loggers
