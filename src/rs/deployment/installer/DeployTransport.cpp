#include "rs/deployment/installer/DeployTransport.h"

#include "platform/zor/zor.h"
#include "zephcomm/driver/SslDriverArgument.h"
#include "zephcomm/wire/MessageHeader.h"

#include <cstdlib>
#include <utility>

namespace rs {

namespace {

constexpr const char* kPlainTcpDriver = "TCPIPv4";

std::optional<std::string> clusterParameter(const std::string& name)
{
    const char* value = zor_getconfparam(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<std::string> setVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::optional<std::string>(value) : std::nullopt;
}

// The daemon's argument as its driver read it: "$NAME" names a cluster
// configuration parameter. Kept as it stands when the parameter is unset.
std::string resolved(const std::string& argument, const DeployTransport::ParameterLookup& parameter)
{
    if (!argument.starts_with("$") || !parameter)
        return argument;
    return parameter(argument.substr(1)).value_or(argument);
}

} // namespace

std::vector<std::string> DeployTransport::environment(const zephcommdrv::DriverSelection& daemon,
    const std::optional<std::string>& deployArgument, const ParameterLookup& parameter)
{
    if (!daemon.name || daemon.name->empty() || *daemon.name == kPlainTcpDriver)
        return {};
    std::string argument = deployArgument.value_or("");
    if (!deployArgument && daemon.argument)
        argument = clientArgument(resolved(*daemon.argument, parameter));
    // Always both: the host may have its own RS_DRIVER_ARG, meant for another daemon.
    return { std::string(zephcommdrv::kDriverVariable) + "=" + *daemon.name,
        std::string(zephcommdrv::kDriverArgumentVariable) + "=" + argument };
}

std::vector<std::string> DeployTransport::messageLimit(const std::optional<std::string>& daemonSetting)
{
    if (!daemonSetting)
        return {};
    // The value as the daemon's own side reads it: a bad one is the default there too.
    return { std::string(zephcomm::wire::kMaxMessageSizeVariable) + "="
        + std::to_string(zephcomm::wire::maxMessageSizeFrom(daemonSetting->c_str())) };
}

std::vector<std::string> DeployTransport::fromProcess()
{
    std::vector<std::string> entries = environment(zephcommdrv::driverSelectionFromEnvironment(),
        setVariable(kDeployDriverArgumentVariable), clusterParameter);
    for (std::string& entry : messageLimit(setVariable(zephcomm::wire::kMaxMessageSizeVariable)))
        entries.push_back(std::move(entry));
    return entries;
}

std::string DeployTransport::clientArgument(const std::string& daemonArgument)
{
    const std::optional<zephcommSslTcpDrv::SslDriverArgument> parsed
        = zephcommSslTcpDrv::parseSslDriverArgument(daemonArgument.c_str());
    if (!parsed)
        return daemonArgument;
    // Values never hold "," or "]" (the parser ends them there), so they
    // are written back as they were read.
    std::string items;
    for (const auto& [name, value] :
        { std::pair { "CIPHER", &parsed->cipher }, std::pair { "CAFILE", &parsed->caFile },
            std::pair { "CAPATH", &parsed->caPath }, std::pair { "SERVER_AUTH", &parsed->serverAuth } })
        if (!value->empty())
            items += (items.empty() ? "" : ",") + std::string(name) + "=" + *value;
    return items.empty() ? "" : "SSL[" + items + "]";
}

} // namespace rs
