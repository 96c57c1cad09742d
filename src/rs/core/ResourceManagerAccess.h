#pragma once
// What the service object asks of the resource manager client. The daemon
// plugs in the client singleton; tests plug in a table. Every operation
// returns a result code (negative: failure, with the calling thread's error
// information describing it).
//
// Threads: called from worker threads and from the main thread's
// housekeeping; implementations are thread-safe.

#include <cstdint>
#include <string>
#include <vector>

namespace rs {

class ResourceManagerAccess {
public:
    virtual ~ResourceManagerAccess() = default;

    // Whether the user holds a role of at least `level` on the consumer.
    virtual int32_t checkUserRole(const std::string& user, const std::string& consumer, int level,
                                  std::string& out) = 0;
    // The consumers on which the user holds a role.
    virtual int32_t consumersOfUser(const std::string& user, std::vector<std::string>& consumers) = 0;
    // Whether the consumer path exists.
    virtual int32_t checkConsumer(const std::string& consumer) = 0;
    // The hosts of a resource group.
    virtual int32_t hostsOfGroup(const std::string& group, std::vector<std::string>& hosts) = 0;
    // Releases a consumer registered for a deployment.
    virtual int32_t unregisterConsumer(const std::string& consumer) = 0;
};

} // namespace rs
