#pragma once
// Shared steps of the end-to-end tests: the logon and version exchanges of
// both interfaces over a raw wire client. The daemon itself is run by the
// harness of src/tools/harness, whose names the tests use as their own.

#include "e2e/WireClient.h"
#include "tools/harness/DaemonProcess.h"

#include <cstdint>
#include <memory>
#include <string>

namespace rs::e2e {

using namespace rs::harness;

struct LogonAnswer {
    bool answered = false;
    int32_t code = 0;
    std::string token;
    std::string user;
};

struct VersionAnswer {
    bool answered = false;
    int32_t code = 0;
    int32_t serviceMajor = -1, serviceMinor = -1, serviceLevel = -1;
    int32_t productMajor = -1;
    int32_t value = 0;
};

inline constexpr const char* kRepository = "IRepository";
inline constexpr const char* kDeployment = "IAppDeployment";

LogonAnswer logon(WireClient& client, const std::string& interfaceName, const std::string& credential,
    const std::string& consumer);
VersionAnswer getVersion(WireClient& client, const std::string& interfaceName);
// A new connection that logs on as the admin and reads the version: the
// proof that the daemon still serves.
bool serves(int port, const std::string& interfaceName = kRepository);

} // namespace rs::e2e
