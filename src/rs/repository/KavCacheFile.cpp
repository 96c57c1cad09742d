#include "rs/repository/KavCacheFile.h"

#include "common/KavTraceDebugger.h"
#include "common/Loggers.h"
#include "rs/repository/dplfileutils.h"

#include <ace/Guard_T.h>
#include <ace/Message_Block.h>
#include <ace/SString.h>
#include <log4cxx/logger.h>

#ifdef RS_REPOSITORY_HAVE_I18N
#include "rs/i18n/NarvI18n.h"
#endif

namespace kav {
namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kCacheFile);
    return instance;
}

constexpr uint32_t kCacheSizeMessage = 0x14C1B;
constexpr uint32_t kCacheTimeoutMessage = 0x14C1C;
constexpr uint32_t kBytesPerMegabyte = 1024u * 1024u;

// The catalogue text of a configuration message; a plain text when the
// catalogue is not available (tests, or a catalogue that failed to load).
std::string configurationText(uint32_t number, int value, const char* fallback)
{
    std::string text;
#ifdef RS_REPOSITORY_HAVE_I18N
    if (NarvI18n::instance().i18n(number, Params { std::to_string(value) }, text) == 0)
        return text;
#else
    (void)number;
#endif
    return fallback + std::to_string(value);
}

time_t systemClock()
{
    return ::time(nullptr);
}

} // namespace

KavFileCache* KavFileCache::instance()
{
    // Never destroyed: blocks may still be released by other threads while the process exits.
    static KavFileCache* cache = new KavFileCache();
    return cache;
}

KavFileCache::KavFileCache(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(&systemClock))
{
}

KavFileCache::~KavFileCache()
{
    ACE_GUARD(ACE_Recursive_Thread_Mutex, guard, mutex_);
    for (auto& [key, entry] : table_)
        entry.block->release();
    table_.clear();
    usage_.clear();
    currentSize_ = 0;
}

uint32_t KavFileCache::keyOf(const std::string& path)
{
    return ACE_CString(path.c_str(), path.size()).hash();
}

time_t KavFileCache::now() const
{
    return clock_();
}

void KavFileCache::setCacheSize(int megabytes)
{
    KavTraceDebugger trace(logger(), "KavFileCache::setCacheSize");
    ACE_GUARD(ACE_Recursive_Thread_Mutex, guard, mutex_);
    if (megabytes <= 0 || megabytes > kMaxCacheSizeMb)
        return;
    capacity_ = static_cast<uint32_t>(megabytes) * kBytesPerMegabyte;
    LOG4CXX_INFO(logger(), configurationText(kCacheSizeMessage, megabytes, "File cache size in MB: "));
}

void KavFileCache::setCacheTimeout(int seconds)
{
    KavTraceDebugger trace(logger(), "KavFileCache::setCacheTimeout");
    ACE_GUARD(ACE_Recursive_Thread_Mutex, guard, mutex_);
    if (seconds <= 0)
        return;
    timeout_ = seconds;
    LOG4CXX_INFO(
        logger(), configurationText(kCacheTimeoutMessage, seconds, "File cache time-out in seconds: "));
}

void KavFileCache::cleanupCache()
{
    KavTraceDebugger trace(logger(), "KavFileCache::cleanupCache");
    ACE_GUARD(ACE_Recursive_Thread_Mutex, guard, mutex_);
    time_t current = now();
    for (auto record = usage_.begin(); record != usage_.end();) {
        auto next = std::next(record);
        if (current - record->lastUse >= timeout_) {
            LOG4CXX_DEBUG(logger(), ": Removing object from list. Key is " << record->key);
            removeObject(record->key);
        }
        record = next;
    }
}

int KavFileCache::createFile(const std::string& path, const ACE_Message_Block& data, int openFlags)
{
    KavTraceDebugger trace(logger(), "KavFileCache::createFile");
    uint32_t key = keyOf(path);
    LOG4CXX_DEBUG(logger(), "Enter KavFileCache::createFile file='" << path << "' key='" << key << "'");
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, -1);
    removeObject(key);
    int result = rsmanagerutils::createFile(path, data, openFlags);
    LOG4CXX_DEBUG(
        logger(), "Exit KavFileCache::createFile file='" << path << "' cache size='" << currentSize_ << "'");
    return result;
}

