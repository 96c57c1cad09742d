#include "rs/deployment/operations/DeploymentRuntime.h"

#include "common/ResultCodes.h"
#include "rs/i18n/NarvI18n.h"
#include "rs/logging/AuditLog.h"

namespace rs {

namespace {

std::string catalogueText(uint32_t number, const char* fallback)
{
    std::string text;
    if (kav::NarvI18n::instance().i18n(number, text) < 0) {
        kav::clearErrorInfo();
        return fallback;
    }
    return text;
}

} // namespace

DeploymentRuntime::DeploymentRuntime(DeploymentHostHooks hooks, std::string storageDir, int32_t hostTimeout,
    IDeployResources& resources, HostStatusTable::Clock clock, ServiceStatusSink::AuditWriter audit)
    : hooks_(std::move(hooks))
    , storageDir_(std::move(storageDir))
    , hostTimeout_(hostTimeout)
    , resources_(resources)
    , installText_(catalogueText(kav::msg::INSTALL_RUN, "install"))
    , uninstallText_(catalogueText(kav::msg::UNINSTALL_RUN, "uninstall"))
    , persisted_(storageDir_, &ServiceStatusSink::catalogueMessage)
    , sink_(persisted_,
          audit
              ? std::move(audit)
              : ServiceStatusSink::AuditWriter([](uint32_t number, const kav::Params& params, bool isError) {
                    kav::audit::writeMessage(number, params, isError);
                }))
    , table_(sink_, std::move(clock))
    , registry_(*this)
{
    persisted_.load(table_);
}

DeploymentRuntime::~DeploymentRuntime()
{
    registry_.removeInstallers();
}

bool DeploymentRuntime::compareHostName(const std::string& a, const std::string& b)
{
    return hooks_.compareHostName ? hooks_.compareHostName(a, b) : a == b;
}

void DeploymentRuntime::cleanupConsumers()
{
    if (hooks_.cleanupConsumers)
        hooks_.cleanupConsumers();
}

void DeploymentRuntime::addConsumerForCleanup(const std::string& consumer)
{
    if (hooks_.addConsumerForCleanup)
        hooks_.addConsumerForCleanup(consumer);
}

std::string DeploymentRuntime::installerText(bool uninstall) const
{
    return uninstall ? uninstallText_ : installText_;
}

void DeploymentRuntime::removePersistedState(const std::string& package)
{
    persisted_.remove(table_, package);
}

void DeploymentRuntime::setCancelStatus(const std::string& package)
{
    table_.setCancelStatus(package);
    registry_.cleanupPackageInstallers();
}

void DeploymentRuntime::shutdown()
{
    registry_.removeInstallers();
    table_.removeHMAll();
}

} // namespace rs
