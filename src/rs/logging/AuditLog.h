#pragma once
// The audit log: the logger "RSAuditlogger" writing one line per audited
// action to "repositoryservice.audit.log" in the audit directory. Every audit
// line starts with the same time-stamp prefix, built by auditLine() alone.
//
// Threads: init() runs once on the main thread during start-up; write() may
// be called from any thread (log4cxx serialises the appender).

#include "common/KavErrorInfo.h"
#include "rs/logging/ConfParam.h"

#include <chrono>
#include <optional>
#include <string>

namespace kav::audit {

inline constexpr const char* kFileName = "repositoryservice.audit.log";

// Where the audit directory may come from, in order of preference.
struct DirectorySources {
    std::optional<std::string> configuredDir; // QEL_AUDIT_LOGDIR
    bool gridMode = false;
    std::string qelTop; // empty when unset
    std::string narvHome; // empty when unset

    // QEL_AUDIT_LOGDIR through the reader, QEL_TOP and NARV_HOME from the environment.
    static DirectorySources collect(const ConfParamReader& params, bool gridMode);
};

// The audit directory the sources give, or nothing when none applies.
std::optional<std::string> directoryFor(const DirectorySources& sources);

// Creates the audit logger's appender. Returns the audit file's path, or
// nothing when no audit directory applies or it cannot be used (each case
// logged at WARN with its catalogue message, which `why` receives as well).
std::optional<std::string> init(const DirectorySources& sources, std::string* why = nullptr);

// "YYYY-MM-DD hh:mm:ss.mmm ZONE " + text, in local time.
std::string auditLine(std::chrono::system_clock::time_point when, const std::string& text);

// Writes auditLine(now, text) on the audit logger, at ERROR when isError,
// else at INFO.
void write(const std::string& text, bool isError = false);

// Writes the catalogue message `number` formatted with params, or the text
// "ERROR" when the catalogue cannot format it.
void writeMessage(uint32_t number, const Params& params, bool isError = false);

} // namespace kav::audit
