#include "platform/zor/AllocationBook.h"

#include "platform/zor/Records.h"
#include "platform/zor/ZorError.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>

namespace zor {

namespace {

std::string numbered(const char* prefix, uint64_t n)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s-%08llu", prefix, static_cast<unsigned long long>(n));
    return buf;
}

// Freed by whoever drops the last reference: the posted callback may never run.
template <class Record, class Free> std::shared_ptr<Record> owned(Record record, Free freeFields)
{
    return std::shared_ptr<Record>(new Record(record), [freeFields](Record* r) {
        freeFields(*r);
        delete r;
    });
}

} // namespace

int Allocation::total() const
{
    int n = 0;
    for (auto& [h, s] : held)
        n += s;
    return n;
}

AllocationBook::AllocationBook(Registrations& registrations)
    : registrations_(registrations)
{
}

// ---------------------------------------------------------------- allocations

Allocation& AllocationBook::add(uint64_t owner, const std::string& consumer, const std::string& group,
    const std::string& hostType, int maxSlots)
{
    auto a = std::make_unique<Allocation>();
    a->id = numbered("alloc", nextId_++);
    a->consumer = consumer;
    a->owner = owner;
    a->group = group;
    a->hostType = hostType;
    a->maxSlots = maxSlots;
    a->requestedAt = Dispatcher::Clock::now();
    Allocation& added = *a;
    allocations_[added.id] = std::move(a);
    return added;
}

Allocation* AllocationBook::find(const std::string& id)
{
    auto it = allocations_.find(id);
    return it == allocations_.end() ? nullptr : it->second.get();
}

Allocation& AllocationBook::own(uint64_t h, const std::string& id)
{
    Allocation* a = find(id);
    if (!a || a->owner != h)
        fail(ZORE_NOSUCHALLOC, "allocation '" + id + "' does not exist");
    return *a;
}

const Allocation* AllocationBook::ownedBy(uint64_t h) const
{
    for (auto& [id, a] : allocations_)
        if (a->owner == h)
            return a.get();
    return nullptr;
}

std::vector<Allocation*> AllocationBook::all()
{
    std::vector<Allocation*> out;
    for (auto& [id, a] : allocations_)
        out.push_back(a.get());
    return out;
}

bool AllocationBook::ownerRegistered(const Allocation& a) const
{
    return registrations_.isRegistered(a.owner, a.consumer);
}

Allocation* AllocationBook::adopt(const std::string& path, uint64_t h)
{
    for (auto& [id, a] : allocations_)
        if (a->consumer == path && !ownerRegistered(*a)) {
            a->owner = h;
            return a.get();
        }
    return nullptr;
}

// ---------------------------------------------------------------- slots

void AllocationBook::grant(Allocation& a, const Slots& slots, const ClusterDescription& description)
{
    std::vector<zor_hostslots_t> hosts;
    for (auto& [host, n] : slots) {
        a.held[host] += n;
        hosts.push_back(makeHostSlots(host, n, description.findHost(host)));
    }
    auto record = owned(makeAllocation(a.id, a.consumer, hosts), freeAllocationFields);
    registrations_.post(a.owner, [record](zor_handle_t* self, const zor_callbacks_t& cb, void* context) {
        if (cb.resourceAdded)
            cb.resourceAdded(self, context, record.get());
    });
}

void AllocationBook::reclaim(Allocation& a, const std::vector<std::string>& hosts)
{
    std::vector<zor_hostslots_t> taken;
    for (const std::string& host : hosts) {
        auto it = a.held.find(host);
        taken.push_back(makeHostSlots(host, it == a.held.end() ? 0 : it->second, nullptr));
        if (it != a.held.end())
            a.held.erase(it);
    }
    auto record = owned(makeReclaim(a.id, taken), freeReclaimFields);
    registrations_.post(a.owner, [record](zor_handle_t* self, const zor_callbacks_t& cb, void* context) {
        zor_reclaimlist_t list { 1, record.get() };
        if (cb.reclaimForce)
            cb.reclaimForce(self, context, &list);
    });
}

void AllocationBook::checkHeld(const Allocation& a, const std::map<std::string, int>& slots) const
{
    for (auto& [host, n] : slots) {
        auto it = a.held.find(host);
        if (n < 1 || it == a.held.end() || it->second < n)
            fail(ZORE_NOTOWNED,
                "allocation '" + a.id + "' does not hold " + std::to_string(n) + " slot(s) of '" + host
                    + "'");
    }
}

void AllocationBook::giveBack(Allocation& a, const std::map<std::string, int>& slots, int flags)
{
    for (auto& [host, n] : slots) {
        if ((a.held[host] -= n) == 0)
            a.held.erase(host);
        if (flags & ZOR_RELEASE_REPLACE)
            a.excluded.insert(host);
        else
            a.maxSlots = std::max(0, a.maxSlots - n);
    }
}

std::vector<std::shared_ptr<Container>> AllocationBook::drop(const std::string& id)
{
    std::vector<std::shared_ptr<Container>> dropped;
    for (auto it = containers_.begin(); it != containers_.end();) {
        if (it->second->allocId == id) {
            it->second->process.signal(SIGKILL);
            dropped.push_back(it->second);
            it = containers_.erase(it);
        } else {
            ++it;
        }
    }
    allocations_.erase(id);
    return dropped;
}

// ---------------------------------------------------------------- containers

std::string AllocationBook::newContainerId()
{
    return numbered("ctr", nextId_++);
}

void AllocationBook::addContainer(std::shared_ptr<Container> container)
{
    std::string id = container->id;
    containers_[id] = std::move(container);
}

Container* AllocationBook::findContainer(const std::string& id)
{
    auto it = containers_.find(id);
    return it == containers_.end() ? nullptr : it->second.get();
}

std::vector<const Container*> AllocationBook::containersOf(const std::string& allocId) const
{
    std::vector<const Container*> out;
    for (auto& [id, c] : containers_)
        if (c->allocId == allocId)
            out.push_back(c.get());
    return out;
}

void AllocationBook::finished(Container& container, ExitInfo exit)
{
    container.state = ZOR_CONTAINER_FINISH;
    container.exit = exit;
    Allocation* a = find(container.allocId);
    if (!a)
        return;
    registrations_.post(a->owner,
        [id = container.id, host = container.host, allocId = container.allocId, exit](
            zor_handle_t* self, const zor_callbacks_t& cb, void* context) {
            zor_container_t record
                = makeContainer(id, host, allocId, ZOR_CONTAINER_FINISH, exit.reason, exit.status);
            if (cb.containerStateChange)
                cb.containerStateChange(self, context, &record);
            freeContainerFields(record);
        });
}

} // namespace zor
