#pragma once
// The service's registry of running package installers, one per package,
// and the periodic clean-up that applies the host time-out rule and removes
// the installers whose hosts are all final.
//
// Thread-safety: one recursive mutex guards the map; it is taken before the
// host status table mutex, never after. Installers leave the registry under
// the mutex but are released after it (their destructor joins their thread).
//
// Ownership: the registry holds one reference on every registered installer.

#include "rs/deployment/installer/IDeploymentService.h"
#include "rs/deployment/installer/PackageInstaller.h"

#include "common/Referable.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace rs {

class InstallerRegistry {
public:
    explicit InstallerRegistry(IDeploymentService& service);
    ~InstallerRegistry();
    InstallerRegistry(const InstallerRegistry&) = delete;
    InstallerRegistry& operator=(const InstallerRegistry&) = delete;

    // Registers the installer under its package. Fails with 0xd0014c30 (the
    // thread's error information set) when the package already has one.
    int addPackageInstaller(const std::string& package, kav::RefPtr<PackageInstaller> installer);
    // 0 when the package has no installer; else 0xd0014c30 naming the run kind.
    int checkPackageInstaller(const std::string& package);
    // Stale consumers, then for each active installer the time-out rule and,
    // when all its hosts are final, its removal.
    void cleanupPackageInstallers();
    // Removes every installer (shutdown).
    void removeInstallers();

    size_t size() const;

private:
    int installerRunning(const std::string& package, const PackageInstaller& installer);

    IDeploymentService& service_;
    mutable std::recursive_mutex mutex_;
    std::map<std::string, kav::RefPtr<PackageInstaller>> installers_;
};

} // namespace rs
