// The C entry points of libzor: argument checks, conversion of the C records
// and of thrown ZorError into zorerrno and its text.

#include "platform/zor/EmbeddedCluster.h"
#include "platform/zor/Records.h"
#include "platform/zor/zor.h"

#include <cstdlib>
#include <memory>
#include <new>

struct zor_handle {
    uint64_t id;
};

struct zor_containerSpec {
    zor::EmbeddedCluster::ContainerSpec spec;
};

namespace {

thread_local int tlsErrno = 0;
thread_local std::string tlsDetail;

const char* baseText(int err)
{
    switch (err) {
    case ZORE_OK:
        return "success";
    case ZORE_BADARG:
        return "invalid argument";
    case ZORE_NOMEM:
        return "out of memory";
    case ZORE_CONF:
        return "the cluster description is malformed";
    case ZORE_BADHANDLE:
        return "invalid handle";
    case ZORE_NOTLOGGEDON:
        return "not logged on";
    case ZORE_NOTREGISTERED:
        return "not registered";
    case ZORE_ALREADYREG:
        return "already registered";
    case ZORE_BADCONSUMER:
        return "invalid consumer path";
    case ZORE_NOSUCHGROUP:
        return "no such resource group";
    case ZORE_BADRESREQ:
        return "invalid resource requirement";
    case ZORE_NOSUCHALLOC:
        return "no such allocation";
    case ZORE_NOTOWNED:
        return "resource not owned by the allocation";
    case ZORE_NOSUCHHOST:
        return "no such host";
    case ZORE_HOSTUNAVAIL:
        return "host unavailable";
    case ZORE_STARTFAIL:
        return "container start failed";
    case ZORE_NOSUCHCONTAINER:
        return "no such container";
    case ZORE_NOSUCHUSER:
        return "user has no role";
    case ZORE_NOTFOUND:
        return "not found";
    case ZORE_ZORKD_DOWN:
        return "resource manager kernel down";
    case ZORE_SYSERR:
        return "system call failed";
    case ZORE_ALLOCEXISTS:
        return "allocation exists already";
    default:
        return "unknown error";
    }
}

void setFailure(int code, std::string detail)
{
    tlsErrno = code;
    tlsDetail = std::string(baseText(code)) + (detail.empty() ? "" : ": " + detail);
}

// Runs body; a failure becomes zorerrno and the call's failure value.
template <class R, class Body> R guarded(R failure, Body&& body)
{
    try {
        return body();
    } catch (const zor::ZorError& e) {
        setFailure(e.code, e.detail);
    } catch (const std::bad_alloc&) {
        setFailure(ZORE_NOMEM, "");
    } catch (const std::exception& e) {
        setFailure(ZORE_SYSERR, e.what());
    }
    return failure;
}

zor::EmbeddedCluster& cluster()
{
    return zor::EmbeddedCluster::instance();
}

void need(bool condition, const char* what)
{
    if (!condition)
        throw zor::ZorError { ZORE_BADARG, what };
}

uint64_t idOf(zor_handle_t* h)
{
    need(h != nullptr, "null handle");
    return h->id;
}

std::string str(const char* s)
{
    return s ? s : "";
}

// A malloc'ed array of malloc'ed copies, as zor_free_string_array frees it.
int handOut(const std::vector<std::string>& strings, char*** out, int32_t* n)
{
    auto* array = static_cast<char**>(std::calloc(strings.size() + 1, sizeof(char*)));
    if (!array)
        throw std::bad_alloc();
    for (size_t i = 0; i < strings.size(); ++i)
        array[i] = zor::dupString(strings[i]);
    *out = array;
    *n = static_cast<int32_t>(strings.size());
    return 0;
}

} // namespace

