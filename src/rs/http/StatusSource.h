#pragma once
// What the HTTP side door asks of the service. The server knows HTTP; this
// knows the service: who a credential belongs to, what a user may see, the
// metrics and whether the service is ready.
//
// Threads: called from the side door's worker threads, several at once;
// implementations are thread-safe. Nothing here writes anything.

#include <optional>
#include <string>

namespace rs::http {

class StatusSource {
public:
    virtual ~StatusSource() = default;

    // The user a "user:password" credential logs on as; none when refused.
    virtual std::optional<std::string> logon(const std::string& credential) = 0;
    // The status page's data as JSON: what `user` may read through the RPC
    // interface (none: everything, for a loopback listener), with the
    // deployment grid limited to the hosts of resource group `group` when
    // it is not empty.
    virtual std::string statusJson(const std::optional<std::string>& user, const std::string& group) = 0;
    virtual std::string metricsText() = 0;
    // Whether the service takes requests; `why` says what is missing.
    virtual bool ready(std::string& why) = 0;
};

} // namespace rs::http
