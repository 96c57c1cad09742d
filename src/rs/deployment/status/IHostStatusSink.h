#pragma once
// What the host status table hands to the rest of the service: every change
// to persist, every final state to audit, and the catalogue text of error
// information. The service object implements it over the persisted state,
// the audit log and the message catalogue.
//
// Thread: called on whichever thread changes the table, with the table mutex
// held; implementations must not call back into the table (lock order:
// table, then persisted state).

#include "rs/deployment/status/HostStatusEntry.h"

#include "common/KavErrorInfo.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rs {

// One deployment audit record: the catalogue message `messageNumber`
// describes the outcome for (package, host).
struct DeploymentAuditRecord {
    uint32_t messageNumber = 0;
    bool errorLevel = false; // written at level "ERROR" rather than "INFO"
    std::string package;
    std::string host;
    uint32_t state = HOST_STATE_NONE;
    std::string userName;
    std::string errorText;
};

// Catalogue messages of the deployment audit records.
inline constexpr uint32_t kAuditInstallDone = 0x14C3B;
inline constexpr uint32_t kAuditInstallFailed = 0x14C3C;
inline constexpr uint32_t kAuditUninstallDone = 0x14C3D;
inline constexpr uint32_t kAuditUninstallFailed = 0x14C3E;

class IHostStatusSink {
public:
    virtual ~IHostStatusSink() = default;
    // An entry was created or changed state.
    virtual void persist(const std::string& package, const std::string& host, const HostStatusEntry& entry)
        = 0;
    // Entries of one package changed together, each host once: one change.
    virtual void persistAll(
        const std::string& package, const std::vector<std::pair<std::string, HostStatusEntry>>& entries)
    {
        for (const auto& [host, entry] : entries)
            persist(package, host, entry);
    }
    virtual void audit(const DeploymentAuditRecord& record) = 0;
    // The message text of the error record (catalogue text with its arguments).
    virtual std::string messageText(const kav::IKavErrorInfo& info) = 0;
};

} // namespace rs
