#include "platform/zor/LocalHosts.h"

#include "platform/zor/ZorError.h"

#include <algorithm>
#include <optional>

namespace zor {

LocalHosts::LocalHosts(std::shared_ptr<const ClusterDescription> description, const Context& context)
    : description_(std::move(description))
    , context_(context)
{
    for (const HostInfo& h : description_->hosts)
        freeSlots_[h.name] = h.slots;
}

std::string LocalHosts::hostTop(const std::string& host) const
{
    return description_->stateDir + "/hosts/" + host;
}

void LocalHosts::want(Allocation&, int)
{
    scheduleGrant(Dispatcher::Clock::now());
}

void LocalHosts::givenBack(Allocation&, const std::map<std::string, int>& slots)
{
    for (auto& [host, n] : slots)
        freeSlots_[host] += n;
}

void LocalHosts::dropped(Allocation& a)
{
    for (auto& [host, n] : a.held)
        freeSlots_[host] += n;
    scheduleGrant(Dispatcher::Clock::now());
}

bool LocalHosts::eligible(const Allocation& a, const HostInfo& host) const
{
    return !host.unavailable && !a.excluded.count(host.name)
        && (a.hostType.empty() || a.hostType == host.type);
}

void LocalHosts::scheduleGrant(Dispatcher::Clock::time_point due)
{
    context_.dispatcher.post(due, [self = weak_from_this(), &mutex = context_.mutex] {
        std::lock_guard lock(mutex);
        if (auto hosts = self.lock())
            hosts->grantPass();
    });
}

void LocalHosts::grantPass()
{
    std::optional<Dispatcher::Clock::time_point> retry;
    auto now = Dispatcher::Clock::now();
    for (Allocation* a : context_.books.all()) {
        if (!context_.books.ownerRegistered(*a))
            continue;
        AllocationBook::Slots granted;
        int total = a->total();
        for (const std::string& name : description_->groups.at(a->group)) {
            const HostInfo* host = description_->findHost(name);
            if (total >= a->maxSlots || !eligible(*a, *host) || freeSlots_[name] == 0)
                continue;
            auto ready = a->requestedAt + std::chrono::milliseconds(host->allocDelayMs);
            if (ready > now) {
                retry = retry ? std::min(*retry, ready) : ready;
                continue;
            }
            int take = std::min(freeSlots_[name], a->maxSlots - total);
            freeSlots_[name] -= take;
            total += take;
            granted.emplace_back(name, take);
        }
        if (!granted.empty())
            context_.books.grant(*a, granted, *description_);
    }
    if (retry)
        scheduleGrant(*retry);
}

void LocalHosts::start(Container& c, const std::string& command, const std::string& workDir,
    const Environment& env, std::function<void(ExitInfo)> onExit)
{
    std::string error;
    if (!c.process.start(command, workDir, env, env.at("QEL_TOP") + "/containers/" + c.id + ".out",
            std::move(onExit), error))
        fail(ZORE_STARTFAIL, error);
}

bool LocalHosts::signal(Container& c, int osSignal)
{
    return c.process.signal(osSignal);
}

bool LocalHosts::endedByKill(const ExitInfo& exit) const
{
    return exit.reason == ZOR_EXIT_SIGNALED;
}

} // namespace zor
