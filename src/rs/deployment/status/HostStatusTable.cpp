#include "rs/deployment/status/HostStatusTable.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"

#include <algorithm>
#include <utility>

#include <log4cxx/logger.h>

namespace rs {

namespace {

log4cxx::LoggerPtr logger()
{
    static log4cxx::LoggerPtr log = kav::loggers::get(kav::loggers::kRepositoryService);
    return log;
}

bool matchesFilter(uint32_t state, uint32_t filter)
{
    switch (filter) {
    case HostStatusTable::kFilterAll:
        return true;
    case HostStatusTable::kFilterAllocation:
        return state == HOST_ALLOCATING || state == HOST_ALLOCATED;
    case HostStatusTable::kFilterInProgress:
        return state == HOST_DOWNLOADING || state == HOST_RUNNING;
    case HostStatusTable::kFilterFinished:
        return state == HOST_INSTALLED || state == HOST_UNINSTALLED;
    default:
        return state == filter;
    }
}

// The state that ends a run of this kind and that the run never leaves.
uint32_t runFinalState(bool uninstall)
{
    return uninstall ? HOST_UNINSTALLED : HOST_INSTALLED;
}

uint32_t auditMessageFor(bool uninstall, bool failed)
{
    if (uninstall)
        return failed ? kAuditUninstallFailed : kAuditUninstallDone;
    return failed ? kAuditInstallFailed : kAuditInstallDone;
}

} // namespace

HostStatusTable::HostStatusTable(IHostStatusSink& sink, Clock clock)
    : sink_(sink)
    , clock_(std::move(clock))
{
}

int32_t HostStatusTable::now() const
{
    return clock_ ? clock_() : static_cast<int32_t>(std::time(nullptr));
}

HostStatusEntry* HostStatusTable::findEntry(const std::string& package, const std::string& host)
{
    auto pkg = packages_.find(package);
    if (pkg == packages_.end()) {
        LOG4CXX_DEBUG(logger(), "Could not find package: " << package);
        return nullptr;
    }
    auto entry = pkg->second.find(host);
    if (entry == pkg->second.end()) {
        LOG4CXX_DEBUG(logger(), "No host entry for package: " << package);
        LOG4CXX_DEBUG(logger(), "No host entry for host: " << host);
        return nullptr;
    }
    return &entry->second;
}

void HostStatusTable::changeTogether(const std::string& package, const std::function<void()>& changes)
{
    std::lock_guard lock(mutex_);
    heldPackage_ = &package;
    heldBack_.clear();
    auto hand = [&] {
        heldPackage_ = nullptr;
        if (!heldBack_.empty())
            sink_.persistAll(package, std::exchange(heldBack_, {}));
    };
    try {
        changes();
    } catch (...) {
        hand(); // what changed before the failure is persisted all the same
        throw;
    }
    hand();
}

void HostStatusTable::persist(
    const std::string& package, const std::string& host, const HostStatusEntry& entry)
{
    if (!heldPackage_ || *heldPackage_ != package) {
        sink_.persist(package, host, entry);
        return;
    }
    auto held
        = std::find_if(heldBack_.begin(), heldBack_.end(), [&](const auto& h) { return h.first == host; });
    if (held != heldBack_.end())
        held->second = entry;
    else
        heldBack_.emplace_back(host, entry);
}

bool HostStatusTable::createHMElement(const std::string& package, const std::string& host,
    const std::string& userName, ResourceHandle resource, bool uninstall)
{
    std::lock_guard lock(mutex_);
    HostStatusEntry entry;
    entry.state = HOST_ALLOCATING;
    entry.stamp = now();
    entry.resource = std::move(resource);
    entry.userName = userName;
    entry.uninstall = uninstall;

    HostStatusMap& hosts = packages_[package];
    if (auto old = hosts.find(host); old != hosts.end()) {
        entry.state = old->second.state;
        if (entry.state == HOST_ERROR)
            entry.errorText = old->second.errorText;
    }
    if (entry.resource && entry.state == HOST_ALLOCATING)
        entry.state = HOST_ALLOCATED;

    HostStatusEntry& stored = hosts[host] = std::move(entry);
    persist(package, host, stored);
    return stored.state == HOST_ALLOCATED;
}

int HostStatusTable::updateHMStatus(const std::string& package, const std::string& host,
    const std::string& userName, uint32_t newState, const kav::IKavErrorInfo* error, bool uninstall)
{
    std::lock_guard lock(mutex_);
    HostStatusEntry* entry = findEntry(package, host);
    if (!entry)
        return kNoEntry;
    if (entry->state == HOST_CANCELLED || entry->state == runFinalState(uninstall))
        return kStateFinal;

    if (!userName.empty()) {
        entry->userName = userName;
        entry->uninstall = uninstall;
    }
    setState(package, host, *entry, newState, error);
    return kUpdated;
}

int HostStatusTable::reportHMStatus(const std::string& package, const std::string& host,
    const std::string& userName, uint32_t newState, const kav::IKavErrorInfo* error)
{
    std::lock_guard lock(mutex_);
    const HostStatusEntry* entry = findEntry(package, host);
    if (!entry)
        return kNoEntry;
    return updateHMStatus(package, host, userName, newState, error, entry->uninstall);
}

void HostStatusTable::setState(const std::string& package, const std::string& host, HostStatusEntry& entry,
    uint32_t state, const kav::IKavErrorInfo* error)
{
    entry.state = state;
    if (error)
        entry.errorText = sink_.messageText(*error);
    entry.stamp = now();
    if (state > HOST_RUNNING)
        auditFinalState(package, host, entry);
    persist(package, host, entry);
}

void HostStatusTable::auditFinalState(
    const std::string& package, const std::string& host, const HostStatusEntry& entry)
{
    DeploymentAuditRecord record;
    bool failed = entry.state == HOST_ERROR;
    record.messageNumber = auditMessageFor(entry.uninstall, failed);
    if (entry.state == HOST_CANCELLED)
        record.messageNumber = kav::rc::messageNumber(kav::rc::RS_DEPLOY_CANCELLED);
    record.errorLevel = failed || entry.state == HOST_CANCELLED;
    record.package = package;
    record.host = host;
    record.state = entry.state;
    record.userName = entry.userName;
    record.errorText = entry.errorText;
    sink_.audit(record);
}

std::unique_ptr<DplStatusList> HostStatusTable::getHMStatus(const std::string& package, uint32_t filter) const
{
    std::lock_guard lock(mutex_);
    auto pkg = packages_.find(package);
    if (pkg == packages_.end()) {
        LOG4CXX_DEBUG(logger(), "No status info for package: " << package);
        return nullptr;
    }
    auto list = std::make_unique<DplStatusList>();
    for (const auto& [host, entry] : pkg->second) {
        if (matchesFilter(entry.state, filter))
            list->entries.push_back(DplStatusEntry { host, entry.state, entry.errorText });
    }
    return list;
}

ResourceHandle HostStatusTable::getVRMByStatus(const std::string& package, uint32_t state) const
{
    std::lock_guard lock(mutex_);
    auto pkg = packages_.find(package);
    if (pkg == packages_.end())
        return {};
    for (const auto& [host, entry] : pkg->second) {
        if (entry.state == state && entry.resource)
            return entry.resource;
    }
    return {};
}

bool HostStatusTable::clearVRM(const std::string& package, const std::string& host)
{
    std::lock_guard lock(mutex_);
    HostStatusEntry* entry = findEntry(package, host);
    if (!entry)
        return false;
    entry->resource = {};
    return true;
}

void HostStatusTable::resetToAllocating(HostStatusEntry& entry)
{
    entry.state = HOST_ALLOCATING;
    entry.resource = {};
    entry.uninstall = false;
}

void HostStatusTable::resetCancelErrorStatus(const std::string& package, const std::string& host)
{
    std::lock_guard lock(mutex_);
    HostStatusEntry* entry = findEntry(package, host);
    if (!entry || (entry->state != HOST_ERROR && entry->state != HOST_CANCELLED))
        return;
    LOG4CXX_DEBUG(logger(), "Resetting host state to allocating: " << host);
    resetToAllocating(*entry);
}

void HostStatusTable::resetStatus(const std::string& package, const std::string& host, uint32_t expected)
{
    std::lock_guard lock(mutex_);
    HostStatusEntry* entry = findEntry(package, host);
    if (!entry || entry->state != expected)
        return;
    LOG4CXX_DEBUG(logger(), "Resetting host state to not deployed: " << host);
    resetToAllocating(*entry);
}

void HostStatusTable::setCancelStatus(const std::string& package)
{
    std::lock_guard lock(mutex_);
    auto pkg = packages_.find(package);
    if (pkg == packages_.end())
        return;
    kav::KavErrorInfo cancelled(kav::rc::RS_DEPLOY_CANCELLED, KAV_LOCATION,
        "HostStatusTable::setCancelStatus", "deployment cancelled", { package });
    for (auto& [host, entry] : pkg->second) {
        if (entry.state >= HOST_RUNNING)
            continue;
        LOG4CXX_INFO(logger(), "Setting host state to CANCELLED: " << host);
        cancelled.setContext(host);
        setState(package, host, entry, HOST_CANCELLED, &cancelled);
    }
}

void HostStatusTable::setHostStateIfTimeout(
    const std::string& package, const std::string& runText, int32_t timeoutSeconds)
{
    std::lock_guard lock(mutex_);
    auto pkg = packages_.find(package);
    if (pkg == packages_.end())
        return;
    int32_t current = now();
    for (auto& [host, entry] : pkg->second) {
        if (entry.state != HOST_ALLOCATING && entry.state != HOST_WAITING)
            continue;
        if (static_cast<int64_t>(current) - entry.stamp <= timeoutSeconds)
            continue;
        int32_t code = entry.state == HOST_ALLOCATING ? kav::rc::RS_ALLOCATION_TIMEOUT
                                                      : kav::rc::RS_DEPLOY_COMMAND_TIMEOUT;
        kav::KavErrorInfo timedOut(code, KAV_LOCATION, "HostStatusTable::setHostStateIfTimeout", host,
            { runText, package, host, std::to_string(timeoutSeconds) });
        setState(package, host, entry, HOST_ERROR, &timedOut);
    }
}

bool HostStatusTable::allHostsFinal(const std::string& package) const
{
    std::lock_guard lock(mutex_);
    auto pkg = packages_.find(package);
    if (pkg == packages_.end())
        return true;
    for (const auto& [host, entry] : pkg->second) {
        if (!isFinalHostState(entry.state))
            return false;
    }
    return true;
}

HostStatusTable::Snapshot HostStatusTable::snapshot() const
{
    std::lock_guard lock(mutex_);
    Snapshot out;
    for (const auto& [package, hosts] : packages_) {
        std::vector<HostView>& views = out[package];
        views.reserve(hosts.size());
        for (const auto& [host, entry] : hosts)
            views.push_back({ host, entry.state, entry.errorText });
    }
    return out;
}

bool HostStatusTable::removePackage(const std::string& package)
{
    std::lock_guard lock(mutex_);
    return packages_.erase(package) > 0;
}

void HostStatusTable::restore(const std::string& package, HostStatusMap hosts)
{
    std::lock_guard lock(mutex_);
    packages_[package] = std::move(hosts);
}

void HostStatusTable::removeHMAll()
{
    std::lock_guard lock(mutex_);
    packages_.clear();
}

} // namespace rs
