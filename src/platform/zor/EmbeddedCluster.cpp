#include "platform/zor/EmbeddedCluster.h"

#include "platform/zor/Records.h"
#include "platform/zor/UrlRegistry.h"

#include <dlfcn.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace zor {

namespace {

[[noreturn]] void fail(int code, std::string detail)
{
    throw ZorError { code, std::move(detail) };
}

bool isAny(const std::string& s)
{
    return s.empty() || s == "any" || s == "ANY" || s == "Any";
}

// The host type a resource requirement asks for; empty for any.
std::string typeOfResReq(const std::string& resReq)
{
    if (isAny(resReq))
        return {};
    const std::string prefix = "type==";
    if (resReq.rfind(prefix, 0) == 0 && resReq.size() > prefix.size())
        return resReq.substr(prefix.size());
    fail(ZORE_BADRESREQ,
        "resource requirement '" + resReq + "' is not understood (use \"any\" or \"type==T\")");
}

std::string ourLibraryDir()
{
    Dl_info info {};
    if (dladdr(reinterpret_cast<void*>(&ourLibraryDir), &info) && info.dli_fname)
        return std::filesystem::absolute(info.dli_fname).parent_path().lexically_normal().string();
    return std::filesystem::current_path().string();
}

std::string numbered(const char* prefix, uint64_t n)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s-%08llu", prefix, static_cast<unsigned long long>(n));
    return buf;
}

using AllocationRecord = std::shared_ptr<zor_allocation_t>;

AllocationRecord ownedAllocation(zor_allocation_t a)
{
    return AllocationRecord(new zor_allocation_t(a), [](zor_allocation_t* p) {
        freeAllocationFields(*p);
        delete p;
    });
}

} // namespace

struct EmbeddedCluster::Handle {
    uint64_t id = 0;
    zor_handle_t* self = nullptr;
    bool loggedOn = false;
    std::string credential;
    std::string containerCredential; // what containers of this consumer get
    std::string consumer; // registered consumer path; empty when none
    zor_callbacks_t callbacks {};
    void* context = nullptr;
};

struct EmbeddedCluster::Allocation {
    std::string id;
    std::string consumer;
    uint64_t owner = 0;
    std::string group;
    std::string hostType; // empty for any
    int maxSlots = 0;
    std::map<std::string, int> held;
    std::set<std::string> excluded;
    Dispatcher::Clock::time_point requestedAt;
    // Slurm: the job holding each node. A job cannot grow, so nodes that come
    // later (freed by others, replacements, a larger maximum) come in jobs of
    // their own.
    std::map<std::string, uint32_t> nodeJob;
    std::shared_ptr<SlurmBackend::Pending> pending; // Slurm: the request waiting for nodes

    uint32_t jobOf(const std::string& node) const
    {
        auto it = nodeJob.find(node);
        return it == nodeJob.end() ? 0 : it->second;
    }

    int total() const
    {
        int n = 0;
        for (auto& [h, s] : held)
            n += s;
        return n;
    }
};

struct EmbeddedCluster::Container {
    std::string id, host, allocId;
    int state = ZOR_CONTAINER_START;
    ExitInfo exit;
    bool killRequested = false;
    ContainerProcess process;
};

EmbeddedCluster& EmbeddedCluster::instance()
{
    static EmbeddedCluster* cluster = new EmbeddedCluster(); // never destroyed: callbacks may outlive exit
    return *cluster;
}

const ClusterDescription& EmbeddedCluster::description()
{
    std::lock_guard lock(mutex_);
    return descriptionLocked();
}

const ClusterDescription& EmbeddedCluster::descriptionLocked()
{
    if (!description_ && descriptionError_.empty()) {
        std::unique_ptr<ClusterDescription> loaded;
        try {
            loaded = std::make_unique<ClusterDescription>(ClusterDescription::load());
        } catch (const std::exception& e) {
            descriptionError_ = e.what();
        }
        // A controller that does not answer now may answer at the next call.
        if (loaded && loaded->usesSlurm())
            attachSlurmLocked(*loaded);
        if (loaded) {
            for (const HostInfo& h : loaded->hosts)
                freeSlots_[h.name] = h.slots;
            description_ = std::move(loaded);
        }
    }
    if (!description_)
        fail(ZORE_CONF, descriptionError_);
    return *description_;
}

// ---------------------------------------------------------------- handles

EmbeddedCluster::Handle& EmbeddedCluster::handleLocked(uint64_t h)
{
    descriptionLocked();
    auto it = handles_.find(h);
    if (it == handles_.end())
        fail(ZORE_BADHANDLE, "the handle is not open");
    return *it->second;
}

EmbeddedCluster::Handle& EmbeddedCluster::consumerHandleLocked(uint64_t h)
{
    Handle& handle = handleLocked(h);
    if (handle.consumer.empty())
        fail(ZORE_NOTREGISTERED, "the handle is not registered as a consumer");
    return handle;
}

