#pragma once
// Counts the service's calls into the resource manager and their failures,
// passing each on to the access it wraps.
//
// Threads: as the wrapped access; the counters are atomic.

#include "common/ServiceCounters.h"
#include "rs/core/ResourceManagerAccess.h"

#include <memory>

namespace rs::http {

class CountingResourceManager final : public ResourceManagerAccess {
public:
    // REQUIRES: counters outlive this object.
    CountingResourceManager(std::unique_ptr<ResourceManagerAccess> inner, kav::ServiceCounters& counters)
        : inner_(std::move(inner))
        , counters_(counters)
    {
    }

    int32_t checkUserRole(
        const std::string& user, const std::string& consumer, int level, std::string& out) override
    {
        return counted(inner_->checkUserRole(user, consumer, level, out));
    }
    int32_t consumersOfUser(const std::string& user, std::vector<std::string>& consumers) override
    {
        return counted(inner_->consumersOfUser(user, consumers));
    }
    int32_t checkConsumer(const std::string& consumer) override
    {
        return counted(inner_->checkConsumer(consumer));
    }
    int32_t hostsOfGroup(const std::string& group, std::vector<std::string>& hosts) override
    {
        return counted(inner_->hostsOfGroup(group, hosts));
    }
    int32_t unregisterConsumer(const std::string& consumer) override
    {
        return counted(inner_->unregisterConsumer(consumer));
    }

private:
    int32_t counted(int32_t result)
    {
        kav::ServiceCounters::bump(counters_.resourceManagerCalls);
        if (result < 0)
            kav::ServiceCounters::bump(counters_.resourceManagerFailures);
        return result;
    }

    std::unique_ptr<ResourceManagerAccess> inner_;
    kav::ServiceCounters& counters_;
};

} // namespace rs::http
