#include "rs/resmgr/ZORResManager.h"

#include "common/KavAssert.h"
#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/resmgr/DummyResConsumer.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

namespace rs::resmgr {

namespace {

int32_t assertionFailed(const char* expression, const char* file, int line)
{
    return kav::setError(kav::rc::ZOR_CALL_FAILED, std::string("KAV_ASSERT: <") + expression + "> failed",
        kav::makeLocation(file, line));
}

#define RM_ASSERT(expr) KAV_ASSERT(expr, assertionFailed(#expr, __FILE__, __LINE__))

std::string attribute(const zor_hostslots_t& host, const char* name)
{
    for (int i = 0; i < host.nattr; ++i)
        if (host.attrs[i].name && std::string(host.attrs[i].name) == name && host.attrs[i].value)
            return host.attrs[i].value;
    return {};
}

std::string normalisedConsumer(const std::string& consumer)
{
    return !consumer.empty() && consumer[0] == '/' ? consumer : "/" + consumer;
}

// True when role (a consumer path) is consumer or one of its ancestors.
bool covers(const std::string& role, const std::string& consumer)
{
    std::string r = normalisedConsumer(role), c = normalisedConsumer(consumer);
    return r == "/" || r == c || c.compare(0, r.size() + 1, r + "/") == 0;
}

void logAndDropError(const log4cxx::LoggerPtr& logger, const char* what)
{
    std::unique_ptr<kav::KavErrorInfo> info(kav::takeErrorInfo());
    if (info)
        kav::logErrorLine(logger, log4cxx::Level::getError(), *info);
    else
        LOG4CXX_ERROR(logger, what << " failed without error information");
}

bool equalsIgnoreCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::toupper(x) == std::toupper(y);
    });
}

} // namespace

const char* hostStateName(int state)
{
    static const char* names[] = { "HOST_OK", "HOST_UNAVAIL", "HOST_CLOSE", "HOST_REMOVED", "HOST_INACTIVE" };
    return state >= 0 && state < 5 ? names[state] : "UNKNOWN";
}

const char* containerStateName(int state)
{
    static const char* names[] = { "CONTAINER_NULL", "CONTAINER_START", "CONTAINER_RUN", "CONTAINER_SUSPEND",
        "CONTAINER_FINISH", "CONTAINER_UNKNOWN", "CONTAINER_ZOMBIE" };
    return state >= 0 && state < 7 ? names[state] : "UNKNOWN";
}

std::string maskCredential(const std::string& credential)
{
    if (credential.empty())
        return "<none>";
    size_t colon = credential.find(':');
    return (colon == std::string::npos ? std::string() : credential.substr(0, colon + 1)) + "****";
}

// ---------------------------------------------------------------- set-up

ZORResManager& ZORResManager::instance()
{
    static ZORResManager manager(PeriodicManager::instance());
    return manager;
}

ZORResManager::ZORResManager(PeriodicManager& periodic)
    : logger_(log4cxx::Logger::getLogger("servers.common.resmngr.ZORResManager"))
    , periodic_(periodic)
    , exitHandler_([](int code) { std::exit(code); })
{
}

ZORResManager::~ZORResManager()
{
    // Without cleanup (a test, an early exit) the timers must not outlive us.
    for (long timer : { houseKeepingTimer_, refreshTimer_ })
        if (timer != -1)
            periodic_.cancel(timer);
}

const zor_callbacks_t& ZORResManager::callbackTable()
{
    // The client library calls back on its own thread, through C: what a
    // callback throws is logged as an error line and goes no further.
    static constexpr auto deliver = [](void* ctx, auto&& call) noexcept {
        auto* c = static_cast<CallbackContext*>(ctx);
        try {
            call(*c->manager, c->consumerId);
        } catch (...) {
            kav::logEscapedException(c->manager->logger_, __FILE__, __LINE__);
        }
    };
    using Id = const std::string&;
    static const zor_callbacks_t table {
        [](zor_handle_t*, void* ctx, const zor_allocation_t* added) {
            deliver(ctx, [&](ZORResManager& m, Id id) { m.addResource(id, *added); });
        },
        [](zor_handle_t*, void* ctx, const zor_reclaimlist_t* reclaimed) {
            deliver(ctx, [&](ZORResManager& m, Id id) { m.reclaimForce(id, *reclaimed); });
        },
        [](zor_handle_t*, void* ctx, const zor_container_t* container) {
            deliver(ctx, [&](ZORResManager& m, Id id) { m.containerStateChg(id, *container); });
        },
        [](zor_handle_t*, void* ctx, const char* host, int32_t state) {
            deliver(ctx, [&](ZORResManager& m, Id id) { m.hostStateChange(id, host, state); });
        },
        [](zor_handle_t*, void* ctx) {
            deliver(ctx, [](ZORResManager& m, Id id) { m.connectionEvent(id, "connection lost"); });
        },
        [](zor_handle_t*, void* ctx) {
            deliver(ctx, [](ZORResManager& m, Id id) { m.connectionEvent(id, "connection ok"); });
        },
        [](zor_handle_t*, void* ctx) {
            deliver(ctx, [](ZORResManager& m, Id id) { m.connectionEvent(id, "connection failed"); });
        },
    };
    return table;
}

