#pragma once
// What an operator needs to hear about the configuration before the service
// runs: each check returns the problem in words (naming the variable, file
// and line, and what happens because of it), or nothing when all is well.
// The daemon runs them at start-up (refusing to start on the fatal ones) and
// all of them for `rs --check`, which starts nothing.
//
// Threads: main thread only, during start-up.

#include "rs/startup/DaemonConfig.h"

#include <optional>
#include <string>
#include <vector>

namespace rs {

using Problem = std::optional<std::string>;

// The cluster description the resource manager library loads: a file named by
// ZOR_CLUSTER_FILE that cannot be read, or one that the library refuses
// (its own text, with file, line and key).
Problem clusterDescriptionProblem(const EnvLookup& env);
// ZOR_CLUSTER_FILE unset and no $QEL_TOP/conf/cluster.toml: the library then
// knows this host alone and no parameters, so nothing else can work.
Problem missingClusterFileProblem(const EnvLookup& env);
// No security plug-in configured (the service does not start).
Problem securityPluginProblem();
// The password file of the "sec_passwd" plug-in missing or unreadable: the
// service would refuse every logon until it is there.
Problem passwordFileProblem();
// The storage directory: not a directory, not readable and writable, or (when
// it does not exist) not creatable.
Problem storageDirectoryProblem(const std::string& dir);
// Why nothing can listen on the port now (the system's text), e.g. "Address
// already in use".
Problem portProblem(int32_t port);
// The message catalogue cannot be found.
Problem catalogueProblem();
// The audit directory that RS_AUDIT_LOG=ON would write to cannot be used.
Problem auditDirectoryProblem(bool gridMode);

// Every check, for `rs --check`: the problems on standard error as
// "rs: error: ..." and "rs: warning: ..." lines; returns the exit status
// (0 usable, 1 not).
int runConfigurationCheck(DaemonConfig config, const std::vector<std::string>& environmentWarnings);

} // namespace rs
