#include "rs/deployment/operations/AppDeploymentServer.h"

#include "common/ResultCodes.h"
#include "rs/core/ServerBinding.h"
#include "rs/deployment/operations/AppDeploymentWork.h"
#include "rs/deployment/operations/AppLogonWork.h"
#include "rs/deployment/operations/AppPackageWork.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/repository/operations/DiscardUploadsWork.h"
#include "rs/repository/persist/ServiceStatusSink.h"
#include "rs/startup/logging/Loggers.h"

#include <memory>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    return kav::loggers::get(kav::loggers::kAppDeploymentServer);
}

} // namespace

bool AppDeploymentServer::serve(zephcomm::Channel* channel, ServiceContext& context)
{
    return bindServer<AppDeploymentServer, IAppDeploymentRespClient>(channel, IAppDeployment::kInterfaceName,
        IAppDeployment::prototypes(), new (std::nothrow) AppDeploymentServer(context));
}

AppDeploymentServer::AppDeploymentServer(ServiceContext& context)
    : ConnectionServer("AppDeploymentServer", logger(), context)
    , uploads_(std::make_shared<modules::ConnectionUploads>())
{
}

AppDeploymentServer::~AppDeploymentServer() = default;

void AppDeploymentServer::complete(int error, zephcomm::Call* call)
{
    if (error != 0 || !call)
        reportLostDeployCommand();
    if (error != 0 && !call) {
        if (response_)
            response_->detach();
        DiscardUploadsWork::queueFor(context_, uploads_);
    }
    IAppDeployment::CallCompletionImp::complete(error, call);
}

void AppDeploymentServer::logon(
    std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer)
{
    delete kav::takeErrorInfo();
    int32_t result = KAV_GUARDED([&] {
        if (!credential || !consumer || status() != 0)
            KAV_THROW(kav::rc::RS_MISSING_ARGUMENT, "logon needs a credential and a consumer");
        LOG4CXX_DEBUG(logger(), "RepositoryServer::logon Got parameters: " << *consumer);
        setConsumer(*consumer);
        std::unique_ptr<Work> work(new (std::nothrow) AppLogonWork(*credential, *consumer, this, response_));
        if (!work)
            KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "logon work not created");
        return context_.enqueue(std::move(work));
    });
    if (result < 0) {
        std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
        if (!error)
            error = std::make_unique<kav::KavErrorInfo>(result, KAV_LOCATION, "", "");
        kav::logErrorLine(logger(), log4cxx::Level::getError(), *error);
        std::string empty;
        response_->logonResp(error.get(), &empty, &empty);
    }
}

void AppDeploymentServer::getRSVersion(std::unique_ptr<KavVersion> qelVersion, int32_t value)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::getRSVersion Got parameters: " << (qelVersion ? qelVersion->display() : "")
                                                             << ", " << value);
    const ProductVersion qel = context_.productVersion();
    KavVersion product { qel.major, qel.minor, qel.patch, "" };
    kav::KavErrorInfo success;
    response_->getRSVersionResp(&success, &product, 1);
}

// --- Package operations --------------------------------------------------

namespace {

std::string text(const std::unique_ptr<std::string>& value)
{
    return value ? *value : std::string();
}

// The audit record of a package request that never reached the queue.
void auditRefusal(ServiceContext& context, const char* operation, const std::string& user,
    const std::string& package, const kav::IKavErrorInfo& error)
{
    context.auditText(std::string("RSDEPLOY ") + operation + " refused: user " + (user.empty() ? "-" : user)
            + ", package " + (package.empty() ? "-" : package) + ": "
            + ServiceStatusSink::catalogueMessage(error),
        true);
}

} // namespace

template <class Make, class Fail>
void AppDeploymentServer::submit(
    const char* operation, bool audited, const std::string& package, Make&& make, Fail&& fail)
{
    delete kav::takeErrorInfo();
    int32_t result = KAV_GUARDED([&]() -> int32_t {
        gate_.admit(operation);
        if (status() != 0)
            KAV_THROW(kav::rc::RS_MISSING_ARGUMENT, "malformed request", { operation });
        std::unique_ptr<Work> work(make());
        if (!work)
            KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "work item not created", { operation });
        return context_.enqueue(std::move(work));
    });
    if (result >= 0)
        return;
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (!error)
        error = std::make_unique<kav::KavErrorInfo>(result, KAV_LOCATION, "AppDeploymentServer", operation);
    kav::logErrorLine(logger(), log4cxx::Level::getError(), *error);
    if (audited)
        auditRefusal(context_, operation, userName(), package, *error);
    fail(error.get());
}

