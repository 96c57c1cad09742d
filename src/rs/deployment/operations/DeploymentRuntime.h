#pragma once
// DeploymentRuntime: the deployment half of the service object. It owns the
// persisted deployment state, the host status table (with the sink that
// persists, audits and formats its changes) and the registry of running
// package installers, and answers what the installers ask of the service.
//
// Threads: created and shut down on the main thread (service start-up and
// shutdown); used by worker threads, installer threads and the resource
// manager client's callback threads. It adds no lock of its own: the table,
// the registry and the persisted state each guard themselves (lock order:
// registry, table, persisted state).
//
// Ownership: the service object owns it; it must outlive every installer,
// which shutdown() guarantees by removing them first.

#include "rs/deployment/installer/IDeployResources.h"
#include "rs/deployment/installer/IDeploymentService.h"
#include "rs/deployment/installer/InstallerRegistry.h"
#include "rs/deployment/persist/PersistedDeploymentState.h"
#include "rs/deployment/persist/ServiceStatusSink.h"
#include "rs/deployment/status/HostStatusTable.h"

#include <functional>
#include <string>

namespace rs {

// The service object's operations that a deployment run needs.
struct DeploymentHostHooks {
    std::function<bool(const std::string&, const std::string&)> compareHostName;
    std::function<void()> cleanupConsumers;
    std::function<void(const std::string&)> addConsumerForCleanup;
};

class DeploymentRuntime final : public IDeploymentService {
public:
    // Reads the persisted state of storageDir into the table (an empty
    // storageDir runs without persistence). `clock` and `audit` are replaced
    // by tests only; empty ones mean the wall clock and the audit log.
    DeploymentRuntime(DeploymentHostHooks hooks, std::string storageDir, int32_t hostTimeout,
        IDeployResources& resources, HostStatusTable::Clock clock = {},
        ServiceStatusSink::AuditWriter audit = {});
    ~DeploymentRuntime() override;
    DeploymentRuntime(const DeploymentRuntime&) = delete;
    DeploymentRuntime& operator=(const DeploymentRuntime&) = delete;

    HostStatusTable& hostStatusTable() override { return table_; }
    std::string storageDir() const override { return storageDir_; }
    bool compareHostName(const std::string& a, const std::string& b) override;
    void cleanupConsumers() override;
    void addConsumerForCleanup(const std::string& consumer) override;
    std::string installerText(bool uninstall) const override;
    int32_t hostTimeout() const override { return hostTimeout_; }

    InstallerRegistry& installers() { return registry_; }
    IDeployResources& resources() { return resources_; }
    // Forgets every host state of the package, in memory and on disk.
    void removePersistedState(const std::string& package);
    // Every host below RUNNING becomes CANCELLED; finished installers go.
    void setCancelStatus(const std::string& package);
    // Stops every installer and empties the table (service shutdown).
    void shutdown();

private:
    DeploymentHostHooks hooks_;
    std::string storageDir_;
    int32_t hostTimeout_;
    IDeployResources& resources_;
    std::string installText_;
    std::string uninstallText_;
    PersistedDeploymentState persisted_;
    ServiceStatusSink sink_;
    HostStatusTable table_;
    InstallerRegistry registry_;
};

} // namespace rs
