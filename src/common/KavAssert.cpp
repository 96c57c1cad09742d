#include "common/KavAssert.h"

#include <log4cxx/logger.h>

#include <sstream>

namespace kav {

void logAssertFailure(const char* expression, const char* file, int line)
{
    auto root = log4cxx::Logger::getRootLogger();
    if (!root->isErrorEnabled())
        return;
    std::ostringstream text;
    text << "KAV_ASSERT: <" << expression << "> failed File: " << file << " Line: " << line;
    root->forcedLog(log4cxx::Level::getError(), text.str(), log4cxx::spi::LocationInfo(file, file, "", line));
}

} // namespace kav