uint64_t EmbeddedCluster::open()
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    auto handle = std::make_unique<Handle>();
    handle->id = nextId_++;
    uint64_t id = handle->id;
    handles_[id] = std::move(handle);
    return id;
}

void EmbeddedCluster::close(uint64_t h)
{
    unregister(h);
    std::lock_guard lock(mutex_);
    handles_.erase(h);
}

void EmbeddedCluster::logon(uint64_t h, const std::string& credential)
{
    std::lock_guard lock(mutex_);
    Handle& handle = handleLocked(h);
    if (credential.empty())
        fail(ZORE_BADARG, "empty credential");
    handle.loggedOn = true;
    handle.credential = credential;
    if (handle.containerCredential.empty())
        handle.containerCredential = credential;
}

void EmbeddedCluster::logoff(uint64_t h)
{
    std::lock_guard lock(mutex_);
    Handle& handle = handleLocked(h);
    if (!handle.loggedOn)
        fail(ZORE_NOTLOGGEDON, "the handle is not logged on");
    handle.loggedOn = false;
    handle.credential.clear();
}

std::string EmbeddedCluster::credential(uint64_t h)
{
    std::lock_guard lock(mutex_);
    Handle& handle = handleLocked(h);
    if (!handle.loggedOn)
        fail(ZORE_NOTLOGGEDON, "the handle is not logged on");
    return handle.credential;
}

void EmbeddedCluster::refreshCredential(uint64_t h, const std::string& consumer)
{
    std::lock_guard lock(mutex_);
    Handle& handle = consumerHandleLocked(h);
    if (normaliseConsumerPath(consumer) != handle.consumer)
        fail(ZORE_BADCONSUMER,
            "the handle is registered as '" + handle.consumer + "', not '" + consumer + "'");
    if (!handle.loggedOn)
        fail(ZORE_NOTLOGGEDON, "the handle is not logged on");
    handle.containerCredential = handle.credential;
}

// ---------------------------------------------------------------- registration

zor_allocreply_t* EmbeddedCluster::registerConsumer(
    uint64_t h, zor_handle_t* self, const zor_regreq_t& req, const zor_callbacks_t& callbacks)
{
    std::lock_guard lock(mutex_);
    Handle& handle = handleLocked(h);
    const ClusterDescription& d = descriptionLocked();
    if (!handle.loggedOn)
        fail(ZORE_NOTLOGGEDON, "log on before registering a consumer");
    if (!handle.consumer.empty())
        fail(ZORE_ALREADYREG, "the handle is registered as '" + handle.consumer + "' already");
    if (!req.name || !*req.name)
        fail(ZORE_BADARG, "empty consumer path");
    std::string path = normaliseConsumerPath(req.name);
    if (!d.isConsumer(path))
        fail(ZORE_BADCONSUMER, "'" + path + "' is not a consumer of the cluster");

    // Several handles may register the same path (two packages deploying on
    // the default consumer at once); each keeps its own allocations. Only an
    // allocation of the path that no registered handle holds any more is
    // handed to the newcomer.
    handle.consumer = path;
    handle.self = self;
    handle.callbacks = callbacks;
    handle.context = req.context;

    auto* reply = static_cast<zor_allocreply_t*>(std::calloc(1, sizeof(zor_allocreply_t)));
    for (auto& [id, a] : allocations_) {
        if (a->consumer != path || reply->nallocation || ownerRegisteredLocked(*a))
            continue;
        a->owner = h;
        std::vector<zor_hostslots_t> hosts;
        for (auto& [name, slots] : a->held)
            hosts.push_back(makeHostSlots(name, slots, d.findHost(name)));
        reply->nallocation = 1;
        reply->allocations = static_cast<zor_allocation_t*>(std::calloc(1, sizeof(zor_allocation_t)));
        reply->allocations[0] = makeAllocation(a->id, path, hosts);
        std::vector<zor_container_t> cs;
        for (auto& [cid, c] : containers_)
            if (c->allocId == a->id)
                cs.push_back(
                    makeContainer(cid, c->host, c->allocId, c->state, c->exit.reason, c->exit.status));
        reply->ncontainer = static_cast<int32_t>(cs.size());
        reply->containers
            = static_cast<zor_container_t*>(std::calloc(cs.size() + 1, sizeof(zor_container_t)));
        std::copy(cs.begin(), cs.end(), reply->containers);
    }
    dispatcher_.post([this, h] {
        deliver(h, [](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
            if (cb.connectionOk)
                cb.connectionOk(s, ctx);
        });
    });
    for (const HostInfo& host : d.hosts)
        if (host.unavailable)
            dispatcher_.post([this, h, name = host.name] {
                deliver(h, [name](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
                    if (cb.hostStateChange)
                        cb.hostStateChange(s, ctx, name.c_str(), ZOR_HOST_UNAVAIL);
                });
            });
    return reply;
}

