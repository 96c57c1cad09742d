#pragma once
// The allocations of host slots and the containers started on them: the
// books every host backend shares. An allocation belongs to the handle that
// asked for it (its owner) and to the consumer path it was asked for; when
// the owner lets the registration go without giving the allocation back (its
// process died), the next handle that registers the path adopts it.
//
// Threads: every member requires the cluster's lock. What the owner is told
// (resources added, forced reclaims, container states) is posted through
// Registrations and reaches it on the dispatcher thread.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/ContainerProcess.h"
#include "platform/zor/Dispatcher.h"
#include "platform/zor/Registrations.h"
#include "platform/zor/zor.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zor {

struct Allocation {
    std::string id;
    std::string consumer;
    uint64_t owner = 0;
    std::string group;
    std::string hostType; // empty for any
    int maxSlots = 0;
    std::map<std::string, int> held;
    std::set<std::string> excluded; // hosts never offered to this allocation again
    Dispatcher::Clock::time_point requestedAt;

    int total() const;
};

struct Container {
    std::string id, host, allocId;
    int state = ZOR_CONTAINER_START;
    ExitInfo exit;
    bool killRequested = false;
    ContainerProcess process;
};

class AllocationBook {
public:
    using Slots = std::vector<std::pair<std::string, int>>; // host, slots

    explicit AllocationBook(Registrations& registrations);
    AllocationBook(const AllocationBook&) = delete;
    AllocationBook& operator=(const AllocationBook&) = delete;

    Allocation& add(uint64_t owner, const std::string& consumer, const std::string& group,
        const std::string& hostType, int maxSlots);
    Allocation* find(const std::string& id);
    // Throws ZorError(ZORE_NOSUCHALLOC) unless the handle owns the allocation.
    Allocation& own(uint64_t h, const std::string& id);
    // The handle's allocation; null when it holds none.
    const Allocation* ownedBy(uint64_t h) const;
    // Every allocation, oldest first.
    std::vector<Allocation*> all();
    bool ownerRegistered(const Allocation& a) const;
    // Hands the oldest allocation of the path that no registered handle
    // holds to h; null when there is none.
    Allocation* adopt(const std::string& path, uint64_t h);

    // The slots join the allocation; its owner hears "resource added".
    void grant(Allocation& a, const Slots& slots, const ClusterDescription& description);
    // The hosts leave the allocation; its owner hears "forced reclaim".
    void reclaim(Allocation& a, const std::vector<std::string>& hosts);
    // Throws ZorError(ZORE_NOTOWNED) unless the allocation holds every slot.
    void checkHeld(const Allocation& a, const std::map<std::string, int>& slots) const;
    // The slots leave the allocation; its maximum shrinks by them, or with
    // ZOR_RELEASE_REPLACE the hosts are never offered to it again.
    void giveBack(Allocation& a, const std::map<std::string, int>& slots, int flags);
    // Forgets the allocation and its containers, which are sent SIGKILL; the
    // caller reaps them (ContainerProcess::join) outside the lock.
    std::vector<std::shared_ptr<Container>> drop(const std::string& id);

    std::string newContainerId();
    void addContainer(std::shared_ptr<Container> container);
    Container* findContainer(const std::string& id);
    std::vector<const Container*> containersOf(const std::string& allocId) const;
    // The container is FINISH with `exit`; the allocation's owner hears of it.
    void finished(Container& container, ExitInfo exit);

private:
    Registrations& registrations_;
    std::map<std::string, std::unique_ptr<Allocation>> allocations_; // by identifier: creation order
    std::map<std::string, std::shared_ptr<Container>> containers_;
    uint64_t nextId_ = 1;
};

} // namespace zor
