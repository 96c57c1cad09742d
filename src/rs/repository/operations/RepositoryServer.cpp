#include "rs/repository/operations/RepositoryServer.h"

#include "common/ResultCodes.h"
#include "rs/core/ServerBinding.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/repository/operations/AddModuleWork.h"
#include "rs/repository/operations/DiscardUploadsWork.h"
#include "rs/repository/operations/GetModuleListWork.h"
#include "rs/repository/operations/GetModuleWork.h"
#include "rs/repository/operations/LinkModuleAppWork.h"
#include "rs/repository/operations/LogonWork.h"
#include "rs/repository/operations/ModuleWorkSupport.h"
#include "rs/repository/operations/RemoveModuleWork.h"
#include "rs/startup/logging/Loggers.h"

#include <functional>
#include <memory>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    return kav::loggers::get(kav::loggers::kRepositoryServer);
}

// Stopping the service is an administrator's act: a role on "/" of this
// level, the highest, asked of the resource manager directly. No permission
// operation number stands for it.
constexpr int kShutdownRoleLevel = 1;

// The failure of a request that could not be queued, taken from the thread.
std::unique_ptr<kav::KavErrorInfo> takeFailure()
{
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (!error)
        error = std::make_unique<kav::KavErrorInfo>(kav::rc::RS_FAILED, KAV_LOCATION, "", "");
    kav::logErrorLine(logger(), log4cxx::Level::getError(), *error);
    return error;
}

} // namespace

bool RepositoryServer::serve(zephcomm::Channel* channel, ServiceContext& context)
{
    return bindServer<RepositoryServer, IRepositoryRespClient>(channel, IRepository::kInterfaceName,
        IRepository::prototypes(), new (std::nothrow) RepositoryServer(context, true));
}

RepositoryServer::RepositoryServer(ServiceContext& context, bool mayShutdown)
    : ConnectionServer("RepositoryServer", logger(), context)
    , mayShutdown_(mayShutdown)
    , uploads_(std::make_shared<modules::ConnectionUploads>())
{
}

RepositoryServer::~RepositoryServer() = default;

void RepositoryServer::complete(int error, zephcomm::Call* call)
{
    if (error != 0 && !call) {
        if (response_)
            response_->detach();
        DiscardUploadsWork::queueFor(context_, uploads_);
    }
    IRepository::CallCompletionImp::complete(error, call);
}

void RepositoryServer::logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer)
{
    delete kav::takeErrorInfo();
    int32_t result = KAV_GUARDED([&] {
        if (!credential || !consumer || status() != 0)
            KAV_THROW(kav::rc::RS_MISSING_ARGUMENT, "logon needs a credential and a consumer");
        LOG4CXX_DEBUG(logger(), "RepositoryServer::logon Got parameters: " << *consumer);
        {
            std::lock_guard lock(mutex_);
            // An empty credential repeats the connection's previous logon.
            if (credential->empty() && !credential_.empty())
                *credential = credential_;
            consumer_ = *consumer;
            credential_ = *credential;
        }
        std::unique_ptr<Work> work(new (std::nothrow) LogonWork(*credential, *consumer, this, response_));
        if (!work)
            KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "logon work not created");
        return context_.enqueue(std::move(work));
    });
    if (result < 0) {
        auto error = takeFailure();
        std::string empty;
        response_->logonResp(error.get(), &empty, &empty);
    }
}

void RepositoryServer::shutdownRS(std::unique_ptr<std::string>)
{
    LOG4CXX_DEBUG(logger(), "RepositoryServer::shutdownRS Got parameters: ");
    if (!mayShutdown_)
        return;
    if (gate_.required() && !mayStopService()) {
        const std::string user = userName();
        LOG4CXX_WARN(logger(),
            "RepositoryServer::shutdownRS ignored: user "
                << (user.empty() ? "-" : user) << " does not hold role level " << kShutdownRoleLevel
                << " on /");
        return;
    }
    context_.signalShutdown();
}

bool RepositoryServer::mayStopService() const
{
    if (!gate_.isLoggedOn())
        return false;
    std::string permitted;
    if (context_.checkRole(userName(), "/", kShutdownRoleLevel, permitted) >= 0)
        return true;
    delete kav::takeErrorInfo(); // the refusal is the WARN line
    return false;
}

void RepositoryServer::getRSVersion(
    std::unique_ptr<KavVersion> narvVersion, std::unique_ptr<KavVersion> qelVersion, int32_t value)
{
    LOG4CXX_DEBUG(logger(),
        "RepositoryServer::getRSVersion Got parameters: " << (narvVersion ? narvVersion->display() : "")
                                                          << ", " << (qelVersion ? qelVersion->display() : "")
                                                          << ", " << value);
    const ProductVersion qel = context_.productVersion();
    KavVersion service { 4, 0, 0, "" };
    KavVersion product { qel.major, qel.minor, qel.patch, "" };
    kav::KavErrorInfo success;
    response_->getRSVersionResp(&success, &service, &product, 1);
}

