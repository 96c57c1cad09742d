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

const log4cxx::LoggerPtr& Loggers::router()
{
    return kav::loggers::get(kav::loggers::kRouter);
}
const log4cxx::LoggerPtr& Loggers::channel()
{
    return kav::loggers::get(kav::loggers::kChannel);
}
const log4cxx::LoggerPtr& Loggers::acceptor()
{
    return kav::loggers::get(kav::loggers::kChannelAcceptor);
}
const log4cxx::LoggerPtr& Loggers::connector()
{
    return kav::loggers::get(kav::loggers::kChannelConnector);
}
const log4cxx::LoggerPtr& Loggers::proxy()
{
    return kav::loggers::get(kav::loggers::kProxy);
}
const log4cxx::LoggerPtr& Loggers::stub()
{
    return kav::loggers::get(kav::loggers::kStub);
}
const log4cxx::LoggerPtr& Loggers::driver()
{
    return kav::loggers::get(kav::loggers::kDriver);
}
const log4cxx::LoggerPtr& Loggers::protocol()
{
    return kav::loggers::get(kav::loggers::kProtocol);
}

const log4cxx::LevelPtr& Loggers::trace()
{
    static const log4cxx::LevelPtr* level = new log4cxx::LevelPtr(log4cxx::Level::getAll());
    return *level;
}

} // namespace zephcomm
