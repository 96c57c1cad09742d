#include "rs/resmgr/ZORResManager.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "platform/zor/zor.h"
#include "rs/resmgr/DummyResConsumer.h"

#include <cstdlib>

namespace rs::resmgr {

ZORResManager& ZORResManager::instance()
{
    static ZORResManager manager(PeriodicManager::instance());
    return manager;
}

ZORResManager::ZORResManager(PeriodicManager& periodic)
    : logger_(resManagerLogger())
    , table_(logger_)
    , callbacks_(table_, logger_)
    , registration_(table_, callbacks_, logger_)
    , allocation_(table_, logger_)
    , containers_(table_, logger_)
    , checks_(logger_)
    , houseKeeping_(periodic, table_, logger_, [](int code) { std::exit(code); })
{
}

ZORResManager::~ZORResManager() = default;

// ---------------------------------------------------------------- the daemon's

int32_t ZORResManager::init(const std::string& clientName, int, int keepAlive)
{
    RM_ASSERT(clientName.length() != 0);
    table_.setClientName(clientName);
    const char* credential = std::getenv("QEL_SERVICE_CREDENTIAL");
    table_.setCredential(credential ? credential : "");
    LOG4CXX_INFO(logger_,
        "clientName=" << clientName << " REFRESH_CREDENTIAL_INTERVAL=" << kRefreshCredentialInterval
                      << " seconds ."
                      << " credential=" << maskCredential(table_.credential())
                      << " ResourceBalanceInterval=" << houseKeeping_.interval());
    if (keepAlive) {
        keepAliveConsumer_ = std::make_unique<DummyResConsumer>();
        if (int32_t rc = registerConsumer(kKeepAliveConsumer, keepAliveConsumer_.get(), "keep alive", 5);
            rc < 0) {
            if (zorerrno == ZORE_CONF)
                return rc; // a malformed cluster file: nothing can work, start-up shows why
            logAndDropError(logger_, "registering the keep-alive consumer");
        }
    }
    houseKeeping_.scheduleCredentialRefresh();
    return 0;
}

void ZORResManager::registerURL(
    const std::vector<std::string>& clientNames, const std::vector<std::string>& urls)
{
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    for (size_t i = 0; i < clientNames.size() && i < urls.size(); ++i) {
        zor_regreq_t request { clientNames[i].c_str(), urls[i].c_str(), 0, 0, nullptr };
        if (!handle || zor_register2(handle, &request, nullptr, nullptr) != 0) {
            int err = zorerrno;
            std::string text = zor_strerror(err);
            std::string line = "clientName='" + clientNames[i]
                + "' is not registered. call_zor_register failed with zorerrno=" + std::to_string(err)
                + ", the error message returned from ZOR is: " + text;
            LOG4CXX_ERROR(logger_, line);
            if (handle)
                zor_close(handle);
            KAV_THROW(kav::rc::ZOR_CALL_FAILED, line, { clientNames[i], std::to_string(err), text });
        }
        LOG4CXX_INFO(
            logger_, "clientName='" << clientNames[i] << "' registered with URL '" << urls[i] << "'");
    }
    zor_close(handle);
}

void ZORResManager::cleanup()
{
    for (auto& consumer : table_.all())
        if (unregisterConsumer(consumer->consumerId()) < 0)
            logAndDropError(logger_, "unregistering a consumer");
    houseKeeping_.stop();
}

void ZORResManager::dump()
{
    const auto consumers = table_.all();
    LOG4CXX_INFO(logger_,
        "ZORResManager clientName=" << table_.clientName() << " consumers=" << consumers.size()
                                    << " ResourceBalanceInterval=" << houseKeeping_.interval());
    std::lock_guard lock(table_.mutex()); // the consumers' books
    for (auto& consumer : consumers)
        LOG4CXX_INFO(logger_, consumer->dump());
}

// ---------------------------------------------------------------- registration

int32_t ZORResManager::registerConsumer(const std::string& consumerId, IResourceConsumer* callback,
    const std::string& description, unsigned scheduleInterval, const std::string& consumerPath)
{
    int32_t rc
        = registration_.registerConsumer(consumerId, callback, description, scheduleInterval, consumerPath);
    if (rc < 0)
        return rc;
    houseKeeping_.adoptScheduleInterval(scheduleInterval);
    houseKeeping_.run(); // at once after a registration
    return 0;
}

int32_t ZORResManager::unregisterConsumer(const std::string& consumerId)
{
    return registration_.unregisterConsumer(consumerId);
}

// ---------------------------------------------------------------- allocation

int32_t ZORResManager::getResources(const std::string& consumerId, int minRes, int maxRes,
    const std::string& resType, const std::string& resGroup, const std::string& resReq)
{
    return allocation_.getResources(consumerId, minRes, maxRes, resType, resGroup, resReq);
}

int32_t ZORResManager::getOneResource(const std::string& consumerId, const std::string& resType,
    const std::string& resGroup, const std::string& resReq)
{
    return allocation_.getResources(consumerId, 1, 1, resType, resGroup, resReq);
}

int32_t ZORResManager::cancel(const std::string& consumerId)
{
    return allocation_.cancel(consumerId);
}

int32_t ZORResManager::replace(VrmResource* resource, const std::vector<std::string>&)
{
    return allocation_.replace(resource);
}

int32_t ZORResManager::release(VrmResource* resource)
{
    return allocation_.release(resource);
}

int32_t ZORResManager::modify(const std::string& consumerId, int maxRes)
{
    return allocation_.modify(consumerId, maxRes);
}

int32_t ZORResManager::getAllocactedList(const std::string& consumerId, ZORConsumer::Resources& out)
{
    return allocation_.getAllocactedList(consumerId, out);
}

int32_t ZORResManager::checkAllocations()
{
    return allocation_.checkAllocations();
}

// ---------------------------------------------------------------- containers

int32_t ZORResManager::provisionAs(VrmResource* resource, const std::string& command,
    const std::vector<std::string>& environment, const std::string& runAsUser, const std::string& workDir)
{
    return containers_.provisionAs(resource, command, environment, runAsUser, workDir);
}

int32_t ZORResManager::killContainer(VrmResource* resource)
{
    return containers_.signalContainer(resource, kKillSignal);
}

int32_t ZORResManager::hangupContainer(VrmResource* resource)
{
    return containers_.signalContainer(resource, kHangupSignal);
}

// ---------------------------------------------------------------- checks

int32_t ZORResManager::getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts)
{
    return checks_.getHostGroupInfo(resourceGroup, hosts);
}

int32_t ZORResManager::checkUserRole(
    const std::string& user, const std::string& consumer, int level, bool& permitted)
{
    return checks_.checkUserRole(user, consumer, level, permitted);
}

int32_t ZORResManager::checkUserRole(const std::string& user, std::vector<std::string>& consumers)
{
    return checks_.checkUserRole(user, consumers);
}

int32_t ZORResManager::checkConsumer(const std::string& consumer, const std::string& resourceGroup)
{
    return checks_.checkConsumer(consumer, resourceGroup);
}

int32_t ZORResManager::checkResReq(const std::string& resReq)
{
    return checks_.checkResReq(resReq);
}

// ---------------------------------------------------------------- periodic work

void ZORResManager::houseKeeping()
{
    houseKeeping_.run();
}

void ZORResManager::refreshCredentials()
{
    houseKeeping_.refreshCredentials();
}

} // namespace rs::resmgr
