#pragma once
// AppLogonWork: an IAppDeployment logon (see LogonWorkFor).

#include "rs/core/LogonWorkFor.h"

#include <string>

class IAppDeploymentRespClient;

namespace rs {

class AppDeploymentServer;

class AppLogonWork final : public LogonWorkFor<AppDeploymentServer, IAppDeploymentRespClient> {
public:
    AppLogonWork(std::string credential, std::string consumer, AppDeploymentServer* server,
                 IAppDeploymentRespClient* response);
    ~AppLogonWork() override;
};

} // namespace rs
