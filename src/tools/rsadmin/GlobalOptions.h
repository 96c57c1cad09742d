#pragma once
// The options every rsadmin command shares, and how the server address and
// the logon credential are found from them.
//
// Single-threaded.

#include "tools/rsadmin/AdminIo.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace rsadmin {

struct GlobalOptions {
    std::string server; // --server host:port
    std::string user; // --user (else RS_USER)
    std::string passwordFile; // --password-file
    std::string consumer; // --consumer (else RS_CONSUMER)
    bool json = false; // --json
    size_t pieceSize = 1024 * 1024;
    std::chrono::milliseconds timeout { 30000 };
};

// Environment variables the tool reads.
inline constexpr const char* kServerVariable = "RS_SERVER";
inline constexpr const char* kUserVariable = "RS_USER";
inline constexpr const char* kPasswordVariable = "RS_PASSWORD";
inline constexpr const char* kConsumerVariable = "RS_CONSUMER";
// The client name under which the service registers its address.
inline constexpr const char* kRegisteredName = "RS_DEPLOY";

// Looks up the address registered under a client name; empty when none.
using RegistryLookup = std::function<std::string(const std::string&)>;
// The resource manager's registry.
std::string lookUpRegisteredUrl(const std::string& clientName);

// The host and port of a service address: "HOST:PORT", or a zephcomm URL
// ("zephcomm:...||HOST:PORT").
struct ServerAddress {
    std::string host;
    std::string port;
};
// Nothing when `text` names no host and port 1..65535.
std::optional<ServerAddress> parseServerAddress(const std::string& text);

// --server, else RS_SERVER, else the registered address. Throws
// AdminFailure(kExitUsage) saying how to name a server when none is found or
// the one found is not HOST:PORT.
std::string resolveServer(const GlobalOptions& options, const AdminIo& io, const RegistryLookup& lookup);

// --user, else RS_USER. Throws AdminFailure(kExitUsage) when neither is set.
std::string resolveUser(const GlobalOptions& options, const AdminIo& io);
// --user, else RS_USER, else empty.
std::string userIfGiven(const GlobalOptions& options, const AdminIo& io);

// The password: the first line of --password-file, else RS_PASSWORD, else a
// no-echo prompt when standard input is a terminal. Throws
// AdminFailure(kExitUsage) when none can be had.
std::string obtainPassword(const GlobalOptions& options, AdminIo& io, const std::string& user);

// --consumer, else RS_CONSUMER, else empty (the global module index); a
// path as the cluster spells it: "apps/demo/" is "/apps/demo".
std::string resolveConsumer(const GlobalOptions& options, const AdminIo& io);

// The logon credential: "user:password".
std::string makeCredential(const std::string& user, const std::string& password);

} // namespace rsadmin
