#pragma once
// ClusterChecks: the questions the service core asks the cluster resource
// manager — a user's roles, whether a consumer path or a resource
// requirement is valid, the hosts of a resource group. Each that needs a
// connection opens one of its own for the call; none uses a consumer's.
//
// Threads: any; no state of its own.

#include <log4cxx/logger.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct zor_handle;

namespace rs::resmgr {

class ClusterChecks {
public:
    explicit ClusterChecks(log4cxx::LoggerPtr logger);

    int32_t getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts);
    // permitted := the user holds a level <= level on consumer or an ancestor.
    int32_t checkUserRole(const std::string& user, const std::string& consumer, int level, bool& permitted);
    // consumers := every consumer path on which the user holds a role.
    int32_t checkUserRole(const std::string& user, std::vector<std::string>& consumers);
    int32_t checkConsumer(const std::string& consumer, const std::string& resourceGroup);
    int32_t checkResReq(const std::string& resReq);

private:
    int32_t withOwnConnection(const std::string& what, const std::function<int32_t(zor_handle*)>& call);

    log4cxx::LoggerPtr logger_;
};

} // namespace rs::resmgr
