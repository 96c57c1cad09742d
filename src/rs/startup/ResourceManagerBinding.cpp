#include "rs/startup/ResourceManagerBinding.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/resmgr/ZORResManager.h"

namespace rs {

namespace {

using rs::resmgr::ZORResManager;

// The service's checks over the resource manager client singleton.
class ZorAccess final : public ResourceManagerAccess {
public:
    int32_t checkUserRole(const std::string& user, const std::string& consumer, int level, std::string&) override
    {
        bool permitted = false;
        int32_t result = ZORResManager::instance().checkUserRole(user, consumer, level, permitted);
        if (result < 0)
            return result;
        if (!permitted)
            return kav::setError(kav::rc::RS_PERMISSION_DENIED, "role level not held", KAV_LOCATION,
                                 { user, consumer });
        return result;
    }
    int32_t consumersOfUser(const std::string& user, std::vector<std::string>& consumers) override
    {
        return ZORResManager::instance().checkUserRole(user, consumers);
    }
    int32_t checkConsumer(const std::string& consumer) override
    {
        return ZORResManager::instance().checkConsumer(consumer, "");
    }
    int32_t hostsOfGroup(const std::string& group, std::vector<std::string>& hosts) override
    {
        return ZORResManager::instance().getHostGroupInfo(group, hosts);
    }
    int32_t unregisterConsumer(const std::string& consumer) override
    {
        return ZORResManager::instance().unregisterConsumer(consumer);
    }
};

} // namespace

void initResourceManager(const std::string& clientName)
{
    int32_t result = ZORResManager::instance().init(clientName, 1, 1);
    if (result < 0)
        kav::rethrowError(kav::takeErrorInfo());
}

void registerServiceUrl(const std::string& clientName, const std::string& url)
{
    ZORResManager::instance().registerURL({ clientName }, { url });
}

void cleanupResourceManager()
{
    ZORResManager::instance().cleanup();
}

std::unique_ptr<ResourceManagerAccess> makeResourceManagerAccess()
{
    return std::make_unique<ZorAccess>();
}

} // namespace rs
