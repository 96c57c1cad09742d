#pragma once
// The hosts of the embedded cluster: every host the description lists lives
// on this machine. Free slots go to waiting allocations in allocation order,
// hosts in name order, each host not before its alloc_delay_ms; a container
// is a local process group (ContainerProcess) in the host's tree
// <state_dir>/hosts/<host>.
//
// Threads: as HostBackend. Grant passes run on the dispatcher thread under
// the cluster's lock.

#include "platform/zor/HostBackend.h"

#include <map>
#include <memory>
#include <string>

namespace zor {

class LocalHosts final : public HostBackend, public std::enable_shared_from_this<LocalHosts> {
public:
    LocalHosts(std::shared_ptr<const ClusterDescription> description, const Context& context);

    std::string hostTop(const std::string& host) const override;
    void want(Allocation& a, int minSlots) override;
    void givenBack(Allocation& a, const std::map<std::string, int>& slots) override;
    void dropped(Allocation& a) override;
    void start(Container& c, const std::string& command, const std::string& workDir, const Environment& env,
        std::function<void(ExitInfo)> onExit) override;
    bool signal(Container& c, int osSignal) override;
    // A process killed on request ends by the signal.
    bool endedByKill(const ExitInfo& exit) const override;

private:
    bool eligible(const Allocation& a, const HostInfo& host) const;
    void scheduleGrant(Dispatcher::Clock::time_point due);
    void grantPass();

    const std::shared_ptr<const ClusterDescription> description_;
    const Context context_;
    std::map<std::string, int> freeSlots_;
};

} // namespace zor
