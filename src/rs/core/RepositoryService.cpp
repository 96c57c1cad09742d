#include "rs/core/RepositoryService.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "rs/core/HostNameMatch.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/events/EventNotification.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/logging/ProcessProperties.h"
#include "rs/security/KavSecurityServer.h"

#include <ace/Event.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kRepositoryService);
    return logger;
}

constexpr const char* kInternalGroup = "InternalResourceGroup";

// Why the port cannot be listened on, as the operator reads it; the text
// of a port in use (or of an unknown cause) is the one the events know.
std::string portFailureText(int error)
{
    if (error == -EADDRINUSE || error >= -1)
        return "Port is in use.";
    return std::string(std::strerror(-error)) + ".";
}

// Logs the thread's error information at WARN and discards it.
void warnAndDiscardError()
{
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (error)
        kav::logErrorLine(logger(), log4cxx::Level::getWarn(), *error);
}

} // namespace

RepositoryService& RepositoryService::instance()
{
    static RepositoryService* service = new RepositoryService();
    return *service;
}

RepositoryService::RepositoryService() = default;

RepositoryService::~RepositoryService() = default;

void RepositoryService::init(int32_t port, int32_t hostTimeout, int32_t threadCount)
{
    hostTimeout_ = hostTimeout == 0 ? kDefaultHostTimeout : hostTimeout;
    threadCount_ = threadCount;
    port_ = port;
    portText_ = std::to_string(port);
    logonRequired_ = requireLogonSetting(std::getenv("RS_REQUIRE_LOGON"));
    if (!logonRequired_)
        LOG4CXX_WARN(logger(), "RS_REQUIRE_LOGON is off: requests are served without a logon");
    if (!listenerFactory_)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "no connection manager");
    listener_ = listenerFactory_(ListenerSettings { portText_, kav::localHostName() });
    if (!listener_)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "connection manager not created");
}

void RepositoryService::startUp()
{
    securityServer_ = std::make_unique<kav::KavSecurityServer>();
    securityServer_->initialize();
    securityStarted_ = true;

    if (const int opened = listener_ ? listener_->open() : -1; opened < 0) {
        std::string host = kav::localHostName();
        const std::string reason = portFailureText(opened);
        kav::EventNotification::instance().triggerEventInterface(
            kav::EventNotification::EVENT_NARV_RS_EXIT_PORT, portText_, host, reason, "", "");
        KAV_THROW(kav::rc::BAD_PORT, reason, { portText_, host, reason });
    }
    // Before the workers: the persisted deployment state is back in the
    // host status table before the first request can read it.
    deployment_ = std::make_unique<DeploymentRuntime>(
        DeploymentHostHooks {
            [this](const std::string& a, const std::string& b) { return compareHostName(a, b); },
            [this] { cleanupConsumers(); },
            [this](const std::string& consumer) { addConsumerForCleanup(consumer); } },
        storageDir_, hostTimeout_, clusterDeployResources());
    if (task_.openWorkers(threadCount_) == -1)
        KAV_THROW(kav::rc::RS_FAILED, "worker threads not started");
    workersStarted_ = true;
    LOG4CXX_INFO(logger(), "Repository Service will accept connections on: " << port_);
}

void RepositoryService::shutdown()
{
    if (workersStarted_) {
        task_.hangUp();
        workersStarted_ = false;
    }
    // The runtime itself stays: a closing connection may still look at it.
    if (deployment_)
        deployment_->shutdown();
    if (securityStarted_) {
        KAV_GUARDED([this] {
            securityServer_->finalize();
            return 0;
        });
        kav::clearErrorInfo();
        securityStarted_ = false;
    }
    if (listener_) {
        listener_->close();
        listener_.reset();
    }
    LOG4CXX_INFO(logger(), "Repository Service is down");
}

void RepositoryService::setShutdownEvent(ACE_Event* event)
{
    std::lock_guard lock(shutdownEventMutex_);
    shutdownEvent_ = event;
}

bool RepositoryService::signalShutdown()
{
    std::lock_guard lock(shutdownEventMutex_);
    if (!shutdownEvent_)
        return false;
    shutdownEvent_->signal();
    return true;
}

