#pragma once
// How the cluster's hosts are granted and how commands run on them: the
// hosts of this machine that the description lists (LocalHosts), or the
// nodes of a Slurm cluster (SlurmHosts). The embedded cluster chooses one,
// once, when it reads the description; everything else (handles, consumers,
// roles, URLs, the books of allocations and containers) is the same for both.
//
// Threads: the cluster calls every member with its lock held. A backend's own
// threads (the dispatcher's timers, Slurm's grant and event threads) take that
// lock before they touch the books, and do nothing once the cluster has let
// the backend go (they hold it by weak_ptr).

#include "platform/zor/AllocationBook.h"
#include "platform/zor/ClusterDescription.h"
#include "platform/zor/ContainerProcess.h"
#include "platform/zor/Dispatcher.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace zor {

class HostBackend {
public:
    // The cluster's parts a backend works with; they outlive it.
    struct Context {
        std::mutex& mutex; // the cluster's lock
        Dispatcher& dispatcher;
        AllocationBook& books;
    };

    virtual ~HostBackend() = default;

    // The host's QEL_TOP.
    virtual std::string hostTop(const std::string& host) const = 0;
    // The allocation lacks slots (it is new, its maximum grew, or slots went
    // back): grant what can be granted, now or when it frees up. minSlots is
    // what a first grant should hold at least.
    virtual void want(Allocation& a, int minSlots) = 0;
    // The slots are about to leave the allocation.
    virtual void givenBack(Allocation& a, const std::map<std::string, int>& slots) = 0;
    // The allocation is about to be dropped, with everything it holds.
    virtual void dropped(Allocation& a) = 0;
    // Starts the container's command in workDir with exactly env; onExit
    // runs once, on another thread, when it has ended. Throws ZorError.
    virtual void start(Container& c, const std::string& command, const std::string& workDir,
        const Environment& env, std::function<void(ExitInfo)> onExit)
        = 0;
    // Sends the signal (SIGKILL or SIGTERM); false when the container has ended.
    virtual bool signal(Container& c, int osSignal) = 0;
    // Whether this end of a container that was asked to die is that kill.
    virtual bool endedByKill(const ExitInfo& exit) const = 0;
};

// The backend the description names. For Slurm it fills the description's
// hosts and groups from the controller, and throws ZorError when the
// controller does not answer or a mapped partition is missing.
std::shared_ptr<HostBackend> makeHostBackend(
    const std::shared_ptr<ClusterDescription>& description, const HostBackend::Context& context);

} // namespace zor
