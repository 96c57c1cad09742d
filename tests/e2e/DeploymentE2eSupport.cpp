#include "e2e/DeploymentE2eSupport.h"

#include "common/ResultCodes.h"

#include <thread>

namespace rs::e2e {

std::vector<HostSpec> sixHosts()
{
    return { { "n1", "linux", "" }, { "n2", "linux", "" }, { "n3", "linux", "" }, { "n4", "solaris", "" },
        { "n5", "solaris", "" }, { "n6", "solaris", "" } };
}

int32_t whenNoInstallerRuns(const std::function<int32_t()>& call, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int32_t code = call();
    while (code == kav::rc::RS_INSTALLER_RUNNING && std::chrono::steady_clock::now() < deadline) {
        // Finished installers go on the daemon's house-keeping round, which
        // tells nobody; the call is tried again.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        code = call();
    }
    return code;
}

} // namespace rs::e2e