int32_t RepositoryService::enqueue(Work* work)
{
    switch (task_.enqueueWork(work)) {
    case 0:
        return 0;
    case Task::kNoBlock:
        return kav::setError(kav::rc::RS_NO_SERVER_MANAGER, "queue entry not created", KAV_LOCATION);
    default:
        return kav::setError(kav::rc::RS_QUEUE_FAILED, "work item not queued", KAV_LOCATION);
    }
}

int32_t RepositoryService::authenticate(
    const std::string& credential, std::string& responseToken, std::string& userName)
{
    LOG4CXX_DEBUG(logger(), "RepositoryService::authenticate: Entering");
    int32_t result = KAV_GUARDED([&] {
        if (!securityServer_)
            KAV_THROW(kav::rc::SEC_AUTH_ERROR, "security not initialised");
        kav::KavData token;
        securityServer_->authenticate(kav::KavData(credential), token, userName);
        responseToken.assign(reinterpret_cast<const char*>(token.data()), token.length());
        return 0;
    });
    if (result < 0)
        LOG4CXX_DEBUG(logger(), "RepositoryService::authenticate: refused with code " << result);
    LOG4CXX_DEBUG(logger(), "RepositoryService::authenticate: Exiting");
    return result;
}

int32_t RepositoryService::checkConsumerId(const std::string& consumer)
{
    int32_t result = resourceManager_->checkConsumer(consumer);
    if (result < 0)
        warnAndDiscardError();
    return result;
}

int32_t RepositoryService::hostsOf(
    const std::string& group, std::vector<std::string>& hosts, bool throwWhenEmpty)
{
    int32_t result = resourceManager_->hostsOfGroup(group, hosts);
    if (result < 0) {
        warnAndDiscardError();
        return result;
    }
    if (hosts.empty() && throwWhenEmpty)
        KAV_THROW(kav::rc::RS_EMPTY_GROUP, "resource group has no hosts", { group });
    return result;
}

int32_t RepositoryService::checkResourceGroup(const std::string& group)
{
    std::vector<std::string> hosts;
    return hostsOf(group, hosts, true);
}

int32_t RepositoryService::checkHostName(const std::string& host)
{
    return checkHostInGroup(host, kInternalGroup);
}

int32_t RepositoryService::checkHostInGroup(const std::string& host, const std::string& group)
{
    std::vector<std::string> hosts;
    int32_t result = hostsOf(group, hosts, true);
    if (result < 0)
        return result;
    for (const auto& candidate : hosts)
        if (compareHostName(candidate, host))
            return 0;
    KAV_THROW(kav::rc::RS_UNKNOWN_HOST, "host is not in the resource group " + group, { host });
}

bool RepositoryService::compareHostName(const std::string& a, const std::string& b)
{
    return rs::compareHostName(a, b, systemHostResolver());
}

int32_t RepositoryService::checkRole(
    const std::string& user, const std::string& consumer, int level, std::string& out)
{
    return KAV_GUARDED([&] { return resourceManager_->checkUserRole(user, consumer, level, out); });
}

int32_t RepositoryService::getConsumerIdsForUser(const std::string& user, std::vector<std::string>& consumers)
{
    int32_t result = resourceManager_->consumersOfUser(user, consumers);
    if (result < 0)
        kav::clearErrorInfo();
    return result;
}

void RepositoryService::addConsumerForCleanup(const std::string& consumer)
{
    consumersToClean_.add(consumer);
}

void RepositoryService::cleanupConsumers()
{
    if (!resourceManager_)
        return;
    consumersToClean_.cleanup([this](const std::string& consumer) {
        int32_t result = resourceManager_->unregisterConsumer(consumer);
        if (result < 0)
            kav::clearErrorInfo();
        return result;
    });
}

void RepositoryService::cleanupPackageInstallers()
{
    if (deployment_)
        deployment_->installers().cleanupPackageInstallers(); // stale consumers first, then the installers
    else
        cleanupConsumers();
}

} // namespace rs
