#include "rs/deployment/persist/ServiceStatusSink.h"

#include "rs/i18n/ErrorLine.h"

#include "common/ResultCodes.h"

namespace rs {

ServiceStatusSink::ServiceStatusSink(PersistedDeploymentState& state, AuditWriter writeAudit)
    : state_(state)
    , writeAudit_(std::move(writeAudit))
{
}

void ServiceStatusSink::persist(
    const std::string& package, const std::string& host, const HostStatusEntry& entry)
{
    state_.update(package, host, entry);
}

void ServiceStatusSink::persistAll(
    const std::string& package, const std::vector<std::pair<std::string, HostStatusEntry>>& entries)
{
    state_.update(package, entries);
}

kav::Params ServiceStatusSink::auditParams(const DeploymentAuditRecord& record)
{
    return { record.package.empty() ? "-" : record.package, record.host.empty() ? "-" : record.host,
        hostDeployStateText(record.state), record.userName.empty() ? "-" : record.userName,
        record.errorText };
}

void ServiceStatusSink::audit(const DeploymentAuditRecord& record)
{
    if (writeAudit_)
        writeAudit_(record.messageNumber, auditParams(record), record.errorLevel);
}

std::string ServiceStatusSink::catalogueMessage(const kav::IKavErrorInfo& info)
{
    std::string text = kav::catalogueText(kav::rc::messageNumber(info.getCode()), info.getParams());
    // Without a catalogue text the code still tells the operator what failed.
    return text.empty() ? kav::errorLine(info) : text;
}

std::string ServiceStatusSink::messageText(const kav::IKavErrorInfo& info)
{
    return catalogueMessage(info);
}

} // namespace rs
