#include "platform/zor/EmbeddedCluster.h"

#include "platform/zor/Records.h"
#include "platform/zor/UrlRegistry.h"

#include <dlfcn.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace zor {

namespace {

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

template <class T> T* callocArray(size_t n)
{
    return static_cast<T*>(std::calloc(n, sizeof(T)));
}

void postContainerState(Registrations& registrations, uint64_t h, const Container& c)
{
    registrations.post(h,
        [id = c.id, host = c.host, allocId = c.allocId](
            zor_handle_t* self, const zor_callbacks_t& cb, void* context) {
            zor_container_t record = makeContainer(id, host, allocId, ZOR_CONTAINER_START, ZOR_EXIT_NONE, 0);
            if (cb.containerStateChange)
                cb.containerStateChange(self, context, &record);
            freeContainerFields(record);
        });
}

} // namespace

EmbeddedCluster& EmbeddedCluster::instance()
{
    static EmbeddedCluster* cluster = new EmbeddedCluster(); // never destroyed: callbacks may outlive exit
    return *cluster;
}

EmbeddedCluster::EmbeddedCluster()
    : registrations_(mutex_, dispatcher_)
    , books_(registrations_)
{
}

const ClusterDescription& EmbeddedCluster::description()
{
    std::lock_guard lock(mutex_);
    return descriptionLocked();
}

const ClusterDescription& EmbeddedCluster::descriptionLocked()
{
    if (!description_ && descriptionError_.empty()) {
        std::shared_ptr<ClusterDescription> loaded;
        try {
            loaded = std::make_shared<ClusterDescription>(ClusterDescription::load());
        } catch (const std::exception& e) {
            descriptionError_ = e.what();
        }
        if (loaded) {
            // Throws when a Slurm controller does not answer: it may at the next call.
            hosts_ = makeHostBackend(loaded, { mutex_, dispatcher_, books_ });
            description_ = std::move(loaded);
        }
    }
    if (!description_)
        fail(ZORE_CONF, descriptionError_);
    return *description_;
}

// ---------------------------------------------------------------- handles

uint64_t EmbeddedCluster::open()
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    return registrations_.open();
}

void EmbeddedCluster::close(uint64_t h)
{
    unregister(h);
    std::lock_guard lock(mutex_);
    registrations_.close(h);
}

void EmbeddedCluster::logon(uint64_t h, const std::string& credential)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    registrations_.logon(h, credential);
}

void EmbeddedCluster::logoff(uint64_t h)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    registrations_.logoff(h);
}

std::string EmbeddedCluster::credential(uint64_t h)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    return registrations_.credential(h);
}

void EmbeddedCluster::refreshCredential(uint64_t h, const std::string& consumer)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    registrations_.refreshCredential(h, consumer);
}

// ---------------------------------------------------------------- registration

zor_allocreply_t* EmbeddedCluster::registerConsumer(
    uint64_t h, zor_handle_t* self, const zor_regreq_t& req, const zor_callbacks_t& callbacks)
{
    std::lock_guard lock(mutex_);
    const ClusterDescription& d = descriptionLocked();
    // Several handles may register the same path (two packages deploying on
    // the default consumer at once); each keeps its own allocations. Only an
    // allocation of the path that no registered handle holds any more is
    // handed to the newcomer.
    std::string path = registrations_.enrol(h, self, req, callbacks, d);
    auto* reply = callocArray<zor_allocreply_t>(1);
    if (const Allocation* a = books_.adopt(path, h)) {
        std::vector<zor_hostslots_t> hosts;
        for (auto& [name, slots] : a->held)
            hosts.push_back(makeHostSlots(name, slots, d.findHost(name)));
        reply->nallocation = 1;
        reply->allocations = callocArray<zor_allocation_t>(1);
        reply->allocations[0] = makeAllocation(a->id, path, hosts);
        std::vector<const Container*> containers = books_.containersOf(a->id);
        reply->ncontainer = static_cast<int32_t>(containers.size());
        reply->containers = callocArray<zor_container_t>(containers.size() + 1);
        for (size_t i = 0; i < containers.size(); ++i) {
            const Container& c = *containers[i];
            reply->containers[i]
                = makeContainer(c.id, c.host, c.allocId, c.state, c.exit.reason, c.exit.status);
        }
    }
    registrations_.post(h, [](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
        if (cb.connectionOk)
            cb.connectionOk(s, ctx);
    });
    for (const HostInfo& host : d.hosts)
        if (host.unavailable)
            registrations_.post(h, [name = host.name](zor_handle_t* s, const zor_callbacks_t& cb, void* ctx) {
                if (cb.hostStateChange)
                    cb.hostStateChange(s, ctx, name.c_str(), ZOR_HOST_UNAVAIL);
            });
    return reply;
}

