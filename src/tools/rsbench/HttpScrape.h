#pragma once
// The "http" scenario: what the HTTP side door costs the RPC service. The
// getRSVersion rate of a daemon without the side door, next to that of a
// daemon with it open while a client polls the status page's data and
// scrapes /metrics once a second each, measured in turns.
//
// Threads: run by the scenarios' thread; starts and joins its poller.

#include "tools/rsbench/Report.h"
#include "tools/rsbench/Scenarios.h"

#include <functional>
#include <ostream>

namespace rsbench {

void runHttpScrape(const BenchOptions& options, std::ostream& progress, const std::function<void(Row)>& add);

} // namespace rsbench
