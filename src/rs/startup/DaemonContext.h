#pragma once
// DaemonContext: the service context of the running daemon. The checks, the
// work queue, the repository directory and the deployment runtime are the
// service object's; the file cache, the module list cache, the audit log and
// the product utilities are the process-wide ones; the clock is the system's.
//
// Threads: as ServiceContext; it keeps no state of its own.
// Lifetime: built by the daemon before the service listens, kept until the
// service is down.

#include "rs/core/ServiceContext.h"

namespace rs {

class RepositoryService;

class DaemonContext final : public ServiceContext {
public:
    explicit DaemonContext(RepositoryService& service)
        : service_(service)
    {
    }

    int32_t authenticate(
        const std::string& credential, std::string& responseToken, std::string& userName) override;
    int32_t checkConsumerId(const std::string& consumer) override;
    int32_t checkResourceGroup(const std::string& group) override;
    int32_t checkHostName(const std::string& host) override;
    int32_t checkHostInGroup(const std::string& host, const std::string& group) override;
    int32_t checkRole(
        const std::string& user, const std::string& consumer, int level, std::string& out) override;
    int32_t enqueue(std::unique_ptr<Work> work) override;
    bool runAtOnce(Work& work) override;
    const std::string& storageDir() const override;
    kav::KavFileCache& fileCache() override;
    modules::ModuleListCache& moduleLists() override;
    DeploymentRuntime* deployment() override;
    void audit(uint32_t number, const kav::Params& params, bool isError) override;
    void auditText(const std::string& text, bool isError) override;
    int32_t now() override;
    bool logonRequired() const override;
    bool signalShutdown() override;
    ProductVersion productVersion() override;

private:
    RepositoryService& service_;
};

} // namespace rs