int32_t ZORResManager::init(const std::string& clientName, int, int keepAlive)
{
    RM_ASSERT(clientName.length() != 0);
    {
        std::lock_guard lock(mutex_);
        clientName_ = clientName;
        const char* credential = std::getenv("QEL_SERVICE_CREDENTIAL");
        credential_ = credential ? credential : "";
        LOG4CXX_INFO(logger_,
            "clientName=" << clientName_ << " REFRESH_CREDENTIAL_INTERVAL=" << kRefreshCredentialInterval
                          << " seconds ."
                          << " credential=" << maskCredential(credential_)
                          << " ResourceBalanceInterval=" << resourceBalanceInterval_);
    }
    if (keepAlive) {
        keepAliveConsumer_ = std::make_unique<DummyResConsumer>();
        if (int32_t rc = registerConsumer(kKeepAliveConsumer, keepAliveConsumer_.get(), "keep alive", 5);
            rc < 0) {
            if (zorerrno == ZORE_CONF)
                return rc; // a malformed cluster file: nothing can work, start-up shows why
            logAndDropError(logger_, "registering the keep-alive consumer");
        }
    }
    long timer = periodic_.registerMethod([this] { refreshCredentials(); }, {},
        ACE_Time_Value(kRefreshCredentialInterval), ACE_Time_Value(kRefreshCredentialInterval));
    std::lock_guard lock(mutex_);
    refreshTimer_ = timer;
    return 0;
}

void ZORResManager::cleanup()
{
    std::vector<std::string> ids;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, c] : consumers_)
            ids.push_back(id);
    }
    for (auto& id : ids)
        if (unregisterConsumer(id) < 0)
            logAndDropError(logger_, "unregistering a consumer");
    long houseKeeping, refresh;
    {
        std::lock_guard lock(mutex_);
        houseKeeping = std::exchange(houseKeepingTimer_, -1);
        refresh = std::exchange(refreshTimer_, -1);
    }
    if (houseKeeping != -1)
        periodic_.cancel(houseKeeping);
    if (refresh != -1)
        periodic_.cancel(refresh);
    if (houseKeeping != -1 || refresh != -1)
        periodic_.cleanup();
}

// ---------------------------------------------------------------- helpers

int32_t ZORResManager::libraryFailure(const std::string& what, const char* location)
{
    int err = zorerrno;
    std::string text = zor_strerror(err);
    std::ostringstream line;
    line << what << " with zorerrno=" << err << ", the error message returned from ZOR is: " << text;
    LOG4CXX_ERROR(logger_, line.str());
    return kav::setError(kav::rc::ZOR_CALL_FAILED, line.str(), location, { what, std::to_string(err), text });
}

ZORResManager::ConsumerPtr ZORResManager::findConsumer(const std::string& consumerId) const
{
    std::lock_guard lock(mutex_);
    auto it = consumers_.find(consumerId);
    return it == consumers_.end() ? nullptr : it->second;
}

const ZORResManager::CallbackContext* ZORResManager::contextOf(const std::string& consumerId) const
{
    for (auto it = contexts_.rbegin(); it != contexts_.rend(); ++it)
        if ((*it)->consumerId == consumerId)
            return it->get();
    return nullptr;
}

int32_t ZORResManager::withHandle(
    const std::string& consumerId, const std::function<int32_t(ZORConsumer&)>& call)
{
    ConsumerPtr consumer = findConsumer(consumerId);
    if (!consumer) {
        LOG4CXX_ERROR(logger_,
            "consumerId='" << consumerId << "' is not registered. Can not find it in a m_zorConsumerMap.");
        return kav::setError(kav::rc::ZOR_CONSUMER_GONE, "consumer '" + consumerId + "' is not registered",
            KAV_LOCATION, { consumerId });
    }
    std::lock_guard handleLock(consumer->handleMutex());
    if (!consumer->handleOpen())
        return kav::setError(kav::rc::ZOR_CONSUMER_GONE,
            "consumer '" + consumerId + "' is being unregistered", KAV_LOCATION, { consumerId });
    return call(*consumer);
}

int32_t ZORResManager::withOwnConnection(
    const std::string& what, const std::function<int32_t(zor_handle_t*)>& call)
{
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle)
        return libraryFailure(what + ": zor_open failed", KAV_LOCATION.c_str());
    int32_t rc = call(handle);
    zor_close(handle);
    return rc;
}

// ---------------------------------------------------------------- consumers

