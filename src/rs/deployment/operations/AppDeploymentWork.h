#pragma once
// The work items that start, cancel and follow deployment runs: install
// (and its re-checking form), uninstall, cancel, the deploy command's status
// report and the status query.
//
// Threads and ownership as AppWork. None of them changes stored packages;
// the installer registry and the host status table guard themselves. Their
// queue order and lock modes are their operations' facts (interfaces.rpc).

#include "interfaces/types/DplStatusList.h"
#include "rs/deployment/operations/AppWork.h"

#include <memory>

namespace rs {

// Where a run goes: the package, the resource group (empty: the internal
// group) and an optional single host.
struct RunTarget {
    std::string package;
    std::string resourceGroup;
    std::string host;
};

// The steps that install and uninstall share: checks, installer, start.
class AppRunPackageWork : public AppWork {
public:
protected:
    AppRunPackageWork(std::string className, const rpc::OperationFacts& facts, ServiceContext& context,
        AppCaller caller, IAppDeploymentRespClient* response, RunTarget target, bool uninstall, bool recheck);
    void execute() final;

    const RunTarget& target() const { return target_; }

private:
    // The consumer and group, and a single host: one of the cluster's and,
    // when a group is given, one of the group's (0xd0014c38 otherwise).
    void checkTarget() const;

    RunTarget target_;
    bool uninstall_;
    bool recheck_;
};

class AppInstallPackageWork final : public AppRunPackageWork {
public:
    // recheck: every host is deployed again, whatever its last state.
    AppInstallPackageWork(ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response,
        RunTarget target, bool recheck);

private:
    void answer(const kav::IKavErrorInfo* error) override;
};

class AppUninstallPackageWork final : public AppRunPackageWork {
public:
    AppUninstallPackageWork(
        ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, RunTarget target);

private:
    void answer(const kav::IKavErrorInfo* error) override;
};

class AppCancelPackageWork final : public AppWork {
public:
    AppCancelPackageWork(
        ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, std::string package);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    std::string package_;
};

// One report of the deploy command on a host.
struct StatusReport {
    std::string package;
    std::string host;
    uint32_t state = 0;
    std::unique_ptr<kav::KavErrorInfo> error; // null or code 0: no error text
};

class AppSetPackageStatusWork final : public AppWork {
public:
    AppSetPackageStatusWork(
        ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, StatusReport report);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    StatusReport report_;
};

class AppGetPackageStatusWork final : public AppWork {
public:
    AppGetPackageStatusWork(ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response,
        std::string package, uint32_t filter);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    std::string package_;
    uint32_t filter_;
    std::unique_ptr<DplStatusList> list_;
};

} // namespace rs
