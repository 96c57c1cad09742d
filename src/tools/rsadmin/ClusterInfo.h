#pragma once
// What the resource manager tells rsadmin about the cluster: the resource
// groups with their hosts, the consumers, and the roles a user holds. The
// answers come from the resource manager's client library, which reads the
// cluster description as the service does (ZOR_CLUSTER_FILE, else
// ${QEL_TOP}/conf/cluster.toml, else its built-in description of the local
// host alone); they are the service's answers when both read the same file.
// The library's raw calls are made here and nowhere else in the tool.
//
// Single-threaded: one command uses one object.

#include <map>
#include <optional>
#include <string>
#include <vector>

struct zor_handle;

namespace rsadmin {

// The group that holds every host of the cluster; the service looks hosts up in it.
inline constexpr const char* kAllHostsGroup = "InternalResourceGroup";

class ClusterInfo {
public:
    // Throws AdminFailure(kExitNoConnection) with the library's reason when
    // no resource manager can be reached (a malformed or missing cluster file).
    ClusterInfo();
    ~ClusterInfo();
    ClusterInfo(const ClusterInfo&) = delete;
    ClusterInfo& operator=(const ClusterInfo&) = delete;

    // No cluster file is in use: the library's built-in description.
    bool builtIn() const;
    // The cluster file (empty when built in).
    std::string source() const;
    std::vector<std::string> groupNames() const;
    // The consumer paths the cluster lists (their ancestors are valid too);
    // none when built in, where every path is valid.
    std::vector<std::string> consumers() const;

    // The hosts of `group` in host-name order; nothing, with the manager's
    // reason in `refusal`, when it refuses the group.
    std::optional<std::vector<std::string>> hostsOf(const std::string& group, std::string& refusal) const;
    // The manager's reason for refusing `consumer`; empty when it accepts it.
    std::string consumerRefusal(const std::string& consumer) const;
    // The role levels `user` holds, by consumer path (1 cluster admin,
    // 2 consumer admin, 3 consumer user); empty when none.
    std::map<std::string, int> rolesOf(const std::string& user) const;

private:
    zor_handle* handle_;
};

// "cluster admin", "consumer admin", "consumer user".
std::string roleName(int level);
// The strongest of `roles` that covers `consumer` (a role on a path covers
// the path and everything below it); 0 when none does.
int roleOn(const std::map<std::string, int>& roles, const std::string& consumer);

} // namespace rsadmin
