#pragma once
// The driver options string: comma-separated name=value pairs applied to
// every accepted driver channel. Pure functions: callable from any thread.

#include <map>
#include <string>
#include <string_view>

namespace zephcomm {

using DriverOptions = std::map<std::string, std::string>;

struct DriverOptionsResult {
    bool ok = true;
    std::string error; // the message of a failed parse
    DriverOptions options;
};

// An empty string is valid and gives no options. A pair without "=", with an
// empty name or an empty value fails as unparsable; a name given twice
// fails as duplicated.
DriverOptionsResult parseDriverOptions(std::string_view text);

inline constexpr const char* kOptionsParseError = "Error in parsing driver options ";
inline constexpr const char* kOptionsDuplicateError = "Error: driver options can't be duplicated";

} // namespace zephcomm
