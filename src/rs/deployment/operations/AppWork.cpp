#include "rs/deployment/operations/AppWork.h"

#include "common/ResultCodes.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/deployment/operations/PackageStore.h"

#include <memory>

namespace rs {

void AppWork::checkPermission(const std::string& consumer) const
{
    if (!permitted(caller_.user, consumer))
        KAV_THROW(kav::rc::RS_PERMISSION_DENIED, "permission refused");
}

void AppWork::requireStoredPackage(const PackageStore& store, const std::string& package) const
{
    if (!store.contains(package))
        KAV_THROW(kav::rc::RS_NO_SUCH_PACKAGE, "package not stored", { package });
}

DeploymentRuntime& AppWork::deployment() const
{
    DeploymentRuntime* runtime = context().deployment();
    if (!runtime)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "deployment not running");
    return *runtime;
}

void AppWork::requireNoRunningInstaller(const std::string& package) const
{
    InstallerRegistry& installers = deployment().installers();
    installers.cleanupPackageInstallers();
    if (installers.checkPackageInstaller(package) < 0)
        kav::rethrowError(kav::takeErrorInfo());
}

PackageStore AppWork::packageStore() const
{
    return PackageStore(context());
}

} // namespace rs
