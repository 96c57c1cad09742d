#pragma once
// Where logging looks for its configuration and writes its files: the top
// directory (QEL_TOP, else NARV_HOME, else "."), the configuration directory
// and the log directory below it.

#include <string>

namespace kav {

struct LogDirectories {
    std::string top;
    std::string confDir;
    std::string logDir;
    bool topBased = false; // QEL_TOP set and different from NARV_HOME

    // Computed from the values of QEL_TOP and NARV_HOME (empty when unset).
    static LogDirectories compute(const std::string& qelTop, const std::string& narvHome);
    // Computed from the process environment.
    static LogDirectories fromEnvironment();
};

} // namespace kav
