#include "platform/zor/HostBackend.h"

#include "platform/zor/LocalHosts.h"
#include "platform/zor/SlurmHosts.h"

namespace zor {

std::shared_ptr<HostBackend> makeHostBackend(
    const std::shared_ptr<ClusterDescription>& description, const HostBackend::Context& context)
{
    if (description->usesSlurm())
        return SlurmHosts::attach(description, context);
    return std::make_shared<LocalHosts>(description, context);
}

} // namespace zor
