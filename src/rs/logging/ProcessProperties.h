#pragma once
// The process properties that logging configuration files refer to as
// variables: log4cxx_pid, log4cxx_hostname and, for a non-empty application
// name, log4cxx_appname. Set in the process environment; main thread only,
// before other threads start.

#include <string>

namespace kav {

void setProcessProperties(const std::string& appName);

// The local host name ("localhost" when it cannot be read).
std::string localHostName();

} // namespace kav