void EmbeddedCluster::unregister(uint64_t h)
{
    Lock lock(mutex_);
    descriptionLocked();
    registrations_.handle(h);
    Containers containers = unregisterLocked(h);
    registrations_.waitForCallbacks(lock, h);
    killAndReap(lock, std::move(containers));
}

EmbeddedCluster::Containers EmbeddedCluster::unregisterLocked(uint64_t h)
{
    Containers dropped;
    const std::string consumer = registrations_.handle(h).consumer;
    if (consumer.empty())
        return dropped;
    for (Allocation* a : books_.all())
        if (a->owner == h && a->consumer == consumer) {
            Containers cs = dropAllocationLocked(*a);
            dropped.insert(dropped.end(), cs.begin(), cs.end());
        }
    registrations_.withdraw(h);
    return dropped;
}

void EmbeddedCluster::registerUrl(uint64_t h, const std::string& name, const std::string& url)
{
    std::string dir;
    {
        std::lock_guard lock(mutex_);
        dir = descriptionLocked().stateDir;
        registrations_.handle(h);
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

// ---------------------------------------------------------------- allocation

Allocation& EmbeddedCluster::ownAllocationLocked(uint64_t h, const std::string& allocId)
{
    registrations_.consumerHandle(h);
    return books_.own(h, allocId);
}

std::string EmbeddedCluster::alloc(uint64_t h, const zor_allocreq_t& req)
{
    std::lock_guard lock(mutex_);
    const ClusterDescription& d = descriptionLocked();
    const Registrations::Handle& handle = registrations_.consumerHandle(h);
    if (req.consumer && *req.consumer && normaliseConsumerPath(req.consumer) != handle.consumer)
        fail(ZORE_BADCONSUMER,
            "the handle is registered as '" + handle.consumer + "', not '" + req.consumer + "'");
    std::string group = req.resourceGroup && *req.resourceGroup ? req.resourceGroup : kInternalGroup;
    if (!d.groups.count(group))
        fail(ZORE_NOSUCHGROUP, "resource group '" + group + "' does not exist");
    if (req.minSlots < 1 || req.maxSlots < req.minSlots)
        fail(ZORE_BADARG, "slots must satisfy 1 <= minimum <= maximum");
    if (const Allocation* held = books_.ownedBy(h))
        fail(ZORE_ALLOCEXISTS, "the handle holds allocation '" + held->id + "' already");
    std::string hostType = req.hostType && !isAny(req.hostType) ? req.hostType : "";
    std::string reqType = typeOfResReq(req.resReq ? req.resReq : "");
    if (!reqType.empty() && !hostType.empty() && reqType != hostType)
        fail(ZORE_BADRESREQ, "host type '" + hostType + "' contradicts the resource requirement");

    Allocation& a = books_.add(h, handle.consumer, group, reqType.empty() ? hostType : reqType, req.maxSlots);
    hosts_->want(a, std::max(1, req.minSlots));
    return a.id;
}

void EmbeddedCluster::realloc(uint64_t h, const std::string& allocId, int newMax)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    Allocation& a = ownAllocationLocked(h, allocId);
    if (newMax < 1)
        fail(ZORE_BADARG, "the new maximum must be at least 1");
    a.maxSlots = newMax;
    hosts_->want(a, 1);
}

void EmbeddedCluster::allocFree(uint64_t h, const std::string& allocId)
{
    Lock lock(mutex_);
    descriptionLocked();
    Containers containers = dropAllocationLocked(ownAllocationLocked(h, allocId));
    killAndReap(lock, std::move(containers));
}

void EmbeddedCluster::release(
    uint64_t h, const std::string& allocId, const std::map<std::string, int>& slots, int flags)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    Allocation& a = ownAllocationLocked(h, allocId);
    books_.checkHeld(a, slots);
    hosts_->givenBack(a, slots);
    books_.giveBack(a, slots, flags);
    hosts_->want(a, 1); // a replacement, or slots for others
}