// --- Module operations ---------------------------------------------------
// Each request is checked for its required arguments, logged and queued as
// its work item, which answers later; a request that cannot be queued is
// answered here at once (and, for uploads and removals, audited).

namespace {

// Runs the queuing steps; 0 when queued, else negative with the thread's
// error information describing the failure.
int32_t queueWork(ServiceContext& context, const LogonGate& gate, bool argumentsPresent,
    const char* operation, const std::string& parameters, const std::function<Work*()>& create)
{
    delete kav::takeErrorInfo();
    return KAV_GUARDED([&] {
        gate.admit(operation);
        if (!argumentsPresent)
            KAV_THROW(kav::rc::RS_MISSING_ARGUMENT, std::string(operation) + " misses a required argument");
        LOG4CXX_DEBUG(logger(), "RepositoryServer::" << operation << " Got parameters: " << parameters);
        std::unique_ptr<Work> work(create());
        if (!work)
            KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, std::string(operation) + " work not created");
        return context.enqueue(std::move(work));
    });
}

std::string orEmpty(const std::unique_ptr<std::string>& value)
{
    return value ? *value : std::string();
}

} // namespace

void RepositoryServer::addModule(std::unique_ptr<std::string> moduleName,
    std::unique_ptr<std::string> moduleFileName, rpc::BlockPtr moduleData, int32_t flag)
{
    const std::string user = userName();
    const bool present = moduleName && moduleFileName && moduleData && status() == 0;
    const std::string parameters = consumer() + ", " + orEmpty(moduleName) + ", " + orEmpty(moduleFileName);
    int32_t result = queueWork(context_, gate_, present, "addModule", parameters, [&] {
        uploads_->pieceReceived(); // before the piece can be stored
        return new (std::nothrow) AddModuleWork(context_, *moduleName, *moduleFileName, std::move(moduleData),
            flag, response_, consumer(), user, uploads_);
    });
    if (result >= 0)
        return;
    auto error = takeFailure();
    modules::auditFailure(context_, modules::Audited::Add, user, orEmpty(moduleName), *error);
    std::string noVersion;
    response_->addModuleResp(error.get(), &noVersion);
}

void RepositoryServer::removeModule(std::unique_ptr<std::string> moduleName)
{
    const std::string user = userName();
    int32_t result
        = queueWork(context_, gate_, moduleName && status() == 0, "removeModule", orEmpty(moduleName), [&] {
              return new (std::nothrow) RemoveModuleWork(context_, *moduleName, response_, consumer(), user);
          });
    if (result >= 0)
        return;
    auto error = takeFailure();
    modules::auditFailure(context_, modules::Audited::Remove, user, orEmpty(moduleName), *error);
    response_->removeModuleResp(error.get());
}

void RepositoryServer::getModuleList()
{
    int32_t result = queueWork(context_, gate_, status() == 0, "getModuleList", consumer(),
        [&] { return new (std::nothrow) GetModuleListWork(context_, response_, consumer(), userName()); });
    if (result >= 0)
        return;
    auto error = takeFailure();
    RepositoryAppList empty;
    response_->getModuleListResp(error.get(), &empty);
}

void RepositoryServer::getModule(std::unique_ptr<std::string> moduleName,
    std::unique_ptr<std::string> version, std::unique_ptr<std::string> consumer)
{
    const bool present = moduleName && version && consumer && status() == 0;
    const std::string parameters = orEmpty(moduleName) + ", " + orEmpty(version) + ", " + orEmpty(consumer);
    int32_t result = queueWork(context_, gate_, present, "getModule", parameters, [&] {
        return new (std::nothrow) GetModuleWork(context_, *moduleName, *version, response_, *consumer);
    });
    if (result >= 0)
        return;
    auto error = takeFailure();
    std::string none;
    RepositoryAppList empty;
    auto noData = rpc::makeBlock("");
    response_->getModuleResp(error.get(), &none, &none, noData.get(), &empty);
}

void RepositoryServer::linkModuleApplication(
    std::unique_ptr<std::string> applicationName, std::unique_ptr<std::string> moduleName, int32_t flag)
{
    const bool present = applicationName && moduleName && status() == 0;
    const std::string parameters
        = orEmpty(applicationName) + ", " + orEmpty(moduleName) + ", " + std::to_string(flag);
    int32_t result = queueWork(context_, gate_, present, "linkModuleApplication", parameters, [&] {
        return new (std::nothrow) LinkModuleAppWork(
            context_, flag != 0, *applicationName, *moduleName, response_, consumer(), userName());
    });
    if (result >= 0)
        return;
    auto error = takeFailure();
    response_->linkModuleApplicationResp(error.get());
}

} // namespace rs
