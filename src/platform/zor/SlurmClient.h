#pragma once
// The Slurm controller as libslurm reaches it, for SlurmHosts: nodes and
// partitions read from the controller, allocations of whole nodes, the srun
// command line of a job step (libslurm of this version cannot launch steps
// itself), steps signalled through the controller. Our books are not kept
// here.
//
// Threads: every call may come from any thread and takes no lock of the
// caller. Each allocation waits for its grant on a detached thread of its own
// (the blocking allocation call cannot be interrupted); that thread calls the
// Granted function and holds the client alive until it is done. Events of the
// allocation message thread (a job ended, nodes failed) reach the handler set
// with setEventHandler, on libslurm's message thread.

#include "platform/zor/ClusterDescription.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zor {

class SlurmClient : public std::enable_shared_from_this<SlurmClient> {
public:
    struct Request {
        std::string name; // job name
        std::string partition;
        std::string feature; // empty for any node
        std::vector<std::string> exclude; // nodes not to be given
        int minNodes = 1;
        int maxNodes = 1;
    };
    // jobId 0 with a reason when the allocation failed. Returns false when
    // the nodes are not wanted: the job is ended then.
    using Granted
        = std::function<bool(uint32_t jobId, std::vector<std::string> nodes, const std::string& reason)>;
    struct Events {
        std::function<void(uint32_t jobId)> jobEnded;
        std::function<void(uint32_t jobId, std::vector<std::string> nodes)> nodesFailed;
    };
    class Pending;

    // Initialises libslurm with the settings' configuration file.
    static std::shared_ptr<SlurmClient> create(const SlurmSettings& settings);
    // Sole receiver of allocation events, process-wide.
    static void setEventHandler(Events events);

    // Fills the description's hosts (one slot each, type from a node feature)
    // and groups (partitions, by name and through the mapping); settles the
    // internal partition when the settings left it to the default. Throws
    // ZorError(ZORE_ZORKD_DOWN) when the controller does not answer and
    // ZorError(ZORE_CONF) when the mapping names a partition that is missing.
    void describe(ClusterDescription& d);

    // Asks for nodes; `granted` runs later on the allocation's own thread.
    std::shared_ptr<Pending> allocate(const Request& request, Granted granted);
    // Withdraws a request that was not granted yet; a grant that still comes
    // is given back at once and not reported.
    void withdraw(const std::shared_ptr<Pending>& pending);
    // Keeps only `keep` of the job's nodes; an empty list ends the job. False
    // when the controller refuses (without accounting storage a job shrinks
    // once only): the nodes stay in the job until it ends.
    bool shrink(uint32_t jobId, const std::vector<std::string>& keep);
    void end(uint32_t jobId);

    // The shell command that runs `command` as a step of the job on the node,
    // named `stepName`, in `workDir` (created there), output appended to
    // `outFile` on the node.
    std::string stepCommand(uint32_t jobId, const std::string& node, const std::string& stepName,
        const std::string& command, const std::string& workDir, const std::string& outFile) const;
    // Sends the signal to the job's step of that name; false when no such
    // step runs (yet, or any more).
    bool signalStep(uint32_t jobId, const std::string& stepName, int signal);

    const SlurmSettings& settings() const { return settings_; }

private:
    explicit SlurmClient(SlurmSettings settings);
    void waitForGrant(std::shared_ptr<Pending> pending, Request request, Granted granted);

    SlurmSettings settings_;
};

// The partition of a resource group: the mapped one, the internal one for
// "InternalResourceGroup", else the partition of the group's own name.
std::string partitionOfGroup(const SlurmSettings& settings, const std::string& group);
// "${SLURMD_NODENAME}" of the pattern replaced by the node's name.
std::string nodeTree(const std::string& pattern, const std::string& node);
// Quotes a word for /bin/sh.
std::string shellQuote(const std::string& word);

} // namespace zor
