#pragma once
// Deployment end-to-end helpers beside the harness's deployment cluster
// (src/tools/harness): the six hosts most tests use, and waiting out an
// installer that is still cleaning up.

#include "e2e/E2eSupport.h"
#include "tools/harness/DeploymentCluster.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace rs::e2e {

// Six hosts in two types: n1-n3 "linux", n4-n6 "solaris".
std::vector<HostSpec> sixHosts();

// Repeats `call` while an installer of the package still finishing its
// clean-up refuses it (RS_INSTALLER_RUNNING), for at most `limit`; the last code.
int32_t whenNoInstallerRuns(
    const std::function<int32_t()>& call, std::chrono::seconds limit = std::chrono::seconds(40));

} // namespace rs::e2e
