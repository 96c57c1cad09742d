#pragma once
// The service's metrics in the Prometheus text format (version 0.0.4): the
// counters the service keeps while it serves, and the gauges read when the
// page is asked for. No label names a package, host or user.
//
// Pure: renders what it is handed.

#include "common/ServiceCounters.h"
#include "interfaces/types/HostDeployState.h"

#include <array>
#include <cstdint>
#include <string>

namespace rs::http {

// Read at scrape time.
struct MetricsGauges {
    uint64_t workQueueDepth = 0;
    uint64_t deploymentRunsActive = 0;
    std::array<uint64_t, rs::kHostDeployStateCount> hostsByState {};
    uint64_t residentMemoryBytes = 0;
    // What the caches hold, as each one's capacity counts it, and the freed
    // large buffers kept for reuse: the part of the resident size that is
    // kept on purpose.
    uint64_t fileCacheBytes = 0;
    uint64_t indexCacheBytes = 0;
    uint64_t listCacheBytes = 0;
    uint64_t keptLargeBufferBytes = 0;
};

std::string renderMetrics(const kav::ServiceCounters& counters, const MetricsGauges& gauges);

// This process's resident set in bytes (0 when it cannot be read).
uint64_t residentMemoryBytes();

} // namespace rs::http
