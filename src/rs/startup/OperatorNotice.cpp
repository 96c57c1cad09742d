#include "rs/startup/OperatorNotice.h"

#include "common/Loggers.h"

#include <iostream>

namespace rs {

void tellOperator(const std::string& kind, const std::string& text)
{
    LOG4CXX_WARN(kav::loggers::get(kav::loggers::kDaemon), text);
    std::cerr << "rs: " << kind << ": " << text << std::endl;
}

} // namespace rs
