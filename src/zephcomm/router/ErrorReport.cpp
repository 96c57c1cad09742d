#include "zephcomm/router/ErrorReport.h"

#include "common/KavErrorInfo.h"

#include <memory>

namespace zephcomm {

int32_t reportError(const log4cxx::LoggerPtr& logger, int32_t code, const char* name,
    const std::string& detail, const char* file, int line)
{
    std::string location = kav::makeLocation(file, line);
    kav::setError(code, detail, location, { name });
    LOG4CXX_ERROR(logger,
        "Code[S" << (static_cast<uint32_t>(code) & 0xFFFFFFu) << "]: " << location << "  " << detail << " "
                 << name);
    return code;
}

void reportEscapedException(const log4cxx::LoggerPtr& logger, const char* file, int line) noexcept
{
    try {
        const int32_t code = kav::absorbCurrentException(file, line);
        std::unique_ptr<kav::KavErrorInfo> info(kav::takeErrorInfo());
        LOG4CXX_ERROR(logger,
            "Code[S" << (static_cast<uint32_t>(code) & 0xFFFFFFu)
                     << "]: " << (info ? info->getLocation() : "") << " " << (info ? info->getContext() : "")
                     << " " << (info ? info->getDetail() : "") << " a callback failed");
    } catch (...) {
        // Out of memory while reporting: the thread goes on unreported.
        kav::clearErrorInfo();
    }
}

namespace {
log4cxx::LoggerPtr named(const char* name)
{
    return log4cxx::Logger::getLogger(name);
}
} // namespace

const log4cxx::LoggerPtr& Loggers::router()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcomm.Router"));
    return *logger;
}
const log4cxx::LoggerPtr& Loggers::channel()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcomm.Channel"));
    return *logger;
}
const log4cxx::LoggerPtr& Loggers::acceptor()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcomm.ChannelAcceptor"));
    return *logger;
}
const log4cxx::LoggerPtr& Loggers::connector()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcomm.ChannelConnector"));
    return *logger;
}
const log4cxx::LoggerPtr& Loggers::proxy()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcomm.Proxy"));
    return *logger;
}
const log4cxx::LoggerPtr& Loggers::stub()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcomm.Stub"));
    return *logger;
}
const log4cxx::LoggerPtr& Loggers::driver()
{
    // Never destroyed: driver threads may still log while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(named("zephcommdrv"));
    return *logger;
}

const log4cxx::LevelPtr& Loggers::trace()
{
    static const log4cxx::LevelPtr* level = new log4cxx::LevelPtr(log4cxx::Level::getAll());
    return *level;
}

} // namespace zephcomm
