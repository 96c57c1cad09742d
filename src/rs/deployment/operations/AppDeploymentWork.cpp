#include "rs/deployment/operations/AppDeploymentWork.h"

#include "common/ResultCodes.h"
#include "rs/deployment/installer/PackageInstaller.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/deployment/operations/PackageStore.h"

#include <new>

namespace rs {

namespace {

// Runs a service check; a refusal becomes `code` with `params`.
template <class Check> void require(Check&& check, int32_t code, const char* detail, kav::Params params)
{
    if (KAV_GUARDED(check) < 0) {
        kav::clearErrorInfo();
        KAV_THROW(code, detail, std::move(params));
    }
}

} // namespace

AppRunPackageWork::AppRunPackageWork(std::string className, const rpc::OperationFacts& facts,
    ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, RunTarget target,
    bool uninstall, bool recheck)
    : AppWork(std::move(className), facts, context, std::move(caller), response)
    , target_(std::move(target))
    , uninstall_(uninstall)
    , recheck_(recheck)
{
}

void AppRunPackageWork::checkTarget() const
{
    ServiceContext& service = context();
    const std::string& consumer = caller().consumer;
    const std::string& group = target_.resourceGroup;
    if (!consumer.empty() && !group.empty())
        require(
            [&] { return service.checkConsumerId(consumer) < 0 ? -1 : service.checkResourceGroup(group); },
            kav::rc::RS_CONSUMER_GROUP_MISMATCH, "consumer or resource group refused", { consumer, group });
    else if (!group.empty())
        require([&] { return service.checkResourceGroup(group); }, kav::rc::RS_BAD_RESOURCE_GROUP,
            "resource group refused", { group });
    // A host outside the run's group would leave the run without a target:
    // it would finish at once, having done nothing.
    if (!target_.host.empty())
        require(
            [&] {
                const int32_t result = service.checkHostName(target_.host);
                return result < 0 || group.empty() ? result : service.checkHostInGroup(target_.host, group);
            },
            kav::rc::RS_BAD_HOST, "host refused", { target_.host });
}

void AppRunPackageWork::execute()
{
    checkPermission();
    requireStoredPackage(packageStore(), target_.package);
    checkTarget();

    DeploymentRuntime& runtime = deployment();
    runtime.installers().cleanupPackageInstallers();
    auto installer = kav::RefPtr<PackageInstaller>::adopt(
        new (std::nothrow) PackageInstaller(runtime, runtime.resources()));
    if (!installer)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "package installer not created");
    if (runtime.installers().addPackageInstaller(target_.package, installer) < 0)
        kav::rethrowError(kav::takeErrorInfo());
    if (recheck_)
        runtime.removePersistedState(target_.package);
    installer->init(DeploymentRequest {
        target_.package, caller().user, caller().consumer, target_.resourceGroup, target_.host, uninstall_ });
}

AppInstallPackageWork::AppInstallPackageWork(ServiceContext& context, AppCaller caller,
    IAppDeploymentRespClient* response, RunTarget target, bool recheck)
    : AppRunPackageWork("AppInstallPackageWork",
        recheck ? IAppDeployment::installPackageRecheck_Call::facts()
                : IAppDeployment::installPackage_Call::facts(),
        context, std::move(caller), response, std::move(target), false, recheck)
{
}

void AppInstallPackageWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    response().installPackageResp(error ? error : &success);
}

AppUninstallPackageWork::AppUninstallPackageWork(
    ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, RunTarget target)
    : AppRunPackageWork("AppUninstallPackageWork", IAppDeployment::uninstallPackage_Call::facts(), context,
        std::move(caller), response, std::move(target), true, false)
{
}

void AppUninstallPackageWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    response().uninstallPackageResp(error ? error : &success);
}

AppCancelPackageWork::AppCancelPackageWork(
    ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, std::string package)
    : AppWork("AppCancelPackageWork", IAppDeployment::cancelPackage_Call::facts(), context, std::move(caller),
        response)
    , package_(std::move(package))
{
}

void AppCancelPackageWork::execute()
{
    checkPermission();
    requireStoredPackage(packageStore(), package_);
    deployment().setCancelStatus(package_);
}

void AppCancelPackageWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    response().cancelPackageResp(error ? error : &success);
}

AppSetPackageStatusWork::AppSetPackageStatusWork(
    ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, StatusReport report)
    : AppWork("AppSetPackageStatusWork", IAppDeployment::setPackageStatus_Call::facts(), context,
        std::move(caller), response)
    , report_(std::move(report))
{
}

void AppSetPackageStatusWork::execute()
{
    const kav::IKavErrorInfo* error
        = report_.error && report_.error->getCode() != 0 ? report_.error.get() : nullptr;
    int result = deployment().hostStatusTable().reportHMStatus(
        report_.package, report_.host, caller().user, report_.state, error);
    if (result == HostStatusTable::kStateFinal)
        KAV_THROW(kav::rc::RS_HOST_STATE_FINAL, "host state does not change any more", { report_.package });
}

void AppSetPackageStatusWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    response().setPackageStatusResp(error ? error : &success);
}

AppGetPackageStatusWork::AppGetPackageStatusWork(ServiceContext& context, AppCaller caller,
    IAppDeploymentRespClient* response, std::string package, uint32_t filter)
    : AppWork("AppGetPackageStatusWork", IAppDeployment::getPackageStatus_Call::facts(), context,
        std::move(caller), response)
    , package_(std::move(package))
    , filter_(filter)
{
}

void AppGetPackageStatusWork::execute()
{
    checkPermission();
    requireStoredPackage(packageStore(), package_);
    list_ = deployment().hostStatusTable().getHMStatus(package_, filter_);
    if (!list_)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "package has no status entries", { package_ });
}

void AppGetPackageStatusWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    DplStatusList empty;
    response().getPackageStatusResp(error ? error : &success, error || !list_ ? &empty : list_.get());
}

} // namespace rs
