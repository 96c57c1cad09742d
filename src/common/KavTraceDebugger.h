#pragma once
// Scope trace: logs "Entered <name>" when created and "Leaving <name>" when
// destroyed, both at log4cxx's ALL level (normally suppressed).

#include <log4cxx/logger.h>

#include <string>

namespace kav {

class KavTraceDebugger {
public:
    KavTraceDebugger(const log4cxx::LoggerPtr& logger, std::string name);
    ~KavTraceDebugger();
    KavTraceDebugger(const KavTraceDebugger&) = delete;
    KavTraceDebugger& operator=(const KavTraceDebugger&) = delete;

private:
    // A copy: callers may pass a temporary pointer.
    log4cxx::LoggerPtr logger_;
    std::string name_;
};

} // namespace kav
