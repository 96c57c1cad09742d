#pragma once
// Catalogue texts for log and audit lines. Thread-safe; a catalogue failure
// never fails the operation that logs, and never disturbs the thread's
// error information.

#include "common/KavErrorInfo.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kav {

// The formatted catalogue message, or nothing when the catalogue cannot give it.
std::optional<std::string> formatCatalogueMessage(uint32_t number, const Params& params = {});

// The formatted message, or "message <number>" and the parameters, so that a
// log line still says what happened when the catalogue is missing.
std::string logText(uint32_t number, const Params& params = {});

} // namespace kav
