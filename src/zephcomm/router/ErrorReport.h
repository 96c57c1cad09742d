#pragma once
// How the channel layer, proxies and stubs report a failure: an error record
// with the code and its name as key becomes the calling thread's error
// information, and its error line is logged at ERROR on the failing class's
// logger. Callable from any thread.

#include <log4cxx/logger.h>

#include <cstdint>
#include <string>

namespace zephcomm {

// Returns `code`.
int32_t reportError(const log4cxx::LoggerPtr& logger, int32_t code, const char* name,
    const std::string& detail, const char* file, int line);

// For a driver thread, inside a catch block: a callback let the exception in
// flight escape. It becomes error information as at an operation boundary
// (0x81000001 with its text, 0xC0000000, or the KavException's own record)
// and its error line is logged at ERROR. Never throws; leaves the thread
// without error information.
void reportEscapedException(const log4cxx::LoggerPtr& logger, const char* file, int line) noexcept;

// The named loggers of the library, looked up once and never destroyed:
// driver threads may still log while the process exits.
struct Loggers {
    static const log4cxx::LoggerPtr& router();
    static const log4cxx::LoggerPtr& channel();
    static const log4cxx::LoggerPtr& acceptor();
    static const log4cxx::LoggerPtr& connector();
    static const log4cxx::LoggerPtr& proxy();
    static const log4cxx::LoggerPtr& stub();
    static const log4cxx::LoggerPtr& driver();
    static const log4cxx::LoggerPtr& protocol();
    // The level of the trace lines (ALL), looked up once: the check runs for
    // every message and reference.
    static const log4cxx::LevelPtr& trace();
};

} // namespace zephcomm

#define ZEPHCOMM_REPORT(logger, code, detail)                                                                \
    ::zephcomm::reportError((logger), ::kav::rc::code, #code, (detail), __FILE__, __LINE__)
