// The package commands: IAppDeployment.
#include "tools/rsadmin/AdminCommands.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IAppDeploymentResp.h"
#include "tools/rsadmin/Render.h"

#include <algorithm>
#include <filesystem>
#include <ostream>

namespace rsadmin {

int AdminCommands::packageAdd(const std::string& name, const std::string& type, const std::string& file)
{
    ServiceSession session = deployment();
    const std::string fileName = std::filesystem::path(file).filename().string();
    const TransferLimit limit { payloadBytes(
                                    IAppDeployment::addPackage_Call(name, type, fileName, nullptr, 0)),
        payloadBytes(
            IAppDeploymentResp::getPackageResp_Call(nullptr, name, fileName, nullptr, rs::AppDplList {})) };
    const uint64_t size = uploadFile<IAppDeploymentResp::addPackageResp_Call>(session, file,
        options_.pieceSize, limit, "store the package", [&](ACE_Message_Block* block, int32_t flag) {
            return session.client().start<IAppDeployment::addPackage_Call>(name, type, fileName, block, flag);
        }).second;
    reportDone("Stored package " + name + (type.empty() ? "" : " of type " + type) + " ("
            + humanBytes(static_cast<double>(size)) + ").",
        { { "package", name }, { "type", type }, { "fileName", fileName }, { "size", size } });
    return kExitOk;
}

int AdminCommands::packageList()
{
    ServiceSession session = deployment();
    auto reply = session.request<IAppDeployment::getPackageList_Call>("list the packages");
    const rs::AppDplList empty;
    const rs::AppDplList& list = reply->applicationList() ? *reply->applicationList() : empty;
    emit(toJson(list), [&] {
        if (list.entries.empty())
            io_.out << "No packages. Add one with 'rsadmin package add NAME FILE'.\n";
        else
            packageTable(list).print(io_.out);
    });
    return kExitOk;
}

int AdminCommands::packageGet(const std::string& name, const std::string& type, const std::string& output)
{
    checkOutput(output);
    ServiceSession session = deployment();
    auto reply = session.request<IAppDeployment::getPackage_Call>("send the package", name, type, "");
    const std::string fileName = reply->packageFileName() ? *reply->packageFileName() : name;
    deliverDownload(output, fileName, rpc::blockText(reply->moduleData()), "package " + name,
        { { "package", name }, { "type", type } });
    return kExitOk;
}

int AdminCommands::packageRemove(const std::string& name, const std::string& type)
{
    ServiceSession session = deployment();
    session.request<IAppDeployment::removePackage_Call>("remove the package", name, type);
    reportDone("Removed package " + name + ".", { { "package", name }, { "type", type } });
    return kExitOk;
}

namespace {

// Refusals of a deployment's consumer, resource group or host: the
// resource manager's own reason is only in the service's log.
bool isPlacementRefusal(int32_t code)
{
    switch (static_cast<uint32_t>(code)) {
    case 0xD0014C33u: // empty resource group
    case 0xD0014C36u: // consumer or resource group
    case 0xD0014C37u: // resource group
    case 0xD0014C38u: // host
        return true;
    default:
        return false;
    }
}

// The service answers "no status" with the code that also reports memory
// exhaustion; for getPackageStatus it means the package has no deployment state.
constexpr int32_t kNoDeploymentState = static_cast<int32_t>(0xD0014C0Cu);

} // namespace

int AdminCommands::packageDeploy(Deploy kind, const std::string& name, const Placement& placement)
{
    ServiceSession session = deployment();
    const char* verb = "install";
    try {
        switch (kind) {
        case Deploy::install:
            session.request<IAppDeployment::installPackage_Call>(
                "install the package", name, placement.group, placement.host);
            break;
        case Deploy::recheck:
            verb = "recheck";
            session.request<IAppDeployment::installPackageRecheck_Call>(
                "install the package again", name, placement.group, placement.host);
            break;
        case Deploy::uninstall:
            verb = "uninstall";
            session.request<IAppDeployment::uninstallPackage_Call>(
                "uninstall the package", name, placement.group, placement.host);
            break;
        }
    } catch (const AdminFailure& failure) {
        if (!isPlacementRefusal(failure.code()))
            throw;
        throw AdminFailure(failure.status(), std::string(failure.what()) + "\n" + placementRefusal(placement),
            failure.code());
    }
    const std::string where = placement.host.empty() ? "group " + placement.group : "host " + placement.host;
    reportDone(std::string("Started to ") + verb + " " + name + " on " + where
            + ". Follow it with 'rsadmin package status " + name + " --watch'.",
        { { "package", name }, { "action", verb }, { "group", placement.group },
            { "host", placement.host } });
    return kExitOk;
}

int AdminCommands::packageCancel(const std::string& name)
{
    ServiceSession session = deployment();
    session.request<IAppDeployment::cancelPackage_Call>("cancel the deployment", name);
    reportDone("Cancelled the hosts of " + name + " that had not started running.", { { "package", name } });
    return kExitOk;
}

std::optional<rs::DplStatusList> AdminCommands::readStatus(
    ServiceSession& session, const std::string& name, uint32_t filter)
{
    auto reply = session.client().call<IAppDeployment::getPackageStatus_Call>(
        session.timeout(), name, static_cast<int32_t>(filter));
    if (reply.arrived() && reply.code() == kNoDeploymentState)
        return std::nullopt;
    session.check(reply, "report the deployment status");
    return reply->list() ? *reply->list() : rs::DplStatusList {};
}

rs::DplStatusList AdminCommands::watchStatus(
    ServiceSession& session, const std::string& name, const StatusQuery& query)
{
    const ProgressBar::Clock clock = clock_ ? clock_ : [] { return std::chrono::steady_clock::now(); };
    const auto start = clock();
    WatchDisplay display(io_.out, io_.outIsTerminal, name);
    for (int round = 0;; ++round) {
        const std::optional<rs::DplStatusList> reading = readStatus(session, name, query.stateFilter);
        if (!options_.json)
            display.show(reading);
        // A reading without hosts goes on: the run to come has not entered them yet.
        if (reading && !reading->entries.empty() && allFinal(*reading)) {
            if (round == 0 && !options_.json)
                io_.err << "No host of " << name
                        << " is in progress: these are the states its last run left.\n";
            return *reading;
        }
        if (query.maxWait.count() > 0 && clock() - start >= query.maxWait)
            throw AdminFailure(kExitRefused,
                "not every host of " + name + " reached a final state within "
                    + std::to_string(query.maxWait.count() / 1000)
                    + " s: watch again, or 'rsadmin package cancel " + name + "'")
                .withDetail(toJson(reading.value_or(rs::DplStatusList {})).dump());
        io_.pause(query.interval);
    }
}

int AdminCommands::packageStatus(const std::string& name, const StatusQuery& query)
{
    ServiceSession session = deployment();
    if (!query.watch) {
        const std::optional<rs::DplStatusList> list = readStatus(session, name, query.stateFilter);
        emit(toJson(list.value_or(rs::DplStatusList {})), [&] {
            if (!list)
                io_.out << name << " has no deployment state: it has not been deployed yet. Deploy it with "
                        << "'rsadmin package install " << name << " --group GROUP'.\n";
            else if (list->entries.empty())
                io_.out << "No host of " << name << " is in that state.\n";
            else
                statusTable(*list).print(io_.out);
        });
        return kExitOk;
    }
    const rs::DplStatusList list = watchStatus(session, name, query);
    const auto failed = std::count_if(list.entries.begin(), list.entries.end(),
        [](const rs::DplStatusEntry& entry) { return entry.state == rs::HOST_ERROR; });
    if (failed != 0)
        throw AdminFailure(kExitRefused,
            std::to_string(failed) + " host(s) of " + name
                + " ended in ERROR: see the MESSAGE column and the host's deploy log, then 'rsadmin package "
                  "recheck'")
            .withDetail(toJson(list).dump());
    emit(toJson(list), [] {}); // people have seen the last reading already
    return kExitOk;
}

} // namespace rsadmin
