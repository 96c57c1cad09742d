#pragma once
// The nodes of a Slurm cluster as the embedded cluster's hosts: partitions
// are resource groups, a node feature is the host type, an allocation is one
// or more Slurm jobs of whole nodes (a job cannot grow, so nodes granted
// later come in jobs of their own), a container is a job step started with
// srun, and a node lost to a failure or an ended job is reclaimed by force.
//
// Threads: as HostBackend. Grants arrive on each request's own thread and
// lost nodes on libslurm's message thread; both take the cluster's lock.

#include "platform/zor/HostBackend.h"
#include "platform/zor/SlurmClient.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zor {

class SlurmHosts final : public HostBackend, public std::enable_shared_from_this<SlurmHosts> {
public:
    // Reads nodes and partitions into the description and becomes the
    // process's receiver of Slurm's job events. Throws ZorError.
    static std::shared_ptr<SlurmHosts> attach(
        const std::shared_ptr<ClusterDescription>& description, const Context& context);

    // The node's tree: host_top with the node's name.
    std::string hostTop(const std::string& host) const override;
    void want(Allocation& a, int minSlots) override;
    void givenBack(Allocation& a, const std::map<std::string, int>& slots) override;
    void dropped(Allocation& a) override;
    void start(Container& c, const std::string& command, const std::string& workDir, const Environment& env,
        std::function<void(ExitInfo)> onExit) override;
    bool signal(Container& c, int osSignal) override;
    // srun reports a killed step as its own exit status.
    bool endedByKill(const ExitInfo& exit) const override;

private:
    // The jobs of one allocation.
    struct Jobs {
        std::map<std::string, uint32_t> nodeJob; // node -> the job holding it
        std::shared_ptr<SlurmClient::Pending> pending; // the request waiting for nodes

        uint32_t jobOf(const std::string& node) const;
    };

    SlurmHosts(std::shared_ptr<const ClusterDescription> description, std::shared_ptr<SlurmClient> client,
        const Context& context);
    uint32_t jobOf(const std::string& allocId, const std::string& node) const;
    // Asks Slurm for the nodes the allocation lacks, unless a request waits already.
    void requestNodes(Allocation& a, int minSlots);
    void requestAgainLater(const std::string& allocId);
    // False when the nodes are not wanted (any more): the client gives them back.
    bool onNodesGranted(const std::string& allocId, uint32_t jobId, const std::vector<std::string>& nodes);
    // Takes the nodes (all when empty) of the job from its allocation.
    void onNodesLost(uint32_t jobId, const std::vector<std::string>& nodes);
    // Runs fn under the cluster's lock while the cluster still uses this backend.
    template <class Fn>
    static auto whileAttached(const std::weak_ptr<SlurmHosts>& self, std::mutex& mutex, Fn fn);

    const std::shared_ptr<const ClusterDescription> description_;
    const std::shared_ptr<SlurmClient> client_;
    const Context context_;
    std::map<std::string, Jobs> jobs_; // by allocation
};

} // namespace zor
