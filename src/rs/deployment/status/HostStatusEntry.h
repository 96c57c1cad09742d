#pragma once
// One (package, host) deployment record of the host status table, and the
// per-package host map. Plain value types; the table's mutex guards them
// while they are in the table.

#include "interfaces/types/HostDeployState.h"
#include "rs/deployment/status/ResourceHandle.h"

#include <cstdint>
#include <map>
#include <string>

namespace rs {

struct HostStatusEntry {
    uint32_t state = HOST_ALLOCATING; // a HostDeployState
    std::string errorText; // set when the state becomes ERROR
    int32_t stamp = 0; // seconds since 1970 of the last state change
    ResourceHandle resource; // empty while nothing is allocated
    std::string userName; // requester of the run
    bool uninstall = false; // belongs to an uninstall run
};

// Host name -> entry, ordered by host name.
using HostStatusMap = std::map<std::string, HostStatusEntry>;

// States from which a host moves on only through a new run.
inline bool isFinalHostState(uint32_t state)
{
    return state >= HOST_INSTALLED;
}

} // namespace rs
