#include "rs/startup/DaemonContext.h"

#include "rs/core/RepositoryService.h"
#include "rs/logging/AuditLog.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/operations/ModuleListCache.h"
#include "rs/resmgr/KavQelUtils.h"

#include <ctime>

namespace rs {

int32_t DaemonContext::authenticate(
    const std::string& credential, std::string& responseToken, std::string& userName)
{
    return service_.authenticate(credential, responseToken, userName);
}

int32_t DaemonContext::checkConsumerId(const std::string& consumer)
{
    return service_.checkConsumerId(consumer);
}

int32_t DaemonContext::checkResourceGroup(const std::string& group)
{
    return service_.checkResourceGroup(group);
}

int32_t DaemonContext::checkHostName(const std::string& host)
{
    return service_.checkHostName(host);
}

int32_t DaemonContext::checkHostInGroup(const std::string& host, const std::string& group)
{
    return service_.checkHostInGroup(host, group);
}

int32_t DaemonContext::checkRole(
    const std::string& user, const std::string& consumer, int level, std::string& out)
{
    return service_.checkRole(user, consumer, level, out);
}

int32_t DaemonContext::enqueue(std::unique_ptr<Work> work)
{
    return service_.enqueue(work.release());
}

bool DaemonContext::runAtOnce(Work& work)
{
    return service_.runAtOnce(work);
}

const std::string& DaemonContext::storageDir() const
{
    return service_.storageDir();
}

kav::KavFileCache& DaemonContext::fileCache()
{
    return *kav::KavFileCache::instance();
}

modules::ModuleListCache& DaemonContext::moduleLists()
{
    return modules::ModuleListCache::instance();
}

DeploymentRuntime* DaemonContext::deployment()
{
    return service_.deployment();
}

void DaemonContext::audit(uint32_t number, const kav::Params& params, bool isError)
{
    kav::audit::writeMessage(number, params, isError);
}

void DaemonContext::auditText(const std::string& text, bool isError)
{
    kav::audit::write(text, isError);
}

int32_t DaemonContext::now()
{
    return static_cast<int32_t>(std::time(nullptr));
}

bool DaemonContext::logonRequired() const
{
    return service_.logonRequired();
}

bool DaemonContext::signalShutdown()
{
    return service_.signalShutdown();
}

ProductVersion DaemonContext::productVersion()
{
    const QelVersion version = KavQelUtils::instance().getQelVersion();
    return ProductVersion { version.major, version.minor, version.patch };
}

} // namespace rs