extern "C" {

int* zor_errno_location(void)
{
    return &tlsErrno;
}

const char* zor_strerror(int err)
{
    if (err == tlsErrno && !tlsDetail.empty())
        return tlsDetail.c_str();
    return baseText(err);
}

zor_handle_t* zor_open(const zor_openopt_t* opt)
{
    return guarded<zor_handle_t*>(nullptr, [&] {
        need(opt != nullptr, "null option record");
        return new zor_handle { cluster().open() };
    });
}

int zor_close(zor_handle_t* h)
{
    return guarded(-1, [&] {
        uint64_t id = idOf(h);
        std::unique_ptr<zor_handle> owned(h); // gone afterwards, whatever the outcome
        cluster().close(id);
        return 0;
    });
}

int zor_logon(zor_handle_t* h, const char*, const char*, const char* credential)
{
    return guarded(-1, [&] {
        cluster().logon(idOf(h), str(credential));
        return 0;
    });
}

int zor_logoff(zor_handle_t* h)
{
    return guarded(-1, [&] {
        cluster().logoff(idOf(h));
        return 0;
    });
}

char* zor_getcredential(zor_handle_t* h)
{
    return guarded<char*>(nullptr, [&] { return zor::dupString(cluster().credential(idOf(h))); });
}

int zor_refreshcredential(zor_handle_t* h, const char* consumer)
{
    return guarded(-1, [&] {
        need(consumer && *consumer, "empty consumer");
        cluster().refreshCredential(idOf(h), consumer);
        return 0;
    });
}

int zor_register2(
    zor_handle_t* h, const zor_regreq_t* req, const zor_callbacks_t* callbacks, zor_allocreply_t** reply)
{
    if (reply)
        *reply = nullptr;
    return guarded(-1, [&] {
        need(req != nullptr, "null registration request");
        if (!(req->flags & ZOR_REG_CONSUMER)) {
            cluster().registerUrl(idOf(h), str(req->name), str(req->description));
            return 0;
        }
        need(callbacks != nullptr, "null callback table");
        zor_allocreply_t* r = cluster().registerConsumer(idOf(h), h, *req, *callbacks);
        if (reply)
            *reply = r;
        else
            zor_free_allocreply(r);
        return 0;
    });
}

int zor_unregister(zor_handle_t* h)
{
    return guarded(-1, [&] {
        cluster().unregister(idOf(h));
        return 0;
    });
}

char* zor_lookupurl(const char* clientName)
{
    return guarded<char*>(nullptr, [&] {
        need(clientName && *clientName, "empty client name");
        return zor::dupString(cluster().lookupUrl(clientName));
    });
}

void zor_free_allocreply(zor_allocreply_t* reply)
{
    if (!reply)
        return;
    for (int i = 0; i < reply->nallocation; ++i)
        zor::freeAllocationFields(reply->allocations[i]);
    for (int i = 0; i < reply->nreclaim; ++i)
        zor::freeReclaimFields(reply->reclaims[i]);
    for (int i = 0; i < reply->ncontainer; ++i)
        zor::freeContainerFields(reply->containers[i]);
    std::free(reply->allocations);
    std::free(reply->reclaims);
    std::free(reply->containers);
    std::free(reply);
}

int zor_alloc(zor_handle_t* h, const zor_allocreq_t* req, char** allocId)
{
    return guarded(-1, [&] {
        need(req != nullptr && allocId != nullptr, "null request or result");
        *allocId = zor::dupString(cluster().alloc(idOf(h), *req));
        return 0;
    });
}

int zor_realloc(zor_handle_t* h, const char* allocId, int32_t newMax)
{
    return guarded(-1, [&] {
        cluster().realloc(idOf(h), str(allocId), newMax);
        return 0;
    });
}

int zor_allocfree(zor_handle_t* h, const char* allocId)
{
    return guarded(-1, [&] {
        cluster().allocFree(idOf(h), str(allocId));
        return 0;
    });
}

int zor_release(
    zor_handle_t* h, const char* allocId, int32_t nhost, const zor_hostslots_t* hosts, int32_t flags)
{
    return guarded(-1, [&] {
        need(nhost > 0 && hosts != nullptr, "no hosts to release");
        std::map<std::string, int> slots;
        for (int i = 0; i < nhost; ++i) {
            need(hosts[i].hostName && *hosts[i].hostName, "empty host name");
            slots[hosts[i].hostName] += hosts[i].slots;
        }
        cluster().release(idOf(h), str(allocId), slots, flags);
        return 0;
    });
}

zor_containerSpec_t* zor_create_containerSpec(const char* command, const char* runAsUser, const char* workDir,
    int32_t nenv, const char* const* env, int32_t nattr, const zor_attr_t* attrs)
{
    return guarded<zor_containerSpec_t*>(nullptr, [&] {
        need(command && *command, "empty command");
        need(nenv >= 0 && (nenv == 0 || env) && nattr >= 0 && (nattr == 0 || attrs), "bad list");
        auto spec = std::make_unique<zor_containerSpec>();
        spec->spec.command = command;
        spec->spec.runAsUser = str(runAsUser);
        spec->spec.workDir = str(workDir);
        for (int i = 0; i < nenv; ++i) {
            std::string entry = str(env[i]);
            size_t eq = entry.find('=');
            need(eq != std::string::npos && eq > 0, "environment entry without NAME=");
            spec->spec.env.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
        for (int i = 0; i < nattr; ++i)
            spec->spec.attrs[str(attrs[i].name)] = str(attrs[i].value);
        return spec.release();
    });
}

void zor_free_containerSpec(zor_containerSpec_t* spec)
{
    delete spec;
}

zor_containerId_t* zor_startcontainer(
    zor_handle_t* h, const char* allocId, const char* hostName, const zor_containerSpec_t* spec)
{
    return guarded<zor_containerId_t*>(nullptr, [&] {
        need(spec != nullptr, "null container specification");
        std::string id = cluster().startContainer(idOf(h), str(allocId), str(hostName), spec->spec);
        return new zor_containerId_t { zor::dupString(id) };
    });
}

void zor_free_containerId(zor_containerId_t* id)
{
    if (!id)
        return;
    std::free(id->id);
    delete id;
}

int zor_signalcontainer(zor_handle_t* h, const char* containerId, int32_t sig)
{
    return guarded(-1, [&] {
        cluster().signalContainer(idOf(h), str(containerId), sig);
        return 0;
    });
}

const char* zor_strexitreason(int32_t exitReason)
{
    switch (exitReason) {
    case ZOR_EXIT_NONE:
        return "still running";
    case ZOR_EXIT_NORMAL:
        return "exited";
    case ZOR_EXIT_SIGNALED:
        return "terminated by a signal";
    case ZOR_EXIT_KILLED:
        return "killed on request";
    case ZOR_EXIT_STARTFAIL:
        return "could not be started";
    default:
        return "unknown exit reason";
    }
}

int zor_gethostgroupinfo(zor_handle_t* h, const char* group, zor_hostgroup_t** info)
{
    return guarded(-1, [&] {
        idOf(h);
        need(group && *group && info, "empty group or null result");
        std::vector<std::string> hosts = cluster().hostGroup(group);
        auto* out = static_cast<zor_hostgroup_t*>(std::calloc(1, sizeof(zor_hostgroup_t)));
        out->name = zor::dupString(group);
        out->nhost = static_cast<int32_t>(hosts.size());
        out->hosts = static_cast<char**>(std::calloc(hosts.size() + 1, sizeof(char*)));
        for (size_t i = 0; i < hosts.size(); ++i)
            out->hosts[i] = zor::dupString(hosts[i]);
        *info = out;
        return 0;
    });
}

void zor_free_hostgroup(zor_hostgroup_t* info)
{
    if (!info)
        return;
    for (int i = 0; i < info->nhost; ++i)
        std::free(info->hosts[i]);
    std::free(info->hosts);
    std::free(info->name);
    std::free(info);
}

int zor_gethostgroups(zor_handle_t* h, char*** groups, int32_t* ngroups)
{
    return guarded(-1, [&] {
        idOf(h);
        need(groups && ngroups, "null result");
        return handOut(cluster().groupNames(), groups, ngroups);
    });
}

int zor_getconsumers(zor_handle_t* h, char*** consumers, int32_t* nconsumers)
{
    return guarded(-1, [&] {
        idOf(h);
        need(consumers && nconsumers, "null result");
        return handOut(cluster().consumers(), consumers, nconsumers);
    });
}

void zor_free_string_array(char** strings, int32_t n)
{
    for (int32_t i = 0; strings && i < n; ++i)
        std::free(strings[i]);
    std::free(strings);
}

int zor_getroles4user(zor_handle_t* h, const char* user, zor_role_t** roles, int32_t* nroles)
{
    return guarded(-1, [&] {
        idOf(h);
        need(roles && nroles, "null result");
        std::vector<zor::RoleInfo> found = cluster().roles(str(user));
        auto* out = static_cast<zor_role_t*>(std::calloc(found.size(), sizeof(zor_role_t)));
        for (size_t i = 0; i < found.size(); ++i)
            out[i] = { zor::dupString(found[i].consumer), found[i].level };
        *roles = out;
        *nroles = static_cast<int32_t>(found.size());
        return 0;
    });
}

void zor_free_role_array(zor_role_t* roles, int32_t nroles)
{
    for (int i = 0; roles && i < nroles; ++i)
        std::free(roles[i].consumer);
    std::free(roles);
}

int zor_verifyconsumerpath(const char* consumer, const char* group)
{
    return guarded(-1, [&] {
        cluster().verifyConsumerPath(str(consumer), group);
        return 0;
    });
}

int zor_verifyresreq(const char* resReq)
{
    return guarded(-1, [&] {
        cluster().verifyResReq(str(resReq));
        return 0;
    });
}

const char* zor_getconfparam(const char* name)
{
    return guarded<const char*>(nullptr, [&] {
        need(name && *name, "empty parameter name");
        const char* value = cluster().confParam(name);
        if (!value)
            throw zor::ZorError { ZORE_NOTFOUND, std::string("parameter '") + name + "' is not set" };
        return value;
    });
}

const zor_uname_t* zor_uname(void)
{
    return guarded<const zor_uname_t*>(nullptr, [&] {
        const zor::ClusterDescription& d = cluster().description();
        static const std::string host = zor::localHostName();
        static const std::string name = d.builtIn() ? "embedded" : d.sourceFile;
        static const zor_uname_t info { host.c_str(), name.c_str(), 1.2f, 3 };
        return &info;
    });
}

void* zor_malloc(size_t size)
{
    return std::malloc(size);
}

void zor_free_string(char* s)
{
    std::free(s);
}

} // extern "C"
