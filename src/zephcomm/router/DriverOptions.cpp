#include "zephcomm/router/DriverOptions.h"

namespace zephcomm {

namespace {

DriverOptionsResult failure(std::string message)
{
    DriverOptionsResult result;
    result.ok = false;
    result.error = std::move(message);
    return result;
}

} // namespace

DriverOptionsResult parseDriverOptions(std::string_view text)
{
    DriverOptionsResult result;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view pair = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0 || equals + 1 == pair.size())
            return failure(std::string(kOptionsParseError) + std::string(pair));
        std::string name(pair.substr(0, equals));
        if (!result.options.emplace(name, std::string(pair.substr(equals + 1))).second)
            return failure(kOptionsDuplicateError);
    }
    return result;
}

} // namespace zephcomm