void EmbeddedCluster::registerUrl(uint64_t h, const std::string& name, const std::string& url)
{
    std::string dir;
    {
        std::lock_guard lock(mutex_);
        handleLocked(h);
        dir = descriptionLocked().stateDir;
    }
    if (name.empty() || url.empty())
        fail(ZORE_BADARG, "empty client name or URL");
    std::string error = UrlRegistry(dir).put(name, url);
    if (!error.empty())
        fail(ZORE_SYSERR, error);
}

std::string EmbeddedCluster::lookupUrl(const std::string& name)
{
    std::string dir;
    {
        std::lock_guard lock(mutex_);
        dir = descriptionLocked().stateDir;
    }
    auto url = UrlRegistry(dir).get(name);
    if (!url)
        fail(ZORE_NOTFOUND, "no URL is registered under '" + name + "'");
    return *url;
}

void EmbeddedCluster::unregister(uint64_t h)
{
    Lock lock(mutex_);
    Handle& handle = handleLocked(h);
    auto containers = unregisterLocked(handle);
    waitForCallbacks(lock, h);
    killAndReap(lock, std::move(containers));
}

std::vector<std::shared_ptr<EmbeddedCluster::Container>> EmbeddedCluster::unregisterLocked(Handle& handle)
{
    std::vector<std::shared_ptr<Container>> dropped;
    if (handle.consumer.empty())
        return dropped;
    std::vector<std::string> own;
    for (auto& [id, a] : allocations_)
        if (a->owner == handle.id && a->consumer == handle.consumer)
            own.push_back(id);
    for (auto& id : own) {
        auto cs = dropAllocationLocked(id);
        dropped.insert(dropped.end(), cs.begin(), cs.end());
    }
    handle.consumer.clear();
    handle.callbacks = {};
    handle.context = nullptr;
    return dropped;
}

void EmbeddedCluster::waitForCallbacks(Lock& lock, uint64_t h)
{
    if (dispatcher_.onDispatcherThread())
        return; // the running callback is the caller itself
    callbackDone_.wait(lock, [&] { return deliveringTo_ != h; });
}

void EmbeddedCluster::deliver(
    uint64_t h, std::function<void(zor_handle_t*, const zor_callbacks_t&, void*)> fn)
{
    Lock lock(mutex_);
    auto it = handles_.find(h);
    if (it == handles_.end() || it->second->consumer.empty())
        return;
    zor_callbacks_t callbacks = it->second->callbacks;
    zor_handle_t* self = it->second->self;
    void* context = it->second->context;
    deliveringTo_ = h;
    lock.unlock();
    fn(self, callbacks, context);
    lock.lock();
    deliveringTo_ = 0;
    callbackDone_.notify_all();
}

// ---------------------------------------------------------------- allocation

EmbeddedCluster::Allocation& EmbeddedCluster::ownAllocationLocked(uint64_t h, const std::string& allocId)
{
    consumerHandleLocked(h);
    auto it = allocations_.find(allocId);
    if (it == allocations_.end() || it->second->owner != h)
        fail(ZORE_NOSUCHALLOC, "allocation '" + allocId + "' does not exist");
    return *it->second;
}

std::string EmbeddedCluster::alloc(uint64_t h, const zor_allocreq_t& req)
{
    std::lock_guard lock(mutex_);
    Handle& handle = consumerHandleLocked(h);
    const ClusterDescription& d = descriptionLocked();
    if (req.consumer && *req.consumer && normaliseConsumerPath(req.consumer) != handle.consumer)
        fail(ZORE_BADCONSUMER,
            "the handle is registered as '" + handle.consumer + "', not '" + req.consumer + "'");
    std::string group = req.resourceGroup && *req.resourceGroup ? req.resourceGroup : kInternalGroup;
    if (!d.groups.count(group))
        fail(ZORE_NOSUCHGROUP, "resource group '" + group + "' does not exist");
    if (req.minSlots < 1 || req.maxSlots < req.minSlots)
        fail(ZORE_BADARG, "slots must satisfy 1 <= minimum <= maximum");
    for (auto& [id, a] : allocations_)
        if (a->owner == h)
            fail(ZORE_ALLOCEXISTS, "the handle holds allocation '" + id + "' already");
    std::string hostType = req.hostType && !isAny(req.hostType) ? req.hostType : "";
    std::string reqType = typeOfResReq(req.resReq ? req.resReq : "");
    if (!reqType.empty() && !hostType.empty() && reqType != hostType)
        fail(ZORE_BADRESREQ, "host type '" + hostType + "' contradicts the resource requirement");

    auto a = std::make_unique<Allocation>();
    a->id = numbered("alloc", nextId_++);
    a->consumer = handle.consumer;
    a->owner = h;
    a->group = group;
    a->hostType = reqType.empty() ? hostType : reqType;
    a->maxSlots = req.maxSlots;
    a->requestedAt = Dispatcher::Clock::now();
    std::string id = a->id;
    Allocation& added = *a;
    allocations_[id] = std::move(a);
    if (slurm_)
        requestNodesLocked(added, std::max(1, req.minSlots));
    else
        scheduleGrant(Dispatcher::Clock::now());
    return id;
}