int32_t ZORResManager::registerConsumer(const std::string& consumerId, IResourceConsumer* callback,
    const std::string& description, unsigned scheduleInterval, const std::string& consumerPath)
{
    RM_ASSERT(consumerId.length() != 0);
    RM_ASSERT(consumerPath.length() != 0);
    RM_ASSERT(callback != nullptr);
    const std::string failure
        = "consumerId='" + consumerId + "' can not be registered. call_zor_register failed";
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle)
        return libraryFailure(failure, KAV_LOCATION.c_str());
    std::string credential;
    auto consumer = std::make_shared<ZORConsumer>(consumerId, consumerPath, handle, callback);
    CallbackContext* context;
    {
        std::lock_guard lock(mutex_);
        if (consumers_.count(consumerId)) {
            zor_close(handle);
            return kav::setError(kav::rc::ZOR_CALL_FAILED,
                "consumer '" + consumerId + "' is registered already", KAV_LOCATION, { consumerId });
        }
        credential = credential_;
        consumers_[consumerId] = consumer; // before registering: callbacks may come at once
        contexts_.push_back(std::make_unique<CallbackContext>(CallbackContext { this, consumerId }));
        context = contexts_.back().get();
    }
    zor_regreq_t request { consumerPath.c_str(), description.c_str(),
        ZOR_REG_CONSUMER | (scheduleInterval ? ZOR_REG_SCHEDULE : 0), static_cast<int32_t>(scheduleInterval),
        context };
    zor_allocreply_t* reply = nullptr;
    if (zor_logon(handle, nullptr, nullptr, credential.c_str()) != 0
        || zor_register2(handle, &request, &callbackTable(), &reply) != 0) {
        int32_t rc = libraryFailure(failure, KAV_LOCATION.c_str());
        std::unique_ptr<kav::KavErrorInfo> info(kav::takeErrorInfo());
        {
            std::lock_guard lock(mutex_);
            consumers_.erase(consumerId);
        }
        zor_close(handle);
        kav::setErrorInfo(info.release());
        return rc;
    }
    {
        std::lock_guard handleLock(consumer->handleMutex());
        std::lock_guard lock(mutex_);
        recoverConsumer(*consumer, *reply);
    }
    zor_free_allocreply(reply);
    LOG4CXX_INFO(
        logger_, "consumerId='" << consumerId << "' registered on consumer path '" << consumerPath << "'");
    adoptScheduleInterval(scheduleInterval);
    houseKeeping();
    return 0;
}

void ZORResManager::adoptScheduleInterval(unsigned scheduleInterval)
{
    long oldTimer;
    {
        std::lock_guard lock(mutex_);
        if (scheduleInterval == 0
            || (resourceBalanceInterval_ != 0 && resourceBalanceInterval_ <= scheduleInterval))
            return;
        LOG4CXX_INFO(logger_,
            " Change ResourceBalanceInterval from '" << resourceBalanceInterval_ << "' to '"
                                                     << scheduleInterval << "'");
        resourceBalanceInterval_ = scheduleInterval;
        oldTimer = std::exchange(houseKeepingTimer_, -1);
    }
    if (oldTimer != -1)
        periodic_.cancel(oldTimer);
    ACE_Time_Value period(scheduleInterval);
    long timer = periodic_.registerMethod([this] { houseKeeping(); }, {}, period, period);
    std::lock_guard lock(mutex_);
    houseKeepingTimer_ = timer;
}

// Under the consumer's handle mutex and mutex_.
void ZORResManager::recoverConsumer(ZORConsumer& consumer, const zor_allocreply_t& reply)
{
    if (reply.nallocation == 0) {
        LOG4CXX_DEBUG(logger_, "create ZORConsumer from scratch since allocReplyList->nallocation  == 0");
        return;
    }
    if (reply.nallocation > 1) {
        kav::setError(kav::rc::ZOR_CALL_FAILED,
            "more than one allocation for consumer " + consumer.consumerId(), KAV_LOCATION,
            { consumer.consumerId() });
        logAndDropError(logger_, "recovery");
    }
    const zor_allocation_t& allocation = reply.allocations[0];
    consumer.setAllocationId(allocation.allocId);
    // Free slots per host, less what the manager is reclaiming.
    std::map<std::string, int> slots;
    std::map<std::string, const zor_hostslots_t*> hosts;
    for (int i = 0; i < allocation.nhost; ++i) {
        slots[allocation.hosts[i].hostName] += allocation.hosts[i].slots;
        hosts[allocation.hosts[i].hostName] = &allocation.hosts[i];
    }
    for (int i = 0; i < reply.nreclaim; ++i)
        if (std::string(reply.reclaims[i].allocId) == allocation.allocId)
            for (int k = 0; k < reply.reclaims[i].nhost; ++k)
                slots[reply.reclaims[i].hosts[k].hostName] -= reply.reclaims[i].hosts[k].slots;
    auto newResource = [&](const std::string& host) {
        const zor_hostslots_t* h = hosts[host];
        std::string cpuf = h ? attribute(*h, "cpuf") : "";
        return new VrmResource(host, h ? attribute(*h, "type") : "", consumer.consumerId(),
            allocation.allocId, cpuf.empty() ? 1.0f : std::strtof(cpuf.c_str(), nullptr));
    };
    int adopted = 0;
    for (int i = 0; i < reply.ncontainer; ++i) {
        const zor_container_t& c = reply.containers[i];
        bool live = c.state == ZOR_CONTAINER_START || c.state == ZOR_CONTAINER_RUN
            || c.state == ZOR_CONTAINER_UNKNOWN;
        if (!live) {
            LOG4CXX_INFO(logger_,
                "Container <" << c.containerId << "> on <" << c.hostName << "> is "
                              << containerStateName(c.state));
            continue;
        }
        if (slots[c.hostName] > 0) {
            --slots[c.hostName];
            kav::RefPtr<VrmResource> r = kav::RefPtr<VrmResource>::adopt(newResource(c.hostName));
            r->setContainerId(c.containerId);
            consumer.addResource(r.get());
            ++adopted;
        } else {
            LOG4CXX_WARN(logger_, "Killing " << c.containerId << " on " << c.hostName);
            if (zor_signalcontainer(consumer.handle(), c.containerId, kKillSignal) != 0)
                LOG4CXX_WARN(logger_, "Killing " << c.containerId << " failed: " << zor_strerror(zorerrno));
        }
    }
    LOG4CXX_INFO(logger_,
        "There are <" << reply.ncontainer << "> containers "
                      << "of which <" << adopted << "> belong to allocated slots and <"
                      << reply.ncontainer - adopted << "> belong to other slots.");
    for (auto& [host, n] : slots)
        for (int k = 0; k < n; ++k)
            consumer.addResource(kav::RefPtr<VrmResource>::adopt(newResource(host)).get());
}

