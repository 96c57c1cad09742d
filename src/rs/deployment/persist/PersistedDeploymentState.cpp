#include "rs/deployment/persist/PersistedDeploymentState.h"

#include "common/Loggers.h"
#include "rs/deployment/persist/PstIndexFile.h"
#include "rs/deployment/status/HostStatusTable.h"
#include "rs/i18n/ErrorLine.h"

#include "common/KavTraceDebugger.h"
#include "common/ResultCodes.h"

#include <log4cxx/logger.h>

#include <map>

namespace rs {

namespace {

log4cxx::LoggerPtr& logger()
{
    static log4cxx::LoggerPtr log = kav::loggers::get(kav::loggers::kRepositoryService);
    return log;
}

bool isPersistedState(uint32_t state)
{
    return state == HOST_ALLOCATING || isFinalHostState(state);
}

} // namespace

PersistedDeploymentState::PersistedDeploymentState(const std::string& storageDir, MessageText messageText)
    : messageText_(std::move(messageText))
{
    if (!storageDir.empty())
        file_ = std::make_unique<PstIndexFile>(storageDir);
}

PersistedDeploymentState::~PersistedDeploymentState() = default;

void PersistedDeploymentState::load(HostStatusTable& table)
{
    std::map<std::string, HostStatusMap> packages;
    {
        std::lock_guard lock(mutex_);
        if (!file_)
            return;
        file_->getServiceEntryByName(packages);
    }
    // The table is filled after the file lock is gone: the lock order is table, then file.
    for (auto& [package, hosts] : packages)
        table.restore(package, std::move(hosts));
}

std::string PersistedDeploymentState::allocationLostText(const std::string& package, const std::string& host)
{
    kav::KavErrorInfo lost(kav::rc::RS_HOST_NOT_ALLOCATED, KAV_LOCATION,
        "RepositoryService::updatePersistedState", "host still being allocated", { package, host });
    kav::logErrorLine(logger(), log4cxx::Level::getDebug(), lost);
    return messageText_ ? messageText_(lost) : std::string();
}

void PersistedDeploymentState::update(
    const std::string& package, const std::string& host, const HostStatusEntry& entry)
{
    if (isPersistedState(entry.state))
        update(package, { { host, entry } });
}

void PersistedDeploymentState::update(
    const std::string& package, const std::vector<std::pair<std::string, HostStatusEntry>>& entries)
{
    kav::KavTraceDebugger trace(logger(), "RepositoryService::updatePersistedState()");
    std::lock_guard lock(mutex_);
    if (!file_)
        return;
    HostStatusMap hosts;
    file_->getServiceEntryByName(package, hosts);
    bool changed = false;
    for (const auto& [host, entry] : entries) {
        if (!isPersistedState(entry.state))
            continue;
        HostStatusEntry& stored = hosts[host];
        stored.stamp = entry.stamp;
        stored.state = entry.state == HOST_ALLOCATING ? HOST_ERROR : entry.state;
        stored.errorText
            = entry.state == HOST_ALLOCATING ? allocationLostText(package, host) : entry.errorText;
        changed = true;
    }
    if (!changed)
        return;
    file_->addServiceEntry(package, hosts);
    // A failed write is logged by the file; its lines keep the change for the next write.
    file_->writeServiceFile();
}

void PersistedDeploymentState::remove(HostStatusTable& table, const std::string& package)
{
    kav::KavTraceDebugger trace(logger(), "RepositoryService::removePersistedState()");
    if (package.empty() || !table.removePackage(package))
        return;
    std::lock_guard lock(mutex_);
    if (!file_)
        return;
    file_->removeServiceEntryByName(package);
    file_->writeServiceFile();
}

} // namespace rs
