#include "common/KavTraceDebugger.h"

namespace kav {

KavTraceDebugger::KavTraceDebugger(const log4cxx::LoggerPtr& logger, std::string name)
    : logger_(logger), name_(std::move(name))
{
    LOG4CXX_LOG(logger_, log4cxx::Level::getAll(), "Entered " << name_);
}

KavTraceDebugger::~KavTraceDebugger()
{
    LOG4CXX_LOG(logger_, log4cxx::Level::getAll(), "Leaving " << name_);
}

} // namespace kav