int32_t ZORResManager::unregisterConsumer(const std::string& consumerId)
{
    ConsumerPtr consumer;
    const CallbackContext* context;
    {
        std::lock_guard lock(mutex_);
        auto it = consumers_.find(consumerId);
        if (it == consumers_.end()) {
            LOG4CXX_ERROR(logger_,
                "consumerId='" << consumerId
                               << "' is not registered. Can not find it in a m_zorConsumerMap.");
            return kav::setError(kav::rc::ZOR_CONSUMER_GONE,
                "consumer '" + consumerId + "' is not registered", KAV_LOCATION, { consumerId });
        }
        consumer = it->second;
        consumers_.erase(it);
        context = contextOf(consumerId);
    }
    zor_handle_t* handle;
    {
        std::lock_guard handleLock(consumer->handleMutex());
        handle = consumer->takeHandle();
    }
    return closeHandle(handle, consumerId, context);
}

int32_t ZORResManager::closeHandle(
    zor_handle_t* handle, const std::string& consumerId, const CallbackContext* context)
{
    if (zor_unregister(handle) != 0)
        return libraryFailure("consumerId='" + consumerId + "' zor_unregister failed", KAV_LOCATION.c_str());
    if (zor_logoff(handle) != 0)
        return libraryFailure("consumerId='" + consumerId + "' zor_logoff failed", KAV_LOCATION.c_str());
    if (zor_close(handle) != 0)
        return libraryFailure("consumerId='" + consumerId + "' zor_close failed", KAV_LOCATION.c_str());
    std::lock_guard lock(mutex_); // no callback can come with the context any more
    contexts_.erase(
        std::remove_if(contexts_.begin(), contexts_.end(), [&](auto& c) { return c.get() == context; }),
        contexts_.end());
    LOG4CXX_INFO(logger_, "consumerId='" << consumerId << "' unregistered");
    return 0;
}

bool ZORResManager::isRegistered(const std::string& consumerId) const
{
    return findConsumer(consumerId) != nullptr;
}

unsigned ZORResManager::resourceBalanceInterval() const
{
    std::lock_guard lock(mutex_);
    return resourceBalanceInterval_;
}

// ---------------------------------------------------------------- allocation

int32_t ZORResManager::getResources(const std::string& consumerId, int minRes, int maxRes,
    const std::string& resType, const std::string& resGroup, const std::string& resReq)
{
    RM_ASSERT(maxRes > 0 && minRes > 0);
    RM_ASSERT(resType.length() != 0);
    return withHandle(consumerId, [&](ZORConsumer& consumer) {
        const std::string& path = consumer.consumerPath();
        zor_allocreq_t request { path.c_str(), resGroup.c_str(), resReq == "any" ? "" : resReq.c_str(),
            resType.c_str(), minRes, maxRes, 0 };
        char* allocId = nullptr;
        if (zor_alloc(consumer.handle(), &request, &allocId) != 0)
            return libraryFailure("consumerId='" + consumerId + "' zor_alloc failed", KAV_LOCATION.c_str());
        std::lock_guard lock(mutex_);
        consumer.setAllocationId(allocId);
        consumer.setMaxResources(maxRes);
        zor_free_string(allocId);
        return 0;
    });
}

int32_t ZORResManager::getOneResource(const std::string& consumerId, const std::string& resType,
    const std::string& resGroup, const std::string& resReq)
{
    return getResources(consumerId, 1, 1, resType, resGroup, resReq);
}

