#include "rs/deployment/installer/InstallerRegistry.h"

#include "common/Loggers.h"
#include "rs/deployment/status/HostStatusTable.h"

#include "common/ResultCodes.h"

#include <log4cxx/logger.h>

namespace rs {

namespace {

log4cxx::LoggerPtr& logger()
{
    static log4cxx::LoggerPtr log = kav::loggers::get(kav::loggers::kRepositoryService);
    return log;
}

} // namespace

InstallerRegistry::InstallerRegistry(IDeploymentService& service)
    : service_(service)
{
}

InstallerRegistry::~InstallerRegistry()
{
    removeInstallers();
}

int InstallerRegistry::installerRunning(const std::string& package, const PackageInstaller& installer)
{
    return kav::setError(kav::rc::RS_INSTALLER_RUNNING, "an installer of the package is running",
        KAV_LOCATION, { package, service_.installerText(!installer.isInstall()) });
}

int InstallerRegistry::addPackageInstaller(
    const std::string& package, kav::RefPtr<PackageInstaller> installer)
{
    std::lock_guard lock(mutex_);
    auto [at, added] = installers_.try_emplace(package, installer);
    if (!added)
        return installerRunning(package, *at->second);
    return 0;
}

int InstallerRegistry::checkPackageInstaller(const std::string& package)
{
    std::lock_guard lock(mutex_);
    auto at = installers_.find(package);
    return at == installers_.end() ? 0 : installerRunning(package, *at->second);
}

void InstallerRegistry::cleanupPackageInstallers()
{
    service_.cleanupConsumers();
    std::vector<kav::RefPtr<PackageInstaller>> finished;
    {
        std::lock_guard lock(mutex_);
        HostStatusTable& table = service_.hostStatusTable();
        for (auto at = installers_.begin(); at != installers_.end();) {
            PackageInstaller& installer = *at->second;
            if (installer.isActive()) {
                table.setHostStateIfTimeout(
                    at->first, service_.installerText(!installer.isInstall()), service_.hostTimeout());
                if (table.allHostsFinal(at->first)) {
                    LOG4CXX_INFO(logger(), "Deployment finished for package: " << at->first);
                    finished.push_back(std::move(at->second));
                    at = installers_.erase(at);
                    continue;
                }
            }
            ++at;
        }
    }
    // Released here, outside the mutex: the last release stops and joins the thread.
}

void InstallerRegistry::removeInstallers()
{
    std::map<std::string, kav::RefPtr<PackageInstaller>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(installers_);
    }
}

size_t InstallerRegistry::size() const
{
    std::lock_guard lock(mutex_);
    return installers_.size();
}

} // namespace rs