EmbeddedCluster::Containers EmbeddedCluster::dropAllocationLocked(Allocation& a)
{
    hosts_->dropped(a);
    return books_.drop(a.id);
}

void EmbeddedCluster::killAndReap(Lock& lock, Containers containers)
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
    std::string top = hosts_->hostTop(host);
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
    const ClusterDescription& d = descriptionLocked();
    const Registrations::Handle& handle = registrations_.consumerHandle(h);
    Allocation& a = books_.own(h, allocId);
    const HostInfo* info = d.findHost(host);
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

    auto c = std::make_shared<Container>();
    c->id = books_.newContainerId();
    c->host = host;
    c->allocId = allocId;
    Environment env = hostEnvironmentLocked(host, c->id, handle.containerCredential);
    // Later entries may refer to earlier ones; the runner's own variables win.
    for (auto& [k, v] : spec.env)
        if (k != "ZOR_HOST" && k != "ZOR_CONTAINER_ID" && k != "QEL_SERVICE_CREDENTIAL")
            env[k] = expandVariables(v, env);
    std::string workDir = spec.workDir.empty() ? env["QEL_TOP"] : expandVariables(spec.workDir, env);
    hosts_->start(*c, expandVariables(spec.command, env), workDir, env,
        [this, id = c->id](ExitInfo exit) { onContainerExit(id, exit); });
    books_.addContainer(c);
    // Posted under the lock: the exit report, which needs the lock, follows it.
    postContainerState(registrations_, h, *c);
    return c->id;
}

// Runs on the container's reaper thread.
void EmbeddedCluster::onContainerExit(const std::string& containerId, ExitInfo exit)
{
    std::lock_guard lock(mutex_);
    Container* c = books_.findContainer(containerId);
    if (!c)
        return; // dropped with its allocation
    if (c->killRequested && hosts_->endedByKill(exit))
        exit.reason = ZOR_EXIT_KILLED;
    books_.finished(*c, exit);
}

void EmbeddedCluster::signalContainer(uint64_t h, const std::string& containerId, int sig)
{
    std::lock_guard lock(mutex_);
    descriptionLocked();
    registrations_.consumerHandle(h);
    Container* c = books_.findContainer(containerId);
    if (!c)
        fail(ZORE_NOSUCHCONTAINER, "container '" + containerId + "' does not exist");
    ownAllocationLocked(h, c->allocId);
    int osSignal = sig == ZOR_SIG_KILL ? SIGKILL : sig == ZOR_SIG_TERM ? SIGTERM : 0;
    if (!osSignal)
        fail(ZORE_BADARG, "signal " + std::to_string(sig) + " is not supported (1 or 7)");
    c->killRequested = true;
    if (!hosts_->signal(*c, osSignal))
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

std::vector<std::string> EmbeddedCluster::groupNames()
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, hosts] : descriptionLocked().groups)
        names.push_back(name);
    return names;
}

std::vector<std::string> EmbeddedCluster::consumers()
{
    std::lock_guard lock(mutex_);
    return descriptionLocked().consumers;
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

} // namespace zor
