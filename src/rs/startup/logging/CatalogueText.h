#pragma once
// The catalogue text of a message number for log lines: the formatted
// message, or, when the catalogue cannot give one (not initialised, number
// missing), "message <number>" followed by the parameters, so that a log line
// still says what happened. The catalogue's failure record is discarded: a
// missing text never fails the operation that logs. Thread-safe.

#include "common/KavErrorInfo.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kav {

// The formatted catalogue message, or nothing when the catalogue cannot give
// it (the catalogue's failure record is discarded).
std::optional<std::string> formatCatalogueMessage(uint32_t number, const Params& params = {});

std::string catalogueText(uint32_t number, const Params& params = {});

} // namespace kav