void EmbeddedCluster::realloc(uint64_t h, const std::string& allocId, int newMax)
{
    std::lock_guard lock(mutex_);
    Allocation& a = ownAllocationLocked(h, allocId);
    if (newMax < 1)
        fail(ZORE_BADARG, "the new maximum must be at least 1");
    a.maxSlots = newMax;
    if (slurm_)
        requestNodesLocked(a, 1);
    else
        scheduleGrant(Dispatcher::Clock::now());
}

void EmbeddedCluster::allocFree(uint64_t h, const std::string& allocId)
{
    Lock lock(mutex_);
    ownAllocationLocked(h, allocId);
    auto containers = dropAllocationLocked(allocId);
    scheduleGrant(Dispatcher::Clock::now());
    killAndReap(lock, std::move(containers));
}

void EmbeddedCluster::release(
    uint64_t h, const std::string& allocId, const std::map<std::string, int>& slots, int flags)
{
    std::lock_guard lock(mutex_);
    Allocation& a = ownAllocationLocked(h, allocId);
    for (auto& [host, n] : slots) {
        auto it = a.held.find(host);
        if (n < 1 || it == a.held.end() || it->second < n)
            fail(ZORE_NOTOWNED,
                "allocation '" + allocId + "' does not hold " + std::to_string(n) + " slot(s) of '" + host
                    + "'");
    }
    if (slurm_)
        releaseNodesLocked(a, slots);
    for (auto& [host, n] : slots) {
        if ((a.held[host] -= n) == 0)
            a.held.erase(host);
        freeSlots_[host] += n;
        if (flags & ZOR_RELEASE_REPLACE)
            a.excluded.insert(host);
        else
            a.maxSlots = std::max(0, a.maxSlots - n);
    }
    if (slurm_)
        requestNodesLocked(a, 1); // a replacement
    else
        scheduleGrant(Dispatcher::Clock::now());
}

bool EmbeddedCluster::ownerRegisteredLocked(const Allocation& a) const
{
    auto owner = handles_.find(a.owner);
    return owner != handles_.end() && owner->second->consumer == a.consumer;
}

bool EmbeddedCluster::eligibleLocked(const Allocation& a, const HostInfo& host) const
{
    return !host.unavailable && !a.excluded.count(host.name)
        && (a.hostType.empty() || a.hostType == host.type);
}

void EmbeddedCluster::scheduleGrant(Dispatcher::Clock::time_point due)
{
    dispatcher_.post(due, [this] { grantPass(); });
}

// Runs on the dispatcher thread: hands free slots to waiting allocations, in
// allocation order, hosts in name order, each host not before its delay.
void EmbeddedCluster::grantPass()
{
    std::vector<std::pair<uint64_t, AllocationRecord>> grants;
    std::optional<Dispatcher::Clock::time_point> retry;
    {
        std::lock_guard lock(mutex_);
        if (!description_ || slurm_)
            return; // Slurm grants its nodes itself
        auto now = Dispatcher::Clock::now();
        for (auto& [id, a] : allocations_) {
            if (!ownerRegisteredLocked(*a))
                continue;
            std::vector<zor_hostslots_t> granted;
            int total = a->total();
            for (const std::string& name : description_->groups[a->group]) {
                const HostInfo* host = description_->findHost(name);
                if (total >= a->maxSlots || !eligibleLocked(*a, *host) || freeSlots_[name] == 0)
                    continue;
                auto ready = a->requestedAt + std::chrono::milliseconds(host->allocDelayMs);
                if (ready > now) {
                    retry = retry ? std::min(*retry, ready) : ready;
                    continue;
                }
                int take = std::min(freeSlots_[name], a->maxSlots - total);
                freeSlots_[name] -= take;
                a->held[name] += take;
                total += take;
                granted.push_back(makeHostSlots(name, take, host));
            }
            if (!granted.empty())
                grants.emplace_back(a->owner, ownedAllocation(makeAllocation(a->id, a->consumer, granted)));
        }
    }
    if (retry)
        scheduleGrant(*retry);
    for (auto& [owner, record] : grants)
        deliver(owner, [rec = record](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
            if (cb.resourceAdded)
                cb.resourceAdded(s, ctx, rec.get());
        });
}

std::vector<std::shared_ptr<EmbeddedCluster::Container>> EmbeddedCluster::dropAllocationLocked(
    const std::string& allocId)
{
    std::vector<std::shared_ptr<Container>> dropped;
    for (auto it = containers_.begin(); it != containers_.end();) {
        if (it->second->allocId == allocId) {
            it->second->process.signal(SIGKILL);
            dropped.push_back(it->second);
            it = containers_.erase(it);
        } else {
            ++it;
        }
    }
    auto a = allocations_.find(allocId);
    if (a != allocations_.end()) {
        for (auto& [host, n] : a->second->held)
            freeSlots_[host] += n;
        if (slurm_) {
            std::set<uint32_t> jobs;
            for (auto& [node, job] : a->second->nodeJob)
                jobs.insert(job);
            for (uint32_t job : jobs)
                slurm_->end(job);
            slurm_->withdraw(a->second->pending);
        }
        allocations_.erase(a);
    }
    return dropped;
}

