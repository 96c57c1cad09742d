#include "rs/i18n/ErrorLine.h"

#include "common/ResultCodes.h"
#include "rs/i18n/NarvI18n.h"

#include <memory>

namespace kav {

std::string catalogueText(uint32_t number, const Params& params)
{
    // The record being reported may be the thread's own: keep it aside so a
    // formatting failure can neither replace nor delete it.
    std::unique_ptr<KavErrorInfo> saved(takeErrorInfo());
    std::string text;
    if (NarvI18n::instance().i18n(number, params, text) < 0)
        clearErrorInfo();
    setErrorInfo(std::move(saved));
    return text;
}

std::string errorLine(const IKavErrorInfo& info)
{
    const uint32_t number = rc::messageNumber(info.getCode());
    return "Code[S" + std::to_string(number) + "]: " + info.getLocation() + " " + info.getContext() + " "
        + info.getDetail() + " " + catalogueText(number, info.getParams());
}

void logErrorLine(const log4cxx::LoggerPtr& logger, const log4cxx::LevelPtr& level, const IKavErrorInfo& info)
{
    if (logger && logger->isEnabledFor(level))
        logger->forcedLog(level, errorLine(info), LOG4CXX_LOCATION);
}

void logEscapedException(const log4cxx::LoggerPtr& logger, const char* file, int line) noexcept
{
    try {
        absorbCurrentException(file, line);
        std::unique_ptr<KavErrorInfo> info(takeErrorInfo());
        if (info)
            logErrorLine(logger, log4cxx::Level::getError(), *info);
    } catch (...) {
        // Out of memory while reporting: the thread goes on unreported.
        clearErrorInfo();
    }
}

} // namespace kav
