#pragma once
// The "tls" scenario: getModule of 64 MiB from a daemon on the SSL driver,
// next to nginx serving the same files over HTTPS with the same certificate
// and key (an EC P-256 key made for the run) and the same TLS 1.3 suite,
// cached and uncached as in the plain download scenario, in turns. The
// daemon's and its client's CPU per 64 MiB go into the note: on a busy
// machine they say more than the rates.
//
// The client library loads one driver per process, so the daemon's client
// is a child rsbench on the SSL driver (`rsbench tls-client ...`).
//
// Threads: run by the scenarios' thread.

#include "tools/rsbench/Report.h"
#include "tools/rsbench/Scenarios.h"

#include <functional>
#include <ostream>

namespace rsbench {

void runTlsDownload(const BenchOptions& options, std::ostream& progress, const std::function<void(Row)>& add);

// The child's side, given the arguments after "tls-client":
//   upload PORT PREFIX COUNT BYTES      prints "name version" per module
//   download PORT DAEMON_PID BYTES SECONDS NAME:VERSION...   prints MiB/s,
//       the MiB timed, and the CPU seconds of the client and the daemon meanwhile
// Returns the process's exit status.
int tlsClientMain(int argc, char** argv);

} // namespace rsbench
