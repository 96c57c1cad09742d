#pragma once
// The transport the deploy command uses to reach this daemon, handed to it
// as container environment entries (never on its command line, which the
// daemon logs and the cluster shows to everyone):
//   - the daemon runs plain TCP (RS_DRIVER unset, empty or "TCPIPv4"):
//     nothing, plain TCP is the deploy command's default;
//   - otherwise "RS_DRIVER=<the daemon's driver>" and "RS_DRIVER_ARG=<arg>",
//     where <arg> is RSDEPLOY_DRIVER_ARG when that is set (passed as it
//     stands, so "$NAME" is resolved on the host), else the daemon's own
//     argument ("$NAME" resolved here) without the daemon's identity
//     (CERTIFICATE, PRIVATE_KEY, FILETYPE): the server never asks a client
//     for a certificate, and a host must not need the daemon's key file.
//     Settings of the connecting side (CIPHER, CAFILE, CAPATH, SERVER_AUTH)
//     stay, so that a daemon that checks the servers it connects to has its
//     deploy commands check it the same way.
// A daemon whose message size limit is set hands it on as well
// ("ZEPHCOMM_MAX_MESSAGE_SIZE=<the limit in force>"), so that the deploy
// command accepts every package answer the daemon may send.
//
// Stateless; callable from any thread.

#include "zephcomm/driver/DriverSelection.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rs {

inline constexpr const char* kDeployDriverArgumentVariable = "RSDEPLOY_DRIVER_ARG";

class DeployTransport {
public:
    // A cluster configuration parameter by name; none when unset.
    using ParameterLookup = std::function<std::optional<std::string>(const std::string&)>;

    // The entries for a daemon that runs `daemon`, with `deployArgument`
    // the operator's argument for the deploy command (RSDEPLOY_DRIVER_ARG).
    static std::vector<std::string> environment(const zephcommdrv::DriverSelection& daemon,
        const std::optional<std::string>& deployArgument, const ParameterLookup& parameter);

    // The entry for a daemon whose ZEPHCOMM_MAX_MESSAGE_SIZE is
    // `daemonSetting` (none: unset, both sides use the default).
    static std::vector<std::string> messageLimit(const std::optional<std::string>& daemonSetting);

    // Both from this process's environment and the cluster configuration.
    static std::vector<std::string> fromProcess();

    // The daemon's SSL driver argument with only the connecting side's
    // settings; an argument that does not parse is kept as it is (the
    // daemon accepted it, so the driver is one that reads it differently).
    static std::string clientArgument(const std::string& daemonArgument);
};

} // namespace rs
