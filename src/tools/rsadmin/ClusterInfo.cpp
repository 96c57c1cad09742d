#include "tools/rsadmin/ClusterInfo.h"

#include "platform/zor/zor.h"
#include "tools/rsadmin/AdminIo.h"

namespace rsadmin {

namespace {

std::string lastFailure()
{
    return zor_strerror(zorerrno);
}

// A list the library hands out, copied; empty when it refuses.
template <class Call> std::vector<std::string> listed(Call call)
{
    char** names = nullptr;
    int32_t count = 0;
    if (call(&names, &count) != 0)
        return {};
    std::vector<std::string> out(names, names + count);
    zor_free_string_array(names, count);
    return out;
}

} // namespace

ClusterInfo::ClusterInfo()
{
    zor_openopt_t options {};
    handle_ = zor_open(&options);
    if (handle_ == nullptr)
        throw AdminFailure(kExitNoConnection,
            "no resource manager can be reached: " + lastFailure()
                + ": point ZOR_CLUSTER_FILE at the service's cluster file");
}

ClusterInfo::~ClusterInfo()
{
    zor_close(handle_);
}

bool ClusterInfo::builtIn() const
{
    // The rule the service itself goes by: only the built-in description
    // accepts every consumer path.
    return zor_verifyconsumerpath("invalid", nullptr) == 0;
}

std::string ClusterInfo::source() const
{
    const zor_uname_t* name = zor_uname();
    return name && !builtIn() ? name->clusterName : "";
}

std::vector<std::string> ClusterInfo::groupNames() const
{
    return listed([&](char*** names, int32_t* count) { return zor_gethostgroups(handle_, names, count); });
}

std::vector<std::string> ClusterInfo::consumers() const
{
    return listed([&](char*** names, int32_t* count) { return zor_getconsumers(handle_, names, count); });
}

std::optional<std::vector<std::string>> ClusterInfo::hostsOf(
    const std::string& group, std::string& refusal) const
{
    zor_hostgroup_t* info = nullptr;
    if (zor_gethostgroupinfo(handle_, group.c_str(), &info) != 0) {
        refusal = lastFailure();
        return std::nullopt;
    }
    std::vector<std::string> hosts(info->hosts, info->hosts + info->nhost);
    zor_free_hostgroup(info);
    return hosts;
}

std::string ClusterInfo::consumerRefusal(const std::string& consumer) const
{
    return zor_verifyconsumerpath(consumer.c_str(), nullptr) == 0 ? "" : lastFailure();
}

std::map<std::string, int> ClusterInfo::rolesOf(const std::string& user) const
{
    zor_role_t* roles = nullptr;
    int32_t count = 0;
    std::map<std::string, int> levels;
    if (zor_getroles4user(handle_, user.c_str(), &roles, &count) != 0)
        return levels; // a user without roles is refused with ZORE_NOSUCHUSER
    for (int32_t i = 0; i < count; ++i) {
        int& level = levels[roles[i].consumer];
        level = level == 0 ? roles[i].level : std::min(level, static_cast<int>(roles[i].level));
    }
    zor_free_role_array(roles, count);
    return levels;
}

std::string roleName(int level)
{
    switch (level) {
    case ZOR_ROLE_CLUSTER_ADMIN:
        return "cluster admin";
    case ZOR_ROLE_CONSUMER_ADMIN:
        return "consumer admin";
    case ZOR_ROLE_CONSUMER_USER:
        return "consumer user";
    default:
        return "-";
    }
}

int roleOn(const std::map<std::string, int>& roles, const std::string& consumer)
{
    int best = 0;
    for (const auto& [path, level] : roles) {
        const bool covers = path == "/" || path == consumer || consumer.rfind(path + "/", 0) == 0;
        if (covers && (best == 0 || level < best))
            best = level;
    }
    return best;
}

} // namespace rsadmin