void EmbeddedCluster::killAndReap(Lock& lock, std::vector<std::shared_ptr<Container>> containers)
{
    lock.unlock();
    for (auto& c : containers) {
        c->process.signal(SIGKILL);
        c->process.join();
    }
    containers.clear();
    lock.lock();
}

// ---------------------------------------------------------------- containers

std::string EmbeddedCluster::hostTop(const std::string& host)
{
    std::lock_guard lock(mutex_);
    return hostTopLocked(host);
}

std::string EmbeddedCluster::hostTopLocked(const std::string& host)
{
    const ClusterDescription& d = descriptionLocked();
    return d.usesSlurm() ? nodeTree(d.slurm.hostTop, host) : d.stateDir + "/hosts/" + host;
}

Environment EmbeddedCluster::hostEnvironmentLocked(
    const std::string& host, const std::string& containerId, const std::string& credential)
{
    Environment env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    const ClusterDescription& d = descriptionLocked();
    std::string top = hostTopLocked(host);
    env["QEL_TOP"] = top;
    env["QEL_SERVERDIR"] = top + "/servers";
    env["QEL_LOCAL_CONFDIR"] = top + "/conf";
    for (const char* name : { "QEL_BINDIR", "QEL_LIBDIR" })
        if (const char* v = confParamLocked(name))
            env[name] = v;
    if (!d.builtIn())
        env["ZOR_CLUSTER_FILE"] = std::filesystem::absolute(d.sourceFile).string();
    env["ZOR_STATE_DIR"] = d.stateDir; // so that the host's tools find the same registry
    env["ZOR_HOST"] = host;
    env["ZOR_CONTAINER_ID"] = containerId;
    env["QEL_SERVICE_CREDENTIAL"] = credential;
    return env;
}

std::string EmbeddedCluster::startContainer(
    uint64_t h, const std::string& allocId, const std::string& host, const ContainerSpec& spec)
{
    std::lock_guard lock(mutex_);
    Handle& handle = consumerHandleLocked(h);
    Allocation& a = ownAllocationLocked(h, allocId);
    const HostInfo* info = descriptionLocked().findHost(host);
    if (!info)
        fail(ZORE_NOSUCHHOST, "host '" + host + "' is not part of the cluster");
    if (!a.held.count(host))
        fail(ZORE_NOTOWNED, "allocation '" + allocId + "' holds no slot of '" + host + "'");
    if (info->unavailable)
        fail(ZORE_HOSTUNAVAIL, "host '" + host + "' is unavailable");
    if (info->failStart)
        fail(ZORE_STARTFAIL, "host '" + host + "' refuses to start containers");
    if (spec.command.empty())
        fail(ZORE_BADARG, "empty command");

    std::string id = numbered("ctr", nextId_++);
    Environment env = hostEnvironmentLocked(host, id, handle.containerCredential);
    // Later entries may refer to earlier ones; the runner's own variables win.
    for (auto& [k, v] : spec.env)
        if (k != "ZOR_HOST" && k != "ZOR_CONTAINER_ID" && k != "QEL_SERVICE_CREDENTIAL")
            env[k] = expandVariables(v, env);
    std::string workDir = spec.workDir.empty() ? env["QEL_TOP"] : expandVariables(spec.workDir, env);

    auto c = std::make_shared<Container>();
    c->id = id;
    c->host = host;
    c->allocId = allocId;
    containers_[id] = c;
    std::string command = expandVariables(spec.command, env);
    if (slurm_) {
        startStepLocked(*c, command, workDir, env, a.jobOf(host));
    } else {
        std::string error;
        if (!c->process.start(
                command, workDir, env, env["QEL_TOP"] + "/containers/" + id + ".out",
                [this, id](ExitInfo exit) { onContainerExit(id, exit); }, error)) {
            containers_.erase(id);
            fail(ZORE_STARTFAIL, error);
        }
    }
    // Posted under the lock: the exit report, which needs the lock, follows it.
    dispatcher_.post([this, h, id, host, allocId] {
        deliver(h, [=](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
            zor_container_t rec = makeContainer(id, host, allocId, ZOR_CONTAINER_START, ZOR_EXIT_NONE, 0);
            if (cb.containerStateChange)
                cb.containerStateChange(s, ctx, &rec);
            freeContainerFields(rec);
        });
    });
    return id;
}

