// The cluster commands: what the resource manager offers to deployments.
#include "tools/rsadmin/AdminCommands.h"

#include "tools/rsadmin/ClusterInfo.h"
#include "tools/rsadmin/Render.h"

#include <algorithm>
#include <ostream>

namespace rsadmin {

namespace {

// The built-in description is the local host alone: not what a service on
// a cluster uses.
void warnIfBuiltIn(const ClusterInfo& cluster, std::ostream& err)
{
    if (cluster.builtIn())
        err << "rsadmin: warning: no cluster file (ZOR_CLUSTER_FILE): this is the resource manager's "
               "built-in "
               "description of the local host alone; point ZOR_CLUSTER_FILE at the service's cluster file\n";
}

} // namespace

int AdminCommands::clusterGroups(const std::vector<std::string>& groups)
{
    ClusterInfo cluster;
    warnIfBuiltIn(cluster, io_.err);
    nlohmann::json json = nlohmann::json::array();
    Table table({ "GROUP", "HOSTS" });
    std::vector<std::string> refusals;
    for (const auto& group : groups.empty() ? cluster.groupNames() : groups) {
        std::string refusal;
        const auto hosts = cluster.hostsOf(group, refusal);
        if (!hosts) {
            refusals.push_back(refusal);
            continue;
        }
        json.push_back({ { "group", group }, { "hosts", *hosts } });
        table.add({ group, hosts->empty() ? "-" : joined(*hosts, ", ") });
    }
    if (!refusals.empty()) {
        if (!options_.json && table.rows() > 0)
            table.print(io_.out);
        throw AdminFailure(kExitRefused, "the resource manager refused: " + joined(refusals, "; "))
            .withDetail(json.dump());
    }
    emit(json, [&] { table.print(io_.out); });
    return kExitOk;
}

int AdminCommands::clusterConsumers()
{
    ClusterInfo cluster;
    warnIfBuiltIn(cluster, io_.err);
    const std::string user = userIfGiven(options_, io_);
    const std::map<std::string, int> roles
        = user.empty() ? std::map<std::string, int> {} : cluster.rolesOf(user);
    nlohmann::json json = nlohmann::json::array();
    Table table({ "CONSUMER", user.empty() ? "ROLE" : "ROLE OF " + user });
    for (const auto& consumer : cluster.consumers()) {
        const int level = roleOn(roles, consumer);
        json.push_back({ { "consumer", consumer },
            { "role", level == 0 ? nlohmann::json() : nlohmann::json(roleName(level)) } });
        table.add({ consumer, roleName(level) });
    }
    emit(json, [&] {
        if (cluster.builtIn())
            io_.out << "Every consumer path is valid: the built-in description lists none.\n";
        else
            table.print(io_.out);
        if (user.empty())
            io_.out << "Give --user or RS_USER to see that user's role on each.\n";
    });
    return kExitOk;
}

std::string AdminCommands::placementRefusal(const Placement& placement)
{
    try {
        ClusterInfo cluster;
        std::vector<std::string> reasons;
        if (std::string refusal = cluster.consumerRefusal(options_.consumer); !refusal.empty())
            reasons.push_back(refusal);
        std::string refusal;
        const auto hosts = cluster.hostsOf(placement.group, refusal);
        if (!hosts)
            reasons.push_back(refusal);
        else if (hosts->empty())
            reasons.push_back("resource group '" + placement.group + "' has no hosts");
        if (!placement.host.empty()) {
            auto holds = [&](const std::vector<std::string>& group) {
                return std::find(group.begin(), group.end(), placement.host) != group.end();
            };
            const auto all = cluster.hostsOf(kAllHostsGroup, refusal);
            if (all && !holds(*all))
                reasons.push_back(
                    "'" + placement.host + "' is not a host of the cluster (" + joined(*all, ", ") + ")");
            else if (hosts && !hosts->empty() && !holds(*hosts))
                reasons.push_back("'" + placement.host + "' is not a host of resource group '"
                    + placement.group + "' (" + joined(*hosts, ", ") + ")");
        }
        if (reasons.empty())
            return "The resource manager here accepts them: the service may read another cluster file than "
                + (cluster.builtIn() ? std::string("the built-in description") : cluster.source()) + ".";
        return "The resource manager says: " + joined(reasons, "; ") + ".";
    } catch (const AdminFailure& failure) {
        return std::string("The resource manager could not be asked why: ") + failure.what() + ".";
    }
}

} // namespace rsadmin
