#include "platform/zor/SlurmClient.h"

#include "platform/zor/ZorError.h"
#include "platform/zor/zor.h"

#include <slurm/slurm.h>
#include <slurm/slurm_errno.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <thread>

namespace zor {

namespace {

std::string slurmReason()
{
    return slurm_strerror(slurm_get_errno());
}

std::vector<std::string> expandHostList(const char* expression)
{
    std::vector<std::string> names;
    if (!expression || !*expression)
        return names;
    hostlist_t list = slurm_hostlist_create(expression);
    if (!list)
        return names;
    while (char* name = slurm_hostlist_shift(list)) {
        names.emplace_back(name);
        free(name);
    }
    slurm_hostlist_destroy(list);
    std::sort(names.begin(), names.end());
    return names;
}

std::string joinNames(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : ",") + n;
    return out;
}

// The host type of a node: its first feature with the prefix, prefix cut off.
std::string typeOfFeatures(const char* features, const std::string& prefix)
{
    std::string all = features ? features : "";
    size_t at = 0;
    while (at <= all.size()) {
        size_t comma = all.find(',', at);
        std::string feature = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!feature.empty() && feature.compare(0, prefix.size(), prefix) == 0
            && feature.size() > prefix.size())
            return feature.substr(prefix.size());
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return "linux";
}

// Allocation events arrive without context; one handler serves the process.
std::mutex eventMutex;
SlurmClient::Events eventHandler;
allocation_msg_thread_t* messageThread = nullptr;
uint16_t messagePort = 0;

// Copied out so that the handler runs without eventMutex: it takes the
// cluster's lock, under which the handler is set.
SlurmClient::Events currentEvents()
{
    std::lock_guard lock(eventMutex);
    return eventHandler;
}

void onJobComplete(srun_job_complete_msg_t* msg)
{
    auto events = currentEvents();
    if (events.jobEnded && msg)
        events.jobEnded(msg->job_id);
}

void onNodeFail(srun_node_fail_msg_t* msg)
{
    auto events = currentEvents();
    if (events.nodesFailed && msg)
        events.nodesFailed(msg->step_id.job_id, expandHostList(msg->nodelist));
}

void onTimeout(srun_timeout_msg_t*) { }
void onUserMessage(srun_user_msg_t*) { }
void onSuspend(suspend_msg_t*) { }

// The port of the process's allocation message thread, started on first use.
uint16_t allocationMessagePort()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static const slurm_allocation_callbacks_t callbacks { onJobComplete, onTimeout, onUserMessage,
            onNodeFail, onSuspend };
        messageThread = slurm_allocation_msg_thr_create(&messagePort, &callbacks);
    });
    return messageThread ? messagePort : 0;
}

} // namespace

// One request's state, shared by the waiting thread and whoever withdraws it.
class SlurmClient::Pending {
public:
    std::mutex mutex;
    uint32_t jobId = 0; // known once the controller queued it
    bool withdrawn = false;
};

namespace {
// The blocking call reports a queued job through a function without context.
thread_local SlurmClient::Pending* waitingRequest = nullptr;

void onQueued(uint32_t jobId)
{
    SlurmClient::Pending* pending = waitingRequest;
    if (!pending)
        return;
    std::lock_guard lock(pending->mutex);
    pending->jobId = jobId;
    if (pending->withdrawn)
        slurm_kill_job(jobId, SIGKILL, 0);
}
} // namespace

SlurmClient::SlurmClient(SlurmSettings settings)
    : settings_(std::move(settings))
{
}

std::shared_ptr<SlurmClient> SlurmClient::create(const SlurmSettings& settings)
{
    // libslurm reads its configuration once per process.
    static std::once_flag once;
    std::call_once(once, [&] { slurm_init(settings.conf.empty() ? nullptr : settings.conf.c_str()); });
    return std::shared_ptr<SlurmClient>(new SlurmClient(settings));
}

void SlurmClient::setEventHandler(Events events)
{
    std::lock_guard lock(eventMutex);
    eventHandler = std::move(events);
}

void SlurmClient::describe(ClusterDescription& d)
{
    node_info_msg_t* nodes = nullptr;
    if (slurm_load_node(0, &nodes, SHOW_ALL) != SLURM_SUCCESS)
        fail(ZORE_ZORKD_DOWN, "the Slurm controller does not answer: " + slurmReason());
    d.hosts.clear();
    for (uint32_t i = 0; i < nodes->record_count; ++i) {
        const node_info_t& n = nodes->node_array[i];
        if (!n.name)
            continue;
        HostInfo host;
        host.name = n.name;
        host.type = typeOfFeatures(n.features, settings_.typeFeaturePrefix);
        d.hosts.push_back(host);
    }
    slurm_free_node_info_msg(nodes);
    std::sort(d.hosts.begin(), d.hosts.end(), [](auto& a, auto& b) { return a.name < b.name; });

    partition_info_msg_t* partitions = nullptr;
    if (slurm_load_partitions(0, &partitions, SHOW_ALL) != SLURM_SUCCESS)
        fail(ZORE_ZORKD_DOWN, "the Slurm controller does not answer: " + slurmReason());
    std::map<std::string, std::vector<std::string>> byName;
    std::string defaultPartition;
    for (uint32_t i = 0; i < partitions->record_count; ++i) {
        const partition_info_t& p = partitions->partition_array[i];
        if (!p.name)
            continue;
        byName[p.name] = expandHostList(p.nodes);
        if (p.flags & PART_FLAG_DEFAULT)
            defaultPartition = p.name;
    }
    slurm_free_partition_info_msg(partitions);

    d.groups = byName;
    auto mapped = [&](const std::string& group, const std::string& partition) {
        auto it = byName.find(partition);
        if (it == byName.end())
            fail(ZORE_CONF,
                d.sourceFile + ": group '" + group + "' maps to partition '" + partition
                    + "', which the Slurm controller does not have");
        d.groups[group] = it->second;
    };
    for (const auto& [group, partition] : settings_.partitions)
        mapped(group, partition);
    std::string internal
        = settings_.internalPartition.empty() ? defaultPartition : settings_.internalPartition;
    if (internal.empty())
        fail(ZORE_CONF, d.sourceFile + ": no internal_partition given and Slurm has no default partition");
    mapped(kInternalGroup, internal);
    settings_.internalPartition = d.slurm.internalPartition = internal;
}