// Runs on the container's reaper thread.
void EmbeddedCluster::onContainerExit(const std::string& containerId, ExitInfo exit)
{
    std::lock_guard lock(mutex_);
    auto it = containers_.find(containerId);
    if (it == containers_.end())
        return; // dropped with its allocation
    Container& c = *it->second;
    // srun reports a killed step as its own exit status.
    if (c.killRequested && (exit.reason == ZOR_EXIT_SIGNALED || slurm_))
        exit.reason = ZOR_EXIT_KILLED;
    c.state = ZOR_CONTAINER_FINISH;
    c.exit = exit;
    auto a = allocations_.find(c.allocId);
    if (a == allocations_.end())
        return;
    dispatcher_.post([this, owner = a->second->owner, id = c.id, host = c.host, allocId = c.allocId, exit] {
        deliver(owner, [=](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
            zor_container_t rec
                = makeContainer(id, host, allocId, ZOR_CONTAINER_FINISH, exit.reason, exit.status);
            if (cb.containerStateChange)
                cb.containerStateChange(s, ctx, &rec);
            freeContainerFields(rec);
        });
    });
}

void EmbeddedCluster::signalContainer(uint64_t h, const std::string& containerId, int sig)
{
    std::lock_guard lock(mutex_);
    consumerHandleLocked(h);
    auto it = containers_.find(containerId);
    if (it == containers_.end())
        fail(ZORE_NOSUCHCONTAINER, "container '" + containerId + "' does not exist");
    ownAllocationLocked(h, it->second->allocId);
    int osSignal = sig == ZOR_SIG_KILL ? SIGKILL : sig == ZOR_SIG_TERM ? SIGTERM : 0;
    if (!osSignal)
        fail(ZORE_BADARG, "signal " + std::to_string(sig) + " is not supported (1 or 7)");
    it->second->killRequested = true;
    uint32_t jobId = allocations_[it->second->allocId]->jobOf(it->second->host);
    if (slurm_ && jobId && slurm_->signalStep(jobId, containerId, osSignal))
        return;
    if (!it->second->process.signal(osSignal))
        fail(ZORE_NOSUCHCONTAINER, "container '" + containerId + "' has finished");
}

// ---------------------------------------------------------------- description

std::vector<std::string> EmbeddedCluster::hostGroup(const std::string& group)
{
    std::lock_guard lock(mutex_);
    const ClusterDescription& d = descriptionLocked();
    auto it = d.groups.find(group);
    if (it == d.groups.end())
        fail(ZORE_NOSUCHGROUP, "resource group '" + group + "' does not exist");
    return it->second;
}

std::vector<RoleInfo> EmbeddedCluster::roles(const std::string& user)
{
    std::lock_guard lock(mutex_);
    const ClusterDescription& d = descriptionLocked();
    if (user.empty())
        fail(ZORE_BADARG, "empty user name");
    if (d.builtIn())
        return { RoleInfo { user, "/", ZOR_ROLE_CLUSTER_ADMIN } };
    std::vector<RoleInfo> out;
    for (const RoleInfo& r : d.roles)
        if (r.user == user)
            out.push_back(r);
    if (out.empty())
        fail(ZORE_NOSUCHUSER, "user '" + user + "' holds no role");
    return out;
}

void EmbeddedCluster::verifyConsumerPath(const std::string& path, const char* group)
{
    std::lock_guard lock(mutex_);
    const ClusterDescription& d = descriptionLocked();
    if (path.empty())
        fail(ZORE_BADARG, "empty consumer path");
    if (!d.isConsumer(path))
        fail(ZORE_BADCONSUMER, "'" + path + "' is not a consumer of the cluster");
    if (group && *group && !d.groups.count(group))
        fail(ZORE_NOSUCHGROUP, "resource group '" + std::string(group) + "' does not exist");
}

void EmbeddedCluster::verifyResReq(const std::string& resReq)
{
    std::lock_guard lock(mutex_);
    const ClusterDescription& d = descriptionLocked();
    std::string type = typeOfResReq(resReq);
    if (!type.empty()
        && std::none_of(d.hosts.begin(), d.hosts.end(), [&](auto& h) { return h.type == type; }))
        fail(ZORE_BADRESREQ, "no host has type '" + type + "'");
}

const char* EmbeddedCluster::confParam(const std::string& name)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    return confParamLocked(name);
}

const char* EmbeddedCluster::confParamLocked(const std::string& name)
{
    std::string value;
    if (const char* env = std::getenv(name.c_str()))
        value = env;
    else if (auto it = description_->params.find(name); it != description_->params.end())
        value = it->second;
    else if (name == "QEL_LIBDIR")
        value = ourLibraryDir() + "/rs"; // the plug-ins' directory
    else if (name == "QEL_BINDIR")
        value = (std::filesystem::path(ourLibraryDir()).parent_path() / "bin").string();
    else
        return nullptr;
    // Interned so the pointer stays valid for the caller.
    return internedParams_.insert(value).first->c_str();
}

// ---------------------------------------------------------------- test hooks

void EmbeddedCluster::reload()
{
    Lock lock(mutex_);
    std::vector<std::shared_ptr<Container>> dropped;
    for (auto& [id, handle] : handles_) {
        auto cs = unregisterLocked(*handle);
        dropped.insert(dropped.end(), cs.begin(), cs.end());
    }
    for (auto& [id, c] : containers_)
        dropped.push_back(c);
    containers_.clear();
    allocations_.clear();
    handles_.clear();
    freeSlots_.clear();
    description_.reset();
    slurm_.reset();
    descriptionError_.clear();
    callbackDone_.wait(lock, [&] { return deliveringTo_ == 0 || dispatcher_.onDispatcherThread(); });
    killAndReap(lock, std::move(dropped));
}

