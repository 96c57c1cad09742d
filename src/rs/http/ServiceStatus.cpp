#include "rs/http/ServiceStatus.h"

#include "common/KavErrorInfo.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "rs/core/HostNameMatch.h"
#include "rs/core/ResourceManagerAccess.h"
#include "rs/core/ServiceContext.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/deployment/operations/PackageStore.h"
#include "rs/http/MetricsText.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/operations/ModuleListCache.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

#include "zephcomm/wire/LargeBuffers.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <unistd.h>

namespace rs::http {

namespace {

using nlohmann::json;

json hostsJson(const std::vector<HostStatusTable::HostView>& hosts, const std::vector<std::string>* only)
{
    const HostResolver resolve = systemHostResolver();
    json out = json::array();
    for (const auto& view : hosts) {
        if (only && std::none_of(only->begin(), only->end(), [&](const std::string& host) {
                return compareHostName(host, view.host, resolve);
            }))
            continue;
        out.push_back({ { "host", view.host }, { "state", hostDeployStateText(view.state) },
            { "error", view.errorText } });
    }
    return out;
}

json modulesJson(const RepositoryAppList& list)
{
    json out = json::array();
    for (const RepositoryAppEntry& entry : list.entries()) {
        if (entry.deleted)
            continue;
        out.push_back(
            { { "module", entry.moduleName }, { "version", entry.version }, { "owner", entry.owner },
                { "file", entry.fileName }, { "size", entry.fileSize }, { "added", entry.addTime } });
    }
    return out;
}

json packagesJson(const AppDplList& list)
{
    json out = json::array();
    for (const AppDplEntry& entry : list.entries)
        out.push_back(
            { { "package", entry.packageName }, { "type", entry.packageType }, { "owner", entry.owner },
                { "file", entry.fileName }, { "size", entry.fileSize }, { "added", entry.addTime } });
    return out;
}

} // namespace

ServiceStatus::ServiceStatus(ServiceContext& context, ResourceManagerAccess& resourceManager,
    const kav::ServiceCounters& counters, std::function<size_t()> queueDepth)
    : context_(context)
    , resourceManager_(resourceManager)
    , counters_(counters)
    , queueDepth_(std::move(queueDepth))
{
}

std::optional<std::string> ServiceStatus::logon(const std::string& credential)
{
    std::string token;
    std::string user;
    if (context_.authenticate(credential, token, user) < 0) {
        kav::clearErrorInfo();
        return std::nullopt;
    }
    return user;
}

bool ServiceStatus::permitted(const std::string& user, const std::string& consumer, int roleLevel)
{
    std::string out;
    if (context_.checkRole(user, consumer, roleLevel, out) >= 0)
        return true;
    kav::clearErrorInfo();
    return false;
}

bool ServiceStatus::permittedOnOwnConsumer(const std::string& user, int roleLevel)
{
    std::vector<std::string> consumers;
    if (resourceManager_.consumersOfUser(user, consumers) < 0) {
        kav::clearErrorInfo();
        return false;
    }
    return std::any_of(consumers.begin(), consumers.end(),
        [&](const std::string& consumer) { return permitted(user, consumer, roleLevel); });
}

std::string ServiceStatus::statusJson(const std::optional<std::string>& user, const std::string& group)
{
    const std::string& storage = context_.storageDir();
    json out;
    out["user"] = user ? json(*user) : json(nullptr);
    out["group"] = group;

    json deployments = json::array();
    DeploymentRuntime* deployment = context_.deployment();
    if (deployment
        && (!user
            || permittedOnOwnConsumer(*user, IAppDeployment::getPackageStatus_Call::facts().roleLevel))) {
        std::vector<std::string> groupHosts;
        const bool filtered = !group.empty();
        if (filtered && resourceManager_.hostsOfGroup(group, groupHosts) < 0)
            kav::clearErrorInfo(); // an unknown group shows no host
        for (const auto& [package, hosts] : deployment->hostStatusTable().snapshot())
            deployments.push_back(
                { { "package", package }, { "hosts", hostsJson(hosts, filtered ? &groupHosts : nullptr) } });
    }
    out["deployments"] = std::move(deployments);

    out["packages"]
        = (!user || permittedOnOwnConsumer(*user, IAppDeployment::getPackageList_Call::facts().roleLevel))
        ? packagesJson(PackageStore(context_).list(""))
        : json::array();

    json consumers = json::array();
    for (const std::string& consumer : modules::consumerPaths(storage)) {
        if (user && !permitted(*user, consumer, IRepository::getModuleList_Call::facts().roleLevel))
            continue;
        auto records = context_.moduleLists().records(modules::indexDirectory(storage, consumer), consumer);
        consumers.push_back({ { "consumer", consumer }, { "modules", modulesJson(*records) } });
    }
    out["consumers"] = std::move(consumers);
    return out.dump();
}

std::string ServiceStatus::metricsText()
{
    MetricsGauges gauges;
    gauges.workQueueDepth = queueDepth_();
    if (DeploymentRuntime* deployment = context_.deployment()) {
        gauges.deploymentRunsActive = deployment->installers().size();
        for (const auto& [package, hosts] : deployment->hostStatusTable().snapshot())
            for (const auto& view : hosts)
                if (view.state < gauges.hostsByState.size())
                    ++gauges.hostsByState[view.state];
    }
    gauges.residentMemoryBytes = residentMemoryBytes();
    gauges.fileCacheBytes = context_.fileCache().currentSize();
    gauges.indexCacheBytes = kav::IndexCache::instance().cachedBytes();
    gauges.listCacheBytes = context_.moduleLists().keptBytes();
    gauges.keptLargeBufferBytes = zephcomm::wire::LargeBuffers::allocator().keptBytes();
    return renderMetrics(counters_, gauges);
}

// The daemon opens the side door only once the service's address is
// registered with the resource manager, so that condition always holds here.
bool ServiceStatus::ready(std::string& why)
{
    if (!context_.deployment()) {
        why = "the service is not listening";
        return false;
    }
    if (::access(context_.storageDir().c_str(), W_OK) != 0) {
        why = "the storage directory is not writable";
        return false;
    }
    return true;
}

} // namespace rs::http
