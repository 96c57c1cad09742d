#include "zephcomm/router/ErrorReport.h"

#include "common/KavErrorInfo.h"
#include "common/Loggers.h"

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

// Each accessor keeps its logger: they are asked for every message, and a
// look-up by name takes a lock that every thread shares.
const log4cxx::LoggerPtr& Loggers::router()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kRouter);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::channel()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kChannel);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::acceptor()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kChannelAcceptor);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::connector()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kChannelConnector);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::proxy()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kProxy);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::stub()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kStub);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::driver()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kDriver);
    return logger;
}
const log4cxx::LoggerPtr& Loggers::protocol()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kProtocol);
    return logger;
}

const log4cxx::LevelPtr& Loggers::trace()
{
    static const log4cxx::LevelPtr* level = new log4cxx::LevelPtr(log4cxx::Level::getAll());
    return *level;
}

} // namespace zephcomm
