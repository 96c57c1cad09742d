#pragma once
// A fake service object and a fake cluster for host allocation and installer
// tests. The cluster records every call and, like the resource manager
// client, refuses a registration name that is registered already and calls
// that name none; provisionAs can throw.

#include "rs/deployment/installer/IDeployResources.h"
#include "rs/deployment/installer/IDeploymentService.h"
#include "rs/deployment/status/HostStatusTable.h"

#include "deployment/FakeHostStatusSink.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace rs::test {

class FakeService : public IDeploymentService {
public:
    FakeService()
        : table(sink, [this] { return clock.load(); })
    {
    }

    HostStatusTable& hostStatusTable() override { return table; }
    std::string storageDir() const override { return storage; }
    bool compareHostName(const std::string& a, const std::string& b) override { return a == b; }
    void cleanupConsumers() override { ++consumerCleanups; }
    void addConsumerForCleanup(const std::string& consumer) override
    {
        std::lock_guard lock(mutex);
        consumersToClean.push_back(consumer);
    }
    std::string installerText(bool uninstall) const override
    {
        return uninstall ? "uninstall run" : "install run";
    }
    int32_t hostTimeout() const override { return timeout; }

    FakeHostStatusSink sink;
    std::atomic<int32_t> clock { 1000 };
    HostStatusTable table;
    std::string storage;
    int32_t timeout = 60;
    std::atomic<int> consumerCleanups { 0 };
    std::mutex mutex;
    std::vector<std::string> consumersToClean;
};

class FakeCluster : public IDeployResources {
public:
    int registerConsumer(const std::string& registration, const std::string& consumer, RsResAlloc*) override
    {
        std::lock_guard lock(mutex_);
        registered.push_back(consumer);
        if (registerFails || live.count(registration))
            return kav::setError(kav::rc::ZOR_CALL_FAILED, "refused", KAV_LOCATION, { registration });
        live[registration] = consumer;
        return 0;
    }
    int unregisterConsumer(const std::string& registration) override
    {
        std::lock_guard lock(mutex_);
        unregistered.push_back(registration);
        if (unregisterFails)
            return kav::setError(kav::rc::ZOR_CALL_FAILED, "refused", KAV_LOCATION, { registration });
        if (!live.erase(registration))
            return kav::setError(
                kav::rc::ZOR_CONSUMER_GONE, "not registered", KAV_LOCATION, { registration });
        return 0;
    }
    int getHostGroupInfo(const std::string& group, std::vector<std::string>& hosts) override
    {
        std::lock_guard lock(mutex_);
        hosts = groups[group];
        return 0;
    }
    // Recorded with the registration's consumer path.
    int getResources(const std::string& registration, int minimum, int maximum, const std::string& group,
        const std::string& requirement) override
    {
        std::lock_guard lock(mutex_);
        auto path = live.find(registration);
        if (path == live.end())
            return kav::setError(
                kav::rc::ZOR_CONSUMER_GONE, "not registered", KAV_LOCATION, { registration });
        requests.push_back(path->second + " " + std::to_string(minimum) + ".." + std::to_string(maximum) + " "
            + group + " " + requirement);
        return getResourcesFails ? kav::setError(kav::rc::ZOR_CALL_FAILED, "no hosts", KAV_LOCATION) : 0;
    }
    int release(const ResourceHandle& resource) override
    {
        std::lock_guard lock(mutex_);
        released.push_back(resource.hostName());
        return 0;
    }
    int replace(const ResourceHandle& resource) override
    {
        std::lock_guard lock(mutex_);
        replaced.push_back(resource.hostName());
        return 0;
    }
    int provisionAs(const ResourceHandle& resource, const std::string&, const std::vector<std::string>&,
        const std::string&, const std::string&) override
    {
        std::unique_lock lock(mutex_);
        provisioned.push_back(resource.hostName());
        changed_.notify_all();
        if (resource.hostName() == throwingHost)
            throw std::runtime_error("broken container start");
        return 0;
    }

    // Waits until at least `count` containers were asked for; false after `limit`.
    bool waitForProvisioned(size_t count, std::chrono::seconds limit = std::chrono::seconds(10))
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return provisioned.size() >= count; });
    }
    std::vector<std::string> provisionedHosts()
    {
        std::lock_guard lock(mutex_);
        return provisioned;
    }
    std::vector<std::string> releasedHosts()
    {
        std::lock_guard lock(mutex_);
        return released;
    }

    std::map<std::string, std::vector<std::string>> groups;
    bool registerFails = false;
    bool getResourcesFails = false;
    bool unregisterFails = false;
    std::string throwingHost; // provisionAs throws for it
    std::vector<std::string> registered, unregistered, requests, released, replaced;
    std::map<std::string, std::string> live; // registration -> consumer path
    std::vector<std::string> provisioned; // hosts

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace rs::test