AppCaller AppDeploymentServer::caller() const
{
    const std::string user = userName();
    std::lock_guard lock(mutex_);
    return AppCaller { user, consumer_ };
}

void AppDeploymentServer::requireArguments(std::initializer_list<bool> present, const char* operation)
{
    for (bool each : present)
        if (!each)
            KAV_THROW(kav::rc::RS_MISSING_ARGUMENT, "argument missing", { operation });
}

void AppDeploymentServer::addPackage(std::unique_ptr<std::string> packageName,
    std::unique_ptr<std::string> packageType, std::unique_ptr<std::string> packageFileName,
    rpc::BlockPtr packageData, int32_t flag)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::addPackage Got parameters: " << text(packageName) << ", " << text(packageType)
                                                           << ", " << text(packageFileName) << ", " << flag);
    submit(
        "addPackage", true, text(packageName),
        [&] {
            requireArguments({ packageName && packageType && packageFileName && packageData }, "addPackage");
            uploads_->pieceReceived(); // before the piece can be stored
            return new (std::nothrow)
                AppAddModuleWork(context_, caller(), response_, PackageName { *packageName, *packageType },
                    *packageFileName, std::move(packageData), flag, uploads_);
        },
        [&](const kav::IKavErrorInfo* error) { response_->addPackageResp(error); });
}

void AppDeploymentServer::removePackage(
    std::unique_ptr<std::string> packageName, std::unique_ptr<std::string> packageType)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::removePackage Got parameters: " << text(packageName) << ", "
                                                              << text(packageType));
    submit(
        "removePackage", true, text(packageName),
        [&] {
            requireArguments({ packageName && packageType }, "removePackage");
            return new (std::nothrow) AppRemoveModuleWork(
                context_, caller(), response_, PackageName { *packageName, *packageType });
        },
        [&](const kav::IKavErrorInfo* error) { response_->removePackageResp(error); });
}

void AppDeploymentServer::installPackageCommon(std::unique_ptr<std::string> packageName,
    std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName, bool recheck)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::installPackageCommon Got parameters: "
            << text(packageName) << ", " << text(resourceGroup) << ", " << text(hostName) << ", "
            << (recheck ? "recheck" : "install"));
    const char* operation = recheck ? "installPackageRecheck" : "installPackage";
    submit(
        operation, true, text(packageName),
        [&] {
            requireArguments({ packageName && resourceGroup && hostName }, operation);
            return new (std::nothrow) AppInstallPackageWork(context_, caller(), response_,
                RunTarget { *packageName, *resourceGroup, *hostName }, recheck);
        },
        [&](const kav::IKavErrorInfo* error) { response_->installPackageResp(error); });
}

void AppDeploymentServer::installPackage(std::unique_ptr<std::string> packageName,
    std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName)
{
    installPackageCommon(std::move(packageName), std::move(resourceGroup), std::move(hostName), false);
}

void AppDeploymentServer::installPackageRecheck(std::unique_ptr<std::string> packageName,
    std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName)
{
    installPackageCommon(std::move(packageName), std::move(resourceGroup), std::move(hostName), true);
}

void AppDeploymentServer::cancelPackage(std::unique_ptr<std::string> packageName)
{
    LOG4CXX_DEBUG(logger(), "AppDeploymentServer::cancelPackage Got parameters: " << text(packageName));
    submit(
        "cancelPackage", true, text(packageName),
        [&] {
            requireArguments({ packageName != nullptr }, "cancelPackage");
            return new (std::nothrow) AppCancelPackageWork(context_, caller(), response_, *packageName);
        },
        [&](const kav::IKavErrorInfo* error) { response_->cancelPackageResp(error); });
}

void AppDeploymentServer::uninstallPackage(std::unique_ptr<std::string> packageName,
    std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::uninstallPackage Got parameters: " << text(
            packageName) << ", " << text(resourceGroup) << ", " << text(hostName));
    submit(
        "uninstallPackage", true, text(packageName),
        [&] {
            requireArguments({ packageName && resourceGroup && hostName }, "uninstallPackage");
            return new (std::nothrow) AppUninstallPackageWork(
                context_, caller(), response_, RunTarget { *packageName, *resourceGroup, *hostName });
        },
        [&](const kav::IKavErrorInfo* error) { response_->uninstallPackageResp(error); });
}

