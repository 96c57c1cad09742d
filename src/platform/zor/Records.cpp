#include "platform/zor/Records.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zor {

namespace {

template <class T> T* allocArray(size_t n)
{
    if (n == 0)
        return nullptr;
    void* p = std::calloc(n, sizeof(T));
    if (!p)
        throw std::bad_alloc();
    return static_cast<T*>(p);
}

zor_hostslots_t* copyHosts(const std::vector<zor_hostslots_t>& hosts)
{
    zor_hostslots_t* out = allocArray<zor_hostslots_t>(hosts.size());
    for (size_t i = 0; i < hosts.size(); ++i)
        out[i] = hosts[i];
    return out;
}

void freeHostSlots(zor_hostslots_t* hosts, int n)
{
    for (int i = 0; i < n; ++i) {
        std::free(hosts[i].hostName);
        for (int k = 0; k < hosts[i].nattr; ++k) {
            std::free(hosts[i].attrs[k].name);
            std::free(hosts[i].attrs[k].value);
        }
        std::free(hosts[i].attrs);
    }
    std::free(hosts);
}

} // namespace

char* dupString(const std::string& s)
{
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (!p)
        throw std::bad_alloc();
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

zor_hostslots_t makeHostSlots(const std::string& name, int slots, const HostInfo* host)
{
    zor_hostslots_t h {};
    h.hostName = dupString(name);
    h.slots = slots;
    if (host) {
        char cpuf[32];
        std::snprintf(cpuf, sizeof cpuf, "%g", host->cpuf);
        h.nattr = 2;
        h.attrs = allocArray<zor_attr_t>(2);
        h.attrs[0] = { dupString("type"), dupString(host->type) };
        h.attrs[1] = { dupString("cpuf"), dupString(cpuf) };
    }
    return h;
}

zor_allocation_t makeAllocation(
    const std::string& allocId, const std::string& consumer, const std::vector<zor_hostslots_t>& hosts)
{
    zor_allocation_t a {};
    a.allocId = dupString(allocId);
    a.consumer = dupString(consumer);
    a.nhost = static_cast<int32_t>(hosts.size());
    a.hosts = copyHosts(hosts);
    return a;
}

zor_reclaim_t makeReclaim(const std::string& allocId, const std::vector<zor_hostslots_t>& hosts)
{
    zor_reclaim_t r {};
    r.allocId = dupString(allocId);
    r.nhost = static_cast<int32_t>(hosts.size());
    r.hosts = copyHosts(hosts);
    return r;
}

zor_container_t makeContainer(const std::string& id, const std::string& host, const std::string& allocId,
    int state, int exitReason, int exitStatus)
{
    return zor_container_t { dupString(id), dupString(host), dupString(allocId), state, exitReason,
        exitStatus };
}

void freeAllocationFields(zor_allocation_t& a)
{
    std::free(a.allocId);
    std::free(a.consumer);
    freeHostSlots(a.hosts, a.nhost);
    a = {};
}

void freeReclaimFields(zor_reclaim_t& r)
{
    std::free(r.allocId);
    freeHostSlots(r.hosts, r.nhost);
    r = {};
}

void freeContainerFields(zor_container_t& c)
{
    std::free(c.containerId);
    std::free(c.hostName);
    std::free(c.allocId);
    c = {};
}

} // namespace zor
