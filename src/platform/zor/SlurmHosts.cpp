#include "platform/zor/SlurmHosts.h"

#include "platform/zor/ZorError.h"

#include <algorithm>
#include <set>

namespace zor {

uint32_t SlurmHosts::Jobs::jobOf(const std::string& node) const
{
    auto it = nodeJob.find(node);
    return it == nodeJob.end() ? 0 : it->second;
}

template <class Fn>
auto SlurmHosts::whileAttached(const std::weak_ptr<SlurmHosts>& self, std::mutex& mutex, Fn fn)
{
    std::lock_guard lock(mutex);
    auto hosts = self.lock();
    return hosts ? fn(*hosts) : decltype(fn(*hosts))();
}

SlurmHosts::SlurmHosts(std::shared_ptr<const ClusterDescription> description,
    std::shared_ptr<SlurmClient> client, const Context& context)
    : description_(std::move(description))
    , client_(std::move(client))
    , context_(context)
{
}

std::shared_ptr<SlurmHosts> SlurmHosts::attach(
    const std::shared_ptr<ClusterDescription>& description, const Context& context)
{
    std::shared_ptr<SlurmClient> client = SlurmClient::create(description->slurm);
    client->describe(*description);
    std::shared_ptr<SlurmHosts> hosts(new SlurmHosts(description, client, context));
    std::weak_ptr<SlurmHosts> self = hosts;
    std::mutex& mutex = context.mutex;
    SlurmClient::setEventHandler({
        [self, &mutex](
            uint32_t jobId) { whileAttached(self, mutex, [&](SlurmHosts& h) { h.onNodesLost(jobId, {}); }); },
        [self, &mutex](uint32_t jobId, std::vector<std::string> nodes) {
            whileAttached(self, mutex, [&](SlurmHosts& h) { h.onNodesLost(jobId, nodes); });
        },
    });
    return hosts;
}

std::string SlurmHosts::hostTop(const std::string& host) const
{
    return nodeTree(description_->slurm.hostTop, host);
}

uint32_t SlurmHosts::jobOf(const std::string& allocId, const std::string& node) const
{
    auto it = jobs_.find(allocId);
    return it == jobs_.end() ? 0 : it->second.jobOf(node);
}

// ---------------------------------------------------------------- allocation

void SlurmHosts::want(Allocation& a, int minSlots)
{
    requestNodes(a, minSlots);
}

void SlurmHosts::requestNodes(Allocation& a, int minSlots)
{
    const ClusterDescription& d = *description_;
    Jobs& jobs = jobs_[a.id];
    int wanted = a.maxSlots - a.total();
    if (jobs.pending || wanted < 1)
        return;
    SlurmClient::Request request;
    request.name = a.consumer;
    request.partition = partitionOfGroup(d.slurm, a.group);
    request.feature = a.hostType.empty() ? "" : d.slurm.typeFeaturePrefix + a.hostType;
    int eligible = 0;
    for (const std::string& name : d.groups.at(a.group)) {
        if (a.held.count(name) || a.excluded.count(name))
            request.exclude.push_back(name);
        else
            eligible += a.hostType.empty() || d.findHost(name)->type == a.hostType;
    }
    if (eligible == 0)
        return;
    // One slot is one node; Slurm refuses a request for more nodes than fit.
    request.maxNodes = std::min(wanted, eligible);
    request.minNodes = std::clamp(minSlots - a.total(), 1, request.maxNodes);
    jobs.pending = client_->allocate(request,
        [self = weak_from_this(), &mutex = context_.mutex, id = a.id](
            uint32_t jobId, std::vector<std::string> nodes, const std::string&) {
            return whileAttached(
                self, mutex, [&](SlurmHosts& h) { return h.onNodesGranted(id, jobId, nodes); });
        });
}

// On the allocation request's own thread, under the cluster's lock.
bool SlurmHosts::onNodesGranted(
    const std::string& allocId, uint32_t jobId, const std::vector<std::string>& nodes)
{
    Allocation* a = context_.books.find(allocId);
    if (!a)
        return false; // freed meanwhile: the client gives the nodes back
    Jobs& jobs = jobs_[allocId];
    jobs.pending.reset();
    if (!jobId) {
        requestAgainLater(allocId);
        return false;
    }
    AllocationBook::Slots granted;
    for (const std::string& node : nodes) {
        jobs.nodeJob[node] = jobId;
        granted.emplace_back(node, 1);
    }
    context_.books.grant(*a, granted, *description_);
    // Fewer than the maximum: the rest comes in a job of its own once free.
    requestNodes(*a, 1);
    return true;
}

void SlurmHosts::requestAgainLater(const std::string& allocId)
{
    // Refused (a node being freed, the controller busy): asked again shortly,
    // for as long as the allocation lacks nodes.
    context_.dispatcher.post(Dispatcher::Clock::now() + std::chrono::seconds(1),
        [self = weak_from_this(), &mutex = context_.mutex, allocId] {
            whileAttached(self, mutex, [&](SlurmHosts& h) {
                if (Allocation* again = h.context_.books.find(allocId))
                    h.requestNodes(*again, 1);
            });
        });
}

void SlurmHosts::givenBack(Allocation& a, const std::map<std::string, int>& nodes)
{
    // Nodes are whole: each job shrinks to the nodes it keeps, or ends with
    // its last one. A node Slurm does not take back yet stays in its job,
    // idle, until the job ends; our books are right either way.
    Jobs& jobs = jobs_[a.id];
    std::map<uint32_t, std::vector<std::string>> keep;
    for (auto& [node, job] : jobs.nodeJob)
        keep[job];
    for (auto& [node, job] : jobs.nodeJob)
        if (!nodes.count(node))
            keep[job].push_back(node);
    for (auto& [job, kept] : keep) {
        bool touched = std::any_of(
            nodes.begin(), nodes.end(), [&, job = job](auto& n) { return jobs.jobOf(n.first) == job; });
        if (touched)
            client_->shrink(job, kept);
    }
    for (auto& [node, n] : nodes)
        jobs.nodeJob.erase(node);
}

void SlurmHosts::dropped(Allocation& a)
{
    auto it = jobs_.find(a.id);
    if (it == jobs_.end())
        return;
    std::set<uint32_t> ended;
    for (auto& [node, job] : it->second.nodeJob)
        ended.insert(job);
    for (uint32_t job : ended)
        client_->end(job);
    client_->withdraw(it->second.pending);
    jobs_.erase(it);
}

// On libslurm's allocation message thread, under the cluster's lock.
void SlurmHosts::onNodesLost(uint32_t jobId, const std::vector<std::string>& nodes)
{
    for (auto& [allocId, jobs] : jobs_) {
        auto& held = jobs.nodeJob;
        if (std::none_of(held.begin(), held.end(), [&](auto& n) { return n.second == jobId; }))
            continue;
        std::vector<std::string> lost;
        for (auto node = held.begin(); node != held.end();) {
            if (node->second == jobId
                && (nodes.empty() || std::count(nodes.begin(), nodes.end(), node->first))) {
                lost.push_back(node->first);
                node = held.erase(node);
            } else {
                ++node;
            }
        }
        Allocation* a = context_.books.find(allocId);
        if (a && !lost.empty())
            context_.books.reclaim(*a, lost);
        return;
    }
}

// ---------------------------------------------------------------- steps

void SlurmHosts::start(Container& c, const std::string& command, const std::string& workDir,
    const Environment& env, std::function<void(ExitInfo)> onExit)
{
    const ClusterDescription& d = *description_;
    uint32_t jobId = jobOf(c.allocId, c.host);
    if (!jobId)
        fail(ZORE_NOTOWNED, "allocation '" + c.allocId + "' holds no Slurm job");
    // srun runs here; the command runs on the node, its output in the node's tree.
    std::string local = d.stateDir + "/slurm";
    Environment srunEnv = env;
    if (!d.slurm.conf.empty())
        srunEnv["SLURM_CONF"] = d.slurm.conf;
    std::string line = client_->stepCommand(
        jobId, c.host, c.id, command, workDir, env.at("QEL_TOP") + "/containers/" + c.id + ".out");
    std::string error;
    if (!c.process.start(line, local, srunEnv, local + "/" + c.id + ".srun.out", std::move(onExit), error))
        fail(ZORE_STARTFAIL, error);
}

bool SlurmHosts::signal(Container& c, int osSignal)
{
    uint32_t jobId = jobOf(c.allocId, c.host);
    if (jobId && client_->signalStep(jobId, c.id, osSignal))
        return true;
    return c.process.signal(osSignal);
}

bool SlurmHosts::endedByKill(const ExitInfo&) const
{
    return true;
}

} // namespace zor