// ---------------------------------------------------------------- allocation

std::shared_ptr<SlurmClient::Pending> SlurmClient::allocate(const Request& request, Granted granted)
{
    auto pending = std::make_shared<Pending>();
    std::thread([self = shared_from_this(), pending, request, granted = std::move(granted)]() mutable {
        self->waitForGrant(pending, std::move(request), std::move(granted));
    }).detach();
    return pending;
}

void SlurmClient::waitForGrant(std::shared_ptr<Pending> pending, Request request, Granted granted)
{
    job_desc_msg_t job;
    slurm_init_job_desc_msg(&job);
    job.name = request.name.data();
    job.partition = request.partition.data();
    job.features = request.feature.empty() ? nullptr : request.feature.data();
    std::string excluded = joinNames(request.exclude);
    job.exc_nodes = excluded.empty() ? nullptr : excluded.data();
    job.min_nodes = static_cast<uint32_t>(request.minNodes);
    job.max_nodes = static_cast<uint32_t>(request.maxNodes);
    job.user_id = getuid();
    job.group_id = getgid();
    // The job itself runs nothing; its steps choose their own directories.
    std::string cwd = "/";
    job.work_dir = cwd.data();
    job.other_port = allocationMessagePort();

    waitingRequest = pending.get();
    resource_allocation_response_msg_t* reply = slurm_allocate_resources_blocking(&job, 0, onQueued);
    waitingRequest = nullptr;
    std::string reason = reply ? "" : slurmReason();

    bool withdrawn;
    {
        std::lock_guard lock(pending->mutex);
        withdrawn = pending->withdrawn;
        if (reply)
            pending->jobId = reply->job_id;
    }
    if (!reply)
        granted(0, {}, "Slurm refused the allocation: " + reason);
    else if (withdrawn || !granted(reply->job_id, expandHostList(reply->node_list), ""))
        end(reply->job_id);
    if (reply)
        slurm_free_resource_allocation_response_msg(reply);
}

void SlurmClient::withdraw(const std::shared_ptr<Pending>& pending)
{
    if (!pending)
        return;
    std::lock_guard lock(pending->mutex);
    pending->withdrawn = true;
    if (pending->jobId)
        slurm_kill_job(pending->jobId, SIGKILL, 0);
}

bool SlurmClient::shrink(uint32_t jobId, const std::vector<std::string>& keep)
{
    if (keep.empty()) {
        end(jobId);
        return true;
    }
    job_desc_msg_t update;
    slurm_init_job_desc_msg(&update);
    update.job_id = jobId;
    std::string list = joinNames(keep);
    update.req_nodes = list.data();
    return slurm_update_job(&update) == SLURM_SUCCESS;
}

void SlurmClient::end(uint32_t jobId)
{
    if (slurm_complete_job(jobId, 0) != SLURM_SUCCESS)
        slurm_kill_job(jobId, SIGKILL, 0);
}

// ---------------------------------------------------------------- steps

std::string SlurmClient::stepCommand(uint32_t jobId, const std::string& node, const std::string& stepName,
    const std::string& command, const std::string& workDir, const std::string& outFile) const
{
    // Runs on the node: the work and output directories are made there.
    static const char* kOnNode
        = "mkdir -p \"$1\" \"${2%/*}\" && cd \"$1\" && exec /bin/sh -c \"$0\" >>\"$2\" 2>&1 </dev/null";
    std::string line = "exec " + shellQuote(settings_.srun) + " --jobid=" + std::to_string(jobId) + " -w "
        + shellQuote(node) + " -N1 -n1 --overlap --input=none -J " + shellQuote(stepName);
    return line + " /bin/sh -c " + shellQuote(kOnNode) + " " + shellQuote(command) + " " + shellQuote(workDir)
        + " " + shellQuote(outFile);
}

bool SlurmClient::signalStep(uint32_t jobId, const std::string& stepName, int signal)
{
    job_step_info_response_msg_t* steps = nullptr;
    if (slurm_get_job_steps(0, jobId, NO_VAL, &steps, SHOW_ALL) != SLURM_SUCCESS)
        return false;
    bool sent = false;
    for (uint32_t i = 0; i < steps->job_step_count; ++i) {
        const job_step_info_t& step = steps->job_steps[i];
        if (step.name && stepName == step.name)
            sent = slurm_kill_job_step(jobId, step.step_id.step_id, static_cast<uint16_t>(signal))
                == SLURM_SUCCESS;
    }
    slurm_free_job_step_info_response_msg(steps);
    return sent;
}

} // namespace zor
