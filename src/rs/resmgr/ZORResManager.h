#pragma once
// ZORResManager: the service's one way to the cluster resource manager. It
// registers consumers (each on a library handle of its own), asks for and
// gives back host slots, starts commands in containers on allocated hosts,
// hands the library's callbacks to the owning consumer, and keeps the books
// in step by house-keeping and credential refresh on the PeriodicManager.
//
// A façade over its parts, each with its own job: ConsumerRegistration,
// ResourceAllocation, ContainerControl, LibraryCallbacks, HouseKeeping and
// ClusterChecks, sharing the books of a ConsumerTable.
//
// Threads: requests come from worker and installer threads, callbacks from
// the library's thread, house-keeping and refresh from the periodic
// manager's thread (ConsumerTable says which lock guards what). Results are 0
// or a negative code with the thread's error information set.

#include "rs/resmgr/ClusterChecks.h"
#include "rs/resmgr/ConsumerRegistration.h"
#include "rs/resmgr/ConsumerTable.h"
#include "rs/resmgr/ContainerControl.h"
#include "rs/resmgr/HouseKeeping.h"
#include "rs/resmgr/IResourceConsumer.h"
#include "rs/resmgr/LibraryCallbacks.h"
#include "rs/resmgr/PeriodicManager.h"
#include "rs/resmgr/ResManagerCommon.h"
#include "rs/resmgr/ResourceAllocation.h"
#include "rs/resmgr/VrmResource.h"
#include "rs/resmgr/ZORConsumer.h"

#include <log4cxx/logger.h>

#include <memory>
#include <string>
#include <vector>

namespace rs::resmgr {

inline constexpr const char* kKeepAliveConsumer = "/KeepAlive";

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

private:
    log4cxx::LoggerPtr logger_;
    ConsumerTable table_;
    LibraryCallbacks callbacks_;
    ConsumerRegistration registration_;
    ResourceAllocation allocation_;
    ContainerControl containers_;
    ClusterChecks checks_;
    HouseKeeping houseKeeping_;
    std::unique_ptr<IResourceConsumer> keepAliveConsumer_;
};

} // namespace rs::resmgr