std::map<std::string, int> EmbeddedCluster::takeHostSlotsLocked(
    const std::string& host, std::vector<zor_reclaim_t>* reclaims, std::set<uint64_t>* owners)
{
    std::map<std::string, int> taken; // allocation -> slots
    for (auto& [id, a] : allocations_) {
        auto it = a->held.find(host);
        if (it == a->held.end())
            continue;
        taken[id] = it->second;
        if (reclaims)
            reclaims->push_back(makeReclaim(id, { makeHostSlots(host, it->second, nullptr) }));
        if (owners)
            owners->insert(a->owner);
        a->held.erase(it);
        a->excluded.insert(host);
    }
    return taken;
}

void EmbeddedCluster::setHostUnavailable(const std::string& host, bool unavailable)
{
    std::vector<uint64_t> consumers;
    {
        std::lock_guard lock(mutex_);
        descriptionLocked();
        auto it = std::find_if(
            description_->hosts.begin(), description_->hosts.end(), [&](auto& h) { return h.name == host; });
        if (it == description_->hosts.end())
            fail(ZORE_NOSUCHHOST, "host '" + host + "' is not part of the cluster");
        it->unavailable = unavailable;
        if (unavailable) {
            takeHostSlotsLocked(host, nullptr, nullptr);
            freeSlots_[host] = 0;
        } else {
            freeSlots_[host] = it->slots;
        }
        for (auto& [id, h] : handles_)
            if (!h->consumer.empty())
                consumers.push_back(id);
    }
    int state = unavailable ? ZOR_HOST_UNAVAIL : ZOR_HOST_OK;
    for (uint64_t h : consumers)
        dispatcher_.post([this, h, host, state] {
            deliver(h, [=](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
                if (cb.hostStateChange)
                    cb.hostStateChange(s, ctx, host.c_str(), state);
            });
        });
    scheduleGrant(Dispatcher::Clock::now());
}

void EmbeddedCluster::abandonConsumer(const std::string& path)
{
    Lock lock(mutex_);
    descriptionLocked();
    std::string normalised = normaliseConsumerPath(path);
    for (auto& [id, handle] : handles_)
        if (handle->consumer == normalised) {
            handle->consumer.clear();
            handle->callbacks = {};
            handle->context = nullptr;
            waitForCallbacks(lock, id);
        }
}

void EmbeddedCluster::reclaimHost(const std::string& host)
{
    std::vector<zor_reclaim_t> reclaims;
    std::set<uint64_t> owners;
    std::map<std::string, uint64_t> ownerOf;
    {
        std::lock_guard lock(mutex_);
        descriptionLocked();
        for (auto& [id, n] : takeHostSlotsLocked(host, &reclaims, &owners)) {
            freeSlots_[host] += n;
            ownerOf[id] = allocations_[id]->owner;
        }
    }
    auto all = std::make_shared<std::vector<zor_reclaim_t>>(std::move(reclaims));
    for (uint64_t owner : owners)
        dispatcher_.post([this, owner, all, ownerOf] {
            std::vector<zor_reclaim_t> mine;
            for (auto& r : *all)
                if (ownerOf.at(r.allocId) == owner)
                    mine.push_back(r);
            zor_reclaimlist_t list { static_cast<int32_t>(mine.size()), mine.data() };
            deliver(owner, [&](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
                if (cb.reclaimForce)
                    cb.reclaimForce(s, ctx, &list);
            });
        });
    // The records are freed by whoever drops the last reference to the list.
    dispatcher_.post([all] {
        for (auto& r : *all)
            freeReclaimFields(r);
    });
    scheduleGrant(Dispatcher::Clock::now());
}

// ---------------------------------------------------------------- Slurm

void EmbeddedCluster::attachSlurmLocked(ClusterDescription& d)
{
    std::shared_ptr<SlurmBackend> backend = SlurmBackend::create(d.slurm);
    backend->describe(d);
    SlurmBackend::setEventHandler({ [this](uint32_t jobId) { onNodesLost(jobId, {}); },
        [this](uint32_t jobId, std::vector<std::string> nodes) { onNodesLost(jobId, nodes); } });
    slurm_ = std::move(backend);
}

void EmbeddedCluster::requestNodesLocked(Allocation& a, int minSlots)
{
    const ClusterDescription& d = *description_;
    int wanted = a.maxSlots - a.total();
    if (a.pending || wanted < 1)
        return;
    SlurmBackend::Request request;
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
    a.pending = slurm_->allocate(
        request, [this, id = a.id](uint32_t jobId, std::vector<std::string> nodes, const std::string&) {
            return onNodesGranted(id, jobId, std::move(nodes));
        });
}

