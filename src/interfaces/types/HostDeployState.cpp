#include "interfaces/types/HostDeployState.h"

#include <algorithm>
#include <cstring>

namespace rs {

namespace {
// Indexed by the state value.
constexpr const char* kStateNames[kHostDeployStateCount] = {
    "",
    "NOT STARTED",
    "ALLOCATING",
    "ALLOCATED",
    "WAITING",
    "DOWNLOADING",
    "RUNNING",
    "INSTALLED",
    "UNINSTALLED",
    "ERROR",
    "CANCELLED",
};
} // namespace

const char* hostDeployStateName(uint32_t state)
{
    return state < kHostDeployStateCount ? kStateNames[state] : nullptr;
}

std::string hostDeployStateText(uint32_t state)
{
    const char* name = hostDeployStateName(state);
    return name ? std::string(name) : "UNKNOWN(" + std::to_string(state) + ")";
}

size_t hostDeployStateNameWidth()
{
    size_t width = 0;
    for (const char* name : kStateNames)
        width = std::max(width, std::strlen(name));
    return width;
}

} // namespace rs
