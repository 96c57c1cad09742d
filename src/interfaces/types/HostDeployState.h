#pragma once
// The deployment state of one host of a package. The numbers travel on the
// wire (status lists, the deploy command's reports) and in the persisted
// state, so they never change.

#include <cstddef>
#include <cstdint>
#include <string>

namespace rs {

enum HostDeployState : uint32_t {
    HOST_STATE_NONE = 0, // no state; as a filter: every host
    HOST_NOT_STARTED = 1,
    HOST_ALLOCATING = 2,
    HOST_ALLOCATED = 3,
    HOST_WAITING = 4,
    HOST_DOWNLOADING = 5,
    HOST_RUNNING = 6,
    HOST_INSTALLED = 7,
    HOST_UNINSTALLED = 8,
    HOST_ERROR = 9,
    HOST_CANCELLED = 10,
};

constexpr uint32_t kHostDeployStateCount = 11;

// The display string of a state ("" for 0, "NOT STARTED", ...), or null for
// a value of kHostDeployStateCount or more.
const char* hostDeployStateName(uint32_t state);

// What every log line, audit record, error text and listing shows for a
// state: its display string, or "UNKNOWN(<decimal value>)" for a value
// outside the table (the deploy command reports any 32-bit value, and the
// service keeps what it was told).
std::string hostDeployStateText(uint32_t state);

// The width of the longest display string, for aligned tables.
size_t hostDeployStateNameWidth();

} // namespace rs
