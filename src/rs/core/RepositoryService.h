#pragma once
// RepositoryService: the service-wide object. It owns the listening side,
// the request work queue, the security server and the list of consumers to
// release, and answers the checks that the server objects and work items ask
// of it (authentication, permission, consumer, resource group, host name).
//
// Threads: instance(), init(), startUp() and shutdown() run on the main
// thread (creation is not locked: the first use is during start-up).
// enqueue() runs on communication threads; the checks on worker threads.
// They touch no state of the service except through the resource manager
// access and the security server, which are thread-safe; the consumer list
// has its own mutex.

#include "rs/core/ConnectionListener.h"
#include "rs/core/ResourceManagerAccess.h"
#include "rs/core/ServiceRules.h"
#include "rs/core/Task.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ace/Event.h>

namespace kav {
class KavSecurityServer;
}

namespace rs {

class DeploymentRuntime;

class RepositoryService {
public:
    static constexpr int kDefaultHostTimeout = 60;

    static RepositoryService& instance();

    RepositoryService(const RepositoryService&) = delete;
    RepositoryService& operator=(const RepositoryService&) = delete;
    virtual ~RepositoryService();

    // Creates the listener (throws 0xD0014C0C when it cannot be created).
    // REQUIRES: setListenerFactory and setResourceManager were called.
    virtual void init(int32_t port, int32_t hostTimeout, int32_t threadCount);
    // Initialises security, opens the listener (throws 0x90012535 and raises
    // the port event when the port cannot be used), starts the workers
    // (throws 0xD0014C10).
    virtual void startUp();
    // Hangs the workers up and waits for them, finalises security, closes the
    // listener. Safe to call when start-up stopped half-way.
    virtual void shutdown();
    // Queues a work item, taking ownership. Returns 0, or 0xD0014C0E with
    // the thread's error information set (the item is then deleted).
    virtual int32_t enqueue(Work* work);
    // Processes a shared item on the calling thread when that overtakes
    // nothing queued (Task::runAtOnce).
    bool runAtOnce(Work& work) { return task_.runAtOnce(work); }

    // Checks the credential bytes; on success fills token and user name.
    virtual int32_t authenticate(
        const std::string& credential, std::string& responseToken, std::string& userName);
    virtual int32_t checkConsumerId(const std::string& consumer);
    virtual int32_t checkResourceGroup(const std::string& group);
    // Whether the host is one of the cluster's (the group "InternalResourceGroup").
    virtual int32_t checkHostName(const std::string& host);
    // Whether the host is one of the group's (compareHostName); a refusal
    // is 0xD0014C34 naming the host, or the group look-up's failure.
    virtual int32_t checkHostInGroup(const std::string& host, const std::string& group);
    virtual bool compareHostName(const std::string& a, const std::string& b);
    // Whether the user holds a role of at least `level` on the consumer (the
    // level of a permission operation number: rpc::roleLevel); a refusal
    // leaves its error information for the caller.
    virtual int32_t checkRole(
        const std::string& user, const std::string& consumer, int level, std::string& out);
    virtual int32_t getConsumerIdsForUser(const std::string& user, std::vector<std::string>& consumers);

    void addConsumerForCleanup(const std::string& consumer);
    void cleanupConsumers();
    // The daemon's 15-second housekeeping: consumers first, then installers.
    void cleanupPackageInstallers();

    // Wiring done by the daemon before init().
    void setListenerFactory(ListenerFactory factory) { listenerFactory_ = std::move(factory); }
    void setResourceManager(ResourceManagerAccess* access) { resourceManager_ = access; }
    // The daemon's event that ends its run loop; cleared before it goes away.
    void setShutdownEvent(ACE_Event* event);
    // Signals the daemon's event when there still is one (a client's
    // shutdownRS); any thread. Returns false when there was none.
    bool signalShutdown();

    // Whether requests other than logon and getRSVersion need a logon on
    // their connection (RS_REQUIRE_LOGON, read by init(); on by default).
    bool logonRequired() const { return logonRequired_; }
    void setLogonRequired(bool required) { logonRequired_ = required; }

    void setStorageDir(const std::string& dir) { storageDir_ = dir; }
    const std::string& storageDir() const { return storageDir_; }
    int32_t port() const { return port_; }
    const std::string& portText() const { return portText_; }
    int32_t hostTimeout() const { return hostTimeout_; }
    Task& task() { return task_; }
    // The host status table, persisted state and installers; null before
    // startUp(). After shutdown() it holds no installer and no host.
    DeploymentRuntime* deployment() { return deployment_.get(); }

protected:
    // Tests build their own instance around a fake resource manager.
    RepositoryService();

private:
    int32_t hostsOf(const std::string& group, std::vector<std::string>& hosts, bool throwWhenEmpty);

    std::unique_ptr<ConnectionListener> listener_;
    int32_t port_ = 0;
    std::string portText_;
    int32_t hostTimeout_ = kDefaultHostTimeout;
    std::mutex shutdownEventMutex_;
    ACE_Event* shutdownEvent_ = nullptr;
    Task task_;
    int32_t threadCount_ = 0;
    bool logonRequired_ = true;
    bool workersStarted_ = false;
    std::string storageDir_;
    std::unique_ptr<kav::KavSecurityServer> securityServer_;
    bool securityStarted_ = false;
    ConsumerCleanupList consumersToClean_;
    ListenerFactory listenerFactory_;
    ResourceManagerAccess* resourceManager_ = nullptr;
    std::unique_ptr<DeploymentRuntime> deployment_;
};

} // namespace rs