void AppDeploymentServer::getPackageList()
{
    submit(
        "getPackageList", false, "",
        [&] { return new (std::nothrow) AppGetModuleListWork(context_, caller(), response_); },
        [&](const kav::IKavErrorInfo* error) {
            AppDplList empty;
            response_->getPackageListResp(error, &empty);
        });
}

void AppDeploymentServer::getPackage(std::unique_ptr<std::string> packageName,
    std::unique_ptr<std::string> packageType, std::unique_ptr<std::string> extra)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::getPackage Got parameters: " << text(packageName) << ", " << text(packageType)
                                                           << ", " << text(extra));
    submit(
        "getPackage", false, text(packageName),
        [&] {
            requireArguments({ packageName && packageType && extra }, "getPackage");
            return new (std::nothrow) AppGetModuleWork(
                context_, caller(), response_, PackageName { *packageName, *packageType }, *extra);
        },
        [&](const kav::IKavErrorInfo* error) {
            std::string none;
            AppDplList empty;
            auto data = rpc::makeBlock("");
            response_->getPackageResp(error, &none, &none, data.get(), &empty);
        });
}

void AppDeploymentServer::setPackageStatus(std::unique_ptr<kav::KavErrorInfo> error,
    std::unique_ptr<std::string> packageName, std::unique_ptr<std::string> hostName, int32_t state)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::setPackageStatus Got parameters: " << text(packageName) << ", "
                                                                 << text(hostName) << ", " << state << ", "
                                                                 << (error ? error->getCode() : 0));
    submit(
        "setPackageStatus", false, text(packageName),
        [&] {
            requireArguments({ error && packageName && hostName }, "setPackageStatus");
            remember(*packageName, *hostName, static_cast<uint32_t>(state));
            return new (std::nothrow) AppSetPackageStatusWork(context_, caller(), response_,
                StatusReport { *packageName, *hostName, static_cast<uint32_t>(state), std::move(error) });
        },
        [&](const kav::IKavErrorInfo* failure) { response_->setPackageStatusResp(failure); });
}

void AppDeploymentServer::getPackageStatus(std::unique_ptr<std::string> packageName, int32_t state)
{
    LOG4CXX_DEBUG(logger(),
        "AppDeploymentServer::getPackageStatus Got parameters: " << text(packageName) << ", " << state);
    submit(
        "getPackageStatus", false, text(packageName),
        [&] {
            requireArguments({ packageName != nullptr }, "getPackageStatus");
            return new (std::nothrow) AppGetPackageStatusWork(
                context_, caller(), response_, *packageName, static_cast<uint32_t>(state));
        },
        [&](const kav::IKavErrorInfo* error) {
            DplStatusList empty;
            response_->getPackageStatusResp(error, &empty);
        });
}

// --- Lost deploy command ---------------------------------------------------

void AppDeploymentServer::remember(const std::string& package, const std::string& host, uint32_t state)
{
    std::lock_guard lock(mutex_);
    lastReport_.package = package;
    lastReport_.host = host;
    lastReport_.state = state;
}

void AppDeploymentServer::reportLostDeployCommand()
{
    LastReport last;
    std::string user;
    {
        std::lock_guard lock(mutex_);
        last = lastReport_;
        lastReport_ = LastReport {};
    }
    user = userName();
    if (!lostDeployCommand(last))
        return;
    DeploymentRuntime* runtime = context_.deployment();
    if (!runtime)
        return;
    kav::KavErrorInfo lost(kav::rc::RS_DEPLOY_COMMAND_LOST, KAV_LOCATION, "AppDeploymentServer::retrieve_CB",
        "deploy command connection lost", { hostDeployStateText(last.state) });
    LOG4CXX_WARN(logger(), "Deploy command lost for package: " << last.package << " host: " << last.host);
    runtime->hostStatusTable().reportHMStatus(last.package, last.host, user, HOST_ERROR, &lost);
}

bool AppDeploymentServer::lostDeployCommand(const LastReport& last)
{
    return !last.package.empty() && !last.host.empty() && last.state != HOST_INSTALLED
        && last.state != HOST_UNINSTALLED && last.state != HOST_ERROR && last.state != HOST_CANCELLED;
}

} // namespace rs
