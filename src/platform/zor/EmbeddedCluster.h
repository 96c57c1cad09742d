#pragma once
// The cluster behind libzor: every zor_* call forwards here (zor_api.cpp);
// failures are thrown as ZorError and turned into zorerrno by the C layer.
// The description is read at the first call; it chooses the host backend
// (HostBackend: this machine's hosts, or a Slurm cluster's nodes) once. The
// rest is the same for every backend: handles and consumer registrations
// (Registrations), the books of allocations and containers (AllocationBook),
// roles, consumer paths, parameters and URLs.
//
// Threads: every operation may be called from any thread; one mutex (mutex_)
// guards all state, and the parts are called with it held. Callbacks run on
// the dispatcher thread with no lock held; unregistering waits for a callback
// to that handle that is running on another thread, so the caller may free
// its context afterwards.

#include "platform/zor/AllocationBook.h"
#include "platform/zor/ClusterDescription.h"
#include "platform/zor/Dispatcher.h"
#include "platform/zor/HostBackend.h"
#include "platform/zor/Registrations.h"
#include "platform/zor/ZorError.h"
#include "platform/zor/zor.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zor {

class EmbeddedCluster {
public:
    static EmbeddedCluster& instance();

    // The description in use; throws ZorError(ZORE_CONF) for a malformed file.
    const ClusterDescription& description();

    uint64_t open();
    void close(uint64_t h);
    void logon(uint64_t h, const std::string& credential);
    void logoff(uint64_t h);
    std::string credential(uint64_t h);
    void refreshCredential(uint64_t h, const std::string& consumer);

    zor_allocreply_t* registerConsumer(
        uint64_t h, zor_handle_t* self, const zor_regreq_t& req, const zor_callbacks_t& callbacks);
    void registerUrl(uint64_t h, const std::string& name, const std::string& url);
    void unregister(uint64_t h);
    std::string lookupUrl(const std::string& name);

    std::string alloc(uint64_t h, const zor_allocreq_t& req);
    void realloc(uint64_t h, const std::string& allocId, int newMax);
    void allocFree(uint64_t h, const std::string& allocId);
    void release(uint64_t h, const std::string& allocId, const std::map<std::string, int>& slots, int flags);

    struct ContainerSpec {
        std::string command, runAsUser, workDir;
        std::vector<std::pair<std::string, std::string>> env;
        std::map<std::string, std::string> attrs;
    };
    std::string startContainer(
        uint64_t h, const std::string& allocId, const std::string& host, const ContainerSpec& spec);
    void signalContainer(uint64_t h, const std::string& containerId, int sig);

    std::vector<std::string> hostGroup(const std::string& group);
    std::vector<std::string> groupNames();
    std::vector<std::string> consumers();
    std::vector<RoleInfo> roles(const std::string& user);
    void verifyConsumerPath(const std::string& path, const char* group);
    void verifyResReq(const std::string& resReq);
    // Environment overrides [params]; QEL_BINDIR and QEL_LIBDIR default to
    // the directories of our tools and plug-ins. Null when unset.
    const char* confParam(const std::string& name);

private:
    // The administrator's side, which no client call reaches (ClusterAdmin.h).
    friend class ClusterAdmin;
    using Lock = std::unique_lock<std::mutex>;
    using Containers = std::vector<std::shared_ptr<Container>>;

    EmbeddedCluster();
    const ClusterDescription& descriptionLocked();
    Allocation& ownAllocationLocked(uint64_t h, const std::string& allocId);
    // Ends the handle's registration and drops its allocations; their
    // containers are returned for killAndReap.
    Containers unregisterLocked(uint64_t h);
    Containers dropAllocationLocked(Allocation& a);
    // Reaps the containers with the lock released.
    void killAndReap(Lock& lock, Containers containers);
    void onContainerExit(const std::string& containerId, ExitInfo exit);
    const char* confParamLocked(const std::string& name);
    Environment hostEnvironmentLocked(
        const std::string& host, const std::string& containerId, const std::string& credential);

    std::mutex mutex_;
    std::shared_ptr<const ClusterDescription> description_;
    std::string descriptionError_;
    std::shared_ptr<HostBackend> hosts_; // set with the description
    std::set<std::string, std::less<>> internedParams_;
    Registrations registrations_;
    AllocationBook books_;
    Dispatcher dispatcher_; // last: its thread stops before the state goes
};

} // namespace zor