// Runs on the allocation request's own thread.
bool EmbeddedCluster::onNodesGranted(
    const std::string& allocId, uint32_t jobId, std::vector<std::string> nodes)
{
    std::lock_guard lock(mutex_);
    auto it = allocations_.find(allocId);
    if (it == allocations_.end() || !description_)
        return false; // freed meanwhile: the backend gives the nodes back
    Allocation& a = *it->second;
    a.pending.reset();
    if (!jobId) {
        // Refused (a node being freed, the controller busy): asked again
        // shortly, for as long as the allocation lacks nodes.
        dispatcher_.post(Dispatcher::Clock::now() + std::chrono::seconds(1), [this, allocId] {
            std::lock_guard lock(mutex_);
            auto again = allocations_.find(allocId);
            if (again != allocations_.end() && slurm_)
                requestNodesLocked(*again->second, 1);
        });
        return false;
    }
    std::vector<zor_hostslots_t> granted;
    for (const std::string& node : nodes) {
        a.held[node] = 1;
        a.nodeJob[node] = jobId;
        granted.push_back(makeHostSlots(node, 1, description_->findHost(node)));
    }
    AllocationRecord record = ownedAllocation(makeAllocation(a.id, a.consumer, granted));
    dispatcher_.post([this, owner = a.owner, record] {
        deliver(owner, [record](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
            if (cb.resourceAdded)
                cb.resourceAdded(s, ctx, record.get());
        });
    });
    // Fewer than the maximum: the rest comes in a job of its own once free.
    requestNodesLocked(a, 1);
    return true;
}

void EmbeddedCluster::releaseNodesLocked(Allocation& a, const std::map<std::string, int>& nodes)
{
    // Nodes are whole: each job shrinks to the nodes it keeps, or ends with
    // its last one. A node Slurm does not take back yet stays in its job,
    // idle, until the job ends; our books are right either way.
    std::map<uint32_t, std::vector<std::string>> keep;
    for (auto& [node, job] : a.nodeJob)
        keep[job];
    for (auto& [node, job] : a.nodeJob)
        if (!nodes.count(node))
            keep[job].push_back(node);
    for (auto& [job, kept] : keep) {
        bool touched = std::any_of(
            nodes.begin(), nodes.end(), [&, job = job](auto& n) { return a.jobOf(n.first) == job; });
        if (touched)
            slurm_->shrink(job, kept);
    }
    for (auto& [node, n] : nodes)
        a.nodeJob.erase(node);
}

// Runs on libslurm's allocation message thread.
void EmbeddedCluster::onNodesLost(uint32_t jobId, const std::vector<std::string>& nodes)
{
    std::lock_guard lock(mutex_);
    auto it = std::find_if(allocations_.begin(), allocations_.end(), [&](auto& entry) {
        const auto& held = entry.second->nodeJob;
        return std::any_of(held.begin(), held.end(), [&](auto& n) { return n.second == jobId; });
    });
    if (it == allocations_.end())
        return;
    Allocation& a = *it->second;
    std::vector<zor_hostslots_t> lost;
    for (auto held = a.nodeJob.begin(); held != a.nodeJob.end();) {
        if (held->second == jobId && (nodes.empty() || std::count(nodes.begin(), nodes.end(), held->first))) {
            lost.push_back(makeHostSlots(held->first, 1, nullptr));
            a.held.erase(held->first);
            held = a.nodeJob.erase(held);
        } else {
            ++held;
        }
    }
    if (lost.empty())
        return;
    auto reclaim
        = std::shared_ptr<zor_reclaim_t>(new zor_reclaim_t(makeReclaim(a.id, lost)), [](zor_reclaim_t* r) {
              freeReclaimFields(*r);
              delete r;
          });
    dispatcher_.post([this, owner = a.owner, reclaim] {
        zor_reclaimlist_t list { 1, reclaim.get() };
        deliver(owner, [&](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
            if (cb.reclaimForce)
                cb.reclaimForce(s, ctx, &list);
        });
    });
}

void EmbeddedCluster::startStepLocked(Container& c, const std::string& command, const std::string& workDir,
    const Environment& env, uint32_t jobId)
{
    const ClusterDescription& d = *description_;
    if (!jobId)
        fail(ZORE_NOTOWNED, "allocation '" + c.allocId + "' holds no Slurm job");
    // srun runs here; the command runs on the node, its output in the node's tree.
    std::string local = d.stateDir + "/slurm";
    Environment srunEnv = env;
    if (!d.slurm.conf.empty())
        srunEnv["SLURM_CONF"] = d.slurm.conf;
    std::string line = slurm_->stepCommand(
        jobId, c.host, c.id, command, workDir, env.at("QEL_TOP") + "/containers/" + c.id + ".out");
    std::string id = c.id;
    std::string error;
    if (!c.process.start(
            line, local, srunEnv, local + "/" + id + ".srun.out",
            [this, id](ExitInfo exit) { onContainerExit(id, exit); }, error)) {
        containers_.erase(id);
        fail(ZORE_STARTFAIL, error);
    }
}

} // namespace zor