int32_t ZORResManager::cancel(const std::string& consumerId)
{
    return withHandle(consumerId, [&](ZORConsumer& consumer) {
        std::string allocId;
        {
            std::lock_guard lock(mutex_);
            allocId = consumer.allocationId();
        }
        if (allocId.empty())
            return kav::setError(kav::rc::ZOR_CALL_FAILED,
                "consumer '" + consumerId + "' holds no allocation", KAV_LOCATION, { consumerId });
        if (zor_allocfree(consumer.handle(), allocId.c_str()) != 0)
            return libraryFailure(
                "consumerId='" + consumerId + "' zor_allocfree failed", KAV_LOCATION.c_str());
        std::lock_guard lock(mutex_);
        consumer.setAllocationId({});
        consumer.takePendingReleases();
        consumer.clearRealloc();
        for (auto& r : ZORConsumer::Resources(consumer.resources()))
            consumer.removeResource(r.get());
        return 0;
    });
}

int32_t ZORResManager::giveBack(VrmResource* resource, int flag)
{
    RM_ASSERT(resource != nullptr);
    kav::RefPtr<VrmResource> keep(resource);
    return withHandle(resource->consumerId(), [&](ZORConsumer& consumer) {
        std::string host = resource->name();
        zor_hostslots_t slot { host.data(), 1, 0, nullptr };
        int rc = zor_release(consumer.handle(), resource->allocationId().c_str(), 1, &slot, flag);
        int err = rc == 0 ? 0 : zorerrno;
        std::lock_guard lock(mutex_);
        consumer.removeResource(resource);
        if (rc == 0)
            return 0;
        if (err == ZORE_NOTOWNED || err == ZORE_NOSUCHALLOC) {
            LOG4CXX_WARN(logger_, "resource on '" << host << "' is no longer owned; dropped all the same");
            return 0;
        }
        consumer.addPendingRelease(flag, host, 1);
        return libraryFailure(
            "consumerId='" + resource->consumerId() + "' zor_release failed", KAV_LOCATION.c_str());
    });
}

int32_t ZORResManager::release(VrmResource* resource)
{
    RM_ASSERT(resource != nullptr);
    return giveBack(resource, resource->releaseFlag());
}

int32_t ZORResManager::replace(VrmResource* resource, const std::vector<std::string>&)
{
    // The library never offers a replaced host to the allocation again, which
    // is what a black list of that host would do.
    return giveBack(resource, ZOR_RELEASE_REPLACE);
}

int32_t ZORResManager::modify(const std::string& consumerId, int maxRes)
{
    RM_ASSERT(maxRes > 0);
    ConsumerPtr consumer = findConsumer(consumerId);
    if (!consumer)
        return kav::setError(kav::rc::ZOR_CONSUMER_GONE, "consumer '" + consumerId + "' is not registered",
            KAV_LOCATION, { consumerId });
    std::lock_guard lock(mutex_);
    consumer->requestRealloc(maxRes);
    return 0;
}

int32_t ZORResManager::getAllocactedList(const std::string& consumerId, ZORConsumer::Resources& out)
{
    ConsumerPtr consumer = findConsumer(consumerId);
    if (!consumer)
        return kav::setError(kav::rc::ZOR_CONSUMER_GONE, "consumer '" + consumerId + "' is not registered",
            KAV_LOCATION, { consumerId });
    std::lock_guard lock(mutex_);
    out = consumer->resources();
    return 0;
}

int32_t ZORResManager::checkAllocations()
{
    std::vector<ConsumerPtr> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, c] : consumers_)
            all.push_back(c);
    }
    int32_t result = 0;
    for (auto& c : all) {
        int32_t rc = withHandle(c->consumerId(), [&](ZORConsumer& consumer) {
            std::string allocId;
            int max;
            {
                std::lock_guard lock(mutex_);
                allocId = consumer.allocationId();
                max = consumer.maxResources();
            }
            // Re-asking for the same maximum changes nothing but fails when the allocation is gone.
            if (allocId.empty() || zor_realloc(consumer.handle(), allocId.c_str(), max) == 0)
                return 0;
            return libraryFailure("Allocation <" + allocId + "> of consumerId='" + consumer.consumerId()
                    + "' can not be checked",
                KAV_LOCATION.c_str());
        });
        if (rc < 0)
            result = rc;
    }
    return result;
}

// ---------------------------------------------------------------- containers

