#include "rs/repository/operations/RepositoryServer.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "rs/core/ServerBinding.h"
#include "rs/repository/operations/AddModuleWork.h"
#include "rs/repository/operations/DiscardUploadsWork.h"
#include "rs/repository/operations/GetModuleListWork.h"
#include "rs/repository/operations/GetModuleWork.h"
#include "rs/repository/operations/LinkModuleAppWork.h"
#include "rs/repository/operations/LogonWork.h"
#include "rs/repository/operations/ModuleWorkSupport.h"
#include "rs/repository/operations/RemoveModuleWork.h"

#include <memory>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kRepositoryServer);
    return logger;
}

// Stopping the service is an administrator's act: a role on "/" of this
// level, the highest, asked of the resource manager directly. No permission
// operation number stands for it.
constexpr int kShutdownRoleLevel = 1;

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

void RepositoryServer::connectionTrouble(bool closed)
{
    if (!closed)
        return;
    if (response_)
        response_->detach();
    DiscardUploadsWork::queueFor(context_, uploads_);
}

void RepositoryServer::auditRefusal(const rpc::OperationFacts& facts, const std::string& user,
    const std::string& subject, const kav::IKavErrorInfo& error)
{
    modules::auditFailure(context_, facts.auditMessage, user, subject, error);
}

std::unique_ptr<Work> RepositoryServer::makeWork(std::unique_ptr<IRepository::logon_Call> call)
{
    std::string credential = *call->credential();
    const std::string& consumer = *call->consumer();
    {
        std::lock_guard lock(mutex_);
        // An empty credential repeats the connection's previous logon.
        if (credential.empty() && !credential_.empty())
            credential = credential_;
        consumer_ = consumer;
        credential_ = credential;
    }
    return std::unique_ptr<Work>(new (std::nothrow) LogonWork(credential, consumer, this, response_));
}

std::unique_ptr<Work> RepositoryServer::makeWork(std::unique_ptr<IRepository::addModule_Call> call)
{
    uploads_->pieceReceived(); // before the piece can be stored
    return std::unique_ptr<Work>(
        new (std::nothrow) AddModuleWork(context_, *call->moduleName(), *call->moduleFileName(),
            call->takeModuleData(), call->flag(), response_, consumer(), userName(), uploads_));
}

std::unique_ptr<Work> RepositoryServer::makeWork(std::unique_ptr<IRepository::removeModule_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow)
            RemoveModuleWork(context_, *call->moduleName(), response_, consumer(), userName()));
}

std::unique_ptr<Work> RepositoryServer::makeWork(std::unique_ptr<IRepository::getModuleList_Call>)
{
    return std::unique_ptr<Work>(
        new (std::nothrow) GetModuleListWork(context_, response_, consumer(), userName()));
}

std::unique_ptr<Work> RepositoryServer::makeWork(std::unique_ptr<IRepository::getModule_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow)
            GetModuleWork(context_, *call->moduleName(), *call->version(), response_, *call->consumer()));
}

std::unique_ptr<Work> RepositoryServer::makeWork(
    std::unique_ptr<IRepository::linkModuleApplication_Call> call)
{
    return std::unique_ptr<Work>(new (std::nothrow) LinkModuleAppWork(context_, call->flag() != 0,
        *call->applicationName(), *call->moduleName(), response_, consumer(), userName()));
}

void RepositoryServer::answerAtOnce(std::unique_ptr<IRepository::shutdownRS_Call>)
{
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
    kav::clearErrorInfo(); // the refusal is the WARN line
    return false;
}

void RepositoryServer::answerAtOnce(std::unique_ptr<IRepository::getRSVersion_Call>)
{
    const ProductVersion qel = context_.productVersion();
    KavVersion service { 4, 0, 0, "" };
    KavVersion product { qel.major, qel.minor, qel.patch, "" };
    kav::KavErrorInfo success;
    response_->getRSVersionResp(&success, &service, &product, 1);
}

} // namespace rs
