#include "rs/deployment/operations/AppDeploymentServer.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "rs/core/ServerBinding.h"
#include "rs/deployment/operations/AppDeploymentWork.h"
#include "rs/deployment/operations/AppLogonWork.h"
#include "rs/deployment/operations/AppPackageWork.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/repository/operations/DiscardUploadsWork.h"
#include "rs/deployment/persist/ServiceStatusSink.h"
#include "common/Loggers.h"

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

void AppDeploymentServer::connectionTrouble(bool closed)
{
    reportLostDeployCommand();
    if (!closed)
        return;
    if (response_)
        response_->detach();
    DiscardUploadsWork::queueFor(context_, uploads_);
}

void AppDeploymentServer::auditRefusal(const rpc::OperationFacts& facts, const std::string& user,
    const std::string& subject, const kav::IKavErrorInfo& error)
{
    context_.auditText(std::string("RSDEPLOY ") + facts.name + " refused: user " + (user.empty() ? "-" : user)
            + ", package " + (subject.empty() ? "-" : subject) + ": "
            + ServiceStatusSink::catalogueMessage(error),
        true);
}

AppCaller AppDeploymentServer::caller() const
{
    const std::string user = userName();
    std::lock_guard lock(mutex_);
    return AppCaller { user, consumer_ };
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::logon_Call> call)
{
    setConsumer(*call->consumer());
    return std::unique_ptr<Work>(
        new (std::nothrow) AppLogonWork(*call->credential(), *call->consumer(), this, response_));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::addPackage_Call> call)
{
    uploads_->pieceReceived(); // before the piece can be stored
    return std::unique_ptr<Work>(new (std::nothrow) AppAddModuleWork(context_, caller(), response_,
        PackageName { *call->packageName(), *call->packageType() }, *call->packageFileName(),
        call->takePackageData(), call->flag(), uploads_));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::removePackage_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow) AppRemoveModuleWork(
        context_, caller(), response_, PackageName { *call->packageName(), *call->packageType() }));
}

std::unique_ptr<Work> AppDeploymentServer::installWork(
    std::string package, std::string resourceGroup, std::string host, bool recheck)
{
    return std::unique_ptr<Work>(new (std::nothrow) AppInstallPackageWork(context_, caller(), response_,
        RunTarget { std::move(package), std::move(resourceGroup), std::move(host) }, recheck));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::installPackage_Call> call)
{
    return installWork(*call->packageName(), *call->resourceGroup(), *call->hostName(), false);
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(
    std::unique_ptr<IAppDeployment::installPackageRecheck_Call> call)
{
    return installWork(*call->packageName(), *call->resourceGroup(), *call->hostName(), true);
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::cancelPackage_Call> call)
{
    return std::unique_ptr<Work>(
        new (std::nothrow) AppCancelPackageWork(context_, caller(), response_, *call->packageName()));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(
    std::unique_ptr<IAppDeployment::uninstallPackage_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow) AppUninstallPackageWork(context_, caller(), response_,
        RunTarget { *call->packageName(), *call->resourceGroup(), *call->hostName() }));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::getPackageList_Call>)
{
    return std::unique_ptr<Work>(new (std::nothrow) AppGetModuleListWork(context_, caller(), response_));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(std::unique_ptr<IAppDeployment::getPackage_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow) AppGetModuleWork(context_, caller(), response_,
        PackageName { *call->packageName(), *call->packageType() }, *call->extra()));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(
    std::unique_ptr<IAppDeployment::setPackageStatus_Call> call)
{
    const auto state = static_cast<uint32_t>(call->state());
    remember(*call->packageName(), *call->hostName(), state);
    return std::unique_ptr<Work>(new (std::nothrow) AppSetPackageStatusWork(context_, caller(), response_,
        StatusReport { *call->packageName(), *call->hostName(), state, call->takeError() }));
}

std::unique_ptr<Work> AppDeploymentServer::makeWork(
    std::unique_ptr<IAppDeployment::getPackageStatus_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow) AppGetPackageStatusWork(
        context_, caller(), response_, *call->packageName(), static_cast<uint32_t>(call->state())));
}

void AppDeploymentServer::answerAtOnce(std::unique_ptr<IAppDeployment::getRSVersion_Call>)
{
    const ProductVersion qel = context_.productVersion();
    KavVersion product { qel.major, qel.minor, qel.patch, "" };
    kav::KavErrorInfo success;
    response_->getRSVersionResp(&success, &product, 1);
}

// --- Lost deploy command ---------------------------------------------------

void AppDeploymentServer::remember(const std::string& package, const std::string& host, uint32_t state)
{
    std::lock_guard lock(mutex_);
    lastReport_.package = package;
    lastReport_.host = host;
    lastReport_.state = state;
}

namespace {

// Sets the host of a lost deploy command to ERROR (0xd0014c39, naming the
// last state reported).
void setLostHostToError(
    ServiceContext& context, const AppDeploymentServer::LastReport& last, const std::string& user)
{
    DeploymentRuntime* runtime = context.deployment();
    if (!runtime)
        return;
    kav::KavErrorInfo lost(kav::rc::RS_DEPLOY_COMMAND_LOST, KAV_LOCATION, "AppDeploymentServer::retrieve_CB",
        "deploy command connection lost", { hostDeployStateText(last.state) });
    KAV_GUARDED([&] {
        return runtime->hostStatusTable().reportHMStatus(last.package, last.host, user, HOST_ERROR, &lost);
    });
    kav::clearErrorInfo(); // nobody waits for this; the WARN line stands
}

// Queued as a status report is, so that it runs after every report the
// connection had queued before it went: a report still waiting would
// otherwise turn ERROR back into the state it carries.
class LostDeployCommandWork final : public Work {
public:
    LostDeployCommandWork(ServiceContext& context, AppDeploymentServer::LastReport last, std::string user)
        : context_(context)
        , last_(std::move(last))
        , user_(std::move(user))
    {
    }

    void process() override { setLostHostToError(context_, last_, user_); }
    int32_t kind() const override { return IAppDeployment::setPackageStatus_Call::facts().kind; }
    bool isShared() const override { return IAppDeployment::setPackageStatus_Call::facts().shared; }

private:
    ServiceContext& context_;
    const AppDeploymentServer::LastReport last_;
    const std::string user_;
};

} // namespace

void AppDeploymentServer::reportLostDeployCommand()
{
    LastReport last;
    {
        std::lock_guard lock(mutex_);
        last = lastReport_;
        lastReport_ = LastReport {};
    }
    if (!lostDeployCommand(last))
        return;
    LOG4CXX_WARN(logger(), "Deploy command lost for package: " << last.package << " host: " << last.host);
    const std::string user = userName();
    std::unique_ptr<Work> work(new (std::nothrow) LostDeployCommandWork(context_, last, user));
    std::unique_ptr<kav::KavErrorInfo> stale(kav::takeErrorInfo());
    if (work && context_.enqueue(std::move(work)) >= 0)
        return;
    // The queue could not take it (the service is stopping, or memory ran
    // out): set the host now rather than leave it waiting for ever.
    std::unique_ptr<kav::KavErrorInfo> refusal(kav::takeErrorInfo());
    setLostHostToError(context_, last, user);
}

bool AppDeploymentServer::lostDeployCommand(const LastReport& last)
{
    return !last.package.empty() && !last.host.empty() && last.state != HOST_INSTALLED
        && last.state != HOST_UNINSTALLED && last.state != HOST_ERROR && last.state != HOST_CANCELLED;
}

} // namespace rs
