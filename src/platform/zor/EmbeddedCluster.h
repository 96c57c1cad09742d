#pragma once
// The embedded cluster behind libzor: connection handles, consumer
// registrations, allocations of host slots and containers, all in this
// process. zor_* calls forward here; failures are thrown as ZorError and
// turned into zorerrno by the C layer. With a description of backend "slurm"
// the hosts, groups, allocations and containers are Slurm's nodes,
// partitions, jobs and job steps (SlurmBackend); handles, consumers, roles
// and URLs stay here.
//
// Threads: every operation may be called from any thread; one mutex (mutex_)
// guards all state. Callbacks run on the dispatcher thread with no lock held;
// unregistering waits for a callback to that handle that is running on
// another thread, so the caller may free its context afterwards. With Slurm,
// grants arrive on each request's own thread (onNodesGranted) and lost nodes
// on libslurm's message thread (onNodesLost); both take mutex_ and hand the
// news to the dispatcher. Calls into SlurmBackend are made under mutex_.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/ContainerProcess.h"
#include "platform/zor/Dispatcher.h"
#include "platform/zor/SlurmBackend.h"
#include "platform/zor/zor.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zor {

struct ZorError {
    int code;
    std::string detail;
};

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
    std::vector<RoleInfo> roles(const std::string& user);
    void verifyConsumerPath(const std::string& path, const char* group);
    void verifyResReq(const std::string& resReq);
    // Environment overrides [params]; QEL_BINDIR and QEL_LIBDIR default to
    // the directories of our tools and plug-ins. Null when unset.
    const char* confParam(const std::string& name);
    // The host's QEL_TOP: <state_dir>/hosts/<host>, or for a Slurm node the
    // configured host_top with the node's name.
    std::string hostTop(const std::string& host);

    // --- for tests and administration -----------------------------------
    // Closes every handle (killing their containers) and reads the
    // description again.
    void reload();
    // Marks a host unavailable (or available again); an unavailable host's
    // slots are taken from their allocations and every consumer hears of it.
    void setHostUnavailable(const std::string& host, bool unavailable);
    // Takes the host's slots from their allocations with a forced reclaim.
    void reclaimHost(const std::string& host);
    // Ends the registrations of the path as if their process had died: the
    // handles lose the path and hear nothing more; their allocations and
    // containers stay, for the next handle that registers the path.
    void abandonConsumer(const std::string& path);

private:
    struct Handle;
    struct Allocation;
    struct Container;
    using Lock = std::unique_lock<std::mutex>;

    EmbeddedCluster() = default;
    const ClusterDescription& descriptionLocked();
    Handle& handleLocked(uint64_t h);
    Handle& consumerHandleLocked(uint64_t h);
    Allocation& ownAllocationLocked(uint64_t h, const std::string& allocId);
    bool ownerRegisteredLocked(const Allocation& a) const;
    bool eligibleLocked(const Allocation& a, const HostInfo& host) const;
    void scheduleGrant(Dispatcher::Clock::time_point due);
    void grantPass();
    // Takes the allocation away: containers are killed (and reaped outside
    // the lock by the caller through the returned list), slots go back.
    std::vector<std::shared_ptr<Container>> dropAllocationLocked(const std::string& allocId);
    std::vector<std::shared_ptr<Container>> unregisterLocked(Handle& handle);
    void killAndReap(Lock& lock, std::vector<std::shared_ptr<Container>> containers);
    void waitForCallbacks(Lock& lock, uint64_t h);
    std::map<std::string, int> takeHostSlotsLocked(
        const std::string& host, std::vector<zor_reclaim_t>* reclaims, std::set<uint64_t>* owners);
    void onContainerExit(const std::string& containerId, ExitInfo info);
    const char* confParamLocked(const std::string& name);
    std::string hostTopLocked(const std::string& host);
    // Slurm backend: attaches it and reads nodes and partitions into d.
    void attachSlurmLocked(ClusterDescription& d);
    // Asks Slurm for the nodes the allocation lacks, unless a request waits already.
    void requestNodesLocked(Allocation& a, int minSlots);
    // Shrinks (or ends) the jobs of the nodes given back.
    void releaseNodesLocked(Allocation& a, const std::map<std::string, int>& nodes);
    // False when the nodes are not wanted (any more): the backend gives them back.
    bool onNodesGranted(const std::string& allocId, uint32_t jobId, std::vector<std::string> nodes);
    // Takes the nodes (all when empty) from the job's allocation and tells its owner.
    void onNodesLost(uint32_t jobId, const std::vector<std::string>& nodes);
    void startStepLocked(Container& c, const std::string& command, const std::string& workDir,
        const Environment& env, uint32_t jobId);
    Environment hostEnvironmentLocked(
        const std::string& host, const std::string& containerId, const std::string& credential);
    // Runs fn for the handle's callbacks on the dispatcher thread, when the
    // handle is still registered as a consumer.
    void deliver(uint64_t h, std::function<void(zor_handle_t*, const zor_callbacks_t&, void*)> fn);

    std::mutex mutex_;
    std::condition_variable callbackDone_;
    std::unique_ptr<ClusterDescription> description_;
    std::string descriptionError_;
    std::map<uint64_t, std::unique_ptr<Handle>> handles_;
    std::map<std::string, std::unique_ptr<Allocation>> allocations_; // by identifier, creation order
    std::map<std::string, std::shared_ptr<Container>> containers_;
    std::map<std::string, int> freeSlots_;
    std::set<std::string, std::less<>> internedParams_;
    uint64_t nextId_ = 1;
    uint64_t deliveringTo_ = 0; // handle whose callback runs now, 0 when none
    std::shared_ptr<SlurmBackend> slurm_; // set when the description says backend "slurm"
    Dispatcher dispatcher_; // last: its thread stops before the state goes
};

} // namespace zor