int32_t ZORResManager::provisionAs(VrmResource* resource, const std::string& command,
    const std::vector<std::string>& environment, const std::string& runAsUser, const std::string& workDir)
{
    RM_ASSERT(resource != nullptr);
    if (command.empty()) {
        kav::logAssertFailure("Command line is empty", __FILE__, __LINE__);
        return kav::setError(kav::rc::ZOR_CALL_FAILED, "Command line is empty", KAV_LOCATION);
    }
    std::vector<std::string> env = environment;
    auto path = std::find_if(env.begin(), env.end(), [](const std::string& e) {
        return e.find('=') != std::string::npos && equalsIgnoreCase(e.substr(0, e.find('=')), "PATH");
    });
    // Names are case-sensitive here: whatever its spelling, the entry becomes PATH.
    if (path != env.end())
        *path = "PATH" + path->substr(path->find('=')) + ":${QEL_LIBDIR}";
    else
        env.push_back("PATH=${PATH}:${QEL_LIBDIR}");
    std::vector<const char*> envp;
    for (auto& e : env)
        envp.push_back(e.c_str());
    std::string containerName = resource->consumerId() + "@" + resource->name();
    zor_attr_t attr { const_cast<char*>("container_name"), containerName.data() };

    return withHandle(resource->consumerId(), [&](ZORConsumer& consumer) {
        zor_containerSpec_t* spec = zor_create_containerSpec(command.c_str(), runAsUser.c_str(),
            workDir.c_str(), static_cast<int32_t>(envp.size()), envp.data(), 1, &attr);
        if (!spec)
            return libraryFailure("zor_create_containerSpec failed", KAV_LOCATION.c_str());
        zor_containerId_t* id = zor_startcontainer(
            consumer.handle(), resource->allocationId().c_str(), resource->name().c_str(), spec);
        zor_free_containerSpec(spec);
        if (!id)
            return libraryFailure(
                "zor_startcontainer on host '" + resource->name() + "' failed", KAV_LOCATION.c_str());
        {
            // The library may have reported the container before this thread got here.
            std::lock_guard lock(mutex_);
            resource->setContainerId(id->id);
            if (auto known = containerStates_.find(id->id); known != containerStates_.end())
                resource->setContainerState(known->second);
        }
        LOG4CXX_INFO(logger_, "Started container <" << id->id << "> on host <" << resource->name() << ">");
        zor_free_containerId(id);
        return 0;
    });
}

int32_t ZORResManager::signalContainer(VrmResource* resource, int sig)
{
    RM_ASSERT(resource != nullptr);
    return withHandle(resource->consumerId(), [&](ZORConsumer& consumer) {
        std::string id = resource->containerId();
        if (zor_signalcontainer(consumer.handle(), id.c_str(), sig) != 0)
            return libraryFailure(
                "zor_signalcontainer <" + id + "> signal " + std::to_string(sig) + " failed",
                KAV_LOCATION.c_str());
        return 0;
    });
}

int32_t ZORResManager::killContainer(VrmResource* resource)
{
    return signalContainer(resource, kKillSignal);
}

int32_t ZORResManager::hangupContainer(VrmResource* resource)
{
    return signalContainer(resource, kHangupSignal);
}

bool ZORResManager::waitForContainerState(
    const std::string& containerId, int state, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return containerStateChanged_.wait_for(lock, timeout, [&] {
        auto it = containerStates_.find(containerId);
        return it != containerStates_.end() && it->second == state;
    });
}

// ---------------------------------------------------------------- checks

int32_t ZORResManager::getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts)
{
    return withOwnConnection("getHostGroupInfo", [&](zor_handle_t* handle) {
        zor_hostgroup_t* info = nullptr;
        if (zor_gethostgroupinfo(handle, resourceGroup.c_str(), &info) != 0)
            return libraryFailure(
                "zor_gethostgroupinfo of '" + resourceGroup + "' failed", KAV_LOCATION.c_str());
        hosts.assign(info->hosts, info->hosts + info->nhost);
        zor_free_hostgroup(info);
        return 0;
    });
}

int32_t ZORResManager::checkUserRole(
    const std::string& user, const std::string& consumer, int level, bool& permitted)
{
    permitted = false;
    return withOwnConnection("checkUserRole", [&](zor_handle_t* handle) {
        zor_role_t* roles = nullptr;
        int32_t n = 0;
        if (zor_getroles4user(handle, user.c_str(), &roles, &n) != 0) {
            if (zorerrno == ZORE_NOSUCHUSER)
                return 0; // no role: not permitted
            return libraryFailure("zor_getroles4user of '" + user + "' failed", KAV_LOCATION.c_str());
        }
        for (int i = 0; i < n && !permitted; ++i)
            permitted = roles[i].level <= level && covers(roles[i].consumer, consumer);
        zor_free_role_array(roles, n);
        LOG4CXX_DEBUG(logger_,
            "checkUserRole user=" << user << " consumer=" << consumer << " level=" << level
                                  << " permitted=" << permitted);
        return 0;
    });
}

int32_t ZORResManager::checkUserRole(const std::string& user, std::vector<std::string>& consumers)
{
    consumers.clear();
    return withOwnConnection("checkUserRole", [&](zor_handle_t* handle) {
        zor_role_t* roles = nullptr;
        int32_t n = 0;
        if (zor_getroles4user(handle, user.c_str(), &roles, &n) != 0)
            return libraryFailure("zor_getroles4user of '" + user + "' failed", KAV_LOCATION.c_str());
        std::set<std::string> seen;
        for (int i = 0; i < n; ++i)
            if (seen.insert(roles[i].consumer).second)
                consumers.push_back(roles[i].consumer);
        zor_free_role_array(roles, n);
        return 0;
    });
}

