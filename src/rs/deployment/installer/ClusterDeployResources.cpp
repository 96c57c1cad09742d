// The deployment runs' way to the cluster: IDeployResources over the
// resource manager client singleton.

#include "rs/deployment/installer/IDeployResources.h"
#include "rs/deployment/installer/RsResAlloc.h"

#include "rs/resmgr/VrmResource.h"
#include "rs/resmgr/ZORResManager.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

namespace rs {

namespace {

class ClusterDeployResources final : public IDeployResources {
public:
    int registerConsumer(
        const std::string& registration, const std::string& consumer, RsResAlloc* owner) override
    {
        // No schedule interval: a run needs no house-keeping period of its own.
        return manager().registerConsumer(
            registration, owner, "RSDEPLOY " + owner->request().package, 0, consumer);
    }
    int unregisterConsumer(const std::string& registration) override
    {
        return manager().unregisterConsumer(registration);
    }
    int getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts) override
    {
        return manager().getHostGroupInfo(resourceGroup, hosts);
    }
    int getResources(const std::string& registration, int minimum, int maximum,
        const std::string& resourceGroup, const std::string& requirement) override
    {
        // Every host type: the package is looked up per type as each host arrives.
        return manager().getResources(registration, minimum, maximum, "any", resourceGroup, requirement);
    }
    int release(const ResourceHandle& resource) override
    {
        resmgr::VrmResource* slot = slotOf(resource);
        return slot ? manager().release(slot) : notASlot(resource);
    }
    int replace(const ResourceHandle& resource) override
    {
        resmgr::VrmResource* slot = slotOf(resource);
        return slot ? manager().replace(slot, { resource.hostName() }) : notASlot(resource);
    }
    int provisionAs(const ResourceHandle& resource, const std::string& command,
        const std::vector<std::string>& environment, const std::string& runAsUser,
        const std::string& workDir) override
    {
        resmgr::VrmResource* slot = slotOf(resource);
        return slot ? manager().provisionAs(slot, command, environment, runAsUser, workDir)
                    : notASlot(resource);
    }

private:
    static resmgr::ZORResManager& manager() { return resmgr::ZORResManager::instance(); }

    static resmgr::VrmResource* slotOf(const ResourceHandle& resource)
    {
        return dynamic_cast<resmgr::VrmResource*>(resource.slot());
    }

    static int notASlot(const ResourceHandle& resource)
    {
        return kav::setError(kav::rc::ZOR_CALL_FAILED, "the handle holds no resource manager slot",
            KAV_LOCATION, { resource.hostName() });
    }
};

} // namespace

IDeployResources& clusterDeployResources()
{
    static ClusterDeployResources resources;
    return resources;
}

} // namespace rs
