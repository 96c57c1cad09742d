#pragma once
// ZORResManager: the service's one way to the cluster resource manager. It
// registers consumers (each on a library handle of its own), asks for and
// gives back host slots, starts commands in containers on allocated hosts,
// hands the library's callbacks to the owning consumer, and keeps the books
// in step by house-keeping and credential refresh on the PeriodicManager.
//
// Threads: requests come from worker and installer threads, callbacks from
// the library's thread, house-keeping and refresh from the periodic
// manager's thread. mutex_ guards the consumer map and every ZORConsumer's
// books; it is never held while a library call that may wait runs, nor while
// an IResourceConsumer is called. Results are 0 or a negative code with the
// thread's error information set.

#include "rs/resmgr/IResourceConsumer.h"
#include "rs/resmgr/PeriodicManager.h"
#include "rs/resmgr/VrmResource.h"
#include "rs/resmgr/ZORConsumer.h"

#include <log4cxx/logger.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rs::resmgr {

inline constexpr unsigned kRefreshCredentialInterval = 7200;
inline constexpr const char* kKeepAliveConsumer = "/KeepAlive";
inline constexpr int kKillSignal = 7;
inline constexpr int kHangupSignal = 1;

const char* hostStateName(int state);
const char* containerStateName(int state);
// "user:****": what the logs show of a credential.
std::string maskCredential(const std::string& credential);

class ZORResManager {
public:
    // The process's manager on the process's PeriodicManager.
    static ZORResManager& instance();
    explicit ZORResManager(PeriodicManager& periodic);
    ZORResManager(const ZORResManager&) = delete;
    ZORResManager& operator=(const ZORResManager&) = delete;

    // Registers the consumer path `consumerPath` under the identifier
    // `consumerId`, which every later call names; identifiers are unique,
    // paths may be registered several times (each registration with its own
    // allocation). The first form registers the path under its own name.
    virtual int32_t registerConsumer(const std::string& consumerId, IResourceConsumer* callback,
        const std::string& description, unsigned scheduleInterval, const std::string& consumerPath);
    int32_t registerConsumer(const std::string& consumerPath, IResourceConsumer* callback,
        const std::string& description, unsigned scheduleInterval)
    {
        return registerConsumer(consumerPath, callback, description, scheduleInterval, consumerPath);
    }
    virtual int32_t unregisterConsumer(const std::string& consumerId);
    virtual int32_t getResources(const std::string& consumerId, int minRes, int maxRes,
        const std::string& resType, const std::string& resGroup, const std::string& resReq);
    virtual int32_t getOneResource(const std::string& consumerId, const std::string& resType,
        const std::string& resGroup, const std::string& resReq);
    virtual int32_t cancel(const std::string& consumerId);
    virtual int32_t replace(VrmResource* resource, const std::vector<std::string>& blackList);
    virtual int32_t release(VrmResource* resource);
    virtual int32_t provisionAs(VrmResource* resource, const std::string& command,
        const std::vector<std::string>& environment, const std::string& runAsUser,
        const std::string& workDir);
    virtual int32_t killContainer(VrmResource* resource); // signal 7
    virtual int32_t hangupContainer(VrmResource* resource); // signal 1
    virtual int32_t modify(const std::string& consumerId, int maxRes);
    virtual ~ZORResManager();
    virtual int32_t getAllocactedList(const std::string& consumerId, ZORConsumer::Resources& out);
    virtual int32_t getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts);
    virtual void dump();
    virtual int32_t checkAllocations();

    // permitted := the user holds a level <= level on consumer or an ancestor.
    int32_t checkUserRole(const std::string& user, const std::string& consumer, int level, bool& permitted);
    // consumers := every consumer path on which the user holds a role.
    int32_t checkUserRole(const std::string& user, std::vector<std::string>& consumers);
    int32_t checkConsumer(const std::string& consumer, const std::string& resourceGroup);
    int32_t checkResReq(const std::string& resReq);

    int32_t init(const std::string& clientName, int flag, int keepAlive);
    // Throws KavException 0x890080EA when a registration fails.
    void registerURL(const std::vector<std::string>& clientNames, const std::vector<std::string>& urls);
    void cleanup();

    // Run by the periodic manager; callable directly.
    void houseKeeping();
    void refreshCredentials();

    unsigned resourceBalanceInterval() const;
    bool isRegistered(const std::string& consumerId) const;
    // Waits until the library reported state for the container (true) or the
    // time-out passed (false).
    bool waitForContainerState(const std::string& containerId, int state, std::chrono::milliseconds timeout);
    // What to do when an allocation vanished under house-keeping (default: exit).
    void setExitHandler(std::function<void(int)> handler) { exitHandler_ = std::move(handler); }

    // Library callbacks (the library's thread).
    void addResource(const std::string& consumerId, const zor_allocation_t& added);
    void reclaimForce(const std::string& consumerId, const zor_reclaimlist_t& reclaimed);
    void containerStateChg(const std::string& consumerId, const zor_container_t& container);
    void hostStateChange(const std::string& consumerId, const std::string& host, int state);
    void connectionEvent(const std::string& consumerId, const char* what);

private:
    using ConsumerPtr = std::shared_ptr<ZORConsumer>;
    struct CallbackContext {
        ZORResManager* manager;
        std::string consumerId;
    };

    ConsumerPtr findConsumer(const std::string& consumerId) const;
    // Runs call(handle) under the consumer's handle mutex; fails when the
    // consumer is gone or its handle closed.
    int32_t withHandle(const std::string& consumerId, const std::function<int32_t(ZORConsumer&)>& call);
    int32_t libraryFailure(const std::string& what, const char* location);
    void recoverConsumer(ZORConsumer& consumer, const zor_allocreply_t& reply);
    void onReclaimResource(const std::string& consumerId, const std::string& host);
    void adoptScheduleInterval(unsigned scheduleInterval);
    int32_t giveBack(VrmResource* resource, int flag);
    int32_t signalContainer(VrmResource* resource, int sig);
    void modifyInHouseKeeping(const ConsumerPtr& consumer);
    void zorReleaseInHouseKeeping(const ConsumerPtr& consumer);
    int32_t closeHandle(zor_handle_t* handle, const std::string& consumerId, const CallbackContext* context);
    const CallbackContext* contextOf(const std::string& consumerId) const;
    // Opens a connection of its own for one call (the checks and look-ups).
    int32_t withOwnConnection(const std::string& what, const std::function<int32_t(zor_handle_t*)>& call);
    static const zor_callbacks_t& callbackTable();

    log4cxx::LoggerPtr logger_;
    PeriodicManager& periodic_;
    mutable std::mutex mutex_;
    std::condition_variable containerStateChanged_;
    std::map<std::string, int> containerStates_;
    std::map<std::string, ConsumerPtr> consumers_;
    std::vector<std::unique_ptr<CallbackContext>> contexts_; // alive while their handle may call back
    std::string clientName_;
    std::string credential_;
    unsigned resourceBalanceInterval_ = 0;
    long houseKeepingTimer_ = -1;
    long refreshTimer_ = -1;
    std::unique_ptr<IResourceConsumer> keepAliveConsumer_;
    std::function<void(int)> exitHandler_;
};

} // namespace rs::resmgr
