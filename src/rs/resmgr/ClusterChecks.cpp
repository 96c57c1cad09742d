#include "rs/resmgr/ClusterChecks.h"

#include "common/KavErrorInfo.h"
#include "platform/zor/zor.h"
#include "rs/resmgr/ResManagerCommon.h"

#include <set>

namespace rs::resmgr {

namespace {

std::string normalisedConsumer(const std::string& consumer)
{
    return !consumer.empty() && consumer[0] == '/' ? consumer : "/" + consumer;
}

// True when role (a consumer path) is consumer or one of its ancestors.
bool covers(const std::string& role, const std::string& consumer)
{
    std::string r = normalisedConsumer(role), c = normalisedConsumer(consumer);
    return r == "/" || r == c || c.compare(0, r.size() + 1, r + "/") == 0;
}

} // namespace

ClusterChecks::ClusterChecks(log4cxx::LoggerPtr logger)
    : logger_(std::move(logger))
{
}

int32_t ClusterChecks::withOwnConnection(
    const std::string& what, const std::function<int32_t(zor_handle_t*)>& call)
{
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle)
        return libraryFailure(logger_, what + ": zor_open failed", KAV_LOCATION.c_str());
    int32_t rc = call(handle);
    zor_close(handle);
    return rc;
}

int32_t ClusterChecks::getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts)
{
    return withOwnConnection("getHostGroupInfo", [&](zor_handle_t* handle) {
        zor_hostgroup_t* info = nullptr;
        if (zor_gethostgroupinfo(handle, resourceGroup.c_str(), &info) != 0)
            return libraryFailure(
                logger_, "zor_gethostgroupinfo of '" + resourceGroup + "' failed", KAV_LOCATION.c_str());
        hosts.assign(info->hosts, info->hosts + info->nhost);
        zor_free_hostgroup(info);
        return 0;
    });
}

int32_t ClusterChecks::checkUserRole(
    const std::string& user, const std::string& consumer, int level, bool& permitted)
{
    permitted = false;
    return withOwnConnection("checkUserRole", [&](zor_handle_t* handle) {
        zor_role_t* roles = nullptr;
        int32_t n = 0;
        if (zor_getroles4user(handle, user.c_str(), &roles, &n) != 0) {
            if (zorerrno == ZORE_NOSUCHUSER)
                return 0; // no role: not permitted
            return libraryFailure(
                logger_, "zor_getroles4user of '" + user + "' failed", KAV_LOCATION.c_str());
        }
        for (int i = 0; i < n && !permitted; ++i)
            permitted = roles[i].level <= level && covers(roles[i].consumer, consumer);
        zor_free_role_array(roles, n);
        LOG4CXX_DEBUG(logger_,
            "checkUserRole user=" << user << " consumer=" << consumer << " level=" << level
                                  << " permitted=" << permitted);
        return 0;
    });
}

int32_t ClusterChecks::checkUserRole(const std::string& user, std::vector<std::string>& consumers)
{
    consumers.clear();
    return withOwnConnection("checkUserRole", [&](zor_handle_t* handle) {
        zor_role_t* roles = nullptr;
        int32_t n = 0;
        if (zor_getroles4user(handle, user.c_str(), &roles, &n) != 0)
            return libraryFailure(
                logger_, "zor_getroles4user of '" + user + "' failed", KAV_LOCATION.c_str());
        std::set<std::string> seen;
        for (int i = 0; i < n; ++i)
            if (seen.insert(roles[i].consumer).second)
                consumers.push_back(roles[i].consumer);
        zor_free_role_array(roles, n);
        return 0;
    });
}

int32_t ClusterChecks::checkConsumer(const std::string& consumer, const std::string& resourceGroup)
{
    if (zor_verifyconsumerpath(consumer.c_str(), resourceGroup.empty() ? nullptr : resourceGroup.c_str())
        != 0)
        return libraryFailure(
            logger_, "zor_verifyconsumerpath of '" + consumer + "' failed", KAV_LOCATION.c_str());
    return 0;
}

int32_t ClusterChecks::checkResReq(const std::string& resReq)
{
    if (zor_verifyresreq(resReq.c_str()) != 0)
        return libraryFailure(logger_, "zor_verifyresreq of '" + resReq + "' failed", KAV_LOCATION.c_str());
    return 0;
}

} // namespace rs::resmgr
