#include "rs/logging/LogDirectories.h"

#include <unistd.h>

#include <cstdlib>

namespace kav {

namespace {

bool accessible(const std::string& path)
{
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

std::string envOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

LogDirectories LogDirectories::compute(const std::string& qelTop, const std::string& narvHome)
{
    LogDirectories dirs;
    dirs.topBased = !qelTop.empty() && qelTop != narvHome;
    dirs.top = dirs.topBased ? qelTop : (accessible(narvHome) ? narvHome : std::string("."));
    std::string confDir = dirs.top + (dirs.topBased ? "/eservice/rs/conf" : "/conf");
    dirs.confDir = accessible(confDir) ? std::move(confDir) : std::string(".");
    std::string logDir = dirs.top + (dirs.topBased ? "/eservice/rs/log" : "/logs");
    dirs.logDir = accessible(logDir) ? std::move(logDir) : dirs.top + "/.";
    return dirs;
}

LogDirectories LogDirectories::fromEnvironment()
{
    return compute(envOrEmpty("QEL_TOP"), envOrEmpty("NARV_HOME"));
}

} // namespace kav
