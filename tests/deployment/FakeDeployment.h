#pragma once
// A fake service object and a fake cluster for host allocation and installer
// tests. The cluster records every call and, like the resource manager
// client, refuses a registration name that is registered already and calls
// that name none; provisionAs can fail or throw.

#include "rs/deployment/installer/IDeployResources.h"
#include "rs/deployment/installer/IDeploymentService.h"
#include "rs/deployment/status/HostStatusTable.h"

#include "deployment/FakeHostStatusSink.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <algorithm>
#include <atomic>
#include <cctype>
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
    // Short names match their qualified form, in any case.
    bool compareHostName(const std::string& a, const std::string& b) override
    {
        auto shortName = [](std::string n) {
            n = n.substr(0, n.find('.'));
            std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
            return n;
        };
        return !a.empty() && !b.empty() && shortName(a) == shortName(b);
    }
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

struct ProvisionCall {
    std::string host;
    std::string command;
    std::vector<std::string> environment;
    std::string runAs;
    std::string workDir;
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
        askedGroups.push_back(group);
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
    int provisionAs(const ResourceHandle& resource, const std::string& command,
        const std::vector<std::string>& environment, const std::string& runAs,
        const std::string& workDir) override
    {
        std::unique_lock lock(mutex_);
        provisioned.push_back({ resource.hostName(), command, environment, runAs, workDir });
        changed_.notify_all();
        if (resource.hostName() == throwingHost)
            throw std::runtime_error("broken container start");
        if (resource.hostName() == failingHost)
            return kav::setError(
                kav::rc::ZOR_CALL_FAILED, "container start failed", KAV_LOCATION, { resource.hostName() });
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
        std::vector<std::string> hosts;
        for (const auto& call : provisioned)
            hosts.push_back(call.host);
        return hosts;
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
    std::string failingHost;
    std::string throwingHost; // provisionAs throws for it
    std::vector<std::string> registered, unregistered, askedGroups, requests, released, replaced;
    std::map<std::string, std::string> live; // registration -> consumer path
    std::vector<ProvisionCall> provisioned;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace rs::test