int32_t ZORResManager::checkConsumer(const std::string& consumer, const std::string& resourceGroup)
{
    if (zor_verifyconsumerpath(consumer.c_str(), resourceGroup.empty() ? nullptr : resourceGroup.c_str())
        != 0)
        return libraryFailure("zor_verifyconsumerpath of '" + consumer + "' failed", KAV_LOCATION.c_str());
    return 0;
}

int32_t ZORResManager::checkResReq(const std::string& resReq)
{
    if (zor_verifyresreq(resReq.c_str()) != 0)
        return libraryFailure("zor_verifyresreq of '" + resReq + "' failed", KAV_LOCATION.c_str());
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

// ---------------------------------------------------------------- periodic work

void ZORResManager::houseKeeping()
{
    std::vector<ConsumerPtr> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, c] : consumers_)
            all.push_back(c);
    }
    for (auto& c : all) {
        modifyInHouseKeeping(c);
        zorReleaseInHouseKeeping(c);
    }
}

void ZORResManager::modifyInHouseKeeping(const ConsumerPtr& consumer)
{
    std::lock_guard handleLock(consumer->handleMutex());
    std::string allocId;
    int newMax;
    {
        std::lock_guard lock(mutex_);
        if (!consumer->handleOpen() || !consumer->reallocPending() || consumer->allocationId().empty())
            return;
        allocId = consumer->allocationId();
        newMax = consumer->pendingMax();
    }
    if (zor_realloc(consumer->handle(), allocId.c_str(), newMax) == 0) {
        std::lock_guard lock(mutex_);
        consumer->clearRealloc();
        consumer->setMaxResources(newMax);
        return;
    }
    int err = zorerrno;
    if (err == ZORE_ZORKD_DOWN) {
        LOG4CXX_WARN(logger_,
            "reallocation failed due to ZORE_ZORKD_DOWN, retry it later, allocId='" << allocId << "'");
        return;
    }
    if (err == ZORE_NOSUCHALLOC) {
        LOG4CXX_FATAL(logger_, "Allocation <" << allocId << "> no longer exists. Exiting process.");
        exitHandler_(1);
        return;
    }
    libraryFailure("zor_realloc of allocId='" + allocId + "' failed", KAV_LOCATION.c_str());
    delete kav::takeErrorInfo();
    std::lock_guard lock(mutex_);
    consumer->clearRealloc();
}

void ZORResManager::zorReleaseInHouseKeeping(const ConsumerPtr& consumer)
{
    std::lock_guard handleLock(consumer->handleMutex());
    ZORConsumer::PendingReleases pending;
    std::string allocId;
    {
        std::lock_guard lock(mutex_);
        if (!consumer->handleOpen())
            return;
        pending = consumer->takePendingReleases();
        allocId = consumer->allocationId();
    }
    for (auto& [flag, hosts] : pending)
        for (auto& [host, slots] : hosts) {
            std::string name = host;
            zor_hostslots_t entry { name.data(), slots, 0, nullptr };
            if (zor_release(consumer->handle(), allocId.c_str(), 1, &entry, flag) == 0)
                continue;
            if (zorerrno == ZORE_NOTOWNED || zorerrno == ZORE_NOSUCHALLOC)
                continue; // nothing left to give back
            LOG4CXX_WARN(logger_,
                "Failed to release slot. Remaining slots: <" << host << ":" << slots
                                                             << ">. Will be retried later.");
            std::lock_guard lock(mutex_);
            consumer->addPendingRelease(flag, host, slots);
        }
}

void ZORResManager::refreshCredentials()
{
    std::string credential;
    {
        std::lock_guard lock(mutex_);
        credential = credential_;
    }
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle || zor_logon(handle, nullptr, nullptr, credential.c_str()) != 0) {
        LOG4CXX_ERROR(logger_,
            "credential refresh failed, the old credential stays in use: " << zor_strerror(zorerrno));
        if (handle)
            zor_close(handle);
        return;
    }
    char* fresh = zor_getcredential(handle);
    zor_close(handle);
    if (fresh) {
        LOG4CXX_INFO(logger_, "New credential:" << maskCredential(fresh));
        std::lock_guard lock(mutex_);
        credential_ = fresh;
        zor_free_string(fresh);
    }
    std::vector<std::string> ids;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, c] : consumers_)
            ids.push_back(id);
    }
    for (auto& id : ids) {
        int32_t rc = withHandle(id, [&](ZORConsumer& consumer) {
            if (zor_refreshcredential(consumer.handle(), consumer.consumerPath().c_str()) != 0)
                return libraryFailure(
                    "zor_refreshcredential of consumerId='" + id + "' failed", KAV_LOCATION.c_str());
            return 0;
        });
        if (rc < 0)
            delete kav::takeErrorInfo();
    }
}

