#include "rs/resmgr/KavQelUtils.h"

#include "common/Loggers.h"
#include "platform/zor/zor.h"

#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/spi/loggerrepository.h>

#include <cmath>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kUtils);
    return instance;
}

// The first query runs before logging is set up (directory defaults, -V);
// log4cxx would then complain on standard error instead of logging.
bool loggingReady()
{
    return log4cxx::LogManager::getLoggerRepository()->isConfigured();
}

} // namespace

KavQelUtils& KavQelUtils::instance()
{
    static KavQelUtils utils;
    return utils;
}

bool KavQelUtils::isGridMode()
{
    std::lock_guard lock(mutex_);
    if (!gridMode_) {
        bool log = loggingReady();
        if (log)
            LOG4CXX_DEBUG(logger(), "KavQelUtils::isGridMode: Entering");
        gridMode_ = zor_verifyconsumerpath("invalid", nullptr) != 0;
        if (log)
            LOG4CXX_DEBUG(logger(), "KavQelUtils::isGridMode: " << (*gridMode_ ? "true" : "false"));
    }
    return *gridMode_;
}

QelVersion KavQelUtils::versionFrom(float version, int patch)
{
    QelVersion v;
    v.major = static_cast<int>(version);
    v.minor = static_cast<int>(std::lround((version - static_cast<float>(v.major)) * 10.0f));
    v.patch = patch;
    return v;
}

QelVersion KavQelUtils::getQelVersion()
{
    if (!isGridMode())
        return QelVersion {};
    std::lock_guard lock(mutex_);
    if (version_)
        return *version_;
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle)
        return QelVersion {};
    const zor_uname_t* description = zor_uname();
    QelVersion version;
    if (description) {
        version = versionFrom(description->version, description->patch);
        version_ = version;
    }
    zor_close(handle);
    return version;
}

bool KavQelUtils::isQelSharedTopAvailable()
{
    QelVersion v = getQelVersion();
    return v.major > 1 || v.minor > 2 || (v.minor == 2 && v.patch >= 3);
}

} // namespace rs
