// Fuzz target: the persisted deployment state (".persist") read back at
// start-up into the host status table, then driven the way the service
// drives it: status queries, a time-out sweep, a reported state and the
// removal of a package, each change written back to the file.

#include "FuzzSupport.h"

#include "common/KavErrorInfo.h"
#include "interfaces/types/DplStatusList.h"
#include "rs/deployment/persist/PersistedDeploymentState.h"
#include "rs/deployment/persist/PstIndexFile.h"
#include "rs/deployment/status/HostStatusTable.h"
#include "rs/deployment/status/IHostStatusSink.h"

#include <map>
#include <memory>
#include <string>

namespace {

// Persists through the state under test; audit records are only counted.
class Sink final : public rs::IHostStatusSink {
public:
    explicit Sink(rs::PersistedDeploymentState& state)
        : state_(state)
    {
    }
    void persist(
        const std::string& package, const std::string& host, const rs::HostStatusEntry& entry) override
    {
        state_.update(package, host, entry);
    }
    void audit(const rs::DeploymentAuditRecord&) override { ++audits_; }
    std::string messageText(const kav::IKavErrorInfo& info) override { return info.getDetail(); }

private:
    rs::PersistedDeploymentState& state_;
    size_t audits_ = 0;
};

constexpr int32_t kNow = 2000000000;

void drive(rs::HostStatusTable& table, rs::PersistedDeploymentState& state,
    const std::map<std::string, rs::HostStatusMap>& packages)
{
    for (const auto& [package, hosts] : packages) {
        std::unique_ptr<rs::DplStatusList> all = table.getHMStatus(package, rs::HostStatusTable::kFilterAll);
        fuzz::check(all != nullptr, "a restored package is missing");
        fuzz::check(all->entries.size() == hosts.size(), "restored hosts were lost");
        (void)rs::dumpDplStatusList(*all);
        (void)table.getHMStatus(package, rs::HostStatusTable::kFilterFinished);
        (void)table.allHostsFinal(package);
        table.setHostStateIfTimeout(package, "install", 60);
        if (!hosts.empty()) {
            const std::string& host = hosts.begin()->first;
            kav::KavErrorInfo failure(-1, "fuzz", "drive", "reported failure");
            (void)table.updateHMStatus(package, host, "user", rs::HOST_ERROR, &failure, false);
        }
    }
    if (!packages.empty())
        state.remove(table, packages.begin()->first);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::ScratchDirectory& scratch = fuzz::ScratchDirectory::instance();
    scratch.writeFile(
        rs::PstIndexFile::kFileName, std::string_view(reinterpret_cast<const char*>(data), size));

    std::map<std::string, rs::HostStatusMap> packages;
    rs::PstIndexFile(scratch.path()).getServiceEntryByName(packages);

    rs::PersistedDeploymentState state(
        scratch.path(), [](const kav::IKavErrorInfo& info) { return info.getDetail(); });
    Sink sink(state);
    rs::HostStatusTable table(sink, [] { return kNow; });
    state.load(table);
    drive(table, state, packages);

    // Whatever the service wrote must itself be readable.
    std::map<std::string, rs::HostStatusMap> rewritten;
    rs::PstIndexFile(scratch.path()).getServiceEntryByName(rewritten);
    return 0;
}
