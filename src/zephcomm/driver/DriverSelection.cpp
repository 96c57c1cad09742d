#include "zephcomm/driver/DriverSelection.h"

#include <cstdlib>

namespace zephcommdrv {

namespace {

std::optional<std::string> variable(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

} // namespace

DriverSelection driverSelectionFromEnvironment()
{
    return DriverSelection { variable(kDriverVariable), variable(kDriverArgumentVariable) };
}

} // namespace zephcommdrv