void ZORResManager::dump()
{
    std::lock_guard lock(mutex_);
    LOG4CXX_INFO(logger_,
        "ZORResManager clientName=" << clientName_ << " consumers=" << consumers_.size()
                                    << " ResourceBalanceInterval=" << resourceBalanceInterval_);
    for (auto& [id, c] : consumers_)
        LOG4CXX_INFO(logger_, c->dump());
}

// ---------------------------------------------------------------- callbacks

void ZORResManager::addResource(const std::string& consumerId, const zor_allocation_t& added)
{
    if (added.nhost <= 0) {
        kav::logAssertFailure("allocReplyList->nhost > 0", __FILE__, __LINE__);
        return;
    }
    std::vector<kav::RefPtr<VrmResource>> fresh;
    IResourceConsumer* callback;
    {
        std::lock_guard lock(mutex_);
        auto it = consumers_.find(consumerId);
        if (it == consumers_.end()) {
            kav::logAssertFailure("consumer in m_zorConsumerMap", __FILE__, __LINE__);
            return;
        }
        callback = it->second->callback();
        for (int i = 0; i < added.nhost; ++i) {
            const zor_hostslots_t& host = added.hosts[i];
            std::string cpuf = attribute(host, "cpuf");
            for (int slot = 0; slot < host.slots; ++slot) {
                auto r
                    = kav::RefPtr<VrmResource>::adopt(new VrmResource(host.hostName, attribute(host, "type"),
                        consumerId, added.allocId, cpuf.empty() ? 1.0f : std::strtof(cpuf.c_str(), nullptr)));
                it->second->addResource(r.get());
                fresh.push_back(r);
            }
        }
    }
    for (auto& r : fresh)
        if (callback->onResource(r.get()) < 0)
            logAndDropError(logger_, "onResource");
}

void ZORResManager::reclaimForce(const std::string& consumerId, const zor_reclaimlist_t& reclaimed)
{
    if (reclaimed.nreclaim <= 0 || !reclaimed.reclaims) {
        kav::setError(
            kav::rc::ZOR_CALL_FAILED, "reclaim without a reclaim list", KAV_LOCATION, { consumerId });
        logAndDropError(logger_, "reclaimForce");
        return;
    }
    ConsumerPtr consumer = findConsumer(consumerId);
    for (int i = 0; consumer && i < reclaimed.nreclaim; ++i) {
        if (consumer->callback()->onReclaimForce(reclaimed.reclaims[i].allocId) < 0)
            logAndDropError(logger_, "onReclaimForce");
        for (int k = 0; k < reclaimed.reclaims[i].nhost; ++k)
            onReclaimResource(consumerId, reclaimed.reclaims[i].hosts[k].hostName);
    }
}

void ZORResManager::onReclaimResource(const std::string& consumerId, const std::string& host)
{
    ZORConsumer::Resources taken;
    IResourceConsumer* callback;
    {
        std::lock_guard lock(mutex_);
        auto it = consumers_.find(consumerId);
        if (it == consumers_.end())
            return;
        taken = it->second->takeResourcesOn(host);
        callback = it->second->callback();
    }
    LOG4CXX_INFO(logger_,
        "OnReclaimResource consumerId='" << consumerId << "' host='" << host
                                         << "' resources=" << taken.size());
    for (auto& r : taken)
        if (callback->onReclaimResource(r.get()) < 0)
            logAndDropError(logger_, "onReclaimResource");
}

void ZORResManager::containerStateChg(const std::string& consumerId, const zor_container_t& container)
{
    std::ostringstream line;
    line << "containerStateChg consumerId='" << consumerId << "' container <" << container.containerId
         << "> host <" << container.hostName << "> state " << containerStateName(container.state);
    if (container.state == ZOR_CONTAINER_FINISH && container.exitReason != ZOR_EXIT_NONE)
        line << " reason: " << zor_strexitreason(container.exitReason) << " (" << container.exitStatus << ")";
    LOG4CXX_INFO(logger_, line.str());
    {
        std::lock_guard lock(mutex_);
        auto it = consumers_.find(consumerId);
        if (it != consumers_.end())
            if (VrmResource* r = it->second->findByContainer(container.containerId))
                r->setContainerState(container.state);
        containerStates_[container.containerId] = container.state;
    }
    containerStateChanged_.notify_all();
}

void ZORResManager::hostStateChange(const std::string& consumerId, const std::string& host, int state)
{
    LOG4CXX_INFO(logger_,
        "hostStateChange consumerId='" << consumerId << "' host <" << host << "> state "
                                       << hostStateName(state));
    if (state == ZOR_HOST_UNAVAIL)
        onReclaimResource(consumerId, host);
}

void ZORResManager::connectionEvent(const std::string& consumerId, const char* what)
{
    std::string client;
    {
        std::lock_guard lock(mutex_);
        client = clientName_;
    }
    LOG4CXX_ERROR(logger_, what << ": clientName='" << client << "' consumerId='" << consumerId << "'");
}

} // namespace rs::resmgr
