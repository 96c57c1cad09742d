#include "rs/resmgr/ResManagerCommon.h"

#include "common/KavErrorInfo.h"
#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "platform/zor/zor.h"
#include "rs/i18n/ErrorLine.h"

#include <memory>
#include <sstream>

namespace rs::resmgr {

log4cxx::LoggerPtr resManagerLogger()
{
    return kav::loggers::get(kav::loggers::kResManager);
}

int32_t libraryFailure(const log4cxx::LoggerPtr& logger, const std::string& what, const char* location)
{
    int err = zorerrno;
    std::string text = zor_strerror(err);
    std::ostringstream line;
    line << what << " with zorerrno=" << err << ", the error message returned from ZOR is: " << text;
    LOG4CXX_ERROR(logger, line.str());
    return kav::setError(kav::rc::ZOR_CALL_FAILED, line.str(), location, { what, std::to_string(err), text });
}

int32_t assertionFailed(const char* expression, const char* file, int line)
{
    return kav::setError(kav::rc::ZOR_CALL_FAILED, std::string("KAV_ASSERT: <") + expression + "> failed",
        kav::makeLocation(file, line));
}

void logAndDropError(const log4cxx::LoggerPtr& logger, const char* what)
{
    std::unique_ptr<kav::KavErrorInfo> info(kav::takeErrorInfo());
    if (info)
        kav::logErrorLine(logger, log4cxx::Level::getError(), *info);
    else
        LOG4CXX_ERROR(logger, what << " failed without error information");
}

const char* hostStateName(int state)
{
    static const char* names[] = { "HOST_OK", "HOST_UNAVAIL", "HOST_CLOSE", "HOST_REMOVED", "HOST_INACTIVE" };
    return state >= 0 && state < 5 ? names[state] : "UNKNOWN";
}

const char* containerStateName(int state)
{
    static const char* names[] = { "CONTAINER_NULL", "CONTAINER_START", "CONTAINER_RUN", "CONTAINER_SUSPEND",
        "CONTAINER_FINISH", "CONTAINER_UNKNOWN", "CONTAINER_ZOMBIE" };
    return state >= 0 && state < 7 ? names[state] : "UNKNOWN";
}

std::string maskCredential(const std::string& credential)
{
    if (credential.empty())
        return "<none>";
    size_t colon = credential.find(':');
    return (colon == std::string::npos ? std::string() : credential.substr(0, colon + 1)) + "****";
}

} // namespace rs::resmgr