int KavFileCache::readFile(const std::string& path, ACE_Message_Block*& data)
{
    KavTraceDebugger trace(logger(), "KavFileCache::readFile");
    data = nullptr;
    uint32_t key = keyOf(path);
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, -1);
    if ((data = takeCached(key))) {
        LOG4CXX_DEBUG(logger(), " read file from cache: " << path);
        return 0;
    }
    if (ServiceCounters* counters = counters_.load(std::memory_order_relaxed))
        ServiceCounters::bump(counters->cacheMisses);
    ACE_Message_Block* block = nullptr;
    if (rsmanagerutils::readFile(path, block) != 0)
        return -1;
    LOG4CXX_DEBUG(logger(), " read file from disk: " << path);
    insertObject(key, block);
    data = block->duplicate();
    LOG4CXX_DEBUG(logger(),
        "Exit KavFileCache::readFile file='" << path << "' key='" << key << "' data size='" << block->length()
                                             << "' capacity='" << capacity_ << "' cache size='"
                                             << currentSize_ << "'");
    return 0;
}

int KavFileCache::closeFile(const std::string& path)
{
    KavTraceDebugger trace(logger(), "KavFileCache::closeFile");
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, -1);
    removeObject(keyOf(path));
    return 0;
}

void KavFileCache::insertObject(uint32_t key, ACE_Message_Block* block)
{
    KavTraceDebugger trace(logger(), "KavFileCache::insertObject");
    uint32_t size = static_cast<uint32_t>(block->length());
    while (capacity_ < currentSize_ + size) {
        if (usage_.empty()) {
            currentSize_ = 0;
            break;
        }
        if (removeObject(usage_.front().key) != 0)
            usage_.pop_front();
    }
    // A colliding key already cached (two paths, one hash) gives way to the newer contents.
    removeObject(key);
    usage_.push_back(Usage { size, key, now() });
    table_.emplace(key, Entry { block, std::prev(usage_.end()) });
    currentSize_ += size;
}

void KavFileCache::moveObjectToEnd(uint32_t key)
{
    KavTraceDebugger trace(logger(), "KavFileCache::moveObjectToEnd");
    auto found = table_.find(key);
    if (found == table_.end()) {
        LOG4CXX_DEBUG(logger(), " can not find in list, key='" << key << "'");
        return;
    }
    Usage record = *found->second.usage;
    record.lastUse = now();
    usage_.erase(found->second.usage);
    usage_.push_back(record);
    found->second.usage = std::prev(usage_.end());
    LOG4CXX_DEBUG(logger(), " move to last, key='" << key << "'");
}

int KavFileCache::removeObject(uint32_t key)
{
    KavTraceDebugger trace(logger(), "KavFileCache::removeObject");
    auto found = table_.find(key);
    if (found == table_.end())
        return -1;
    LOG4CXX_DEBUG(logger(), " find key='" << key << "'");
    found->second.block->release();
    currentSize_ -= found->second.usage->size;
    usage_.erase(found->second.usage);
    table_.erase(found);
    LOG4CXX_DEBUG(logger(), ", new cache size='" << currentSize_ << "'");
    return 0;
}

uint32_t KavFileCache::capacity() const
{
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, 0);
    return capacity_;
}

uint64_t KavFileCache::currentSize() const
{
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, 0);
    return currentSize_;
}

int KavFileCache::timeout() const
{
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, 0);
    return timeout_;
}

size_t KavFileCache::entryCount() const
{
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, 0);
    return table_.size();
}

int KavFileCache::cachedFile(const std::string& path, ACE_Message_Block*& data)
{
    data = nullptr;
    const uint32_t key = keyOf(path);
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, -1);
    data = takeCached(key);
    return data ? 0 : -1;
}

ACE_Message_Block* KavFileCache::takeCached(uint32_t key)
{
    ServiceCounters* counters = counters_.load(std::memory_order_relaxed);
    auto found = table_.find(key);
    if (found == table_.end())
        return nullptr;
    moveObjectToEnd(key);
    if (counters)
        ServiceCounters::bump(counters->cacheHits);
    return found->second.block->duplicate();
}

bool KavFileCache::contains(const std::string& path) const
{
    ACE_GUARD_RETURN(ACE_Recursive_Thread_Mutex, guard, mutex_, false);
    return table_.count(keyOf(path)) != 0;
}

} // namespace kav
