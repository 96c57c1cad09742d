#pragma once
// The one-line rendering of an error record used in logs and operator output:
//   "Code[S<code & 0xFFFFFF>]: <location> <context> <detail> <catalogue text>"
// The catalogue text is the message for the code, formatted with the record's
// parameters (empty when the catalogue has none).

#include "common/KavErrorInfo.h"

#include <log4cxx/level.h>
#include <log4cxx/logger.h>

#include <cstdint>
#include <string>

namespace kav {

std::string errorLine(const IKavErrorInfo& info);

// The catalogue text of a message number (or code) with params; empty when
// the catalogue has none. Leaves the thread's error information as it was.
std::string catalogueText(uint32_t number, const Params& params = {});
void logErrorLine(
    const log4cxx::LoggerPtr& logger, const log4cxx::LevelPtr& level, const IKavErrorInfo& info);

// For the top of a thread, inside a catch block: the exception in flight
// becomes error information as at an operation boundary (location: file and
// line), and its error line is logged at ERROR. Never throws; leaves the
// thread without error information.
void logEscapedException(const log4cxx::LoggerPtr& logger, const char* file, int line) noexcept;

} // namespace kav
