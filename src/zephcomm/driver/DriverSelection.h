#pragma once
// The operator's choice of transport driver for a process, from the
// environment: RS_DRIVER names the driver ("TCPIPv4", "TCPIPv4SSL"),
// RS_DRIVER_ARG is its argument (for the SSL driver "SSL[NAME=value,...]").
// Unset or empty means the default (plain TCP, no argument).
//
// Stateless; reads the environment at each call.

#include <optional>
#include <string>

namespace zephcommdrv {

inline constexpr const char* kDriverVariable = "RS_DRIVER";
inline constexpr const char* kDriverArgumentVariable = "RS_DRIVER_ARG";

struct DriverSelection {
    std::optional<std::string> name;
    std::optional<std::string> argument;
};

DriverSelection driverSelectionFromEnvironment();

// The pointer create_IO_Driver and zephcomm::init take: null when absent.
inline const char* wordOrNull(const std::optional<std::string>& word)
{
    return word ? word->c_str() : nullptr;
}

} // namespace zephcommdrv
