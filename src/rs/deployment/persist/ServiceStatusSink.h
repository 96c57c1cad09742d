#pragma once
// The service object's host status sink: changes go to the persisted
// deployment state, final states to the audit log, and error texts come
// from the message catalogue.
//
// Deployment audit records are catalogue messages with the arguments
//   {0} package, {1} host, {2} state name, {3} user ("-" when none), {4} error text.
//
// Thread-safety: as PersistedDeploymentState; the audit log and the
// catalogue may be used from any thread.

#include "rs/deployment/persist/PersistedDeploymentState.h"
#include "rs/deployment/status/IHostStatusSink.h"

#include <functional>

namespace rs {

class ServiceStatusSink final : public IHostStatusSink {
public:
    // Writes catalogue message `number` with params to the audit log, at
    // level "ERROR" when isError (the service passes kav::audit::writeMessage).
    using AuditWriter = std::function<void(uint32_t number, const kav::Params& params, bool isError)>;

    // REQUIRES: state outlives the sink.
    ServiceStatusSink(PersistedDeploymentState& state, AuditWriter writeAudit);

    void persist(const std::string& package, const std::string& host, const HostStatusEntry& entry) override;
    void persistAll(const std::string& package,
        const std::vector<std::pair<std::string, HostStatusEntry>>& entries) override;
    void audit(const DeploymentAuditRecord& record) override;
    std::string messageText(const kav::IKavErrorInfo& info) override;

    // The catalogue text of an error record; the formatter the persisted state uses too.
    static std::string catalogueMessage(const kav::IKavErrorInfo& info);
    // The arguments of a deployment audit record, in catalogue order.
    static kav::Params auditParams(const DeploymentAuditRecord& record);

private:
    PersistedDeploymentState& state_;
    AuditWriter writeAudit_;
};

} // namespace rs
