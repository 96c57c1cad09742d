#include "rs/logging/ProcessProperties.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace kav {

std::string localHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    return name;
}

void setProcessProperties(const std::string& appName)
{
    ::setenv("log4cxx_pid", std::to_string(::getpid()).c_str(), 1);
    ::setenv("log4cxx_hostname", localHostName().c_str(), 1);
    if (!appName.empty())
        ::setenv("log4cxx_appname", appName.c_str(), 1);
}

} // namespace kav
