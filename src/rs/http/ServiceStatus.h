#pragma once
// ServiceStatus: the side door's view of the running service. Every reading
// goes through what the RPC operations use: the service context's logon and
// permission check, the host status table, the module and package indexes.
//
// Threads: any (see StatusSource). It holds pointers only; the daemon keeps
// the service, the resource manager access and the counters alive until the
// side door has stopped.

#include "common/ServiceCounters.h"
#include "rs/http/StatusSource.h"

#include <cstddef>
#include <functional>
#include <string>

namespace rs {
class ServiceContext;
class ResourceManagerAccess;
} // namespace rs

namespace rs::http {

class ServiceStatus final : public StatusSource {
public:
    // queueDepth reads the work queue's length for the metrics.
    ServiceStatus(ServiceContext& context, ResourceManagerAccess& resourceManager,
        const kav::ServiceCounters& counters, std::function<size_t()> queueDepth);

    std::optional<std::string> logon(const std::string& credential) override;
    std::string statusJson(const std::optional<std::string>& user, const std::string& group) override;
    std::string metricsText() override;
    bool ready(std::string& why) override;

private:
    // The service's own permission check; a refusal leaves no error behind.
    bool permitted(const std::string& user, const std::string& consumer, int roleLevel);
    // Whether the user holds `roleLevel` on one of their own consumers, as
    // an RPC client logged on with it would.
    bool permittedOnOwnConsumer(const std::string& user, int roleLevel);

    ServiceContext& context_;
    ResourceManagerAccess& resourceManager_;
    const kav::ServiceCounters& counters_;
    std::function<size_t()> queueDepth_;
};

} // namespace rs::http
